#include "usb2/driver/UsbIdList.h"

#include <algorithm>
#include <cstdio>

namespace Kovon {
namespace {

bool ParseHex16(const std::string& text, size_t at, uint16_t& out) {
    if (at + 4 > text.size()) return false;
    unsigned value = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = unsigned(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = unsigned(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = unsigned(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    out = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::optional<std::vector<UsbId>> ParseUsbIdList(const std::string& text) {
    std::vector<UsbId> ids;
    constexpr size_t kPairLength = 9;  // "vvvv:pppp"
    for (size_t at = 0; at < text.size();) {
        UsbId id;
        if (!ParseHex16(text, at, id.vendor) || at + kPairLength > text.size() || text[at + 4] != ':' ||
            !ParseHex16(text, at + 5, id.product))
            return std::nullopt;
        at += kPairLength;
        if (at < text.size()) {
            if (text[at] != ',' || at + 1 == text.size()) return std::nullopt;
            ++at;
        }
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return ids;
}

std::string FormatUsbIdList(const std::vector<UsbId>& ids) {
    std::string text;
    for (const UsbId& id : ids) {
        char pair[16];
        std::snprintf(pair, sizeof pair, "%04x:%04x", id.vendor, id.product);
        if (!text.empty()) text += ',';
        text += pair;
    }
    return text;
}

}  // namespace Kovon
