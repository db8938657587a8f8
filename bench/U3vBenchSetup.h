#pragma once
// Set-up shared by the USB3 Vision benchmarks: an allocation counter, a simulated camera, the
// library's stream opened the way the module opens it, and the process's CPU time.
//
// Include from a benchmark's one source file: it replaces the global operator new and delete.
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "KovonSim/SimU3V.h"
#include "u3v/tessa/Tessa.h"

namespace U3vBench {

constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr size_t kPayload = size_t(kWidth) * kHeight;  // Mono8
constexpr const char* kModel = "TK-U3-130M";

inline std::atomic<uint64_t> gAllocations{0};

// CPU time of the whole process (every thread: the module's worker and the simulator included).
inline double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Plugs a simulated camera of kWidth x kHeight Mono8 whose stream runs at bytesPerSecond
// (0: as fast as it is read).
inline bool PlugCamera(const char* serial, uint64_t bytesPerSecond = 0) {
    KovonSimU3VOptions o;
    KovonSimU3V_DefaultOptions(&o);
    o.serial = serial;
    o.model = kModel;
    o.width = kWidth;
    o.height = kHeight;
    return KovonSimU3V_PlugWith(&o) == 0 && KovonSimU3V_SetStreamRate(serial, bytesPerSecond) == 0;
}

// The library's stream of a plugged camera, acquiring endlessly with the transfer size that the
// module chooses for this payload; closed and the camera unplugged on destruction.
class LibraryStream {
public:
    explicit LibraryStream(const char* serial) : serial_(serial) {
        using namespace Kovon::Tessa;
        U3V_DEVICE_INFORMATION info;
        ok_ = U3V_OpenDevice(("sim:u3v:" + serial_).c_str(), &device_, 0, 0, &info) == 0 &&
              U3V_OpenControl(device_, &control_) == 0 &&
              U3V_OpenStream(device_, control_, &stream_, 1000) == 0 &&
              U3V_SetTransferSize(stream_, uint32_t(kPayload)) == 0 &&
              U3V_AcquisitionStart(stream_, 0xFFFFFFFF) == 0;
    }
    LibraryStream(const LibraryStream&) = delete;
    LibraryStream& operator=(const LibraryStream&) = delete;
    ~LibraryStream() {
        using namespace Kovon::Tessa;
        if (stream_ != nullptr) {
            U3V_AcquisitionStop(stream_, nullptr, nullptr);
            U3V_CloseStream(stream_);
        }
        if (control_ != nullptr) U3V_CloseControl(control_);
        if (device_ != nullptr) U3V_CloseDevice(device_);
        KovonSimU3V_Unplug(serial_.c_str());
    }

    bool Ok() const { return ok_; }
    // One frame straight into the caller's buffer (kPayload bytes); true when one came.
    bool GetImage(void* buffer) {
        Kovon::Tessa::U3V_FRAME_INFO info;
        return Kovon::Tessa::U3V_GetImage(stream_, buffer, 1000, &info) == 0;
    }

private:
    std::string serial_;
    void* device_ = nullptr;
    void* control_ = nullptr;
    void* stream_ = nullptr;
    bool ok_ = false;
};

}  // namespace U3vBench

// Counts every allocation, so that a benchmark can show that a frame allocates nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    U3vBench::gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop
