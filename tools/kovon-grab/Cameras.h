#pragma once
// The cameras the module finds, on every interface, and how a user names one: by its device name,
// its serial number or its number in the listing.
#include <string>
#include <vector>

#include "Lumora/Lumora.h"

namespace KovonGrab {

struct CameraEntry {
    unsigned number = 0;        // position in the listing, from 0
    std::string interfaceName;  // "Interface_USB" ...
    std::string transport;      // the interface's transport-layer type: "Custom", "GEV", "U3V"
    std::string deviceName;     // the key of OpenDevice
    std::string vendor;
    std::string model;
    std::string serial;
    std::string address;  // IP address (GigE Vision) or the camera's transport name
};

// Transport name for people: "USB2", "GigE", "U3V".
std::string TransportLabel(const std::string& transportType);

class Cameras {
public:
    explicit Cameras(Lumora::ISystem* system) : system_(system) {}
    ~Cameras();
    Cameras(const Cameras&) = delete;
    Cameras& operator=(const Cameras&) = delete;

    // Opens every interface (once) and lists its cameras; discovery waits up to timeoutMs.
    const std::vector<CameraEntry>& Discover(unsigned timeoutMs);
    // The camera named by `key`, null when there is none.
    const CameraEntry* Find(const std::string& key) const;
    // OpenDevice on the camera's interface; the module's status.
    int Open(const CameraEntry& camera, Lumora::IDevice*& device);
    // Lists the camera's interface again: false when the camera is no longer there.
    bool StillPresent(const CameraEntry& camera, unsigned timeoutMs);

private:
    Lumora::IInterface* InterfaceOf(const std::string& name);

    Lumora::ISystem* system_;
    std::vector<std::pair<std::string, Lumora::IInterface*>> interfaces_;
    std::vector<CameraEntry> cameras_;
};

}  // namespace KovonGrab
