#pragma once
// Whether a USB 2.0 camera model delivers monochrome or Bayer colour data, decided from its model
// name (the device's DeviceModelName text).
#include <cstdint>
#include <string_view>

namespace Kovon::Usb2Image {

enum ColorType : std::uint32_t {
    kColorTypeUnknown = 0,
    kColorTypeMono = 1000,
    kColorTypeColor = 1001,
};

// Exact, case-sensitive comparison with the known model names; any other name gives
// kColorTypeUnknown (such a stream produces no image at all).
ColorType GetColorType(std::string_view modelName);

}  // namespace Kovon::Usb2Image
