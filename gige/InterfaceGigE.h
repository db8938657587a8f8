#pragma once
// CInterfaceGigE: the GigE Vision interface. It discovers cameras through the GigE Vision
// library (at most 20 per update), lists them under "<model>_SN_<serial>", opens those of our
// vendor as CDeviceGigEBase objects with an index from the camera-index table that every process
// shares, and offers a small register map of its own (described by the embedded
// TLInterfaceRegs.xml at 0x900) through which a host gives a discovered camera a new IP address:
//
//   0x800 DeviceSelector (4 bytes, big-endian)   0x810 address   0x820 mask   0x830 gateway (texts)
//   0x840 DeviceForceIP (write: send)            0x844 ForceIsLock (read: 1 while force-IP is locked)
#include <cstdint>
#include <string>
#include <vector>

#include "gige/pelion/Records.h"
#include "system/InterfaceBase.h"

namespace Kovon {

namespace Platform {
class CameraIndexTable;
}

class KOVON_API CInterfaceGigE : public CInterfaceBase {
public:
    static constexpr const char* kDefaultName = "Interface_GIGE";
    static constexpr const char* kDefaultType = "GIGE";
    static constexpr const char* kDefaultDescription = "Tarvek GigEVision Camera";
    // Where the interface's register description is served, and the location text's file name.
    static constexpr uint64_t kDescriptionAddress = 0x900;

    CInterfaceGigE();
    CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                   const std::string& description);
    // The same with a camera-index table of the caller's (tests keep theirs apart from the shared one).
    CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                   const std::string& description, Platform::CameraIndexTable& indexTable);
    ~CInterfaceGigE() override;

    // Discovers cameras and merges them into the list: cameras that answer again keep their
    // place (with a fresh info object), new ones follow in discovery order, silent ones are
    // dropped. Opened devices are never touched. Always 0.
    int UpdateDeviceList(unsigned timeoutMs) override;

    void LoadXML() override;

    // Recomputes ForceIsLock: 1 with no camera listed or no camera selected, or when the selected
    // camera is opened through this interface; else 0.
    void UpdateForceIpLock();

    // The lowest index no process holds (1..255), 0 when all are taken; nothing is reserved.
    uint8_t GetAvailableCameraIndex();

protected:
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override;
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override;
    int OpenFailureStatus() const override { return lastOpenStatus_; }
    void OnDeviceUnlinked(uint8_t cameraIndex) override;
    void OnDeviceOpened(Lumora::INewDevice* device) override;
    int GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;

private:
    // The discovery record of the selected camera; false when the selector lies past the list.
    bool SelectedRecord(Pelion::CameraRecord& record);
    int SetForceIpText(std::string& field, const void* buffer, Lumora::u64 size);
    int ForceIp();

    Platform::CameraIndexTable& indexTable_;
    uint32_t deviceSelector_ = 0;
    std::string forceIpAddress_ = "169.254.0.0";
    std::string forceIpMask_ = "255.255.0.0";
    std::string forceIpGateway_ = "0.0.0.0";
    uint32_t forceIsLock_ = 1;
    int lastOpenStatus_;
    std::vector<uint8_t> description_;  // the register description, zero-padded
    std::string descriptionLocation_;   // interface id 4
};

}  // namespace Kovon
