#include "Simulator.h"

#include <chrono>
#include <cstdint>

#include "Usb2Frames.h"

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
    bool colour;
    unsigned short sensorWidth, sensorHeight;
};

// RT-GA47E (serial prefix 4811) is monochrome, RT-KA47E (4851) colour.
const Usb2Model kUsb2Models[] = {
    {0, {0x48, 0x11, 0x05, 0x00, 0x00, 0x01}, "RT-GA47E, monochrome", false, 1280, 960},
    {1, {0x48, 0x51, 0x05, 0x00, 0x00, 0x02}, "RT-KA47E, colour", true, 1280, 1024},
};
// Camera registers of the image geometry: width, height, binning codes, pixel-format code.
constexpr unsigned short kWidthRegister = 0x434;
constexpr unsigned short kHeightRegister = 0x436;
constexpr unsigned short kBinningRegister = 0x43C;
constexpr unsigned short kFormatRegister = 0x43E;
// The module reads a frame in pieces of at most this many bytes, one bulk read each.
constexpr uint64_t kBulkPiece = 0x140000;
// Frames sent ahead of the module's reads.
constexpr uint64_t kFramesAhead = 2;
constexpr auto kFeedPeriod = std::chrono::milliseconds(2);
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
    if (feeder_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(feederLock_);
            stopFeeder_ = true;
        }
        feederWake_.notify_all();
        feeder_.join();
    }
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
    // The feeder thread reads the camera list without a lock: it is built once, before it starts.
    if (pluggedOnce_) {
        warnings.push_back("the simulated cameras are plugged already");
        return plugged;
    }
    pluggedOnce_ = true;

    auto usb2Plug = Resolve<int (*)(unsigned, const unsigned char*, unsigned short, unsigned short)>(
        host_, "KovonSimUsb2_Plug");
    auto usb2Poke = Resolve<int (*)(unsigned, unsigned short, unsigned short)>(host_, "KovonSimUsb2_PokeRegister");
    if (usb2Plug == nullptr) {
        warnings.push_back("this module has no simulated USB 2.0 cameras");
    } else {
        for (const Usb2Model& model : kUsb2Models) {
            const int rc = usb2Plug(model.instance, model.serial, kUsb2Firmware, kUsb2Release);
            if (rc == KOVON_SIM_OK) {
                usb2Instances_.push_back(model.instance);
                plugged.push_back({"USB2", model.what});
                // A camera powers up with its full sensor as the image; the simulated register
                // file starts at zero.
                if (usb2Poke != nullptr) {
                    usb2Poke(model.instance, kWidthRegister, model.sensorWidth);
                    usb2Poke(model.instance, kHeightRegister, model.sensorHeight);
                }
                Usb2Feed feed;
                feed.instance = model.instance;
                feed.colour = model.colour;
                usb2Feeds_.push_back(feed);
            } else {
                warnings.push_back(std::string("cannot plug the simulated USB 2.0 camera ") + model.what +
                                   " (status " + std::to_string(rc) + ")");
            }
        }
    }

    feedApi_.isAcquiring = Resolve<decltype(feedApi_.isAcquiring)>(host_, "KovonSimUsb2_IsAcquiring");
    feedApi_.peek = Resolve<decltype(feedApi_.peek)>(host_, "KovonSimUsb2_PeekRegister");
    feedApi_.counters = Resolve<decltype(feedApi_.counters)>(host_, "KovonSimUsb2_GetCounters");
    feedApi_.push = Resolve<decltype(feedApi_.push)>(host_, "KovonSimUsb2_PushBulk");
    const bool canFeed = feedApi_.isAcquiring != nullptr && feedApi_.peek != nullptr &&
                         feedApi_.counters != nullptr && feedApi_.push != nullptr;
    if (!usb2Feeds_.empty() && !canFeed)
        warnings.push_back("this module cannot feed images to simulated USB 2.0 cameras");
    else if (!usb2Feeds_.empty() && !feeder_.joinable())
        feeder_ = std::thread([this] { FeedUsb2(); });

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

void Simulator::FeedUsb2() {
    std::unique_lock<std::mutex> lock(feederLock_);
    while (!stopFeeder_) {
        lock.unlock();
        for (Usb2Feed& feed : usb2Feeds_) FeedOnce(feed);
        lock.lock();
        feederWake_.wait_for(lock, kFeedPeriod, [this] { return stopFeeder_; });
    }
}

void Simulator::FeedOnce(Usb2Feed& feed) {
    const Usb2FeedApi& api = feedApi_;

    int acquiring = 0;
    KovonSimUsb2Counters count{};
    if (api.isAcquiring(feed.instance, &acquiring) != KOVON_SIM_OK ||
        api.counters(feed.instance, &count) != KOVON_SIM_OK)
        return;
    if (acquiring == 0) {
        feed.acquiring = false;
        return;
    }
    unsigned short width = 0, height = 0, binning = 0, code = 0;
    Usb2RawFormat format;
    if (api.peek(feed.instance, kWidthRegister, &width) != KOVON_SIM_OK ||
        api.peek(feed.instance, kHeightRegister, &height) != KOVON_SIM_OK ||
        api.peek(feed.instance, kBinningRegister, &binning) != KOVON_SIM_OK ||
        api.peek(feed.instance, kFormatRegister, &code) != KOVON_SIM_OK ||
        !Usb2RawFormatOf(width, height, binning, code, format))
        return;
    if (!feed.acquiring) {
        feed.acquiring = true;
        feed.queued = 0;
        feed.readsAtStart = count.bulkReads;
    }
    const uint64_t frameBytes = uint64_t{format.width} * format.height * format.bytesPerPixel;
    const uint64_t readsPerFrame = (frameBytes + kBulkPiece - 1) / kBulkPiece;
    const uint64_t framesRead = (count.bulkReads - feed.readsAtStart) / readsPerFrame;
    while (feed.queued < framesRead + kFramesAhead) {
        const std::vector<uint8_t> frame = Usb2RawFrame(feed.colour, format, feed.framesSent);
        if (api.push(feed.instance, frame.data(), frame.size()) != KOVON_SIM_OK) return;
        ++feed.queued;
        ++feed.framesSent;
    }
}

}  // namespace KovonGrab
