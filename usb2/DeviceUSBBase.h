#pragma once
// CDeviceUSBBase: the device object of a USB 2.0 camera. It carries the camera's eight
// identification texts, owns the camera's channel and the named mutex that keeps the camera to
// one opened object across processes, and keeps the device's one stream, "DS0".
//
// An object made by the interface's enumeration or as an info copy has no parents and never
// opens its channel; an opened object has both parents and opens its channel in OpenDriver.
//
// The camera has no register map of its own: the device presents it as one. Every feature has a
// map address; SetParam and GetParam carry a feature between the parameter cache (ParamCache.h)
// and the camera's 16-bit registers, converting units on the way, and SetValue and GetValue touch
// the cache only. The model classes (Models.h) set the sensor constants and load the register
// description that names the map's features.
//
// Threads: the host's thread and the stream's worker call the parameter operations at the same
// time. Each cache slot is atomic and each single register request is atomic (the channel's
// lock); a sequence of requests (start after the idle poll, binning, gamma, frame timing) is not.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "system/DeviceBase.h"
#include "usb2/Ezusb.h"
#include "usb2/ParamCache.h"

namespace Kovon {

// The eight identification texts of a USB 2.0 camera, in the order the constructor takes them.
struct UsbDeviceTexts {
    std::string firmwareVersion;  // GetInfo 0, "a.b.c.d"
    std::string deviceName;       // GetInfo 1, model name + "_" + serial number
    std::string versionText;      // GetInfo 2
    std::string vendorName;       // GetInfo 3
    std::string modelName;        // GetInfo 4
    std::string vendorInfo;       // GetInfo 5
    std::string serialNumber;     // GetInfo 7, "SN_" + 11 hexadecimal digits
    std::string instanceName;     // GetInfo 10, the driver instance, "ZEDIVOXU-n"
};

extern const char* const kUsbVersionText;  // "4.7.0.0"
extern const char* const kUsbVendorName;   // "Tarvek Co., LTD"
extern const char* const kUsbVendorInfo;   // "TARVEK URL:" + the maker's web address

class KOVON_API CDeviceUSBBase : public CDeviceBase<CDeviceUSBBase> {
public:
    // Map address at which the register description is read whole.
    static constexpr uint64_t kDescriptionAddress = 0x700;
    static constexpr uint16_t kAcquisitionStopRegister = 0x454;
    // Pauses in milliseconds.
    static constexpr unsigned kStartPauseMs = 30;
    static constexpr unsigned kRestartPauseMs = 80;
    static constexpr unsigned kUserSetLoadPauseMs = 500;
    static constexpr unsigned kUserSetSavePauseMs = 4000;
    // The camera must turn idle (acquisition busy 0x45A before a start, trigger busy 0x46C
    // before a software trigger) within this many reads, a pause apart; otherwise the call ends
    // with -1001. About a second and a half in all: far longer than a camera takes to finish a
    // frame or a trigger, short enough that a camera that never turns idle does not hang the host.
    static constexpr unsigned kIdlePollReads = 500;
    static constexpr unsigned kIdlePollPauseMs = 3;

    CDeviceUSBBase();
    // Stores the parents and the texts; makes a closed channel when the instance name is set.
    CDeviceUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    CDeviceUSBBase(const CDeviceUSBBase&) = delete;
    CDeviceUSBBase& operator=(const CDeviceUSBBase&) = delete;
    ~CDeviceUSBBase() override;

    // IDevice; the stream operations, Release, Share and ReleaseChild are CDeviceBase's.
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int RegisterEventCallBack(Lumora::EventCallBack callback, void* context) override;

    // Slots after the host interface, in this order.
    virtual bool Create_Mutex();
    virtual bool Release_Mutex();
    virtual void UpdateStreamList();
    virtual Lumora::INewStream* CreateObjectForAddList(Lumora::INewStream* info);
    virtual Lumora::INewStream* CopyObjectForInfo(Lumora::INewStream* source);
    // Loads the model's register description; empty here, each model provides its own.
    virtual void LoadXML() {}

    using PauseFunction = void (*)(unsigned milliseconds);
    // Replaces the fixed pauses and the pause between idle polls (tests count them instead of
    // waiting). Set it before the device is used from more than one thread.
    void SetPauseFunction(PauseFunction pause);

    // Block size for a description of n bytes: n rounded up to a multiple of 4, or n + 4 when n
    // is one already, so that the block always ends with at least one zero byte.
    static size_t DescriptionBlockSize(size_t n);

    // What a model sets.
    struct SensorConstants {
        uint32_t width;
        uint32_t height;
        float pixelClock;       // MHz: clock ticks per microsecond
        float rowTime;          // microseconds per sensor row
        float exposureTimeMax;  // the initial ExposureTimeMax, microseconds
    };

