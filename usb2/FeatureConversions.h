#pragma once
// The unit conversions between map values and camera register values of the USB 2.0 cameras.
// Pure functions: no camera, no cache.
//
// The arithmetic is part of the behaviour: single-precision floats unless a function says double,
// truncation toward zero, and the low 16 or 32 bits of a 64-bit truncation for what goes into a
// register. Where the arithmetic can leave the range of its integer type (a NaN, an infinity, a
// quotient by zero, a value beyond 64 bits), the result is defined here instead of being an
// undefined conversion:
//   - TruncI64: NaN gives 0, values beyond the 64-bit range give the nearest limit;
//   - TruncU32: NaN and negative values give 0, values beyond 32 bits give 0xFFFFFFFF;
//   - a quotient whose divisor is 0 is named at each function.
#include <cstdint>

namespace Kovon::Usb2 {

int64_t TruncI64(float value);
int64_t TruncI64(double value);
uint32_t TruncU32(float value);
inline uint16_t Low16(int64_t value) {
    return static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFu);
}
inline uint32_t Low32(int64_t value) {
    return static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
}

// Microseconds to clock ticks of a pixel clock of c MHz: trunc(c × us), low 32 bits.
uint32_t TicksFromMicroseconds(float c, float us);
// (float)(unsigned)trunc(ticks / c + 0.5). A clock of 0 gives 0.
float MicrosecondsFromTicks(float c, uint32_t ticks);

// Strobe timing in ticks of 16 clocks: trunc(c × 0.0625 × us), low 16 bits; back with
// (float)(unsigned)trunc(16 / c × register + rounding), rounding 0.6 for the strobe time and 0.5
// for the strobe delay. A clock of 0 gives 0.
uint16_t StrobeTicks(float c, float us);
float StrobeMicroseconds(float c, uint16_t ticks, float rounding);
constexpr float kStrobeTimeRounding = 0.6f;
constexpr float kStrobeDelayRounding = 0.5f;

// Gain steps to the gain register: trunc(value × 7.46 + 0.5) + 199, low 16 bits; back with
// trunc(max(register − 199, 0) / 7.46 + 0.5) as 16 bits.
uint16_t GainRegister(int32_t value);
uint16_t GainFromRegister(uint16_t reg);
// The same for the "-P" models: (u16)trunc(value × 5.71 + 0.5) + 150 and
// trunc(max(register − 150, 0) / 5.71 + 0.5).
uint16_t GainRegisterP(int32_t value);
uint16_t GainFromRegisterP(uint16_t reg);

// Frame rate (frames per second) to the frame period in ticks: trunc((1000000 / rate) × c), low
// 32 bits; a rate of 0 gives the longest period the register holds, 0xFFFFFFFF.
uint32_t FramePeriodTicks(float c, float rate);
// 1000000 / ticks × c, not rounded. A period of 0 ticks has no rate: 0.
float FrameRateFromTicks(float c, uint32_t ticks);
// 1000000 / value for frame times and rates; 0 when value is not above 0 (also NaN).
float PerSecond(float value);

// The frame time in microseconds of a sensor of 'sensorHeight' rows read 'height' rows high with
// a row time r: (h + 31) × r + 0.25 × r × (H − h − 31), H − h − 31 a signed integer.
float FrameTime(float rowTime, uint32_t sensorHeight, uint32_t height);

// The slope of a gamma segment: trunc((y1 − y0) / (x1 − x0) × 32). A segment whose abscissas do
// not increase, or whose ordinates decrease, has slope 0: the curve stays flat there rather than
// taking a value the camera cannot mean.
uint32_t GammaSlope(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1);

// A white-balance ratio (1024.0 is a gain of one) to its registers: trunc(ratio + 0.5), low 16 bits.
uint16_t RatioRegister(float ratio);

// Pixel formats: the GenICam value and the camera's code in register 0x43E.
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono10 = 0x01100003;
constexpr uint32_t kMono12 = 0x01100005;
constexpr uint32_t kMono14 = 0x01100025;
constexpr uint32_t kBayerBG8 = 0x0108000B;
constexpr uint32_t kBGR8Packed = 0x02180015;
// Code of a format; a format the camera does not know gives code 0.
uint16_t PixelFormatCode(uint32_t format);
// Format of a code; a code not in the table gives 0.
uint32_t PixelFormatOfCode(uint16_t code);
// 2 for Mono10, Mono12 and Mono14, 3 for BGR8Packed, 1 for any other value.
uint32_t BytesPerPixel(uint32_t format);
// (width, doubled when the horizontal binning code is 1) × height × bytes per pixel, in
// unsigned 32-bit arithmetic.
uint32_t PayloadSize(uint32_t width, uint32_t horizontalCode, uint32_t height, uint32_t format);

// The 752-column models ("RT-GD48E", "RT-KD48E").
namespace Narrow {
constexpr unsigned kRowTimeEntries = 36;
constexpr uint32_t kTriggerExposureLimitRows = 31970;
// The row time in microseconds for 'columnsRemoved' = WidthMax − Width: the entry
// (columnsRemoved >> 4). A width above WidthMax (negative difference) uses entry 0, the full
// width; a difference beyond the table uses its last entry.
float RowTime(int64_t columnsRemoved);
// The exposure limit in rows outside trigger mode for row time t and height h:
// F = t × 52 + (float)(unsigned)trunc(t × h), R = trunc(1000000 / F + 0.5), limit 31970 / R.
// A frame rate R of 0 (frames longer than two seconds) leaves the exposure unlimited by the
// frame: the limit is 31970 rows, as in trigger mode.
uint32_t ExposureLimitRows(float rowTime, uint32_t height);
// Trigger delay in ticks of 37 ns: (unsigned)trunc(us × 1000) / 37; back
// (float)(unsigned)trunc(ticks × 37 / 1000 + 0.5).
uint32_t TriggerDelayTicks(float us);
float TriggerDelayMicroseconds(uint32_t ticks);
// Strobe time and delay in ticks of 592 ns: trunc(us × 1000 / 592), low 16 bits; back
// (float)(unsigned)trunc(ticks × 592 / 1000 + 0.5).
uint16_t StrobeTicks(float us);
float StrobeMicroseconds(uint16_t ticks);
// Gain: (value + 32) >> 1, at most 64; back register × 2 − 32.
uint16_t GainRegister(uint32_t value);
uint32_t GainFromRegister(uint16_t reg);
// Black level, in double precision: trunc(value × 9.88 + 0.5 + 35.0), low 16 bits; back
// trunc((register − 35) × (1 / 9.88) + 0.5).
uint16_t BlackLevelRegister(int32_t value);
int32_t BlackLevelFromRegister(uint16_t reg);
// Exposure in rows: trunc(us / rowTime + 0.5), low 16 bits (a row time of 0 gives 0 rows).
uint16_t ExposureRows(float us, float rowTime);
}  // namespace Narrow

}  // namespace Kovon::Usb2
