#include <cstdarg>
#include <cstdio>
#include <string>

#include "Runners.h"

namespace KovonSoak {

void Runner::Run() {
    try {
        while (!stop_.load()) {
            if (!Session()) SleepUnless(stop_, 500);
            Step();
        }
    } catch (const std::exception& e) {
        ledger_.Problem(std::string("exception: ") + e.what());
    }
    try {
        Finish();
    } catch (const std::exception& e) {
        ledger_.Problem(std::string("exception: ") + e.what());
    }
}

Lumora::IDevice* Runner::OpenListed(const std::string& name) {
    Lumora::IDevice* device = nullptr;
    const int rc = itf_->OpenDevice(name.c_str(), device);
    if (rc != 0 || device == nullptr) {
        ledger_.Note("open refused, retried");
        Log("OpenDevice %d", rc);
        return nullptr;
    }
    return device;
}

Lumora::IStream* Runner::OpenStreamOrRelease(Lumora::IDevice* device) {
    Lumora::IStream* stream = nullptr;
    if (device->OpenStream(0, stream) != 0 || stream == nullptr) {
        ledger_.Note("OpenStream refused, retried");
        device->Release();
        return nullptr;
    }
    return stream;
}

void Runner::Log(const char* format, ...) const {
    if (!options_.verbose) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "[%s] %s\n", ledger_.Transport().c_str(), text);
}

bool Mono8Ramp(const uint8_t* pixels, uint32_t width, uint32_t height) {
    const uint8_t base = pixels[0];
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* line = pixels + static_cast<size_t>(y) * width;
        const uint8_t start = static_cast<uint8_t>(base + 3 * y);
        for (uint32_t x = 0; x < width; ++x)
            if (line[x] != static_cast<uint8_t>(start + x)) return false;
    }
    return true;
}

}  // namespace KovonSoak
