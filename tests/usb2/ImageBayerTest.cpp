// Bayer demosaicing through OpenCV's cvCvtColor loaded at run time: where the library is found,
// the matrix headers handed to it, the colours it produces from a known pattern, and what happens
// when it is missing or refuses a frame.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "ImageFakeDevice.h"
#include "usb2/image/BayerLibrary.h"
#include "usb2/image/FrameConverter.h"
#include "usb2/image/ImageProcessor.h"
#include "usb2/image/PixelFormat.h"

#if defined(KOVON_HAVE_OPENCV_HEADERS)
#include <opencv2/core/types_c.h>
#endif

namespace Kovon::Usb2Image {
namespace {

namespace fs = std::filesystem;
using Testing::FakeUsbDevice;

#if defined(KOVON_HAVE_OPENCV_HEADERS)
// The header we build on the stack must be the one OpenCV's C entry points read.
static_assert(sizeof(CvMatHeader) == sizeof(CvMat));
static_assert(offsetof(CvMatHeader, type) == offsetof(CvMat, type));
static_assert(offsetof(CvMatHeader, step) == offsetof(CvMat, step));
static_assert(offsetof(CvMatHeader, refcount) == offsetof(CvMat, refcount));
static_assert(offsetof(CvMatHeader, hdrRefcount) == offsetof(CvMat, hdr_refcount));
static_assert(offsetof(CvMatHeader, data) == offsetof(CvMat, data));
static_assert(offsetof(CvMatHeader, rows) == offsetof(CvMat, rows));
static_assert(offsetof(CvMatHeader, cols) == offsetof(CvMat, cols));
static_assert(kCvMat8UC1 == (CV_MAT_MAGIC_VAL | CV_MAT_CONT_FLAG | CV_8UC1));
static_assert(kCvMat8UC3 == (CV_MAT_MAGIC_VAL | CV_MAT_CONT_FLAG | CV_8UC3));
#endif

// A w x h Bayer frame of one flat colour, blue at the top left of every 2x2 cell.
std::vector<std::uint8_t> FlatBayer(std::uint32_t w, std::uint32_t h, std::uint8_t b, std::uint8_t g,
                                    std::uint8_t r) {
    std::vector<std::uint8_t> frame(std::size_t{w} * h);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const bool evenRow = y % 2 == 0, evenCol = x % 2 == 0;
            frame[std::size_t{y} * w + x] = evenRow && evenCol ? b : (!evenRow && !evenCol ? r : g);
        }
    }
    return frame;
}

TEST(BayerLibraryTest, LooksBesideTheModuleFirstThenInTheSystem) {
    const auto candidates = BayerLibraryCandidates("/opt/host/lib");
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(candidates[0], "/opt/host/lib/OpenCVLib/libopencv_imgproc.so.406");
    EXPECT_EQ(candidates[1], "/opt/host/lib/OpenCVLib/libopencv_imgproc.so");
    EXPECT_EQ(candidates[2], "libopencv_imgproc.so.406");
    EXPECT_EQ(candidates[3], "libopencv_imgproc.so");
    EXPECT_EQ(BayerLibraryCandidates("/").front(), "/OpenCVLib/libopencv_imgproc.so.406");
    EXPECT_EQ(BayerLibraryCandidates("").size(), 2u);
}

TEST(BayerLibraryTest, PrefersACopyInTheOpenCVLibFolder) {
    CBayerLibrary system;
    if (system.Function() == nullptr) GTEST_SKIP() << "no system OpenCV imgproc library";
    const fs::path dir = fs::temp_directory_path() / ("kovon-bayer-" + std::to_string(getpid()));
    fs::create_directories(dir / "OpenCVLib");
    // The system library under the folder's name: a link is enough for the loader.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(system.Function()), &info), 0);
    fs::create_symlink(fs::canonical(info.dli_fname), dir / "OpenCVLib" / "libopencv_imgproc.so.406");
    {
        CBayerLibrary beside(BayerLibraryCandidates(dir.string()));
        EXPECT_EQ(beside.Path(), (dir / "OpenCVLib" / "libopencv_imgproc.so.406").string());
        EXPECT_NE(beside.Function(), nullptr);
    }
    fs::remove_all(dir);
}

