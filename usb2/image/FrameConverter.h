#pragma once
// Pixel work of the USB 2.0 image path: from the raw frame of a bulk slot to the host's image.
//
// Monochrome models copy the frame, or restore horizontal binning by adding each pair of
// neighbouring pixels with saturation at the format's full scale (the camera sends lines of twice
// the image width). Colour models demosaic their Bayer data (blue at the top left of each 2x2
// cell) into grey or BGR through OpenCV's cvCvtColor, or pass the Bayer data through.
//
// Every function checks its buffers against the sizes it is given and writes nothing when a check
// fails. None allocates memory.
#include <cstddef>
#include <cstdint>

#include "usb2/image/BayerLibrary.h"
#include "usb2/image/ColorType.h"

namespace Kovon::Usb2Image {

enum class ConvertStatus {
    kOk = 0,
    kNothingWritten,       // a model of unknown colour type: no image, not an error
    kNullBuffer,           // source or destination missing
    kUnsupportedFormat,    // the pixel format is not handled on this path
    kBadGeometry,          // zero or too large a width or height
    kSourceTooSmall,       // the raw frame is shorter than the geometry needs
    kDestinationTooSmall,  // the host's buffer cannot hold the image
    kNoConverter,          // a Bayer conversion without the OpenCV library
    kConverterFailed,      // OpenCV refused the conversion
};

// Text for reports and tests, e.g. "no Bayer converter".
const char* ConvertStatusText(ConvertStatus status);

// What one frame goes through, chosen by the model's colour type, the stream's horizontal binning
// state and the pixel format.
enum class ConvertPath {
    kNone,         // nothing handles this combination
    kNothing,      // unknown colour type: nothing is written
    kCopy,         // monochrome pass-through (also Bayer data on a monochrome model)
    kBinning,      // monochrome horizontal binning restoration
    kBayerToGray,  // Bayer2Gray
    kBayerCopy,    // Bayer2Bayer
    kBayerToBGR,   // Bayer2BGR24
};

struct ConversionPlan {
    ConvertPath path = ConvertPath::kNone;
    std::uint64_t sourceBytes = 0;       // raw bytes the path reads
    std::uint64_t destinationBytes = 0;  // bytes it writes to the host's buffer
};

// width and height are the transfer geometry (width already doubled under horizontal binning).
ConversionPlan PlanConversion(ColorType colorType, bool horizontalBinning, std::uint32_t pixelFormat,
                              std::uint32_t width, std::uint32_t height);

// Binning restoration over a whole frame of 'inputPixels' pixels: output pixel i =
// min(input 2i + input 2i+1, full scale). An odd count's last output has no partner and keeps its
// single pixel. Pixels are bytes for Mono8 and little-endian 16-bit words for Mono10/12/14; other
// formats write nothing and return false.
bool RestoreBinning(const std::uint8_t* input, std::uint8_t* output, std::uint64_t inputPixels,
                    std::uint32_t pixelFormat);

// Demosaics a w x h Bayer frame with OpenCV (code kCvBayerRG2GRAY into one channel, or
// kCvBayerRG2BGR into three). Buffers hold at least w*h and w*h*channels bytes.
ConvertStatus Demosaic(CvtColorFunction cvtColor, const std::uint8_t* source, std::uint8_t* destination,
                       std::uint32_t width, std::uint32_t height, bool toBGR);

}  // namespace Kovon::Usb2Image
