#pragma once
// The one translation of the USB3 Vision library's 16-bit results into the host's status values,
// shared by the device and the stream.
#include <cstdint>

namespace Kovon {

// Only the low 16 bits of a library result are meaningful; 0 maps to 0, anything unknown to
// GC_ERR_ERROR.
int ReturnU3VError(uint16_t result);

}  // namespace Kovon
