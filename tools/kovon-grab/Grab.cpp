#include "Grab.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "PngWriter.h"

namespace KovonGrab {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Lumora::u64 kStreamImageTimeout = 2;
constexpr Lumora::u64 kStreamWaitForImage = 3;
constexpr Lumora::u64 kStreamPayloadSize = 4;
// The progress line is redrawn at most this often on a terminal; elsewhere a line is added at
// most once a second.
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr auto kProgressLogPeriod = std::chrono::seconds(1);
// Frames larger than this are refused rather than allocated.
constexpr uint64_t kMaxFrameBytes = 1ull << 30;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void ShowProgress(std::FILE* out, bool inPlace, const GrabResult& r, uint64_t wanted, bool last) {
    if (out == nullptr) return;
    const double rate = r.seconds > 0 ? static_cast<double>(r.frames) / r.seconds : 0.0;
    std::fprintf(out, "%sframes %llu/%llu  %.1f frames/s  errors %llu%s", inPlace ? "\r" : "",
                 static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(wanted), rate,
                 static_cast<unsigned long long>(r.errors), last || !inPlace ? "\n" : "   ");
    std::fflush(out);
}

uint64_t FrameBytesOf(uint32_t width, uint32_t height, uint32_t pixelFormat) {
    PngLayout layout;
    if (PngLayoutFor(pixelFormat, layout)) return FrameBytes(layout, width, height);
    // Any other format: the bits per pixel that the GenICam format value carries.
    return (uint64_t{width} * height * ((pixelFormat >> 16) & 0xFF) + 7) / 8;
}

}  // namespace

std::string FrameFileName(const std::string& prefix, uint64_t index) {
    std::string name = prefix.empty() ? "frame" : prefix;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
    char number[32];
    std::snprintf(number, sizeof number, "_%06llu.png", static_cast<unsigned long long>(index));
    return name + number;
}

