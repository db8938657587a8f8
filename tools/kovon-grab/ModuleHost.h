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

// A text from a camera as shown to the user: anything but printable ASCII becomes '?', so that no
// control sequence reaches the user's terminal.
inline std::string Printable(std::string text) {
    for (char& c : text)
        if (c < 0x20 || c > 0x7E) c = '?';
    return text;
}

// Reads a text through a Get call of the (id, buffer, size) shape, made printable; empty on
// failure.
template <typename Getter>
std::string ReadText(Getter&& get, Lumora::u64 id) {
    char buffer[1024] = {};
    Lumora::u64 size = sizeof buffer;
    if (get(id, buffer, size) != 0) return std::string();
    buffer[sizeof buffer - 1] = '\0';
    return Printable(buffer);
}

}  // namespace KovonGrab
