#pragma once
// Grabbing frames from one opened camera: stream 0, acquisition started through the camera's own
// AcquisitionStart command when its description has one, frames collected by copy and written as
// PNG files, with a one-line progress display.
#include <cstdint>
#include <cstdio>
#include <string>

#include "Features.h"
#include "Lumora/Lumora.h"

namespace KovonGrab {

struct GrabOptions {
    uint64_t frames = 10;
    std::string outputDir;          // empty: frames are not written
    std::string filePrefix;         // file names: <prefix>_<number>.png
    unsigned timeoutMs = 5000;      // longest wait for the next good frame
    std::FILE* progress = nullptr;  // where the progress line goes; null: none
    // true: one line redrawn in place (a terminal); false: a line now and then (a log or a pipe)
    bool progressInPlace = true;
};

enum class GrabOutcome {
    Ok,
    NoGeometry,   // Width, Height or PixelFormat cannot be read
    NotStorable,  // the pixel format cannot be written as PNG
    NoStream,     // the stream cannot be opened
    StartFailed,  // Acquire or AcquisitionStart failed
    Stalled,      // no frame within the time-out
    Failing,      // frames arrive, but the stream reports each as failed (time-out passed)
    WriteFailed,  // an image file cannot be written
};

struct GrabResult {
    GrabOutcome outcome = GrabOutcome::Ok;
    std::string message;
    FeatureStatus featureStatus;  // for NoGeometry and StartFailed: what the feature layer said
    uint32_t width = 0, height = 0, pixelFormat = 0;
    uint64_t frames = 0;   // good frames
    uint64_t errors = 0;   // frames the stream reported as failed
    int lastError = 0;     // GetImage's status for the last of them
    uint64_t errorsSinceGood = 0;  // failed frames after the last good one
    uint64_t written = 0;  // files written
    double seconds = 0;
    std::string firstFile;
};

// File name of frame `index`: the prefix with anything but letters, digits, '.', '-' and '_'
// replaced by '_', then "_" and the index in six digits.
std::string FrameFileName(const std::string& prefix, uint64_t index);

GrabResult Grab(Lumora::IDevice* device, Features& features, const GrabOptions& options);

}  // namespace KovonGrab
