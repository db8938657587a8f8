#pragma once
// The two routines through which every Get call copies a value out and every Set call copies one
// in. Failures throw std::invalid_argument ("Invalid Size", "Invalid Buffer Size"), which the
// calling operation catches and turns into its status (see ParamCall.h); nothing escapes to the
// host.
//
// Rules, for a destination buffer and its in/out size:
//   - null size pointer: "Invalid Size";
//   - null buffer: a size query, the needed size is stored and nothing is copied;
//   - non-null buffer with size 0: refused as "Invalid Buffer Size" (the caller stated no
//     capacity, so nothing may be written); the size stays 0;
//   - size smaller than needed: "Invalid Buffer Size", buffer and size untouched;
//   - otherwise the value is copied and the size set to the bytes written.
// A text's size counts its terminating NUL.
#include <cstdint>
#include <string>

namespace Kovon {

void CopyParamString(void* buffer, uint64_t* size, const std::string& text);
void CopyParamString(void* buffer, uint64_t* size, const char* text);
void CopyParamBytes(void* destination, uint64_t* size, const void* source, uint64_t count);

// Set direction: copy the caller's bytes into a field of 'fieldSize' bytes. A caller size larger
// than the field is refused ("Invalid Buffer Size"); a smaller or equal one copies that many
// bytes. A null caller buffer or size is refused.
void CopyParamIn(void* field, uint64_t fieldSize, const void* callerBuffer, const uint64_t* callerSize);

}  // namespace Kovon
