#include "gige/DeviceGigEBase.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "gige/DescriptionLocation.h"
#include "gige/GigEStatus.h"
#include "gige/StreamGigEBase.h"
#include "gige/pelion/Pelion.h"
#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "system/TreeText.h"

namespace Kovon {
namespace {

using namespace Lumora;
namespace St = Pelion::St;

// Camera registers and memory the device treats specially.
constexpr uint32_t kManufacturerName = 0x48;
constexpr uint32_t kModelName = 0x68;
constexpr uint32_t kDeviceVersion = 0x88;
constexpr uint32_t kManufacturerInfo = 0xA8;
constexpr uint32_t kSerialNumber = 0xD8;
constexpr uint32_t kUserName = 0xE8;
constexpr uint32_t kFirstUrl = 0x200;
constexpr uint32_t kSecondUrl = 0x400;
constexpr uint32_t kHeartbeatTimeout = 0x938;
constexpr uint32_t kOpenMarker = 0xA000;
constexpr uint32_t kTimeoutPairA = 0xB04C;
constexpr uint32_t kTimeoutPairB = 0xB050;
constexpr uint32_t kDeviceScan = 0xFFFF;
constexpr uint32_t kUrlBytes = 512;
constexpr uint32_t kMemoryPiece = 512;
// Where a description may lie: the maker's description addresses.
constexpr uint32_t kDescriptionIds[] = {0x10000, 0x11000, 0x13000, 0x19800};

// The module's own registers.
constexpr uint32_t kEventChannel = 0x10000000;
constexpr uint32_t kPacketTimeout = 0x10000004;
constexpr uint32_t kResendEnabled = 0x10000008;
constexpr uint32_t kFrameRetention = 0x1000000C;
constexpr uint32_t kStreamForward = 0x10000010;
constexpr uint32_t kStreamIdle = 0x10000014;
constexpr uint32_t kModeByte = 0x10000018;
constexpr uint32_t kResendRounds = 0x1000001C;
constexpr uint32_t kLongCommandResult = 0x10000020;
constexpr uint32_t kLongCommand = 0x10000024;
constexpr uint32_t kLinkUp = 0x1000002C;
// The stream id that the forwarding registers reach.
constexpr Lumora::u64 kStreamForwardedId = 0x1000;

constexpr uint32_t kSettingsFrameWaitMs = 1000;
constexpr uint32_t kRaisedTimeoutMs = 2000;
constexpr uint32_t kLongCommandTimeoutMs = 20000;
constexpr uint32_t kSelfTest = 4;

bool InMemoryWindow(uint64_t id) {
    return (id >= 0x20000 && id <= 0x21000) || (id >= 0x30000 && id <= 0x6FFFF) ||
           (id >= 0x20000000 && id <= 0x20003FFF);
}

bool IsDescriptionId(uint64_t id) {
    for (uint32_t d : kDescriptionIds)
        if (id == d) return true;
    return false;
}

// Offsets of the settings record fields the module registers reach.
constexpr uint32_t kSettingsPacketTimeout = 4;
constexpr uint32_t kSettingsResend = 8;
constexpr uint32_t kSettingsRetention = 12;
constexpr uint32_t kSettingsRounds = 16;

uint32_t SettingsField(const Pelion::SettingsRecord& s, uint32_t offset) {
    switch (offset) {
        case kSettingsPacketTimeout: return s.packetTimeoutMs;
        case kSettingsResend: return s.resendEnabled;
        case kSettingsRetention: return s.frameRetentionMs;
        default: return s.resendRounds;
    }
}

uint32_t SettingsOffset(uint32_t id) {
    switch (id) {
        case kPacketTimeout: return kSettingsPacketTimeout;
        case kResendEnabled: return kSettingsResend;
        case kFrameRetention: return kSettingsRetention;
        default: return kSettingsRounds;
    }
}

// Reads a 4-byte big-endian value from the caller (at most 4 bytes), in host order.
uint32_t ValueIn(const void* buffer, const Lumora::u64& size) {
    uint32_t wire = 0;
    CopyParamIn(&wire, sizeof wire, buffer, &size);
    return ntohl(wire);
}

void ValueOut(void* buffer, Lumora::u64& size, uint32_t value) {
    const uint32_t wire = htonl(value);
    CopyParamBytes(buffer, &size, &wire, sizeof wire);
}

// The library hands events to this function with the device as context.
bool OnLibraryEvent(uint32_t, const Pelion::EventRecord* event, void* context) {
    if (event == nullptr || context == nullptr) return false;
    static_cast<CDeviceGigEBase*>(context)->EventCallBack(event->eventId, event->channel,
                                                          const_cast<unsigned char*>(event->data), event->dataSize,
                                                          event->blockId);
    return false;
}

}  // namespace

CDeviceGigEBase::CDeviceGigEBase() {
    texts_.vendorName = kGigEVendorName;
    texts_.vendorInfo = kGigEVendorInfo;
}

CDeviceGigEBase::CDeviceGigEBase(INewSystem* system, INewInterface* parentInterface, GigEDeviceTexts texts,
                                 const Pelion::ConnectionRecord& connection, const Pelion::CameraRecord& discovery,
                                 uint8_t cameraIndex, int32_t accessValue)
    : CDeviceBase(system, parentInterface),
      connection_(connection),
      discovery_(discovery),
      cameraIndex_(cameraIndex),
      accessValue_(accessValue),
      texts_(std::move(texts)) {}

CDeviceGigEBase::~CDeviceGigEBase() {
    ReleaseStreams();
    CloseDriver();
    CloseCamera();
    if (interface_ != nullptr) interface_->ReleaseChild(static_cast<IDevice*>(this));
    Release_Mutex();
}

// Opening and closing.

bool CDeviceGigEBase::Create_Mutex() { return CreateNamedMutex(texts_.deviceName); }

bool CDeviceGigEBase::Release_Mutex() { return CloseNamedMutex(); }

void CDeviceGigEBase::CloseCamera() {
    if (!connected_) return;
    Pelion::SetEventHandler(cameraIndex_, nullptr, nullptr);
    Pelion::CloseCamera(cameraIndex_);
    connected_ = false;
    cameraOpen_ = false;
}

int CDeviceGigEBase::OpenDriver() {
    if (!ClaimCamera()) return GC_ERR_ERROR;
    descriptionUrl_.clear();
    const Pelion::Status opened = Pelion::OpenCamera(cameraIndex_, &connection_, 0, 0, 1);
    if (opened == St::AccessRefused) return kOpenRefused;
    if (opened != St::Ok && opened != St::AlreadyOpen) return GC_ERR_ERROR;
    connected_ = true;

    auto fail = [this] {
        CloseCamera();
        return static_cast<int>(GC_ERR_ERROR);
    };
    Pelion::SettingsRecord settings{};
    if (Pelion::ReadSettings(cameraIndex_, &settings) != St::Ok) return fail();
    settings.frameWaitTimeoutMs = kSettingsFrameWaitMs;
    if (Pelion::WriteSettings(cameraIndex_, &settings) != St::Ok) return fail();

    uint32_t zero = 0;
    Lumora::u64 size = sizeof zero;
    if (SetParam(kOpenMarker, &zero, size) != 0) return fail();

    char url[kUrlBytes + 1] = {};
    size = kUrlBytes;
    if (GetParam(kFirstUrl, url, size) != 0) return fail();
    descriptionUrl_ = url;
    const auto location = ParseDescriptionLocation(descriptionUrl_);
    if (!location) return fail();
    descriptionAddress_ = location->address;
    descriptionLength_ = location->length;

    const uint32_t rounded = (descriptionLength_ + 3) & ~3u;
    description_.assign(size_t{rounded} + 1, 0);
    for (uint32_t done = 0; done < rounded; done += kMemoryPiece) {
        const uint32_t piece = std::min(kMemoryPiece, rounded - done);
        if (ReadMemory(static_cast<uint32_t>(descriptionAddress_ + done), description_.data() + done, piece) != 0)
            return fail();
    }
    description_[descriptionLength_] = 0;

    mode_ = 1;
    if (Pelion::WriteMode(cameraIndex_, mode_) != St::Ok) return fail();
    cameraOpen_ = true;
    return 0;
}

void CDeviceGigEBase::CloseDriver() {
    if (!eventChannelOpen_ || !connected_) return;
    Pelion::CloseEventChannel(cameraIndex_);
    eventChannelOpen_ = false;
}

// Camera access.

bool CDeviceGigEBase::LinkDown() {
    if (!connected_) return false;
    uint8_t state = 0, missed = 0;
    Pelion::GetLinkState(cameraIndex_, &state, &missed);
    return state == 1 || state == 2;
}

int CDeviceGigEBase::ReadRegister(uint32_t address, uint32_t* values, uint8_t count) {
    if (!connected_) return GC_ERR_NOT_INITIALIZED;
    if (LinkDown()) return GC_ERR_NOT_AVAILABLE;
    return MapGigEStatus(GigECall::Register, Pelion::ReadRegisters(cameraIndex_, address, count, values));
}

int CDeviceGigEBase::WriteRegister(uint32_t address, const uint32_t* values, uint8_t count) {
    if (!connected_) return GC_ERR_NOT_INITIALIZED;
    if (LinkDown()) return GC_ERR_NOT_AVAILABLE;
    return MapGigEStatus(GigECall::Register, Pelion::WriteRegisters(cameraIndex_, address, count, values));
}

int CDeviceGigEBase::ReadMemory(uint32_t address, uint8_t* bytes, uint32_t length) {
    if (!connected_) return GC_ERR_NOT_INITIALIZED;
    if (LinkDown()) return GC_ERR_NOT_AVAILABLE;
    return MapGigEStatus(GigECall::Memory, Pelion::ReadMemory(cameraIndex_, address, length, bytes));
}

int CDeviceGigEBase::WriteMemory(uint32_t address, const uint8_t* bytes, uint32_t length) {
    if (!connected_) return GC_ERR_NOT_INITIALIZED;
    if (LinkDown()) return GC_ERR_NOT_AVAILABLE;
    return MapGigEStatus(GigECall::Memory, Pelion::WriteMemory(cameraIndex_, address, length, bytes));
}

int CDeviceGigEBase::WriteSetting(uint32_t offset, const uint32_t* value32, const uint8_t* value8) {
    if (!connected_) return GC_ERR_NOT_INITIALIZED;
    Pelion::SettingsRecord settings{};
    const Pelion::Status read = Pelion::ReadSettings(cameraIndex_, &settings);
    if (read != St::Ok) return MapGigEStatus(GigECall::SettingRead, read);
    switch (offset) {
        case 0: settings.heartbeatTimeoutMs = *value32; break;
        case kSettingsPacketTimeout: settings.packetTimeoutMs = *value32; break;
        case kSettingsResend: settings.resendEnabled = *value8; break;
        case kSettingsRetention: settings.frameRetentionMs = *value32; break;
        case kSettingsRounds: settings.resendRounds = *value8; break;
        default: return GC_ERR_INVALID_PARAMETER;
    }
    return MapGigEStatus(GigECall::Setting, Pelion::WriteSettings(cameraIndex_, &settings));
}

int CDeviceGigEBase::CopyMemoryOut(uint32_t address, uint32_t length, void* buffer, Lumora::u64& size) {
    if (buffer == nullptr) {
        size = length;  // a size query touches no camera
        return 0;
    }
    if (size < length) return GC_ERR_INVALID_BUFFER;
    uint8_t area[kUrlBytes];
    const int status = ReadMemory(address, area, length);
    if (status != 0) return status;
    CopyParamBytes(buffer, &size, area, length);
    return 0;
}

// Parameters.

int CDeviceGigEBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (id > 0xFFFFFFFFu) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        return SetDeviceParam(static_cast<uint32_t>(id), buffer, size);
    });
}

