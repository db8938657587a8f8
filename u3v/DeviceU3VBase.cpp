#include "u3v/DeviceU3VBase.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "system/TreeText.h"
#include "u3v/HotPlugTable.h"
#include "u3v/StreamU3VBase.h"
#include "u3v/U3vStatus.h"
#include "u3v/tessa/Tessa.h"

namespace Kovon {

using Lumora::GC_ERR_ACCESS_DENIED;
using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_INVALID_PARAMETER;
using Lumora::GC_ERR_NOT_IMPLEMENTED;
using Lumora::INewStream;
namespace T = Kovon::Tessa;

const char* const kU3vVersionText = "4.7.0.0";
const char* const kU3vVendorName = "Tarvek Co., LTD";
const char* const kU3vVendorInfo = "TARVEK URL:http://www.tarvek.com";

namespace {

constexpr const char* kTransportLayerType = "U3V";
constexpr uint64_t kDeviceLevelRegister = 0x10040;
constexpr uint32_t kMinDeviceLevel = 8;
constexpr int kRefusedByDeviceLevel = -10003;
constexpr size_t kBootstrapTextSize = 64;
constexpr uint64_t kUserNameRegister = 0x184;
constexpr uint64_t kDeviceTextRegister = 0x50030;
constexpr size_t kDeviceTextSize = 32;

bool IsBootstrapText(uint64_t id) {
    return id == 4 || id == 0x44 || id == 0xC4 || id == 0x104 || id == 0x144 || id == 0x184;
}

// Sizes an ordinary register access may have.
bool IsRegisterSize(uint64_t size) {
    return size == 4 || size == 8 || size == 16 || size == 32 || size == 64;
}

// Camera registers are little-endian.
uint32_t LittleEndian32(const unsigned char* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Called on the library's event thread.
bool EventTrampoline(uint16_t eventId, uint64_t value, int dataLength, void* data, void* context) {
    auto* device = static_cast<CDeviceU3VBase*>(context);
    device->EventCallBack(eventId, dataLength, static_cast<unsigned char*>(data),
                          static_cast<unsigned long>(value & 0xFFFFFFFFu),
                          static_cast<unsigned long>(value >> 32));
    return false;
}

// Called on the library's notifier thread.
void RemovalTrampoline(const char* instanceId, void*) {
    U3vHotPlug::NoticeRemoval(instanceId);
}

}  // namespace

CDeviceU3VBase::CDeviceU3VBase() {
    texts_.version = kU3vVersionText;
    texts_.vendorName = kU3vVendorName;
    texts_.vendorInfo = kU3vVendorInfo;
}

CDeviceU3VBase::CDeviceU3VBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const U3vDeviceTexts& texts, int accessCode)
    : CDeviceBase(system, parentInterface), accessCode_(accessCode), texts_(texts) {}

CDeviceU3VBase::~CDeviceU3VBase() {
    ReleaseStreams();
    CloseDriver();
    if (interface_ != nullptr) interface_->ReleaseChild(static_cast<Lumora::IDevice*>(this));
    xml_.clear();
    Release_Mutex();
}

// ---- opening and closing --------------------------------------------------------------------

bool CDeviceU3VBase::Create_Mutex() {
    return CreateNamedMutex(texts_.serialText);
}

bool CDeviceU3VBase::Release_Mutex() {
    return CloseNamedMutex();
}

int CDeviceU3VBase::OpenDriver() {
    if (driverOpen_ || !ClaimCamera()) return GC_ERR_ERROR;
    T::U3V_DEVICE_INFORMATION record;
    std::memset(&record, 0, sizeof record);
    uint16_t r = T::U3V_OpenDevice(texts_.devicePath.c_str(), &deviceHandle_, 0, 0, &record);
    if (r != 0) {
        deviceHandle_ = nullptr;
        Release_Mutex();
        return ReturnU3VError(r);
    }
    auto closeAll = [this](int status) {
        if (controlHandle_ != nullptr && T::U3V_CloseControl(controlHandle_) == 0) controlHandle_ = nullptr;
        if (deviceHandle_ != nullptr && T::U3V_CloseDevice(deviceHandle_) == 0) deviceHandle_ = nullptr;
        xml_.clear();
        Release_Mutex();
        return status;
    };
    if ((r = T::U3V_OpenControl(deviceHandle_, &controlHandle_)) != 0) {
        controlHandle_ = nullptr;
        return closeAll(ReturnU3VError(r));
    }
    unsigned char level[4] = {};
    if ((r = T::U3V_ReadMem(controlHandle_, kDeviceLevelRegister, sizeof level, level)) != 0)
        return closeAll(ReturnU3VError(r));
    if (LittleEndian32(level) < kMinDeviceLevel) return closeAll(kRefusedByDeviceLevel);

    const void* data = nullptr;
    uint32_t size = 0;
    if ((r = T::U3V_ReadXml(controlHandle_, &data, &size, 0)) != 0) return closeAll(ReturnU3VError(r));
    if (data == nullptr && size != 0) return closeAll(GC_ERR_ERROR);
    xml_.assign(static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + size);

    driverOpen_ = true;
    connected_.store(true);
    // The instance id is a text inside a fixed field; it is bounded before use.
    instanceId_.assign(record.instanceId, strnlen(record.instanceId, sizeof record.instanceId));

    // Removal notices are optional: without them the device only learns of an unplug from
    // failing transfers.
    if (U3vHotPlug::Enter(instanceId_, this)) {
        if (T::TessaRegisterRemoval(&RemovalTrampoline, nullptr, &removalToken_) != 0) {
            removalToken_ = 0;
            U3vHotPlug::Leave(instanceId_, this);
        }
    }
    return 0;
}

void CDeviceU3VBase::CloseEventChannel() {
    // Not under eventLock_: the event thread may be waiting for it inside a delivery, and closing
    // the channel waits for that thread.
    void* event = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(eventLock_);
        event = eventHandle_;
    }
    if (event == nullptr) return;
    if (T::U3V_CloseEvent(event) == 0) {
        std::lock_guard<std::recursive_mutex> guard(eventLock_);
        eventHandle_ = nullptr;
    }
}

