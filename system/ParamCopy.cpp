#include "system/ParamCopy.h"

#include <cstring>
#include <stdexcept>

namespace Kovon {

void CopyParamBytes(void* destination, uint64_t* size, const void* source, uint64_t count) {
    if (size == nullptr) throw std::invalid_argument("Invalid Size");
    if (destination == nullptr) {
        *size = count;
        return;
    }
    if (*size == 0 || *size < count) throw std::invalid_argument("Invalid Buffer Size");
    if (count != 0) std::memcpy(destination, source, count);
    *size = count;
}

void CopyParamString(void* buffer, uint64_t* size, const char* text) {
    if (text == nullptr) text = "";
    CopyParamBytes(buffer, size, text, std::strlen(text) + 1);
}

void CopyParamString(void* buffer, uint64_t* size, const std::string& text) {
    // Copy up to the first NUL, as a C text would be.
    CopyParamString(buffer, size, text.c_str());
}

void CopyParamIn(void* field, uint64_t fieldSize, const void* callerBuffer, const uint64_t* callerSize) {
    if (callerSize == nullptr) throw std::invalid_argument("Invalid Size");
    if (callerBuffer == nullptr || *callerSize > fieldSize) throw std::invalid_argument("Invalid Buffer Size");
    if (*callerSize != 0) std::memcpy(field, callerBuffer, *callerSize);
}

}  // namespace Kovon
