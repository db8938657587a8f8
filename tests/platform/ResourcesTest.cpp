#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace Kovon::Platform {

// Table of this test program (see CMakeLists.txt).
extern const ResourceTable ResourceTable_platform_test;

namespace {

std::string ReadFile(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
        std::fclose(file);
    }
    return bytes;
}

TEST(Resources, EmbeddedFilesRoundTrip) {
    const std::string dataDir = KOVON_PLATFORM_TEST_DATA;
    struct Case {
        const char* type;
        std::uint32_t id;
        std::string file;
    };
    const Case cases[] = {
        {"TESTDATA", 104, dataDir + "/resource.txt"},
        {"TESTDATA", 105, dataDir + "/empty.bin"},
        {"OTHER", 104, dataDir + "/empty.bin"},
        {"BINARY", 65535, dataDir + "/bytes.bin"},  // every byte value, NULs included
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + "/" + std::to_string(c.id));
        const Resource resource = FindResourceIn(ResourceTable_platform_test, c.type, c.id);
        ASSERT_TRUE(resource);
        const std::string expected = ReadFile(c.file);
        ASSERT_EQ(resource.size, expected.size());
        EXPECT_EQ(resource.Text(), expected);
        EXPECT_EQ(resource.data[resource.size], 0) << "a NUL follows the bytes";
    }
}

TEST(Resources, MissingResourcesAreNotFound) {
    for (const auto& [type, id] : {std::pair<const char*, std::uint32_t>{"TESTDATA", 106},
                                   {"TESTDATA", 0},
                                   {"testdata", 104},
                                   {"TESTDAT", 104},
                                   {"", 104}}) {
        const Resource resource = FindResourceIn(ResourceTable_platform_test, type, id);
        EXPECT_FALSE(resource) << type << "/" << id;
        EXPECT_EQ(resource.size, 0u);
    }
    // The module's own table holds only what the module embeds.
    EXPECT_FALSE(FindResource("TESTDATA", 104));
}

}  // namespace
}  // namespace Kovon::Platform
