#pragma once
// USB vendor:product pairs that mark a USB device as a camera of the USB 2.0 family, and their
// text form "vvvv:pppp[,vvvv:pppp...]" (four hexadecimal digits each, either case). Pure codec.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Kovon {

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId& o) const { return vendor == o.vendor && product == o.product; }
    bool operator<(const UsbId& o) const { return vendor != o.vendor ? vendor < o.vendor : product < o.product; }
};

// The pairs of a text, duplicates removed, in their first order; nothing for a malformed text
// (a field that is not exactly four hexadecimal digits, a missing colon or comma, an empty
// entry, spaces). The empty text is the empty list.
std::optional<std::vector<UsbId>> ParseUsbIdList(const std::string& text);
// Lower-case "vvvv:pppp" pairs joined by commas.
std::string FormatUsbIdList(const std::vector<UsbId>& ids);

}  // namespace Kovon