    // Takes the camera's named mutex (-1001 when another object or process holds the camera),
    // opens the channel and stops the camera. 1 when the channel is open, 0 when it is not.
    int OpenDriver();
    void CloseDriver();

    const UsbDeviceTexts& Texts() const { return texts_; }
    CEzusb* Channel() const { return channel_.get(); }

protected:
    // Sets the sensor constants and the cache defaults that follow from them.
    void SetSensorConstants(const SensorConstants& constants);
    void SetGammaAbscissas(const uint32_t (&abscissas)[MapAddress::kGammaKnots]);
    // Copies resource "DEVREGS"/id into the description block; without that resource the device
    // has no description.
    void LoadDescriptionResource(uint32_t id);
    void SetDescription(const uint8_t* data, size_t size);

    // Camera register access; false when the request failed. A 32-bit value spreads over the
    // register (low 16 bits) and the next one (high 16 bits).
    bool ReadCamera16(uint16_t reg, uint16_t& value);
    bool ReadCamera32(uint16_t reg, uint32_t& value);
    bool WriteCamera16(uint16_t reg, uint32_t value);  // the low 16 bits
    bool WriteCamera32(uint16_t reg, uint32_t value);
    // Copies the caller's bytes (at most 4) into the slot of 'address'; throws the copy's
    // invalid-argument error for a larger size.
    void StoreFromCaller(uint64_t address, const void* buffer, Lumora::u64& size);
    // Copies the 4-byte slot of 'address' out to the caller.
    void CopySlotOut(uint64_t address, void* buffer, Lumora::u64& size);
    void Pause(unsigned milliseconds) const { pause_(milliseconds); }
    // GainRaw of the "-P" models, ×5.71 + 150 instead of ×7.46 + 199 (Models.cpp).
    int SetGainRawP(void* buffer, Lumora::u64& size);
    int GetGainRawP(void* buffer, Lumora::u64& size);

    ParamCache& Cache() { return cache_; }
    const ParamCache& Cache() const { return cache_; }
    float PixelClock() const { return pixelClock_; }
    uint32_t SensorWidth() const { return sensorWidth_; }
    uint32_t SensorHeight() const { return sensorHeight_; }

    // Set by a model's LoadXML.
    std::vector<uint8_t> description_;

private:
    int SetParamOnCamera(uint64_t address, void* buffer, Lumora::u64& size);
    int GetParamFromCamera(uint64_t address, void* buffer, Lumora::u64& size);
    int StartOrStop(void* buffer, Lumora::u64& size);
    int Restart(void* buffer, Lumora::u64& size);
    int TriggerSoftware(void* buffer, Lumora::u64& size);
    int SetBinning(uint64_t address, void* buffer, Lumora::u64& size);
    int SetFrameRateMode(void* buffer, Lumora::u64& size);
    int SetGammaOrdinate(unsigned knot, void* buffer, Lumora::u64& size);
    int SetBalanceRatio(unsigned colour, void* buffer, Lumora::u64& size);
    int GetSizeLimit(uint64_t address, void* buffer, Lumora::u64& size);
    int GetExposureTimeMax(void* buffer, Lumora::u64& size);
    int GetFrameRateMax(void* buffer, Lumora::u64& size);
    // Copies out the identification text the map holds at 'address'; false for any other address.
    bool CopyMapText(uint64_t address, void* buffer, Lumora::u64& size) const;
    // Reads 'reg' until it reads 0, at most kIdlePollReads times; false when it never did or a
    // read failed.
    bool WaitUntilIdle(uint16_t reg);
    // The frame time of the cached height, and the frame-rate limit: the cached
    // AcquisitionFrameRateMax, or, before that limit was first read (still 0), the limit the
    // frame time gives.
    float FrameTime() const;
    float FrameRateLimit() const;
    // The frame period for the cached frame-rate mode: 1000000 / limit in mode 0, 1000000 /
    // rate in mode 1, 0 in any other mode (and for a rate that is not above 0).
    float FramePeriod() const;
    // The colour (0 red, 1 green, 2 blue) that BalanceRatio addresses, or -1.
    int SelectedRatio() const;

    std::unique_ptr<CEzusb> channel_;
    UsbDeviceTexts texts_;

    ParamCache cache_;
    PauseFunction pause_;
    float pixelClock_ = 0.0f;
    float rowTime_ = 0.0f;
    uint32_t sensorWidth_ = 0;
    uint32_t sensorHeight_ = 0;
    // Binning as last applied to the width and height: 0 none, 1 by two.
    std::atomic<uint32_t> horizontalBinning_{0};
    std::atomic<uint32_t> verticalBinning_{0};
};

}  // namespace Kovon
