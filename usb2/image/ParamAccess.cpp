#include "usb2/image/ParamAccess.h"

#include <cstring>

namespace Kovon::Usb2Image {
namespace {

constexpr std::uint64_t kWordSize = 4;

bool GetWord(IUsbParamAccess& device, std::uint64_t address, bool fromCamera, unsigned char (&word)[4]) {
    std::uint64_t size = kWordSize;
    const bool cached = device.GetValue(address, word, size) >= 0 && size == kWordSize;
    if (!fromCamera) return cached;
    if (!cached) std::memset(word, 0, sizeof word);
    size = kWordSize;
    return device.GetParam(address, word, size) >= 0 && size == kWordSize;
}

template <class T>
std::optional<T> Get(IUsbParamAccess& device, std::uint64_t address, bool fromCamera) {
    static_assert(sizeof(T) == kWordSize);
    unsigned char word[4] = {};
    if (!GetWord(device, address, fromCamera, word)) return std::nullopt;
    T value;
    std::memcpy(&value, word, sizeof value);
    return value;
}

template <class T>
int Put(IUsbParamAccess& device, std::uint64_t address, T value, bool toCamera) {
    static_assert(sizeof(T) == kWordSize);
    unsigned char word[4];
    std::memcpy(word, &value, sizeof word);
    std::uint64_t size = kWordSize;
    return toCamera ? device.SetParam(address, word, size) : device.SetValue(address, word, size);
}

}  // namespace

std::optional<std::uint32_t> CachedU32(IUsbParamAccess& d, std::uint64_t a) {
    return Get<std::uint32_t>(d, a, false);
}
std::optional<float> CachedFloat(IUsbParamAccess& d, std::uint64_t a) {
    return Get<float>(d, a, false);
}
std::optional<std::uint32_t> ReadU32(IUsbParamAccess& d, std::uint64_t a) {
    return Get<std::uint32_t>(d, a, true);
}
std::optional<float> ReadFloat(IUsbParamAccess& d, std::uint64_t a) {
    return Get<float>(d, a, true);
}
int WriteU32(IUsbParamAccess& d, std::uint64_t a, std::uint32_t v) {
    return Put(d, a, v, true);
}
int WriteFloat(IUsbParamAccess& d, std::uint64_t a, float v) {
    return Put(d, a, v, true);
}
int StoreFloat(IUsbParamAccess& d, std::uint64_t a, float v) {
    return Put(d, a, v, false);
}

}  // namespace Kovon::Usb2Image
