#pragma once
// One runner per transport: it keeps one simulated camera acquiring for the whole soak, in
// sessions (open, Acquire, collect, stop, count, release), injects that transport's faults on a
// schedule and balances every session's frames in its ledger. Each runs on a thread of its own.
#include <atomic>
#include <cstdint>
#include <random>
#include <string>

#include "Ledger.h"
#include "SoakHost.h"

namespace KovonSoak {

struct Options {
    uint32_t seconds = 300;          // how long the soak runs
    uint32_t sessionSeconds = 25;    // a session ends after this long when no fault ended it before
    uint32_t faultEveryMs = 3000;    // one fault of each transport about this often
    uint32_t seed = 1;
    bool verbose = false;
    bool run[3] = {true, true, true};  // USB 2.0, GigE Vision, USB3 Vision runners
    std::string gigeAddress = "127.0.0.16";       // the streamed GigE Vision camera
    std::string gigeChurnAddress = "127.0.0.17";  // the camera the concurrent threads open and close
};

// The cameras the soak plugs; the runners stream the first of each transport, the concurrent
// threads open and close the others.
struct Cameras {
    static constexpr unsigned kUsb2Streamed = 0;
    static constexpr unsigned kUsb2Churn = 1;
    static constexpr const char* kUsb2StreamedName = "RT-GA47E_SN_48115000001";
    static constexpr const char* kUsb2ChurnName = "RT-KA47E_SN_48515000002";
    static constexpr const char* kU3vModel = "KVS-U3V-M8";
    static constexpr const char* kU3vStreamed = "SOAK-U3V-1";
    static constexpr const char* kU3vChurn = "SOAK-U3V-2";
    static constexpr const char* kU3vStreamedName = "KVS-U3V-M8_SN_SOAK-U3V-1";
    static constexpr const char* kU3vChurnName = "KVS-U3V-M8_SN_SOAK-U3V-2";
    static constexpr const char* kGigEModel = "KVS-GEV-M8";
    static constexpr const char* kGigEStreamed = "SOAK-GEV-1";
    static constexpr const char* kGigEChurn = "SOAK-GEV-2";
    static constexpr const char* kGigEStreamedName = "KVS-GEV-M8_SN_SOAK-GEV-1";
    static constexpr const char* kGigEChurnName = "KVS-GEV-M8_SN_SOAK-GEV-2";
    static constexpr uint32_t kU3vWidth = 640;
    static constexpr uint32_t kU3vHeight = 480;
};

class Runner {
public:
    Runner(const Module& module, Lumora::IInterface* itf, const Options& options, const std::atomic<bool>& stop,
           const char* transport)
        : module_(module), sim_(module.Sim()), itf_(itf), options_(options), stop_(stop), ledger_(transport),
          random_(options.seed) {}
    virtual ~Runner() = default;
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Acquires session after session until the soak's stop is set; never throws.
    void Run();
    const Ledger& Result() const { return ledger_; }
    // Grows with every collected frame outcome and session step: a watchdog sees a stuck runner.
    uint64_t Progress() const { return progress_.load(); }

protected:
    // One session; false when the camera could not be opened (the next try comes after a pause).
    virtual bool Session() = 0;
    // Runs once after the last session.
    virtual void Finish() {}
    void Step() { progress_.fetch_add(1); }
    // Opens the listed camera 'name'; null (noted as a refusal to retry) when the module refuses.
    Lumora::IDevice* OpenListed(const std::string& name);
    // Opens the device's stream; null (noted, the device released) when the module refuses.
    Lumora::IStream* OpenStreamOrRelease(Lumora::IDevice* device);
    void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    uint32_t Random(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(random_); }

    const Module& module_;
    const SimApi& sim_;
    Lumora::IInterface* itf_;
    const Options& options_;
    const std::atomic<bool>& stop_;
    Ledger ledger_;
    std::mt19937 random_;
    std::atomic<uint64_t> progress_{0};
};

class GigERunner final : public Runner {
public:
    GigERunner(const Module& module, Lumora::IInterface* itf, const Options& options, const std::atomic<bool>& stop,
               KovonSimGigE* camera)
        : Runner(module, itf, options, stop, "GigE"), camera_(camera) {}

private:
    bool Session() override;
    KovonSimGigE* camera_;
};

class U3vRunner final : public Runner {
public:
    U3vRunner(const Module& module, Lumora::IInterface* itf, const Options& options, const std::atomic<bool>& stop)
        : Runner(module, itf, options, stop, "U3V") {}

private:
    bool Session() override;
    void Finish() override;  // plugs the camera back in if a session left it unplugged
    bool plugged_ = true;
};

class Usb2Runner final : public Runner {
public:
    Usb2Runner(const Module& module, Lumora::IInterface* itf, const Options& options, const std::atomic<bool>& stop)
        : Runner(module, itf, options, stop, "USB2") {}

private:
    bool Session() override;
};

// Checks the simulated cameras' test patterns on a delivered Mono8 frame: every pixel is
// x + 3y + base (mod 256) for the frame's base value.
bool Mono8Ramp(const uint8_t* pixels, uint32_t width, uint32_t height);

}  // namespace KovonSoak