void CDeviceU3VBase::CloseDriver() {
    // The device leaves the hot-plug table first; once the notice is unregistered no removal
    // notice can reach it any more.
    U3vHotPlug::Leave(instanceId_, this);
    if (removalToken_ != 0) {
        T::TessaUnregisterRemoval(removalToken_);
        removalToken_ = 0;
    }
    if (!driverOpen_) return;
    CloseEventChannel();
    if (controlHandle_ != nullptr && T::U3V_CloseControl(controlHandle_) == 0) controlHandle_ = nullptr;
    if (deviceHandle_ != nullptr && T::U3V_CloseDevice(deviceHandle_) == 0) deviceHandle_ = nullptr;
    driverOpen_ = false;
    connected_.store(false);
}

// ---- register access ------------------------------------------------------------------------

int CDeviceU3VBase::ReadMemory(uint64_t address, unsigned char* buffer, uint16_t length) {
    return ReturnU3VError(T::U3V_ReadMem(controlHandle_, address, length, buffer));
}

int CDeviceU3VBase::WriteMemory(uint64_t address, const unsigned char* buffer, uint16_t length) {
    return ReturnU3VError(T::U3V_WriteMem(controlHandle_, address, length, buffer));
}

int CDeviceU3VBase::ReadOut(uint64_t address, size_t count, void* buffer, Lumora::u64& size) {
    if (buffer == nullptr) {
        size = count;  // a size query: the camera is not asked
        return 0;
    }
    if (size < count) throw std::invalid_argument("Invalid Buffer Size");
    unsigned char bytes[64];
    const int status = ReadMemory(address, bytes, static_cast<uint16_t>(count));
    if (status != 0) return status;
    CopyParamBytes(buffer, &size, bytes, count);
    return 0;
}

int CDeviceU3VBase::ReadPayloadSize(void* buffer, Lumora::u64& size) {
    if (buffer == nullptr) {
        size = 4;
        return 0;
    }
    if (size < 4) throw std::invalid_argument("Invalid Buffer Size");
    unsigned char bytes[4];
    const int status = ReadMemory(kPayloadSizeRegister, bytes, sizeof bytes);
    if (status != 0) return status;
    CopyParamBytes(buffer, &size, bytes, sizeof bytes);
    std::lock_guard<std::recursive_mutex> guard(streamsLock_);
    INewStream* stream = FirstOpenStream();
    if (stream == nullptr) return 0;
    // The stream's frame buffers share one budget. A payload of 0 gives a count of 0, which the
    // library refuses; a payload beyond the budget still gets one buffer.
    const uint32_t payload = LittleEndian32(bytes);
    uint32_t count = payload == 0 ? 0 : kBufferBudget / payload;
    if (payload != 0 && count == 0) count = 1;
    Lumora::u64 countSize = sizeof count;
    return stream->SetParam(4104, &count, countSize);
}

