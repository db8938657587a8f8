#include "gige/DescriptionLocation.h"

#include <strings.h>

namespace Kovon {
namespace {

std::optional<uint64_t> ParseHex(const std::string& text) {
    if (text.empty() || text.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        uint64_t digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
        else return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

std::optional<DescriptionLocation> ParseDescriptionLocation(const std::string& url) {
    constexpr size_t kPrefix = 6;  // "Local:"
    if (url.size() < kPrefix || strncasecmp(url.c_str(), "LOCAL:", kPrefix) != 0) return std::nullopt;
    const size_t first = url.find(';', kPrefix);
    if (first == std::string::npos) return std::nullopt;
    const size_t second = url.find(';', first + 1);
    if (second == std::string::npos) return std::nullopt;
    const auto address = ParseHex(url.substr(first + 1, second - first - 1));
    const auto length = ParseHex(url.substr(second + 1));
    if (!address || !length || *length == 0 || *length > kMaxDescriptionLength) return std::nullopt;
    if (*address + ((*length + 3) & ~uint64_t{3}) > (uint64_t{1} << 32)) return std::nullopt;
    return DescriptionLocation{*address, static_cast<uint32_t>(*length)};
}

}  // namespace Kovon
