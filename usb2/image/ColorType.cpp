#include "usb2/image/ColorType.h"

#include <array>
#include <utility>

namespace Kovon::Usb2Image {

ColorType GetColorType(std::string_view modelName) {
    static constexpr std::array<std::pair<std::string_view, ColorType>, 16> kModels{{
        {"RT-GA47E", kColorTypeMono},
        {"RT-GA46E", kColorTypeMono},
        {"RT-GB47E", kColorTypeMono},
        {"RT-GC46E", kColorTypeMono},
        {"RT-GC47E", kColorTypeMono},
        {"RT-GD48E", kColorTypeMono},
        {"RT-GE45E", kColorTypeMono},
        {"RT-KA47E", kColorTypeColor},
        {"RT-KA46E", kColorTypeColor},
        {"RT-KB47E", kColorTypeColor},
        {"RT-KC47E", kColorTypeColor},
        {"RT-KD48E", kColorTypeColor},
        {"RT-KE45E", kColorTypeColor},
        {"PQ-L582H", kColorTypeColor},
        {"RT-GA47E-P", kColorTypeMono},
        {"RT-KA47E-P", kColorTypeColor},
    }};
    for (const auto& [name, type] : kModels) {
        if (name == modelName) return type;
    }
    return kColorTypeUnknown;
}

}  // namespace Kovon::Usb2Image
