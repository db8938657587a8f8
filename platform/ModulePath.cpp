#include "platform/ModulePath.h"

#include <dlfcn.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace Kovon::Platform {
namespace {

// Finds in /proc/self/maps the file mapped at 'address'. Lines read
// "start-end perms offset dev inode   path"; the path is the rest of the line and may hold spaces.
std::string MappedFileAt(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        int pathStart = -1;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %*s %*s %*s %*s %n", &start, &end,
                        &pathStart) < 2 ||
            pathStart < 0) {
            continue;
        }
        if (address < start || address >= end) continue;
        const std::string path = line.substr(static_cast<std::size_t>(pathStart));
        return !path.empty() && path[0] == '/' ? path : std::string();
    }
    return {};
}

}  // namespace

std::string ModuleFilePath() {
    const auto self = reinterpret_cast<std::uintptr_t>(&ModuleFilePath);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(self), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        return info.dli_fname;
    }
    return MappedFileAt(self);
}

std::string ModuleDirectory() {
    const std::string path = ModuleFilePath();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace Kovon::Platform