TEST(BayerLibraryTest, MissingLibraryOrSymbolGivesNoFunction) {
    CBayerLibrary missing(std::vector<std::string>{"/nonexistent/libopencv_imgproc.so.406"});
    EXPECT_EQ(missing.Function(), nullptr);
    EXPECT_TRUE(missing.Path().empty());
    // A library that loads but does not export cvCvtColor.
    CBayerLibrary wrong(std::vector<std::string>{"libm.so.6"});
    EXPECT_EQ(wrong.Function(), nullptr);
}

TEST(BayerOpenCVTest, FlatColourComesOutAsThatColourAndItsLuminance) {
    CBayerLibrary library;
    if (library.Function() == nullptr) GTEST_SKIP() << "no system OpenCV imgproc library";
    constexpr std::uint32_t w = 16, h = 12;
    constexpr std::uint8_t B = 200, G = 100, R = 50;
    const auto frame = FlatBayer(w, h, B, G, R);

    std::vector<std::uint8_t> bgr(w * h * 3, 0);
    ASSERT_EQ(Demosaic(library.Function(), frame.data(), bgr.data(), w, h, true), ConvertStatus::kOk);
    // Away from the border every pixel has all its neighbours: the flat colour exactly.
    for (std::uint32_t y = 2; y + 2 < h; ++y) {
        for (std::uint32_t x = 2; x + 2 < w; ++x) {
            const std::uint8_t* p = &bgr[(y * w + x) * 3];
            ASSERT_EQ(p[0], B) << x << "," << y;
            ASSERT_EQ(p[1], G) << x << "," << y;
            ASSERT_EQ(p[2], R) << x << "," << y;
        }
    }

    std::vector<std::uint8_t> gray(w * h, 0);
    ASSERT_EQ(Demosaic(library.Function(), frame.data(), gray.data(), w, h, false), ConvertStatus::kOk);
    // 0.299 R + 0.587 G + 0.114 B = 96.45; the grey of the swapped layout would be 124.
    for (std::uint32_t y = 2; y + 2 < h; ++y) {
        for (std::uint32_t x = 2; x + 2 < w; ++x) ASSERT_NEAR(gray[y * w + x], 96, 1) << x << "," << y;
    }
}

TEST(BayerOpenCVTest, TooSmallFramesAreRefusedBeforeOpenCV) {
    CBayerLibrary library;
    if (library.Function() == nullptr) GTEST_SKIP() << "no system OpenCV imgproc library";
    std::vector<std::uint8_t> in(8, 1), out(24, 0xEE);
    EXPECT_EQ(Demosaic(library.Function(), in.data(), out.data(), 8, 1, true), ConvertStatus::kBadGeometry);
    EXPECT_EQ(Demosaic(library.Function(), in.data(), out.data(), 1, 8, false), ConvertStatus::kBadGeometry);
    EXPECT_EQ(out, std::vector<std::uint8_t>(24, 0xEE));
}

// Records what the converter was handed.
struct Recorded {
    CvMatHeader src{}, dst{};
    int code = -1;
    int calls = 0;
};
Recorded recorded;
void RecordingCvtColor(const void* src, void* dst, int code) {
    recorded.src = *static_cast<const CvMatHeader*>(src);
    recorded.dst = *static_cast<const CvMatHeader*>(dst);
    recorded.code = code;
    ++recorded.calls;
}
void ThrowingCvtColor(const void*, void*, int) {
    throw std::runtime_error("refused");
}

