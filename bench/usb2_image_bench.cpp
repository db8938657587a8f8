// Cost of the USB 2.0 image path per 1280 x 1024 frame against its floor, measured in the same
// iterations: a plain memcpy of the raw frame for the copy and binning paths, a bare cvCvtColor
// call on the same buffers for the demosaic paths. Counters: ours_us and floor_us (mean per frame),
// ratio (ours / floor), and heap allocations per frame of each (malloc family and operator new,
// OpenCV's own included).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "AllocationCount.h"
#include "usb2/image/BayerLibrary.h"
#include "usb2/image/ImageProcessor.h"
#include "usb2/image/PixelFormat.h"

namespace {

using namespace Kovon::Usb2Image;
using Clock = std::chrono::steady_clock;

// The device's map as the loops see it while both are Off: every value 0.
class QuietDevice final : public IUsbParamAccess {
public:
    int GetValue(std::uint64_t, void* b, std::uint64_t& s) override { return Zero(b, s); }
    int GetParam(std::uint64_t, void* b, std::uint64_t& s) override { return Zero(b, s); }
    int SetValue(std::uint64_t, void*, std::uint64_t&) override { return 0; }
    int SetParam(std::uint64_t, void*, std::uint64_t&) override { return 0; }

private:
    static int Zero(void* b, std::uint64_t& s) {
        std::memset(b, 0, 4);
        s = 4;
        return 0;
    }
};

constexpr std::uint32_t kWidth = 1280, kHeight = 1024;

enum class Floor { kMemcpy, kCvtColor };

void RunCase(benchmark::State& state, ColorType colorType, std::uint32_t format, bool binning, Floor floor) {
    CBayerLibrary library;
    if (floor == Floor::kCvtColor && library.Function() == nullptr) {
        state.SkipWithError("no OpenCV imgproc library");
        return;
    }
    QuietDevice device;
    // Firmware above 0.0.5.0, so that the exposure loop's per-frame check is part of the cost.
    CImageProcessor processor(device, "1.0.0.0", colorType, library.Function());
    const FrameFormat frame{kWidth, kHeight, format, binning};
    const std::uint64_t rawBytes = std::uint64_t{kWidth} * kHeight * RawBytesPerPixel(format);
    std::vector<std::uint8_t> source(rawBytes), destination(processor.DestinationBytes(frame));
    // The copy floor always moves the whole raw frame, also where the image is smaller (binning).
    std::vector<std::uint8_t> copyFloor(rawBytes);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));

    const bool toBGR = format == kBGR8Packed;
    CvMatHeader src{kCvMat8UC1, int(kWidth), nullptr, 0, source.data(), int(kHeight), int(kWidth)};
    CvMatHeader dst{toBGR ? kCvMat8UC3 : kCvMat8UC1,
                    int(toBGR ? 3 * kWidth : kWidth),
                    nullptr,
                    0,
                    destination.data(),
                    int(kHeight),
                    int(kWidth)};
    const int code = toBGR ? kCvBayerRG2BGR : kCvBayerRG2GRAY;

    if (!KovonBench::AllocationCountingActive()) {
        state.SkipWithError("allocation counting is not active");
        return;
    }
    double ours = 0, base = 0;
    long oursAllocs = 0, baseAllocs = 0;
    for (auto _ : state) {
        long before = KovonBench::AllocationCount();
        const auto t0 = Clock::now();
        const auto status = processor.GetConvertImage(source.data(), source.size(), destination.data(),
                                                      destination.size(), frame);
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        oursAllocs += KovonBench::AllocationCount() - before;
        before = KovonBench::AllocationCount();
        const auto t2 = Clock::now();
        if (floor == Floor::kMemcpy) {
            std::memcpy(copyFloor.data(), source.data(), rawBytes);
        } else {
            library.Function()(&src, &dst, code);
        }
        benchmark::ClobberMemory();
        const auto t3 = Clock::now();
        baseAllocs += KovonBench::AllocationCount() - before;
        ours += std::chrono::duration<double>(t1 - t0).count();
        base += std::chrono::duration<double>(t3 - t2).count();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (status != ConvertStatus::kOk) {
            state.SkipWithError(ConvertStatusText(status));
            break;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_us"] = ours / n * 1e6;
    state.counters["floor_us"] = base / n * 1e6;
    state.counters["ratio"] = base > 0 ? ours / base : 0;
    state.counters["ours_allocs"] = static_cast<double>(oursAllocs) / n;
    state.counters["floor_allocs"] = static_cast<double>(baseAllocs) / n;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(rawBytes));
}

void BM_Mono8(benchmark::State& s) {
    RunCase(s, kColorTypeMono, kMono8, false, Floor::kMemcpy);
}
void BM_Mono12(benchmark::State& s) {
    RunCase(s, kColorTypeMono, kMono12, false, Floor::kMemcpy);
}
void BM_Mono8Binning(benchmark::State& s) {
    RunCase(s, kColorTypeMono, kMono8, true, Floor::kMemcpy);
}
void BM_Mono12Binning(benchmark::State& s) {
    RunCase(s, kColorTypeMono, kMono12, true, Floor::kMemcpy);
}
void BM_BayerBG8(benchmark::State& s) {
    RunCase(s, kColorTypeColor, kBayerBG8, false, Floor::kMemcpy);
}
void BM_BayerToGray(benchmark::State& s) {
    RunCase(s, kColorTypeColor, kMono8, false, Floor::kCvtColor);
}
void BM_BGR8Packed(benchmark::State& s) {
    RunCase(s, kColorTypeColor, kBGR8Packed, false, Floor::kCvtColor);
}

BENCHMARK(BM_Mono8)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mono12)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mono8Binning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mono12Binning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BayerBG8)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BayerToGray)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BGR8Packed)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
