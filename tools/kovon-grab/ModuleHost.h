#pragma once
// kovon-grab reaches the module only as a host does: dlopen, GetSystem, the host interfaces.
#include <string>

#include "Lumora/Lumora.h"

namespace KovonGrab {

class ModuleHost {
public:
    // Loads the module at 'path'; Ok() tells whether it worked, Error() why not.
    explicit ModuleHost(const std::string& path);
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    bool Ok() const { return system_ != nullptr; }
    const std::string& Error() const { return error_; }
    Lumora::ISystem* System() const { return system_; }
    void* Symbol(const char* name) const;

private:
    void* handle_ = nullptr;
    Lumora::ISystem* system_ = nullptr;
    std::string error_;
};

// Reads a text through a Get call of the (id, buffer, size) shape; empty on failure.
template <typename Getter>
std::string ReadText(Getter&& get, Lumora::u64 id) {
    char buffer[1024] = {};
    Lumora::u64 size = sizeof buffer;
    if (get(id, buffer, size) != 0) return std::string();
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

}  // namespace KovonGrab
