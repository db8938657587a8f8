#include "ModuleHost.h"

#include <dlfcn.h>

namespace KovonGrab {

ModuleHost::ModuleHost(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "cannot load the module " + path + ": " + (why != nullptr ? why : "unknown error");
        return;
    }
    using GetSystemFn = int (*)(Lumora::ISystem**);
    auto getSystem = reinterpret_cast<GetSystemFn>(dlsym(handle_, "GetSystem"));
    if (getSystem == nullptr) {
        error_ = path + " does not export GetSystem";
        return;
    }
    if (getSystem(&system_) != 0 || system_ == nullptr) {
        system_ = nullptr;
        error_ = "GetSystem returned no system";
    }
}

ModuleHost::~ModuleHost() {
    if (system_ != nullptr) system_->Release();
    // The module stays loaded until the process ends: threads it may still be finishing keep
    // their code.
}

void* ModuleHost::Symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

}  // namespace KovonGrab
