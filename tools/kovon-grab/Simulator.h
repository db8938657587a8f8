#pragma once
// Simulated cameras for --simulate, plugged through the module's exported simulator API (resolved
// by name, so a transport whose simulator is not in the module is simply left out). The cameras
// live in this process and are unplugged when the object ends.
#include <string>
#include <vector>

#include "ModuleHost.h"

namespace KovonGrab {

struct SimulatedCamera {
    std::string transport;  // "USB2", "GigE", "U3V"
    std::string what;       // model and colour, for the user
};

class Simulator {
public:
    explicit Simulator(const ModuleHost& host) : host_(host) {}
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Plugs one monochrome and one colour USB 2.0 camera, one USB3 Vision camera and one GigE
    // Vision camera, where the module offers their simulator; each streams its own test pattern.
    // Problems go to `warnings`. Only the first call plugs anything.
    std::vector<SimulatedCamera> PlugAll(std::vector<std::string>& warnings);

private:
    const ModuleHost& host_;
    bool pluggedOnce_ = false;
    std::vector<unsigned> usb2Instances_;
    std::vector<std::string> u3vSerials_;
    std::vector<void*> gigeCameras_;
};

}  // namespace KovonGrab
