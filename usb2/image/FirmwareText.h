#pragma once
// The firmware version text of a USB 2.0 camera ("a.b.c.d") decides which image-path features the
// camera has: the frame marker, the exposure statistics and the colour statistics came with
// firmware after 0.0.5.0.
//
// The comparison is textual, as the cameras have always been told apart: the first
// min(length, 7) bytes of the text are compared with "0.0.5.0"; the first different byte decides;
// when they are equal the text is greater only if it is longer than 7 characters, otherwise it
// counts as equal. So "0.0.10.0" is older than "0.0.5.0", and a text that is a prefix of
// "0.0.5.0" (including the empty text) counts as equal to it.
#include <string_view>

namespace Kovon::Usb2Image {

// Negative, zero or positive as the text compares below, equal to or above "0.0.5.0".
int CompareFirmwareText(std::string_view firmware);

// Frame marker, resynchronisation and the host-side exposure loop: firmware above 0.0.5.0.
inline bool FirmwareHasFrameMarker(std::string_view firmware) {
    return CompareFirmwareText(firmware) > 0;
}

// White balance from the camera's own colour statistics: firmware 0.0.5.0 and above.
inline bool FirmwareHasColorStatistics(std::string_view firmware) {
    return CompareFirmwareText(firmware) >= 0;
}

}  // namespace Kovon::Usb2Image
