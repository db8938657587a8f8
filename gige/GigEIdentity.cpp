#include "gige/GigEIdentity.h"

#include <cstring>

namespace Kovon {

const char* const kGigEVersionText = "4.7.0.0";
const char* const kGigEVendorName = "Tarvek Co., LTD";
const char* const kGigEVendorInfo = "TARVEK URL:http://www.tarvek.com";
const char* const kGigETransportLayerType = "GEV";

std::string FieldText(const char* field, size_t capacity) {
    return std::string(field, strnlen(field, capacity));
}

GigEDeviceTexts IdentityFromRecord(const Pelion::CameraRecord& record) {
    GigEDeviceTexts texts;
    texts.deviceVersion = FieldText(record.deviceVersion, sizeof record.deviceVersion);
    texts.modelName = FieldText(record.model, sizeof record.model);
    texts.serialNumber = "SN_" + FieldText(record.serial, sizeof record.serial);
    texts.deviceName = texts.modelName + "_" + texts.serialNumber;
    texts.versionText = kGigEVersionText;
    texts.vendorName = kGigEVendorName;
    texts.vendorInfo = kGigEVendorInfo;
    return texts;
}

Pelion::ConnectionRecord ConnectionFromRecord(const Pelion::CameraRecord& record) {
    Pelion::ConnectionRecord connection{};
    std::memcpy(connection.cameraIp, record.ip, sizeof connection.cameraIp);
    connection.port = 0;
    connection.hostAddress = record.hostAddress;
    connection.hostMask = record.hostMask;
    const std::string name = FieldText(record.hostInterface, sizeof record.hostInterface);
    std::memcpy(connection.hostInterface, name.data(), std::min(name.size(), sizeof connection.hostInterface - 1));
    return connection;
}

int32_t AccessValue(uint8_t accessCode) {
    switch (accessCode) {
        case Pelion::Access::Free: return 1;
        case Pelion::Access::Controlled: return 3;
        case Pelion::Access::Unreachable: return 1000;
        default: return 0;
    }
}

}  // namespace Kovon
