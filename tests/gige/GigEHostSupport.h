#pragma once
// Helpers of the host-level GigE Vision tests: the simulator API resolved from the loaded module,
// big-endian register access through a device, and the test patterns the simulated camera sends.
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimGigE.h"
#include "support/ModuleLoader.h"

namespace GigEHostTest {

struct SimApi {
    decltype(&KovonSimGigE_Plug) plug;
    decltype(&KovonSimGigE_Unplug) unplug;
    decltype(&KovonSimGigE_SetPacketLoss) setLoss;
    decltype(&KovonSimGigE_SetLink) setLink;
    decltype(&KovonSimGigE_FireEvent) fireEvent;
    decltype(&KovonSimGigE_GetCounters) counters;

    static SimApi Load() {
        const KovonTest::ModuleLoader& m = KovonTest::ModuleLoader::Instance();
        return {m.Function<decltype(&KovonSimGigE_Plug)>("KovonSimGigE_Plug"),
                m.Function<decltype(&KovonSimGigE_Unplug)>("KovonSimGigE_Unplug"),
                m.Function<decltype(&KovonSimGigE_SetPacketLoss)>("KovonSimGigE_SetPacketLoss"),
                m.Function<decltype(&KovonSimGigE_SetLink)>("KovonSimGigE_SetLink"),
                m.Function<decltype(&KovonSimGigE_FireEvent)>("KovonSimGigE_FireEvent"),
                m.Function<decltype(&KovonSimGigE_GetCounters)>("KovonSimGigE_GetCounters")};
    }
};

inline int SetReg(Lumora::IDevice* device, Lumora::u64 id, uint32_t value) {
    uint32_t wire = htonl(value);
    Lumora::u64 size = sizeof wire;
    return device->SetParam(id, &wire, size);
}

inline int GetReg(Lumora::IDevice* device, Lumora::u64 id, uint32_t& value) {
    uint32_t wire = 0;
    Lumora::u64 size = sizeof wire;
    const int status = device->GetParam(id, &wire, size);
    value = ntohl(wire);
    return status;
}

inline std::string InfoText(Lumora::IDevice* device, Lumora::u64 id) {
    char text[512] = {};
    Lumora::u64 size = sizeof text;
    if (device->GetInfo(id, text, size) != 0) return "<error>";
    return text;
}

inline uint8_t CameraIndex(Lumora::IDevice* device) {
    uint8_t index = 0;
    Lumora::u64 size = 1;
    return device->GetInfo(11, &index, size) == 0 ? index : 0;
}

template <typename T>
T StreamValue(Lumora::IStream* stream, Lumora::u64 id) {
    T value{};
    Lumora::u64 size = sizeof value;
    stream->GetParam(id, &value, size);
    return value;
}

// Polls `condition` every 10 ms, at most `tries` times (a bound on tries, not a time limit).
template <typename F>
bool Eventually(F condition, int tries = 500) {
    for (int i = 0; i < tries; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

namespace Pattern {
// The simulated camera fills pixel (x, y) of frame pattern s with x + 3y + 17s (masked to the
// format's depth); colour formats carry red x + s, green y, blue 17s. The pattern number is not
// known to the host, so each check derives it from the first pixel.
inline bool Mono8(const std::vector<uint8_t>& f, uint32_t w, uint32_t h) {
    const uint8_t base = f[0];
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (f[y * w + x] != static_cast<uint8_t>(x + 3 * y + base)) return false;
    return true;
}

inline bool Mono12Packed(const std::vector<uint8_t>& f, uint32_t w, uint32_t h) {
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = &f[(y * (w / 2) + x / 2) * 3];
        return x % 2 == 0 ? (uint32_t{p[0]} << 4) | (p[1] & 0x0F) : (uint32_t{p[2]} << 4) | (p[1] >> 4);
    };
    const uint32_t base = pixel(0, 0);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (pixel(x, y) != ((base + x + 3 * y) & 0xFFF)) return false;
    return true;
}

inline bool Rgb8(const std::vector<uint8_t>& f, uint32_t w, uint32_t h) {
    const uint8_t s = f[0];
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &f[(y * w + x) * 3];
            if (p[0] != static_cast<uint8_t>(x + s) || p[1] != static_cast<uint8_t>(y) ||
                p[2] != static_cast<uint8_t>(17 * s))
                return false;
        }
    return true;
}
}  // namespace Pattern

}  // namespace GigEHostTest
