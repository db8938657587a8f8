#include "usb2/image/BayerLibrary.h"

#include <dlfcn.h>

#include "platform/ModulePath.h"

namespace Kovon::Usb2Image {
namespace {

constexpr const char* kBesideModuleFolder = "/OpenCVLib/";
constexpr const char* kLibraryNames[] = {"libopencv_imgproc.so.406", "libopencv_imgproc.so"};

}  // namespace

std::vector<std::string> BayerLibraryCandidates(const std::string& moduleDirectory) {
    std::vector<std::string> candidates;
    if (!moduleDirectory.empty()) {
        // The root directory already ends in '/'.
        const bool root = moduleDirectory.back() == '/';
        const std::string folder =
            moduleDirectory.substr(0, moduleDirectory.size() - (root ? 1 : 0)) + kBesideModuleFolder;
        for (const char* name : kLibraryNames) candidates.push_back(folder + name);
    }
    for (const char* name : kLibraryNames) candidates.emplace_back(name);
    return candidates;
}

CBayerLibrary::CBayerLibrary() {
    Load(BayerLibraryCandidates(Platform::ModuleDirectory()));
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
