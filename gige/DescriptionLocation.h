#pragma once
// The camera's first URL in the GenICam local form, "Local:<file>;<address>;<length>" with both
// numbers in hexadecimal: the register description lies in camera memory at that address.
#include <cstdint>
#include <optional>
#include <string>

namespace Kovon {

struct DescriptionLocation {
    uint64_t address = 0;
    uint32_t length = 0;
};

// The largest description the device fetches from a camera.
constexpr uint32_t kMaxDescriptionLength = 16u << 20;

// The address and length of a "Local:" text (prefix compared without regard to case). Nothing
// when the prefix, either separator or either number is missing or malformed, when the length is
// 0 or above kMaxDescriptionLength, or when the description would run past the 32-bit address
// space of the camera.
std::optional<DescriptionLocation> ParseDescriptionLocation(const std::string& url);

}  // namespace Kovon
