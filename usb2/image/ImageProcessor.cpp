#include "usb2/image/ImageProcessor.h"

#include <cstring>

#include "usb2/image/FirmwareText.h"

namespace Kovon::Usb2Image {

CImageProcessor::CImageProcessor(IUsbParamAccess& device, std::string_view firmwareText, ColorType colorType,
                                 CvtColorFunction cvtColor, MsClock clock)
    : device_(device),
      colorType_(colorType),
      frameMarker_(FirmwareHasFrameMarker(firmwareText)),
      cvtColor_(cvtColor),
      exposure_(device, clock),
      whiteBalance_(device, FirmwareHasColorStatistics(firmwareText), clock) {
    whiteBalance_.ReadFixedParam();
}

unsigned CImageProcessor::ToStreamResult(ConvertStatus status) {
    return status == ConvertStatus::kOk || status == ConvertStatus::kNothingWritten ? 0u : 0xFFFFFFFFu;
}

std::uint64_t CImageProcessor::DestinationBytes(const FrameFormat& format) const {
    const ConversionPlan plan =
        PlanConversion(colorType_, format.horizontalBinning, format.pixelFormat, format.width, format.height);
    return plan.path == ConvertPath::kNone ? 0 : plan.destinationBytes;
}

ConvertStatus CImageProcessor::GetConvertImage(const std::uint8_t* source, std::uint64_t sourceBytes,
                                               std::uint8_t* destination, std::uint64_t destinationBytes,
                                               const FrameFormat& format) {
    if (source == nullptr || destination == nullptr) return ConvertStatus::kNullBuffer;
    // The exposure loop acts on the camera's own statistics, not on these pixels, so it runs for
    // every delivered frame whatever becomes of the conversion.
    if (frameMarker_) exposure_.AE_Process(format.height);

    const ConversionPlan plan =
        PlanConversion(colorType_, format.horizontalBinning, format.pixelFormat, format.width, format.height);
    if (plan.path == ConvertPath::kNothing) return ConvertStatus::kNothingWritten;
    if (plan.path == ConvertPath::kNone) return ConvertStatus::kUnsupportedFormat;
    if (format.width == 0 || format.height == 0) return ConvertStatus::kBadGeometry;
    if (sourceBytes < plan.sourceBytes) return ConvertStatus::kSourceTooSmall;
    if (destinationBytes < plan.destinationBytes) return ConvertStatus::kDestinationTooSmall;

    switch (plan.path) {
        case ConvertPath::kCopy:
            std::memcpy(destination, source, plan.sourceBytes);
            return ConvertStatus::kOk;
        case ConvertPath::kBinning:
            RestoreBinning(source, destination, std::uint64_t{format.width} * format.height,
                           format.pixelFormat);
            return ConvertStatus::kOk;
        default:
            return ColorPath(plan.path, source, destination, format.width, format.height);
    }
}

ConvertStatus CImageProcessor::ColorPath(ConvertPath path, const std::uint8_t* source,
                                         std::uint8_t* destination, std::uint32_t width,
                                         std::uint32_t height) {
    // Check what the conversion needs before the white balance acts on a frame that would then
    // be dropped.
    if (path != ConvertPath::kBayerCopy) {
        if (width < 2 || height < 2) return ConvertStatus::kBadGeometry;
        if (cvtColor_ == nullptr) return ConvertStatus::kNoConverter;
    }
    whiteBalance_.SetMinCount(width);
    const auto mode = CachedU32(device_, MapAddress::kBalanceWhiteAuto);
    if (mode && *mode != kBalanceWhiteOff) {
        whiteBalance_.AWBProcessing(source, width, height);
    } else {
        whiteBalance_.ResetIterations();
    }
    switch (path) {
        case ConvertPath::kBayerToGray:
            return Bayer2Gray(source, destination, width, height);
        case ConvertPath::kBayerCopy:
            return Bayer2Bayer(source, destination, width, height);
        default:
            return Bayer2BGR24(source, destination, width, height);
    }
}

ConvertStatus CImageProcessor::Bayer2Gray(const std::uint8_t* source, std::uint8_t* destination,
                                          std::uint32_t width, std::uint32_t height) {
    return Demosaic(cvtColor_, source, destination, width, height, false);
}

ConvertStatus CImageProcessor::Bayer2Bayer(const std::uint8_t* source, std::uint8_t* destination,
                                           std::uint32_t width, std::uint32_t height) {
    // The camera data already are the BayerBG8 image; only the white balance acts on this path.
    std::memcpy(destination, source, std::uint64_t{width} * height);
    return ConvertStatus::kOk;
}

ConvertStatus CImageProcessor::Bayer2BGR24(const std::uint8_t* source, std::uint8_t* destination,
                                           std::uint32_t width, std::uint32_t height) {
    return Demosaic(cvtColor_, source, destination, width, height, true);
}

}  // namespace Kovon::Usb2Image
