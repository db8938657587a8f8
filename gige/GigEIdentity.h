#pragma once
// What the GigE Vision interface makes of one discovered camera: its identity texts (the device
// information ids 0 to 5 and 7), the connection record by which the library reaches it, and the
// value of information id 9. Every text is read from its record field within the field's bounds.
#include <cstdint>
#include <string>

#include "gige/pelion/Records.h"

namespace Kovon {

extern const char* const kGigEVersionText;  // "4.7.0.0"
extern const char* const kGigEVendorName;   // "Tarvek Co., LTD": the only vendor the interface opens
extern const char* const kGigEVendorInfo;   // "TARVEK URL:" and the maker's web address
extern const char* const kGigETransportLayerType;  // "GEV"

// The seven identity texts, in the order the device constructor takes them.
struct GigEDeviceTexts {
    std::string deviceVersion;  // id 0: the camera's version text
    std::string deviceName;     // id 1: model, "_", serial text (id 7)
    std::string versionText;    // id 2
    std::string vendorName;     // id 3
    std::string modelName;      // id 4
    std::string vendorInfo;     // id 5
    std::string serialNumber;   // id 7: "SN_" and the camera's serial number
};

GigEDeviceTexts IdentityFromRecord(const Pelion::CameraRecord& record);
Pelion::ConnectionRecord ConnectionFromRecord(const Pelion::CameraRecord& record);
// Information id 9 from the record's access code: 0 -> 1, 1 -> 3, 2 -> 1000, anything else 0
// (unknown).
int32_t AccessValue(uint8_t accessCode);

// A NUL-terminated text field of 'capacity' bytes; a field without a NUL ends at its capacity.
std::string FieldText(const char* field, size_t capacity);

}  // namespace Kovon
