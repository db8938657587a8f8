#include "usb2/image/BayerLibrary.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

namespace Kovon::Usb2Image {
namespace {

constexpr const char* kBesideModuleFolder = "/OpenCVLib/";
constexpr const char* kLibraryNames[] = {"libopencv_imgproc.so.406", "libopencv_imgproc.so"};

}  // namespace

std::vector<std::string> BayerLibraryCandidates(const std::string& moduleDirectory) {
    std::vector<std::string> candidates;
    if (!moduleDirectory.empty()) {
        for (const char* name : kLibraryNames)
            candidates.push_back(moduleDirectory + kBesideModuleFolder + name);
    }
    for (const char* name : kLibraryNames) candidates.emplace_back(name);
    return candidates;
}

namespace {

// The file mapped at 'address' according to the kernel's map of the process: absolute even when
// the loader knows the file only by a relative name (the main program, a module opened by a
// relative path).
std::string MappedFile(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long from = 0, to = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %*s %n", &from, &to, &pathAt) < 2) continue;
        if (address < from || address >= to || pathAt <= 0) continue;
        const std::string path = line.substr(static_cast<std::size_t>(pathAt));
        return !path.empty() && path[0] == '/' ? path : std::string();
    }
    return {};
}

}  // namespace

std::string ImagePathModuleDirectory() {
    const auto self = reinterpret_cast<std::uintptr_t>(&ImagePathModuleDirectory);
    Dl_info info{};
    std::string path;
    if (dladdr(reinterpret_cast<void*>(self), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        path = info.dli_fname;
    } else {
        path = MappedFile(self);
    }
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

CBayerLibrary::CBayerLibrary() {
    Load(BayerLibraryCandidates(ImagePathModuleDirectory()));
}

CBayerLibrary::CBayerLibrary(const std::vector<std::string>& candidates) {
    Load(candidates);
}

CBayerLibrary::~CBayerLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

void CBayerLibrary::Load(const std::vector<std::string>& candidates) {
    for (const auto& candidate : candidates) {
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (handle == nullptr) continue;
        void* symbol = dlsym(handle, "cvCvtColor");
        if (symbol == nullptr) {
            dlclose(handle);
            continue;
        }
        handle_ = handle;
        function_ = reinterpret_cast<CvtColorFunction>(symbol);
        path_ = candidate;
        return;
    }
}

}  // namespace Kovon::Usb2Image
