// The module carries the eighteen register descriptions byte for byte as they were built.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/Resources.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Embedded {
    const char* type;
    std::uint32_t id;
    std::string file;
};

std::vector<Embedded> AllDescriptions() {
    std::vector<Embedded> all;
    for (std::uint32_t id :
         {104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118, 120, 121})
        all.push_back({"DEVREGS", id,
                       std::string(KOVON_USB2_DESCRIPTION_DIR) + "/DEVREGS_" + std::to_string(id) + ".xml"});
    all.push_back({"INTERFACES", 104, KOVON_INTERFACE_DESCRIPTION});
    return all;
}

TEST(EmbeddedDescriptions, EqualTheBuiltFiles) {
    for (const Embedded& e : AllDescriptions()) {
        SCOPED_TRACE(std::string(e.type) + "/" + std::to_string(e.id));
        const std::string file = ReadFile(e.file);
        ASSERT_FALSE(file.empty()) << e.file;
        const Kovon::Platform::Resource r = Kovon::Platform::FindResource(e.type, e.id);
        ASSERT_TRUE(r);
        EXPECT_EQ(r.Text(), file);
        EXPECT_EQ(r.data[r.size], 0u) << "text not followed by a NUL";
    }
}

TEST(EmbeddedDescriptions, OnlyTheListedIdsExist) {
    // There is no 119, nothing past 121, and the type is part of the key.
    for (auto [type, id] : {std::pair{"DEVREGS", 103u},
                            {"DEVREGS", 119u},
                            {"DEVREGS", 122u},
                            {"INTERFACES", 105u},
                            {"devregs", 104u}})
        EXPECT_FALSE(Kovon::Platform::FindResource(type, id)) << type << "/" << id;
}

}  // namespace
