#pragma once
// CDeviceGigEBase: one GigE Vision camera. An info object only carries what discovery found; an
// opened device owns the camera's control connection in the library (named by its camera index),
// fetches the camera's register description at open, and serves the host's parameter calls:
//
//   - camera registers by address (4 bytes, network byte order), a few bootstrap texts and the
//     first URL as memory reads, the description itself at its address;
//   - the memory windows 0x20000-0x21000, 0x30000-0x6FFFF and 0x20000000-0x20003FFF (at most
//     1024 bytes a call);
//   - the module's own registers from 0x10000000 (event channel, library settings, stream
//     forwarding, mode byte, long command, link state).
//
// Events arrive on a library thread and reach the host's callback under the device lock.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "gige/GigEIdentity.h"
#include "gige/pelion/Records.h"
#include "system/DeviceBase.h"

namespace Kovon {

class KOVON_API CDeviceGigEBase : public CDeviceBase<CDeviceGigEBase> {
public:
    // The refusal OpenDriver reports when another host controls the camera.
    static constexpr int kOpenRefused = -10001;
    // The memory area through which the memory windows pass.
    static constexpr uint32_t kMemoryArea = 1024;

    CDeviceGigEBase();
    CDeviceGigEBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface, GigEDeviceTexts texts,
                    const Pelion::ConnectionRecord& connection, const Pelion::CameraRecord& discovery,
                    uint8_t cameraIndex, int32_t accessValue);
    CDeviceGigEBase(const CDeviceGigEBase&) = delete;
    CDeviceGigEBase& operator=(const CDeviceGigEBase&) = delete;
    ~CDeviceGigEBase() override;

    // IDevice; the stream operations, Release, Share and ReleaseChild are CDeviceBase's.
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    // A null callback changes nothing; otherwise it replaces the registered one.
    int RegisterEventCallBack(Lumora::EventCallBack callback, void* context) override;

    // Slots after the host interface, in this order.
    virtual void EventCallBack(int eventId, int channel, unsigned char* data, unsigned long size,
                               unsigned long blockId);
    virtual bool Create_Mutex();
    virtual bool Release_Mutex();
    virtual void UpdateStreamList();
    virtual Lumora::INewStream* CreateObjectForAddList(Lumora::INewStream* info);
    virtual Lumora::INewStream* CopyObjectForInfo(Lumora::INewStream* source);

    // Opens the camera: 0, -1001, or kOpenRefused when another host controls it.
    int OpenDriver();
    void CloseDriver();

    uint8_t CameraIndex() const { return cameraIndex_; }

private:
    int ReadRegister(uint32_t address, uint32_t* values, uint8_t count);
    int WriteRegister(uint32_t address, const uint32_t* values, uint8_t count);
    int ReadMemory(uint32_t address, uint8_t* bytes, uint32_t length);
    int WriteMemory(uint32_t address, const uint8_t* bytes, uint32_t length);
    bool LinkDown();
    // Reads a settings field, changes it and writes the record back.
    int WriteSetting(uint32_t offset, const uint32_t* value32, const uint8_t* value8);
    int SetRegister(uint32_t id, uint32_t value);
    int GetDeviceParam(uint32_t id, void* buffer, Lumora::u64& size);
    int SetDeviceParam(uint32_t id, void* buffer, Lumora::u64& size);
    int CopyMemoryOut(uint32_t address, uint32_t length, void* buffer, Lumora::u64& size);
    void CloseCamera();

    Pelion::ConnectionRecord connection_{};
    Pelion::CameraRecord discovery_{};
    uint8_t cameraIndex_ = 0;
    bool connected_ = false;  // the library holds the camera under cameraIndex_
    bool cameraOpen_ = false;
    bool eventChannelOpen_ = false;
    int32_t accessValue_ = 1;
    uint8_t mode_ = 1;
    uint16_t longCommandResult_ = 0;
    uint32_t lastA000_ = 1;
    uint64_t descriptionAddress_ = 0;
    uint32_t descriptionLength_ = 0;
    std::vector<uint8_t> description_;

    // Guards the host's callback and context against a delivery in progress.
    std::recursive_mutex eventLock_;
    Lumora::EventCallBack callback_ = nullptr;
    void* callbackContext_ = nullptr;

    GigEDeviceTexts texts_;
    std::string descriptionUrl_;  // id 8
};

}  // namespace Kovon
