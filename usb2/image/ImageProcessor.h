#pragma once
// What a USB 2.0 stream does with each raw frame it delivers (GetConvertImage): run the exposure
// loop for cameras that publish statistics, then turn the raw frame into the host's image, running
// the white-balance loop first on the colour paths.
//
// The stream owns one processor per opened stream, built in its constructor after the device
// reads (firmware text, model name), together with a CBayerLibrary that it keeps for at least as
// long as the processor: the processor only holds the library's function pointer. GetImage calls
// GetConvertImage with the slot buffer and payload size, the host's buffer and the geometry that
// Acquire read; ToStreamResult maps the outcome to GetConvertImage's 0 / 0xFFFFFFFF. The processor
// holds no thread and is called from the one host thread that fetches frames.
#include <cstdint>
#include <string_view>

#include "usb2/image/AutoExposure.h"
#include "usb2/image/AutoWhiteBalance.h"
#include "usb2/image/BayerLibrary.h"
#include "usb2/image/ColorType.h"
#include "usb2/image/FrameConverter.h"
#include "usb2/image/MsClock.h"
#include "usb2/image/ParamAccess.h"

namespace Kovon::Usb2Image {

// The transfer geometry of a stream's frames as read by Acquire.
struct FrameFormat {
    std::uint32_t width = 0;  // transfer width: twice the image width under horizontal binning
    std::uint32_t height = 0;
    std::uint32_t pixelFormat = 0;
    bool horizontalBinning = false;
};

class CImageProcessor {
public:
    // firmwareText: the device's version text; colorType: GetColorType of its model name;
    // cvtColor: OpenCV's cvCvtColor or null (the owner keeps the library loaded). Reads the
    // white-balance constants from the camera.
    CImageProcessor(IUsbParamAccess& device, std::string_view firmwareText, ColorType colorType,
                    CvtColorFunction cvtColor, MsClock clock = SteadyClockMs);

    // Converts one raw frame of sourceBytes bytes into the host's buffer of destinationBytes bytes
    // (pass the largest size the caller can vouch for). kOk and kNothingWritten deliver the frame;
    // every other status drops it with nothing written to the destination.
    ConvertStatus GetConvertImage(const std::uint8_t* source, std::uint64_t sourceBytes,
                                  std::uint8_t* destination, std::uint64_t destinationBytes,
                                  const FrameFormat& format);

    // GetConvertImage's result in the stream's terms: 0 delivered, 0xFFFFFFFF dropped.
    static unsigned ToStreamResult(ConvertStatus status);

    // Bytes the host's buffer must hold for this format on this model (0: not convertible).
    std::uint64_t DestinationBytes(const FrameFormat& format) const;

    bool HasFrameMarker() const { return frameMarker_; }
    ColorType Color() const { return colorType_; }
    CAutoExposure& Exposure() { return exposure_; }
    CAutoWhiteBalance& WhiteBalance() { return whiteBalance_; }

private:
    ConvertStatus ColorPath(ConvertPath path, const std::uint8_t* source, std::uint8_t* destination,
                            std::uint32_t width, std::uint32_t height);
    ConvertStatus Bayer2Gray(const std::uint8_t* source, std::uint8_t* destination, std::uint32_t width,
                             std::uint32_t height);
    ConvertStatus Bayer2Bayer(const std::uint8_t* source, std::uint8_t* destination, std::uint32_t width,
                              std::uint32_t height);
    ConvertStatus Bayer2BGR24(const std::uint8_t* source, std::uint8_t* destination, std::uint32_t width,
                              std::uint32_t height);

    IUsbParamAccess& device_;
    ColorType colorType_;
    bool frameMarker_;
    CvtColorFunction cvtColor_;
    CAutoExposure exposure_;
    CAutoWhiteBalance whiteBalance_;
};

}  // namespace Kovon::Usb2Image
