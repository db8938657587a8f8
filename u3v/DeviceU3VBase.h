#pragma once
// CDeviceU3VBase: one USB3 Vision camera. As an info object it carries the identity texts that
// discovery found. As an opened object it owns the camera's library handles (device, control
// channel, event channel), a copy of the camera's description file and the named mutex that keeps
// the camera to one opened object across processes; it gives the host register access by
// address, forwards a few parameters to its stream "DS0", delivers camera events to the host's
// callback and learns from removal notices that the camera was unplugged.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "system/DeviceBase.h"

namespace Kovon {

// Identity texts of a USB3 Vision camera.
struct U3vDeviceTexts {
    std::string devicePath;  // GetInfo 10: the path the library opens
    std::string serialText;  // GetInfo 7: "SN_" + serial number; also the named mutex's name
    std::string deviceName;  // GetInfo 1: model name + "_" + serial text
    std::string version;     // GetInfo 2
    std::string firstText;   // GetInfo 0: the camera's GUID text
    std::string modelName;   // GetInfo 4
    std::string vendorName;  // GetInfo 3
    std::string vendorInfo;  // GetInfo 5
};

extern const char* const kU3vVersionText;  // "4.7.0.0"
extern const char* const kU3vVendorName;   // "Tarvek Co., LTD"
extern const char* const kU3vVendorInfo;   // "TARVEK URL:" + the maker's web address

// Parameter calls reach the opened stream while other threads open or release it: the stream
// lists are guarded.
class KOVON_API CDeviceU3VBase : public CDeviceBase<CDeviceU3VBase, std::recursive_mutex> {
public:
    // Where the host reads the description file whole (GetParam) and the location text names it.
    static constexpr uint64_t kDescriptionAddress = 0x700;
    static constexpr uint64_t kPayloadSizeRegister = 0x5000C;
    static constexpr uint64_t kAcquisitionModeRegister = 0x50014;
    // Module ids beyond the camera's address space.
    static constexpr uint64_t kStreamTimeoutId = 0x1000000C;       // stream 4100
    static constexpr uint64_t kAcceptFaultyFramesId = 0x10000010;  // stream 4096
    static constexpr uint64_t kStreamIdleId = 0x10000014;
    static constexpr uint64_t kConnectedId = 0x1000002C;
    static constexpr uint64_t kBufferCountId = 0x10000030;  // stream 4104
    static constexpr uint64_t kIdentityFieldId = 0x10000034;
    static constexpr size_t kIdentityFieldSize = 260;
    // Frame buffers of a stream share this budget: the buffer count is the budget / payload.
    static constexpr uint32_t kBufferBudget = 0x4000000;

    CDeviceU3VBase();
    CDeviceU3VBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const U3vDeviceTexts& texts, int accessCode);
    CDeviceU3VBase(const CDeviceU3VBase&) = delete;
    CDeviceU3VBase& operator=(const CDeviceU3VBase&) = delete;
    ~CDeviceU3VBase() override;

    // IDevice; the stream operations, Release, Share and ReleaseChild are CDeviceBase's.
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int RegisterEventCallBack(Lumora::EventCallBack callback, void* context) override;

    // Slots after the host interface, in this order.
    virtual void EventCallBack(int event, int value, unsigned char* data, unsigned long low,
                               unsigned long high);
    virtual bool Create_Mutex();
    virtual bool Release_Mutex();
    virtual void UpdateStreamList();
    virtual Lumora::INewStream* CreateObjectForAddList(Lumora::INewStream* info);
    virtual Lumora::INewStream* CopyObjectForInfo(Lumora::INewStream* source);

    // Opens the camera: named mutex, library device and control channel, the 0x10040 check, the
    // description file, the removal notice. 0 on success; -1001 when the camera is held
    // elsewhere, -10003 when register 0x10040 holds less than 8, else the mapped library status.
    // Whatever was opened is closed again on failure.
    int OpenDriver();

    // Called under the hot-plug table's lock by a removal notice.
    void MarkUnplugged() { connected_.store(false); }

    const U3vDeviceTexts& Texts() const { return texts_; }
    int AccessCode() const { return accessCode_; }

private:
    void CloseDriver();
    int ReadMemory(uint64_t address, unsigned char* buffer, uint16_t length);
    int WriteMemory(uint64_t address, const unsigned char* buffer, uint16_t length);
    // Reads 'count' bytes at 'address' and copies them out by the copy rules; a size query or a
    // too-small buffer does not touch the camera.
    int ReadOut(uint64_t address, size_t count, void* buffer, Lumora::u64& size);
    int ReadPayloadSize(void* buffer, Lumora::u64& size);
    int WriteIn(uint64_t address, size_t maxBytes, size_t writeBytes, const void* buffer, Lumora::u64& size);
    void CloseEventChannel();

    bool driverOpen_ = false;
    std::atomic<bool> connected_{false};
    void* deviceHandle_ = nullptr;
    void* controlHandle_ = nullptr;
    void* eventHandle_ = nullptr;  // guarded by eventLock_
    uint32_t removalToken_ = 0;  // 0: no removal notice registered
    std::string instanceId_;
    std::atomic<uint32_t> streamState_{1};
    std::vector<unsigned char> xml_;
    // Serialises the replacement of the callback with every delivery.
    std::recursive_mutex eventLock_;
    Lumora::EventCallBack eventCallback_ = nullptr;
    void* eventContext_ = nullptr;
    int accessCode_ = 0;
    uint32_t deviceValue6_ = 0;
    U3vDeviceTexts texts_;
    std::string identityField_;
};

}  // namespace Kovon