int CDeviceGigEBase::SetRegister(uint32_t id, uint32_t value) { return WriteRegister(id, &value, 1); }

int CDeviceGigEBase::SetDeviceParam(uint32_t id, void* buffer, Lumora::u64& size) {
    // A device that holds no connection (an info object or copy) never reaches the library: its
    // camera index may name a camera that another object opened.
    const bool local = id == kStreamForward || id == kStreamIdle || id == kLongCommandResult;
    if (!connected_ && !local) return GC_ERR_NOT_INITIALIZED;
    if (InMemoryWindow(id)) {
        if (buffer == nullptr || size == 0 || size > kMemoryArea) return GC_ERR_INVALID_PARAMETER;
        uint8_t area[kMemoryArea];
        std::memcpy(area, buffer, static_cast<size_t>(size));
        return WriteMemory(id, area, static_cast<uint32_t>(size));
    }
    switch (id) {
        case kManufacturerName: case kModelName: case kDeviceVersion: case kManufacturerInfo:
        case kSerialNumber: case kFirstUrl: case kSecondUrl: case kDeviceScan:
            return GC_ERR_ACCESS_DENIED;
        case kUserName: {
            uint8_t area[16] = {};
            CopyParamIn(area, sizeof area, buffer, &size);
            return WriteMemory(kUserName, area, sizeof area);
        }
        case kTimeoutPairA:
        case kTimeoutPairB: {
            const uint32_t value = ValueIn(buffer, size);
            uint32_t timeoutMs = 0;
            uint8_t retries = 0;
            Pelion::ReadTimeouts(cameraIndex_, &timeoutMs, &retries);
            Pelion::WriteTimeouts(cameraIndex_, kRaisedTimeoutMs, retries);
            const int status = SetRegister(id, value);
            // The raised time-out served this one write only, whether it succeeded or not.
            Pelion::WriteTimeouts(cameraIndex_, timeoutMs, retries);
            return status;
        }
        case kEventChannel: {
            const uint32_t value = ValueIn(buffer, size);
            if (value == 0) {
                const int status = MapGigEStatus(GigECall::EventClose, Pelion::CloseEventChannel(cameraIndex_));
                eventChannelOpen_ = false;
                return status;
            }
            const int status = MapGigEStatus(GigECall::EventOpen, Pelion::OpenEventChannel(cameraIndex_));
            if (status == 0) eventChannelOpen_ = true;
            return status;
        }
        case kPacketTimeout:
        case kFrameRetention: {
            const uint32_t value = ValueIn(buffer, size);
            return WriteSetting(SettingsOffset(id), &value, nullptr);
        }
        case kResendEnabled:
        case kResendRounds: {
            const uint8_t value = static_cast<uint8_t>(ValueIn(buffer, size));
            return WriteSetting(SettingsOffset(id), nullptr, &value);
        }
        case kStreamForward: {
            uint32_t value = ValueIn(buffer, size);
            INewStream* stream = FirstOpenStream();
            if (stream == nullptr) return GC_ERR_INVALID_PARAMETER;
            Lumora::u64 forwardSize = sizeof value;
            return stream->SetParam(kStreamForwardedId, &value, forwardSize);
        }
        case kStreamIdle:
        case kLongCommandResult:
            return GC_ERR_ACCESS_DENIED;
        case kModeByte: {
            const uint32_t value = ValueIn(buffer, size);
            mode_ = static_cast<uint8_t>(value);
            return MapGigEStatus(GigECall::Setting, Pelion::WriteMode(cameraIndex_, mode_));
        }
        case kLongCommand:
            return MapGigEStatus(GigECall::LongCommand, Pelion::LongCommand(cameraIndex_, &longCommandResult_, 0,
                                                                           kLongCommandTimeoutMs, kSelfTest));
        case kHeartbeatTimeout: {
            const uint32_t value = ValueIn(buffer, size);
            const int status = SetRegister(id, value);
            if (status == 0) WriteSetting(0, &value, nullptr);
            return status;
        }
        case kOpenMarker: {
            const uint32_t value = ValueIn(buffer, size);
            const int status = SetRegister(id, value);
            if (status == 0) lastA000_ = value;
            return status;
        }
        default:
            return SetRegister(id, ValueIn(buffer, size));
    }
}

int CDeviceGigEBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall(
        [&] {
            if (id > 0xFFFFFFFFu) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
            return GetDeviceParam(static_cast<uint32_t>(id), buffer, size);
        },
        GC_ERR_INVALID_BUFFER);
}

int CDeviceGigEBase::GetDeviceParam(uint32_t id, void* buffer, Lumora::u64& size) {
    const bool local = id == kEventChannel || id == kStreamForward || id == kStreamIdle || id == kLongCommandResult ||
                       id == kLongCommand || id == kTimeoutPairA || id == kTimeoutPairB || id == kLinkUp;
    if (!connected_ && !local) return GC_ERR_NOT_INITIALIZED;
    if (InMemoryWindow(id)) {
        if (size > kMemoryArea) return GC_ERR_INVALID_PARAMETER;
        if (buffer == nullptr) return 0;  // a size query: the caller's size is the read's size
        if (size == 0) return GC_ERR_INVALID_BUFFER;
        uint8_t area[kMemoryArea];
        const int status = ReadMemory(id, area, static_cast<uint32_t>(size));
        if (status == 0) std::memcpy(buffer, area, static_cast<size_t>(size));
        return status;
    }
    if (IsDescriptionId(id) && id == descriptionAddress_ && descriptionLength_ != 0) {
        CopyParamBytes(buffer, &size, description_.data(), descriptionLength_);
        return 0;
    }
    switch (id) {
        case kManufacturerName: case kModelName: case kDeviceVersion:
            return CopyMemoryOut(id, 32, buffer, size);
        case kManufacturerInfo:
            return CopyMemoryOut(id, 48, buffer, size);
        case kSerialNumber: case kUserName:
            return CopyMemoryOut(id, 16, buffer, size);
        case kFirstUrl: case kSecondUrl:
            return CopyMemoryOut(id, kUrlBytes, buffer, size);
        case kTimeoutPairA:
        case kTimeoutPairB:
            return 0;
        case kEventChannel:
            ValueOut(buffer, size, eventChannelOpen_ ? 1 : 0);
            return 0;
        case kPacketTimeout: case kResendEnabled: case kFrameRetention: case kResendRounds: {
            if (buffer != nullptr && size < 4) return GC_ERR_INVALID_BUFFER;
            Pelion::SettingsRecord settings{};
            const Pelion::Status read = Pelion::ReadSettings(cameraIndex_, &settings);
            if (read != St::Ok) return MapGigEStatus(GigECall::SettingRead, read);
            ValueOut(buffer, size, SettingsField(settings, SettingsOffset(id)));
            return 0;
        }
        case kStreamForward: {
            INewStream* stream = FirstOpenStream();
            if (stream == nullptr) return GC_ERR_INVALID_PARAMETER;
            uint32_t value = 0;
            Lumora::u64 forwardSize = sizeof value;
            const int status = stream->GetParam(kStreamForwardedId, &value, forwardSize);
            if (status != 0) return status;
            ValueOut(buffer, size, value);
            return 0;
        }
        case kStreamIdle:
            ValueOut(buffer, size, FirstOpenStream() == nullptr || lastA000_ == 1 ? 1 : 0);
            return 0;
        case kModeByte: {
            if (buffer != nullptr && size < 4) return GC_ERR_INVALID_BUFFER;
            uint8_t mode = 0;
            const int status = MapGigEStatus(GigECall::Setting, Pelion::ReadMode(cameraIndex_, &mode));
            if (status != 0) return status;
            mode_ = mode;
            ValueOut(buffer, size, mode);
            return 0;
        }
        case kLongCommandResult:
            ValueOut(buffer, size, longCommandResult_);
            return 0;
        case kLongCommand:
            return GC_ERR_ACCESS_DENIED;
        case kLinkUp: {
            uint8_t state = 0, missed = 0;
            const bool up = connected_ && Pelion::GetLinkState(cameraIndex_, &state, &missed) == St::Ok && state == 0;
            ValueOut(buffer, size, up ? 1 : 0);
            return 0;
        }
        default: {
            // One camera register; the size is checked before the camera is asked.
            if (buffer == nullptr) {
                size = 4;
                return 0;
            }
            if (size < 4) return GC_ERR_INVALID_BUFFER;
            uint32_t value = 0;
            const int status = ReadRegister(id, &value, 1);
            if (status != 0) return status;
            if (id == kOpenMarker) lastA000_ = value;
            ValueOut(buffer, size, value);
            return 0;
        }
    }
}