GrabResult Grab(Lumora::IDevice* device, Features& features, const GrabOptions& options) {
    GrabResult result;
    int64_t width = 0, height = 0, pixelFormat = 0;
    for (auto [name, value] : {std::pair<const char*, int64_t*>{"Width", &width},
                               {"Height", &height},
                               {"PixelFormat", &pixelFormat}}) {
        result.featureStatus = features.GetInteger(name, *value);
        if (!result.featureStatus.Ok()) {
            result.outcome = GrabOutcome::NoGeometry;
            result.message = "cannot read the image geometry: " + result.featureStatus.message;
            return result;
        }
    }
    if (width <= 0 || height <= 0 || width > 0xFFFFFF || height > 0xFFFFFF || pixelFormat < 0 ||
        pixelFormat > 0xFFFFFFFF) {
        result.outcome = GrabOutcome::NoGeometry;
        result.message =
            "the camera reports an image of " + std::to_string(width) + " x " + std::to_string(height);
        return result;
    }
    result.width = static_cast<uint32_t>(width);
    result.height = static_cast<uint32_t>(height);
    result.pixelFormat = static_cast<uint32_t>(pixelFormat);
    PngLayout layout;
    if (!options.outputDir.empty() && !PngLayoutFor(result.pixelFormat, layout)) {
        result.outcome = GrabOutcome::NotStorable;
        result.message = "frames in " + PixelFormatName(result.pixelFormat) +
                         " cannot be written as PNG; choose another PixelFormat";
        return result;
    }
    if (!options.outputDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.outputDir, ec);
        if (ec) {
            result.outcome = GrabOutcome::WriteFailed;
            result.message = "cannot create " + options.outputDir + ": " + ec.message();
            return result;
        }
    }

    Lumora::IStream* stream = nullptr;
    int rc = device->OpenStream(0, stream);
    if (rc != 0 || stream == nullptr) {
        result.outcome = GrabOutcome::NoStream;
        result.message = "the camera's stream cannot be opened: OpenStream(0) returned " + std::to_string(rc);
        return result;
    }
    // Short waits keep the time-out and the progress line moving.
    uint32_t waitMs = std::min(options.timeoutMs, 1000u);
    Lumora::u64 size = sizeof waitMs;
    stream->SetParam(kStreamImageTimeout, &waitMs, size);

    rc = stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull);
    if (rc != 0) {
        stream->Release();
        result.outcome = GrabOutcome::StartFailed;
        result.message = "the camera's stream does not start: Acquire returned " + std::to_string(rc);
        return result;
    }
    const bool hasStartCommand = features.Has("AcquisitionStart");
    if (hasStartCommand) {
        result.featureStatus = features.Execute("AcquisitionStart");
        if (!result.featureStatus.Ok()) {
            stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
            stream->Release();
            result.outcome = GrabOutcome::StartFailed;
            result.message = "the camera does not start: " + result.featureStatus.message;
            return result;
        }
    }

    uint64_t payload = 0;
    size = sizeof payload;
    if (stream->GetParam(kStreamPayloadSize, &payload, size) != 0 || size > sizeof payload) payload = 0;
    const uint64_t frameBytes = FrameBytesOf(result.width, result.height, result.pixelFormat);
    const uint64_t bufferBytes = std::max(payload, frameBytes);
    if (bufferBytes == 0 || bufferBytes > kMaxFrameBytes) {
        result.outcome = GrabOutcome::StartFailed;
        result.message = "the camera reports frames of " + std::to_string(bufferBytes) + " bytes";
    }
    std::vector<uint8_t> buffer(result.outcome == GrabOutcome::Ok ? static_cast<size_t>(bufferBytes) : 0);

    const auto start = Clock::now();
    auto lastGood = start;
    const Clock::duration period =
        options.progressInPlace ? Clock::duration(kProgressPeriod) : Clock::duration(kProgressLogPeriod);
    // On a terminal the line shows at once; in a log the first line comes after a period.
    auto lastShown = options.progressInPlace ? start - period : start;
    while (result.outcome == GrabOutcome::Ok && result.frames < options.frames) {
        const auto now = Clock::now();
        result.seconds = Seconds(now - start);
        if (now - lastShown >= period) {
            ShowProgress(options.progress, options.progressInPlace, result, options.frames, false);
            lastShown = now;
        }
        if (now - lastGood > std::chrono::milliseconds(options.timeoutMs)) {
            if (result.errorsSinceGood > 0) {
                result.outcome = GrabOutcome::Failing;
                result.message = "no good frame within " + std::to_string(options.timeoutMs) + " ms: GetImage failed " +
                                 std::to_string(result.errorsSinceGood) + " times, last with status " +
                                 std::to_string(result.lastError);
            } else {
                result.outcome = GrabOutcome::Stalled;
                result.message = "no frame within " + std::to_string(options.timeoutMs) + " ms";
            }
            break;
        }
        uint32_t ready = 0;
        size = sizeof ready;
        const int waited = stream->GetParam(kStreamWaitForImage, &ready, size);
        if (waited != 0) {
            // A stream that refuses the wait at once must not turn this loop into a spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (ready == 0) continue;
        rc = stream->GetImage(buffer.data(), static_cast<int32_t>(waitMs));
        if (rc != 0) {
            ++result.errors;
            ++result.errorsSinceGood;
            result.lastError = rc;
            continue;
        }
        lastGood = Clock::now();
        result.errorsSinceGood = 0;
        if (!options.outputDir.empty()) {
            const std::string path =
                (std::filesystem::path(options.outputDir) / FrameFileName(options.filePrefix, result.frames))
                    .string();
            std::string error;
            if (!WritePng(path, result.width, result.height, result.pixelFormat, buffer.data(), buffer.size(),
                          error)) {
                result.outcome = GrabOutcome::WriteFailed;
                result.message = error;
                break;
            }
            if (result.written++ == 0) result.firstFile = path;
        }
        ++result.frames;
    }
    result.seconds = Seconds(Clock::now() - start);
    ShowProgress(options.progress, options.progressInPlace, result, options.frames, true);

    if (hasStartCommand && features.Has("AcquisitionStop")) features.Execute("AcquisitionStop");
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    stream->Release();
    return result;
}

}  // namespace KovonGrab