int CDeviceU3VBase::WriteIn(uint64_t address, size_t maxBytes, size_t writeBytes, const void* buffer,
                            Lumora::u64& size) {
    // Nothing to write is refused as well as too much.
    if (size == 0) throw std::invalid_argument("Invalid Buffer Size");
    unsigned char bytes[64] = {};
    CopyParamIn(bytes, maxBytes, buffer, &size);
    const size_t n = writeBytes != 0 ? writeBytes : static_cast<size_t>(size);
    return WriteMemory(address, bytes, static_cast<uint16_t>(n));
}

int CDeviceU3VBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&]() -> int {
        if (IsBootstrapText(id)) return ReadOut(id, kBootstrapTextSize, buffer, size);
        switch (id) {
            case kDescriptionAddress:
                CopyParamBytes(buffer, &size, xml_.data(), xml_.size());
                return 0;
            case kPayloadSizeRegister:
                return ReadPayloadSize(buffer, size);
            case kAcquisitionModeRegister: {
                if (buffer == nullptr) {
                    size = 4;
                    return 0;
                }
                if (size < 4) throw std::invalid_argument("Invalid Buffer Size");
                unsigned char bytes[4];
                const int status = ReadMemory(id, bytes, sizeof bytes);
                if (status != 0) return status;
                CopyParamBytes(buffer, &size, bytes, sizeof bytes);
                streamState_.store(LittleEndian32(bytes));
                return 0;
            }
            case kDeviceTextRegister:
                return ReadOut(id, kDeviceTextSize, buffer, size);
            case kStreamTimeoutId:
            case kAcceptFaultyFramesId:
            case kBufferCountId: {
                std::lock_guard<std::recursive_mutex> guard(streamsLock_);
                INewStream* stream = FirstOpenStream();
                if (stream == nullptr) return GC_ERR_ACCESS_DENIED;
                const Lumora::u64 streamId = id == kStreamTimeoutId        ? 4100
                                             : id == kAcceptFaultyFramesId ? 4096
                                                                           : 4104;
                uint32_t value = 0;
                Lumora::u64 valueSize = sizeof value;
                const int status = stream->GetParam(streamId, &value, valueSize);
                if (status != 0) return status;
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case kStreamIdleId: {
                std::lock_guard<std::recursive_mutex> guard(streamsLock_);
                const uint32_t value = FirstOpenStream() == nullptr ? 1 : (streamState_.load() == 1 ? 1 : 0);
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case kConnectedId: {
                const uint32_t value = connected_.load() ? 1 : 0;
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case kIdentityFieldId: {
                char field[kIdentityFieldSize] = {};
                identityField_.copy(field, kIdentityFieldSize - 1);
                CopyParamBytes(buffer, &size, field, sizeof field);
                return 0;
            }
            default:
                if (!IsRegisterSize(size)) return GC_ERR_INVALID_PARAMETER;
                return ReadOut(id, static_cast<size_t>(size), buffer, size);
        }
    });
}

int CDeviceU3VBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&]() -> int {
        switch (id) {
            case 4:
            case 0x44:
            case 0xC4:
            case 0x104:
            case 0x144:
            case kDescriptionAddress:
            case kDeviceTextRegister:
            case kStreamIdleId:
                return GC_ERR_ACCESS_DENIED;
            case kUserNameRegister:
                // The caller's bytes, zero-filled to the whole text.
                return WriteIn(id, kBootstrapTextSize, kBootstrapTextSize, buffer, size);
            case 0x50000:
            case 0x50004:
            case 0x50008:
                return WriteIn(id, 4, 0, buffer, size);
            case kAcquisitionModeRegister: {
                uint32_t value = 0;
                if (size == 0) throw std::invalid_argument("Invalid Buffer Size");
                CopyParamIn(&value, sizeof value, buffer, &size);
                const int status = WriteMemory(id, reinterpret_cast<const unsigned char*>(&value),
                                               static_cast<uint16_t>(size));
                if (status == 0) streamState_.store(value);
                return status;
            }
            case kStreamTimeoutId:
            case kAcceptFaultyFramesId:
            case kBufferCountId: {
                if (size > 4) return GC_ERR_INVALID_PARAMETER;
                std::lock_guard<std::recursive_mutex> guard(streamsLock_);
                INewStream* stream = FirstOpenStream();
                if (stream == nullptr) return GC_ERR_ACCESS_DENIED;
                const Lumora::u64 streamId = id == kStreamTimeoutId        ? 4100
                                             : id == kAcceptFaultyFramesId ? 4096
                                                                           : 4104;
                return stream->SetParam(streamId, buffer, size);
            }
            default:
                if (!IsRegisterSize(size)) return GC_ERR_INVALID_PARAMETER;
                return WriteIn(id, static_cast<size_t>(size), 0, buffer, size);
        }
    });
}

