#pragma once
// A stream of the host interfaces that delivers numbered test frames, so that kovon-grab's grab
// loop can be exercised without the module. Frame k holds byte (i + 3k) at offset i.
#include <cstdint>
#include <cstring>

#include "Lumora/Lumora.h"

namespace KovonGrabTest {

class FakeStream : public Lumora::IStream {
public:
    explicit FakeStream(uint64_t payloadSize) : payloadSize_(payloadSize) {}

    static uint8_t PatternByte(uint64_t frame, uint64_t offset) {
        return static_cast<uint8_t>(offset + 3 * frame);
    }

    // Every second GetImage fails with this status (0: none fails).
    void FailEverySecondWith(int status) { failEverySecond_ = status; }
    // No frame is ever ready.
    void NeverReady() { neverReady_ = true; }

    int acquires = 0, freezes = 0, releases = 0;
    uint64_t delivered = 0;

    int Acquire(ACQ_START_FLAGS, Lumora::u64) override {
        ++acquires;
        return 0;
    }
    int Freeze(ACQ_STOP_FLAGS) override {
        ++freezes;
        return 0;
    }
    int GetImage(void* buffer, int32_t) override {
        if (acquires == freezes) return -1;
        if (failEverySecond_ != 0 && (calls_++ % 2) == 1) return failEverySecond_;
        auto* bytes = static_cast<uint8_t*>(buffer);
        for (uint64_t i = 0; i < payloadSize_; ++i) bytes[i] = PatternByte(delivered, i);
        ++delivered;
        return 0;
    }
    int SetParam(Lumora::u64 id, void*, Lumora::u64& size) override {
        return id == 2 && size == 4 ? 0 : Lumora::GC_ERR_INVALID_PARAMETER;
    }
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override {
        if (id == 3 && size >= 4) {
            const uint32_t ready = neverReady_ ? 0 : 1;
            std::memcpy(buffer, &ready, 4);
            size = 4;
            return 0;
        }
        if (id == 4 && size >= 8) {
            std::memcpy(buffer, &payloadSize_, 8);
            size = 8;
            return 0;
        }
        return Lumora::GC_ERR_INVALID_PARAMETER;
    }
    unsigned Release() override {
        ++releases;
        return 0;
    }
    unsigned Share() override { return 0; }

private:
    uint64_t payloadSize_;
    int failEverySecond_ = 0;
    bool neverReady_ = false;
    uint64_t calls_ = 0;
};

}  // namespace KovonGrabTest
