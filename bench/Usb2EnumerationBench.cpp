// One GetNumDevices on the USB 2.0 interface over the 64 driver instances, with 0, 4 and 16
// simulated cameras of which up to 4 are opened. Besides the time, each run reports the driver
// requests of one enumeration, which must be exactly: an open attempt per instance name; per
// camera a descriptor request; per camera that is not open a second open with its descriptor
// request and four register words (three for the serial number, one for the firmware).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "usb2/Ezusb.h"
#include "usb2/InterfaceUSB.h"

namespace {

void GetNumDevices(benchmark::State& state) {
    const unsigned cameras = static_cast<unsigned>(state.range(0));
    const unsigned opened = cameras < 4 ? cameras : 4;
    KovonSimUsb2_UnplugAll();
    for (unsigned i = 0; i < cameras; ++i) {
        const unsigned char serial[6] = {0x48, 0x11, 0x05, 0x00, 0x00, static_cast<unsigned char>(i)};
        KovonSimUsb2_Plug(i * 4 + 1, serial, 0x1203, 0x0200);  // spread over the instance range
    }
    Kovon::CInterfaceUSB usb;
    unsigned count = 0;
    usb.GetNumDevices(count, 0);
    std::vector<Lumora::IDevice*> devices;
    for (unsigned i = 0; i < opened; ++i) {
        char name[64];
        Lumora::u64 size = sizeof name;
        Lumora::IDevice* device = nullptr;
        if (usb.GetDeviceName(i, name, size) == 0 && usb.OpenDevice(name, device) == 0)
            devices.push_back(device);
    }
    if (count != cameras || devices.size() != opened) state.SkipWithError("cameras not listed or not opened");

    KovonSimUsb2_ResetTraffic();
    for (auto _ : state) {
        usb.GetNumDevices(count, 0);
        benchmark::DoNotOptimize(count);
    }
    KovonSimUsb2Traffic traffic{};
    KovonSimUsb2_GetTraffic(&traffic);
    const double runs = static_cast<double>(state.iterations());
    state.counters["cameras"] = cameras;
    state.counters["opened"] = static_cast<double>(opened);
    state.counters["openAttempts"] = static_cast<double>(traffic.openAttempts) / runs;
    state.counters["opens"] = static_cast<double>(traffic.opens) / runs;
    state.counters["descriptorReq"] = static_cast<double>(traffic.descriptorRequests) / runs;
    state.counters["registerReq"] = static_cast<double>(traffic.registerRequests) / runs;
    const uint64_t closed = cameras - opened;
    const auto n = static_cast<uint64_t>(state.iterations());
    const bool exact = traffic.openAttempts == n * (64 + closed) && traffic.opens == n * (cameras + closed) &&
                       traffic.descriptorRequests == n * (cameras + closed) &&
                       traffic.registerRequests == n * 4 * closed && traffic.bulkReads == 0 &&
                       traffic.aborts == 0;
    state.counters["asDescribed"] = exact ? 1 : 0;

    for (Lumora::IDevice* device : devices) device->Release();
    KovonSimUsb2_UnplugAll();
}

// The floor: the same driver requests issued straight through CEzusb channels, with no interface,
// no device objects and no list merge.
void DriverRequestsOnly(benchmark::State& state) {
    const unsigned cameras = static_cast<unsigned>(state.range(0));
    const unsigned opened = cameras < 4 ? cameras : 4;
    KovonSimUsb2_UnplugAll();
    std::vector<bool> present(64, false);
    for (unsigned i = 0; i < cameras; ++i) {
        const unsigned char serial[6] = {0x48, 0x11, 0x05, 0x00, 0x00, static_cast<unsigned char>(i)};
        KovonSimUsb2_Plug(i * 4 + 1, serial, 0x1203, 0x0200);
        present[i * 4 + 1] = true;
    }
    for (auto _ : state) {
        unsigned seen = 0;
        for (unsigned n = 0; n < 64; ++n) {
            const std::string name = "ZEDIVOXU-" + std::to_string(n);
            {
                Kovon::CEzusb probe;
                if (!probe.Open(name.c_str())) continue;
            }
            if (seen++ < opened) continue;  // an open camera is not read again
            Kovon::CEzusb channel;
            uint8_t bytes[6];
            if (channel.Open(name.c_str())) {
                channel.ReadRegister(bytes, 0x206, 6);
                channel.ReadRegister(bytes, 0x20C, 2);
            }
            benchmark::DoNotOptimize(bytes);
        }
    }
    KovonSimUsb2_UnplugAll();
}

BENCHMARK(GetNumDevices)->Arg(0)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);
BENCHMARK(DriverRequestsOnly)->Arg(0)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
