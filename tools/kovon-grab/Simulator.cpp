#include "Simulator.h"

#include <cstdint>

#include "KovonSim/SimGigE.h"
#include "KovonSim/SimU3V.h"
#include "KovonSim/SimUsb2.h"

namespace KovonGrab {
namespace {

template <typename Fn>
Fn Resolve(const ModuleHost& host, const char* name) {
    return reinterpret_cast<Fn>(host.Symbol(name));
}

struct Usb2Model {
    unsigned instance;
    unsigned char serial[6];  // serial registers: "SN_" + the model's prefix digits + the number
    const char* what;
};

// RT-GA47E (serial prefix 4811) is monochrome, RT-KA47E (4851) colour.
const Usb2Model kUsb2Models[] = {
    {0, {0x48, 0x11, 0x05, 0x00, 0x00, 0x01}, "RT-GA47E, monochrome"},
    {1, {0x48, 0x51, 0x05, 0x00, 0x00, 0x02}, "RT-KA47E, colour"},
};
constexpr unsigned short kUsb2Firmware = 0x1203;
constexpr unsigned short kUsb2Release = 0x0200;

constexpr const char* kU3VSerial = "KVS-U3V-0001";
constexpr const char* kU3VModel = "KVS-U3V-M8";

constexpr const char* kGigEModel = "KVS-GEV-M8";
constexpr const char* kGigESerial = "KVS-GEV-0001";
// The GigE Vision camera takes the first free one of these loopback addresses. Discovery on the
// loopback interface reaches 127.0.0.1 to 127.0.0.32 only, so a camera elsewhere would never be
// listed; the module's tests use most of the lower addresses, hence the order.
constexpr int kGigEHosts[] = {30, 31, 32, 11, 12, 13, 14, 15, 16, 17, 18, 2, 3, 4};

}  // namespace

Simulator::~Simulator() {
    auto usb2Unplug = Resolve<int (*)(unsigned)>(host_, "KovonSimUsb2_Unplug");
    for (unsigned instance : usb2Instances_)
        if (usb2Unplug != nullptr) usb2Unplug(instance);
    auto u3vUnplug = Resolve<int (*)(const char*)>(host_, "KovonSimU3V_Unplug");
    for (const std::string& serial : u3vSerials_)
        if (u3vUnplug != nullptr) u3vUnplug(serial.c_str());
    auto gigeUnplug = Resolve<int (*)(KovonSimGigE*)>(host_, "KovonSimGigE_Unplug");
    for (void* camera : gigeCameras_)
        if (gigeUnplug != nullptr) gigeUnplug(static_cast<KovonSimGigE*>(camera));
}

std::vector<SimulatedCamera> Simulator::PlugAll(std::vector<std::string>& warnings) {
    std::vector<SimulatedCamera> plugged;
    if (pluggedOnce_) {
        warnings.push_back("the simulated cameras are plugged already");
        return plugged;
    }
    pluggedOnce_ = true;

    auto usb2Plug = Resolve<int (*)(unsigned, const unsigned char*, unsigned short, unsigned short)>(
        host_, "KovonSimUsb2_Plug");
    if (usb2Plug == nullptr) {
        warnings.push_back("this module has no simulated USB 2.0 cameras");
    } else {
        for (const Usb2Model& model : kUsb2Models) {
            const int rc = usb2Plug(model.instance, model.serial, kUsb2Firmware, kUsb2Release);
            if (rc == KOVON_SIM_OK) {
                usb2Instances_.push_back(model.instance);
                plugged.push_back({"USB2", model.what});
            } else {
                warnings.push_back(std::string("cannot plug the simulated USB 2.0 camera ") + model.what +
                                   " (status " + std::to_string(rc) + ")");
            }
        }
    }

    auto u3vPlug = Resolve<int (*)(const char*, const char*)>(host_, "KovonSimU3V_Plug");
    if (u3vPlug == nullptr) {
        warnings.push_back("this module has no simulated USB3 Vision cameras");
    } else if (const int rc = u3vPlug(kU3VSerial, kU3VModel); rc == 0) {
        u3vSerials_.push_back(kU3VSerial);
        plugged.push_back({"U3V", std::string(kU3VModel) + ", monochrome"});
    } else {
        warnings.push_back("cannot plug the simulated USB3 Vision camera (status " + std::to_string(rc) +
                           ")");
    }

    auto gigePlug = Resolve<int (*)(const char*, const char*, const char*, const uint8_t*, KovonSimGigE**)>(
        host_, "KovonSimGigE_Plug");
    if (gigePlug == nullptr) {
        warnings.push_back("this module has no simulated GigE Vision cameras");
    } else {
        // Another program may hold the first address with its own simulated camera.
        int rc = -2;
        for (const int host : kGigEHosts) {
            if (rc == 0) break;
            const std::string address = "127.0.0." + std::to_string(host);
            KovonSimGigE* camera = nullptr;
            rc = gigePlug(address.c_str(), kGigEModel, kGigESerial, nullptr, &camera);
            if (rc == 0) {
                gigeCameras_.push_back(camera);
                plugged.push_back({"GigE", std::string(kGigEModel) + ", monochrome, at " + address});
            }
        }
        if (rc != 0)
            warnings.push_back("cannot plug the simulated GigE Vision camera: no free loopback address");
    }
    return plugged;
}

}  // namespace KovonGrab
