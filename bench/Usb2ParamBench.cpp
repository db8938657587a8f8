// Feature access on an opened USB 2.0 device over a simulated camera: a plain register read, a
// converted 32-bit write, a computed value and a cache read, each next to the floor it is
// compared with, one bare register request through a channel of its own, measured in the same
// run. Each run reports the register requests of one call.
#include <benchmark/benchmark.h>

#include <memory>

#include "KovonSim/SimUsb2.h"
#include "system/System.h"
#include "usb2/Ezusb.h"
#include "usb2/ModelTable.h"

namespace {

constexpr unsigned kInstance = 3;

struct OpenedCamera {
    OpenedCamera() {
        KovonSimUsb2_UnplugAll();
        const unsigned char serial[6] = {0x48, 0x11, 0x0B, 0xE0, 0x00, 0x03};
        KovonSimUsb2_Plug(kInstance, serial, 0x1203, 0x0200);
        Kovon::UsbDeviceTexts texts;
        texts.modelName = "RT-GA47E";
        texts.serialNumber = "SN_4811BE00003";
        texts.deviceName = texts.modelName + "_" + texts.serialNumber;
        texts.instanceName = "ZEDIVOXU-3";
        device.reset(Kovon::FindUsbModel(texts.serialNumber)->make(&system, nullptr, texts));
        ok = device->OpenDriver() == 1;
    }
    ~OpenedCamera() {
        device.reset();
        KovonSimUsb2_UnplugAll();
    }
    Kovon::CSystem system;
    std::unique_ptr<Kovon::CDeviceUSBBase> device;
    bool ok = false;
};

void ReportRequests(benchmark::State& state) {
    KovonSimUsb2Counters counters{};
    KovonSimUsb2_GetCounters(kInstance, &counters);
    state.counters["registerReq"] =
        static_cast<double>(counters.registerRequests) / static_cast<double>(state.iterations());
}

template <typename Call>
void Run(benchmark::State& state, Call call) {
    OpenedCamera camera;
    if (!camera.ok) {
        state.SkipWithError("camera not opened");
        return;
    }
    KovonSimUsb2_ResetCounters(kInstance);
    for (auto _ : state) benchmark::DoNotOptimize(call(*camera.device));
    ReportRequests(state);
}

void BareRegisterRead(benchmark::State& state) {
    OpenedCamera camera;
    Kovon::CEzusb channel;
    if (!camera.ok || !channel.Open("ZEDIVOXU-3")) {
        state.SkipWithError("channel not opened");
        return;
    }
    KovonSimUsb2_ResetCounters(kInstance);
    uint8_t word[2];
    for (auto _ : state) benchmark::DoNotOptimize(channel.ReadRegister(word, 0x434, sizeof word));
    ReportRequests(state);
}

void GetParamWidth(benchmark::State& state) {
    Run(state, [](Kovon::CDeviceUSBBase& device) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        return device.GetParam(0x108, &value, size);
    });
}

void SetParamExposure(benchmark::State& state) {
    Run(state, [](Kovon::CDeviceUSBBase& device) {
        float value = 1000.0f;
        Lumora::u64 size = sizeof value;
        return device.SetParam(0x30C, &value, size);
    });
}

void GetParamPayloadSize(benchmark::State& state) {
    Run(state, [](Kovon::CDeviceUSBBase& device) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        return device.GetParam(0x12C, &value, size);
    });
}

void GetValueWidth(benchmark::State& state) {
    Run(state, [](Kovon::CDeviceUSBBase& device) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        return device.GetValue(0x108, &value, size);
    });
}

BENCHMARK(BareRegisterRead);
BENCHMARK(GetParamWidth);
BENCHMARK(SetParamExposure);
BENCHMARK(GetParamPayloadSize);
BENCHMARK(GetValueWidth);

}  // namespace

BENCHMARK_MAIN();
