#pragma once
// Loads the built module the way a host does (dlopen, then GetSystem) and resolves further
// exported C symbols, such as the simulator API, by name.
#include <string>

#include "Lumora/Lumora.h"

namespace KovonTest {

class ModuleLoader {
public:
    // Loads the module that this build produced; aborts the test program if it cannot.
    static ModuleLoader& Instance();

    Lumora::ISystem* NewSystem() const;  // calls GetSystem; the caller releases the system
    void* Symbol(const char* name) const;  // nullptr when the module does not export it
    template <typename Fn>
    Fn Function(const char* name) const { return reinterpret_cast<Fn>(Symbol(name)); }
    const std::string& Path() const { return path_; }

private:
    ModuleLoader();
    void* handle_ = nullptr;
    std::string path_;
};

// Releases a tree object at the end of a scope.
template <typename T>
struct Releaser {
    T* object = nullptr;
    ~Releaser() { if (object != nullptr) object->Release(); }
};

}  // namespace KovonTest