TEST(BayerHeadersTest, ContinuousStackHeadersOverTheCallersBuffers) {
    std::vector<std::uint8_t> in(640 * 480), out(640 * 480 * 3);
    const struct {
        bool toBGR;
        int type, step, code;
    } cases[] = {{true, 0x42424010, 3 * 640, 48}, {false, 0x42424000, 640, 88}};
    for (const auto& c : cases) {
        recorded = {};
        ASSERT_EQ(Demosaic(RecordingCvtColor, in.data(), out.data(), 640, 480, c.toBGR), ConvertStatus::kOk);
        EXPECT_EQ(recorded.code, c.code);
        EXPECT_EQ(recorded.src.type, 0x42424000);
        EXPECT_EQ(recorded.src.step, 640);
        EXPECT_EQ(recorded.src.rows, 480);
        EXPECT_EQ(recorded.src.cols, 640);
        EXPECT_EQ(recorded.src.data, in.data());
        EXPECT_EQ(recorded.src.refcount, nullptr);
        EXPECT_EQ(recorded.dst.type, c.type);
        EXPECT_EQ(recorded.dst.step, c.step);
        EXPECT_EQ(recorded.dst.rows, 480);
        EXPECT_EQ(recorded.dst.cols, 640);
        EXPECT_EQ(recorded.dst.data, out.data());
    }
    EXPECT_EQ(Demosaic(RecordingCvtColor, in.data(), out.data(), 0x7FFFFFFF, 2, true),
              ConvertStatus::kBadGeometry);
    EXPECT_EQ(Demosaic(ThrowingCvtColor, in.data(), out.data(), 640, 480, true),
              ConvertStatus::kConverterFailed);
}

TEST(BayerProcessorTest, ColourModelPathsAndTheMonochromeBGRPath) {
    FakeUsbDevice device;
    std::vector<std::uint8_t> in = FlatBayer(8, 4, 9, 8, 7), out(8 * 4 * 3, 0xEE);
    const struct {
        ColorType type;
        std::uint32_t format;
        int code;  // -1: no converter call
    } cases[] = {
        {kColorTypeColor, kMono8, 88},
        {kColorTypeColor, kBGR8Packed, 48},
        {kColorTypeColor, kBayerBG8, -1},
        {kColorTypeMono, kBGR8Packed, 48},
    };
    for (const auto& c : cases) {
        CImageProcessor processor(device, "0.0.4.0", c.type, RecordingCvtColor);
        recorded = {};
        ASSERT_EQ(
            processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {8, 4, c.format, false}),
            ConvertStatus::kOk);
        EXPECT_EQ(recorded.code, c.code) << std::hex << c.format;
    }
    // Bayer2Bayer passes the Bayer data through.
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
}

TEST(BayerProcessorTest, WithoutTheLibraryColourFramesAreDroppedSafely) {
    FakeUsbDevice device;
    device.Cache(MapAddress::kBalanceWhiteAuto, 2u);  // white balance on: must not run on a dropped frame
    CImageProcessor processor(device, "0.0.4.0", kColorTypeColor, nullptr);
    const std::vector<std::uint8_t> in = FlatBayer(64, 64, 200, 100, 50);
    std::vector<std::uint8_t> out(64 * 64 * 3, 0xEE);
    for (const std::uint32_t format : {kMono8, kBGR8Packed}) {
        const auto status =
            processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {64, 64, format, false});
        EXPECT_EQ(status, ConvertStatus::kNoConverter);
        EXPECT_STREQ(ConvertStatusText(status), "no Bayer converter");
        EXPECT_EQ(CImageProcessor::ToStreamResult(status), 0xFFFFFFFFu);
    }
    EXPECT_EQ(out, std::vector<std::uint8_t>(64 * 64 * 3, 0xEE));
    EXPECT_EQ(processor.WhiteBalance().Iterations(), 0u);
    EXPECT_TRUE(device.Writes().empty());
    // The pass-through needs no library.
    EXPECT_EQ(
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {64, 64, kBayerBG8, false}),
        ConvertStatus::kOk);
}

}  // namespace
}  // namespace Kovon::Usb2Image
