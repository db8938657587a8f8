#include "usb2/image/FrameConverter.h"

#include <climits>
#include <cstring>

#include "usb2/image/PixelFormat.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Kovon::Usb2Image {

const char* ConvertStatusText(ConvertStatus status) {
    switch (status) {
        case ConvertStatus::kOk:
            return "converted";
        case ConvertStatus::kNothingWritten:
            return "model of unknown colour type, nothing written";
        case ConvertStatus::kNullBuffer:
            return "missing buffer";
        case ConvertStatus::kUnsupportedFormat:
            return "pixel format not handled";
        case ConvertStatus::kBadGeometry:
            return "invalid image geometry";
        case ConvertStatus::kSourceTooSmall:
            return "raw frame too short";
        case ConvertStatus::kDestinationTooSmall:
            return "destination buffer too small";
        case ConvertStatus::kNoConverter:
            return "no Bayer converter";
        case ConvertStatus::kConverterFailed:
            return "Bayer conversion failed";
    }
    return "unknown";
}

ConversionPlan PlanConversion(ColorType colorType, bool horizontalBinning, std::uint32_t pixelFormat,
                              std::uint32_t width, std::uint32_t height) {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    const std::uint64_t raw = pixels * RawBytesPerPixel(pixelFormat);
    ConversionPlan plan;
    if (colorType == kColorTypeMono) {
        if (horizontalBinning) {
            if (MonoFullScale(pixelFormat) == 0) return plan;
            return {ConvertPath::kBinning, raw, (pixels + 1) / 2 * RawBytesPerPixel(pixelFormat)};
        }
        switch (pixelFormat) {
            case kMono8:
            case kBayerBG8:
            case kMono10:
            case kMono12:
            case kMono14:
                return {ConvertPath::kCopy, raw, raw};
            case kBGR8Packed:
                return {ConvertPath::kBayerToBGR, pixels, pixels * 3};
            default:
                return plan;
        }
    }
    if (colorType == kColorTypeColor) {
        switch (pixelFormat) {
            case kMono8:
                return {ConvertPath::kBayerToGray, pixels, pixels};
            case kBayerBG8:
                return {ConvertPath::kBayerCopy, pixels, pixels};
            case kBGR8Packed:
                return {ConvertPath::kBayerToBGR, pixels, pixels * 3};
            default:
                return plan;
        }
    }
    return {ConvertPath::kNothing, 0, 0};
}

namespace {

std::uint16_t LoadWord(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void StoreWord(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void BinBytes(const std::uint8_t* in, std::uint8_t* out, std::uint64_t pairs) {
    std::uint64_t i = 0;
#if defined(__SSE2__)
    // 16 output pixels per round: split even and odd bytes into 16-bit lanes, add, and pack back
    // with unsigned saturation, which is exactly min(sum, 255).
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= pairs; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i + 16));
        const __m128i sumA = _mm_add_epi16(_mm_and_si128(a, lowBytes), _mm_srli_epi16(a, 8));
        const __m128i sumB = _mm_add_epi16(_mm_and_si128(b, lowBytes), _mm_srli_epi16(b, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(sumA, sumB));
    }
#endif
    for (; i < pairs; ++i) {
        const unsigned sum = unsigned{in[2 * i]} + in[2 * i + 1];
        out[i] = static_cast<std::uint8_t>(sum > 255 ? 255 : sum);
    }
}

void BinWords(const std::uint8_t* in, std::uint8_t* out, std::uint64_t pairs, std::uint32_t fullScale) {
    std::uint64_t i = 0;
#if defined(__SSE2__)
    // 8 output pixels per round: even and odd words into 32-bit lanes and added; the signed pack
    // to 16 bits saturates at 32767, above every full scale, and a signed 16-bit minimum then
    // clamps to the format's full scale.
    const __m128i lowWords = _mm_set1_epi32(0xFFFF);
    const __m128i limit = _mm_set1_epi16(static_cast<short>(fullScale));
    auto pairSums = [&](__m128i v) {
        return _mm_add_epi32(_mm_and_si128(v, lowWords), _mm_srli_epi32(v, 16));
    };
    for (; i + 8 <= pairs; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i + 16));
        const __m128i sums = _mm_packs_epi32(pairSums(a), pairSums(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_min_epi16(sums, limit));
    }
#endif
    for (; i < pairs; ++i) {
        const std::uint32_t sum = std::uint32_t{LoadWord(in + 4 * i)} + LoadWord(in + 4 * i + 2);
        StoreWord(out + 2 * i, sum > fullScale ? fullScale : sum);
    }
}

}  // namespace

bool RestoreBinning(const std::uint8_t* input, std::uint8_t* output, std::uint64_t inputPixels,
                    std::uint32_t pixelFormat) {
    const std::uint32_t fullScale = MonoFullScale(pixelFormat);
    if (fullScale == 0 || input == nullptr || output == nullptr) return false;
    const std::uint64_t pairs = inputPixels / 2;
    const bool odd = (inputPixels % 2) != 0;
    if (RawBytesPerPixel(pixelFormat) == 1) {
        BinBytes(input, output, pairs);
        if (odd) output[pairs] = input[2 * pairs];
    } else {
        BinWords(input, output, pairs, fullScale);
        if (odd) {
            const std::uint32_t last = LoadWord(input + 4 * pairs);
            StoreWord(output + 2 * pairs, last > fullScale ? fullScale : last);
        }
    }
    return true;
}

ConvertStatus Demosaic(CvtColorFunction cvtColor, const std::uint8_t* source, std::uint8_t* destination,
                       std::uint32_t width, std::uint32_t height, bool toBGR) {
    if (source == nullptr || destination == nullptr) return ConvertStatus::kNullBuffer;
    // A Bayer cell is 2 x 2 pixels, and OpenCV's header fields are ints.
    if (width < 2 || height < 2 || width > INT_MAX / 3 || height > INT_MAX)
        return ConvertStatus::kBadGeometry;
    if (cvtColor == nullptr) return ConvertStatus::kNoConverter;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    // The source is only read; the header type has no const data pointer.
    CvMatHeader src{kCvMat8UC1, w, nullptr, 0, const_cast<std::uint8_t*>(source), h, w};
    CvMatHeader dst{toBGR ? kCvMat8UC3 : kCvMat8UC1, toBGR ? 3 * w : w, nullptr, 0, destination, h, w};
    try {
        cvtColor(&src, &dst, toBGR ? kCvBayerRG2BGR : kCvBayerRG2GRAY);
    } catch (...) {
        // OpenCV reports refused arguments with C++ exceptions, also through its C entry points.
        return ConvertStatus::kConverterFailed;
    }
    return ConvertStatus::kOk;
}

}  // namespace Kovon::Usb2Image
