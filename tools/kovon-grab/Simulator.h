#pragma once
// Simulated cameras for --simulate, plugged through the module's exported simulator API (resolved
// by name, so a transport whose simulator is not in the module is simply left out). The cameras
// live in this process and are unplugged when the object ends.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimUsb2.h"
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
    // Vision camera, where the module offers their simulator, and starts feeding the USB 2.0
    // cameras' images. Problems go to `warnings`. Only the first call plugs anything.
    std::vector<SimulatedCamera> PlugAll(std::vector<std::string>& warnings);

private:
    struct Usb2Feed {
        unsigned instance = 0;
        bool colour = false;
        bool acquiring = false;
        uint64_t framesSent = 0;  // since the camera was plugged: the frame number of the pattern
        uint64_t queued = 0;      // frames sent in this acquisition
        uint64_t readsAtStart = 0;
    };
    // The USB 2.0 cameras' image source: while a camera acquires, frames go into its bulk pipe,
    // a few ahead of what the module has read.
    void FeedUsb2();
    void FeedOnce(Usb2Feed& feed);

    const ModuleHost& host_;
    bool pluggedOnce_ = false;
    std::vector<unsigned> usb2Instances_;
    std::vector<Usb2Feed> usb2Feeds_;  // touched by the feeder thread only while it runs
    struct Usb2FeedApi {
        int (*isAcquiring)(unsigned, int*) = nullptr;
        int (*peek)(unsigned, unsigned short, unsigned short*) = nullptr;
        int (*counters)(unsigned, KovonSimUsb2Counters*) = nullptr;
        int (*push)(unsigned, const void*, uint64_t) = nullptr;
    } feedApi_;
    std::thread feeder_;
    std::mutex feederLock_;
    std::condition_variable feederWake_;
    bool stopFeeder_ = false;
    std::vector<std::string> u3vSerials_;
    std::vector<void*> gigeCameras_;
};

}  // namespace KovonGrab