int CDeviceGigEBase::SetValue(Lumora::u64, void*, Lumora::u64&) { return 0; }
int CDeviceGigEBase::GetValue(Lumora::u64, void*, Lumora::u64&) { return 0; }

int CDeviceGigEBase::GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        switch (id) {
            case 0: CopyParamString(buffer, &size, texts_.deviceVersion); return 0;
            case 1: CopyParamString(buffer, &size, texts_.deviceName); return 0;
            case 2: CopyParamString(buffer, &size, texts_.versionText); return 0;
            case 3: CopyParamString(buffer, &size, texts_.vendorName); return 0;
            case 4: CopyParamString(buffer, &size, texts_.modelName); return 0;
            case 5: CopyParamString(buffer, &size, texts_.vendorInfo); return 0;
            case 6: {
                const uint32_t nothing = 0;
                CopyParamBytes(buffer, &size, &nothing, sizeof nothing);
                return 0;
            }
            case 7: CopyParamString(buffer, &size, texts_.serialNumber); return 0;
            case 8: CopyParamString(buffer, &size, descriptionUrl_); return 0;
            case 9: CopyParamBytes(buffer, &size, &accessValue_, sizeof accessValue_); return 0;
            case 10: CopyParamBytes(buffer, &size, &connection_, sizeof connection_); return 0;
            case 11: CopyParamBytes(buffer, &size, &cameraIndex_, sizeof cameraIndex_); return 0;
            case 12: CopyParamBytes(buffer, &size, &discovery_, sizeof discovery_); return 0;
            case 13: CopyParamString(buffer, &size, kGigETransportLayerType); return 0;
            case 14: {
                char text[16];
                std::snprintf(text, sizeof text, "%d.%d.%d.%d", discovery_.ip[0], discovery_.ip[1], discovery_.ip[2],
                              discovery_.ip[3]);
                CopyParamString(buffer, &size, text);
                return 0;
            }
            case 15: {
                char text[18];
                const uint8_t* m = discovery_.mac;
                std::snprintf(text, sizeof text, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", m[0], m[1], m[2], m[3], m[4], m[5]);
                CopyParamString(buffer, &size, text);
                return 0;
            }
            case 16:
                CopyParamString(buffer, &size, FieldText(discovery_.userName, sizeof discovery_.userName));
                return 0;
            default:
                return static_cast<int>(GC_ERR_NOT_IMPLEMENTED);
        }
    });
}