int CDeviceU3VBase::SetValue(Lumora::u64, void*, Lumora::u64&) {
    return GC_ERR_NOT_IMPLEMENTED;
}

int CDeviceU3VBase::GetValue(Lumora::u64, void*, Lumora::u64&) {
    return GC_ERR_NOT_IMPLEMENTED;
}

int CDeviceU3VBase::GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&]() -> int {
        switch (id) {
            case 0:
                CopyParamString(buffer, &size, texts_.firstText);
                return 0;
            case 1:
                CopyParamString(buffer, &size, texts_.deviceName);
                return 0;
            case 2:
                CopyParamString(buffer, &size, texts_.version);
                return 0;
            case 3:
                CopyParamString(buffer, &size, texts_.vendorName);
                return 0;
            case 4:
                CopyParamString(buffer, &size, texts_.modelName);
                return 0;
            case 5:
                CopyParamString(buffer, &size, texts_.vendorInfo);
                return 0;
            case 6:
                CopyParamBytes(buffer, &size, &deviceValue6_, sizeof deviceValue6_);
                return 0;
            case 7:
                CopyParamString(buffer, &size, texts_.serialText);
                return 0;
            case 8: {
                char location[64];
                std::snprintf(location, sizeof location, "Local:U3V.xml;%llx;%llx",
                              static_cast<unsigned long long>(kDescriptionAddress),
                              static_cast<unsigned long long>(xml_.size()));
                CopyParamString(buffer, &size, location);
                return 0;
            }
            case 9:
                CopyParamBytes(buffer, &size, &accessCode_, sizeof accessCode_);
                return 0;
            case 10:
                CopyParamString(buffer, &size, texts_.devicePath);
                return 0;
            case 13:
                CopyParamString(buffer, &size, kTransportLayerType);
                return 0;
            default:
                return 0;  // no such information: buffer and size stay untouched
        }
    });
}

// ---- events ---------------------------------------------------------------------------------

int CDeviceU3VBase::RegisterEventCallBack(Lumora::EventCallBack callback, void* context) {
    return GuardedCall([&]() -> int {
        if (callback == nullptr) return 0;
        std::lock_guard<std::recursive_mutex> guard(eventLock_);
        eventCallback_ = callback;
        eventContext_ = context;
        // A second registration only replaces the callback: the channel is already delivering.
        if (eventHandle_ != nullptr) return 0;
        void* handle = nullptr;
        const uint16_t r =
            T::U3V_OpenEvent(deviceHandle_, controlHandle_, &handle, &EventTrampoline, 100, this);
        if (r != 0) return ReturnU3VError(r);
        eventHandle_ = handle;
        return 0;
    });
}

void CDeviceU3VBase::EventCallBack(int event, int value, unsigned char* data, unsigned long low,
                                   unsigned long high) {
    std::lock_guard<std::recursive_mutex> guard(eventLock_);
    if (eventCallback_ == nullptr) return;
    eventCallback_(event, static_cast<unsigned>(value), data, static_cast<unsigned>(low),
                   static_cast<unsigned>(high), eventContext_);
}

// ---- tree -----------------------------------------------------------------------------------

void CDeviceU3VBase::UpdateStreamList() {
    MergeStream(std::make_unique<CStreamU3VBase>(nullptr, nullptr, nullptr, deviceHandle_, controlHandle_));
}

INewStream* CDeviceU3VBase::CreateObjectForAddList(INewStream* info) {
    if (info == nullptr || !driverOpen_) return nullptr;
    std::unique_ptr<CStreamU3VBase> stream(
        new CStreamU3VBase(system_, interface_, this, deviceHandle_, controlHandle_));
    if (!stream->OpenStream()) return nullptr;  // not linked yet: destroying it unlinks nothing
    return stream.release();
}

INewStream* CDeviceU3VBase::CopyObjectForInfo(INewStream* source) {
    if (source == nullptr) return nullptr;
    return new CStreamU3VBase(nullptr, nullptr, nullptr, deviceHandle_, controlHandle_);
}

}  // namespace Kovon
