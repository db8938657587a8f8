#include "platform/ModulePath.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace Kovon::Platform {
namespace {

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

using ProbeFn = const char* (*)();

// The code linked into this program: the path is the program's.
TEST(ModulePath, LinkedIntoProgramGivesTheProgram) {
    const std::string path = ModuleFilePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    EXPECT_TRUE(SameFile(path, "/proc/self/exe")) << path;
    EXPECT_EQ(ModuleDirectory(), path.substr(0, path.rfind('/')));
}

// The code in a shared library loaded by absolute and by relative path: the path is the
// library's, absolute, and stays right after the working directory changes.
TEST(ModulePath, SharedLibraryGivesItsOwnFile) {
    const std::string library = KOVON_MODULE_PATH_PROBE;
    const std::string directory = library.substr(0, library.rfind('/'));
    const std::string name = library.substr(library.rfind('/') + 1);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);

    for (const bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "relative" : "absolute");
        if (relative) {
            ASSERT_EQ(chdir(directory.c_str()), 0);
        }
        void* handle = dlopen(relative ? ("./" + name).c_str() : library.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_EQ(chdir("/"), 0);
        ASSERT_NE(handle, nullptr) << dlerror();
        const auto probe = reinterpret_cast<ProbeFn>(dlsym(handle, "ProbeModuleFilePath"));
        ASSERT_NE(probe, nullptr);
        const std::string path = probe();
        EXPECT_EQ(path[0], '/') << path;
        EXPECT_TRUE(SameFile(path, library)) << path;
        dlclose(handle);
        ASSERT_EQ(chdir(cwd), 0);
    }
}

}  // namespace
}  // namespace Kovon::Platform
