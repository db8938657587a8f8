#pragma once
// Reading identity texts of tree objects through their own Get calls, the way the tree compares
// names: the text is read into a bounded buffer and compared as a whole, case-sensitive string.
#include <cstdint>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"

namespace Kovon {

// Reads a text parameter through 'get' (an object's GetParam or GetInfo) into a buffer of
// 'capacity' bytes. Returns the empty text when the call fails.
template <typename Getter>
std::string ReadTextWith(Getter&& get, uint64_t id, size_t capacity = 512) {
    std::vector<char> buffer(capacity, '\0');
    uint64_t size = capacity;
    if (get(id, buffer.data(), size) != 0) return std::string();
    buffer.back() = '\0';
    return std::string(buffer.data());
}

inline std::string InterfaceText(Lumora::IInterface* object, uint64_t id, size_t capacity = 512) {
    return ReadTextWith([object](uint64_t i, void* b, uint64_t& s) { return object->GetParam(i, b, s); }, id,
                        capacity);
}

inline std::string DeviceInfoText(Lumora::IDevice* object, uint64_t id, size_t capacity = 512) {
    return ReadTextWith([object](uint64_t i, void* b, uint64_t& s) { return object->GetInfo(i, b, s); }, id,
                        capacity);
}

inline std::string StreamText(Lumora::IStream* object, uint64_t id, size_t capacity = 512) {
    return ReadTextWith([object](uint64_t i, void* b, uint64_t& s) { return object->GetParam(i, b, s); }, id,
                        capacity);
}

// First element of 'list' whose name, as read by 'nameOf', equals 'name'; nullptr if none.
template <typename T, typename NameOf>
T* FindByName(const std::vector<T*>& list, const char* name, NameOf&& nameOf) {
    if (name == nullptr) return nullptr;
    for (T* object : list) {
        if (object != nullptr && nameOf(object) == name) return object;
    }
    return nullptr;
}

// Removes the first entry equal to 'child' (compared as the start of the object); returns whether
// one was found.
template <typename T>
bool RemoveFirst(std::vector<T*>& list, const void* child) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (static_cast<const void*>(*it) == child) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace Kovon
