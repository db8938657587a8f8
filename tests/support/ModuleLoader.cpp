#include "support/ModuleLoader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace KovonTest {

ModuleLoader& ModuleLoader::Instance() {
    static ModuleLoader loader;
    return loader;
}

ModuleLoader::ModuleLoader() : path_(KOVON40_MODULE_PATH) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path_.c_str(), dlerror());
        std::abort();
    }
}

void* ModuleLoader::Symbol(const char* name) const { return dlsym(handle_, name); }

Lumora::ISystem* ModuleLoader::NewSystem() const {
    using GetSystemFn = int (*)(Lumora::ISystem**);
    auto getSystem = Function<GetSystemFn>("GetSystem");
    if (getSystem == nullptr) return nullptr;
    Lumora::ISystem* system = nullptr;
    if (getSystem(&system) != 0) return nullptr;
    return system;
}

}  // namespace KovonTest