// Events.

int CDeviceGigEBase::RegisterEventCallBack(Lumora::EventCallBack callback, void* context) {
    if (callback == nullptr) return 0;
    std::lock_guard<std::recursive_mutex> guard(eventLock_);
    callback_ = callback;
    callbackContext_ = context;
    if (connected_) Pelion::SetEventHandler(cameraIndex_, &OnLibraryEvent, this);
    return 0;
}

void CDeviceGigEBase::EventCallBack(int eventId, int channel, unsigned char* data, unsigned long size,
                                    unsigned long blockId) {
    std::lock_guard<std::recursive_mutex> guard(eventLock_);
    if (callback_ != nullptr)
        callback_(eventId, static_cast<unsigned>(channel), data, static_cast<unsigned>(size),
                  static_cast<unsigned>(blockId), callbackContext_);
}

// Streams.

void CDeviceGigEBase::UpdateStreamList() { MergeStream(std::make_unique<CStreamGigEBase>()); }

INewStream* CDeviceGigEBase::CreateObjectForAddList(INewStream* info) {
    if (info == nullptr || StreamText(info, 0) != CStreamGigEBase::kName) return nullptr;
    auto stream = std::make_unique<CStreamGigEBase>(system_, interface_, this, connection_, cameraIndex_);
    if (!stream->OpenStream()) return nullptr;  // not linked yet: destroying it unlinks nothing
    return stream.release();
}

INewStream* CDeviceGigEBase::CopyObjectForInfo(INewStream* source) {
    if (source == nullptr || StreamText(source, 0) != CStreamGigEBase::kName) return nullptr;
    return new CStreamGigEBase(nullptr, nullptr, nullptr, connection_, 0);
}

}  // namespace Kovon
