// kovon-grab's grab loop on a fake camera and stream: frames collected and written with their
// content, failed frames counted, a stream that stops delivering, and the stream always stopped
// and released.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FakeCamera.h"
#include "FakeDescription.h"
#include "FakeStream.h"
#include "Grab.h"

namespace {

using namespace KovonGrabTest::FakeDescription;
using KovonGrab::GrabOutcome;
using KovonGrab::GrabResult;
using KovonGrabTest::FakeCamera;
using KovonGrabTest::FakeStream;

constexpr uint32_t kW = 16, kH = 4;

// Grey samples of an 8-bit PNG file, empty when it cannot be read.
std::vector<uint8_t> GreyPixels(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> pixels;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
    image.format = PNG_FORMAT_GRAY;
    pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
    width = image.width;
    height = image.height;
    return pixels;
}

class GrabTest : public ::testing::Test {
protected:
    GrabTest() : camera_(Location("Fake.xml", sizeof kDescription - 1), kDescription), stream_(kW * kH) {
        camera_.SetU32(kWidth, kW);
        camera_.SetU32(kHeight, kH);
        camera_.SetU32(kPixelFormat, 0x01080001);
        camera_.SetStream(&stream_);
    }
    void SetUp() override {
        ASSERT_TRUE(features_.Load().Ok());
        char pattern[] = "/tmp/kovon-grab-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    GrabResult Run(uint64_t frames, bool write = true, unsigned timeoutMs = 5000) {
        KovonGrab::GrabOptions options;
        options.frames = frames;
        options.outputDir = write ? dir_ + "/out" : std::string();
        options.filePrefix = "Cam:1";
        options.timeoutMs = timeoutMs;
        return KovonGrab::Grab(&camera_, features_, options);
    }

    FakeCamera camera_;
    FakeStream stream_;
    KovonGrab::Features features_{&camera_};
    std::string dir_;
};

TEST_F(GrabTest, WritesEachFrameWithItsContent) {
    const GrabResult result = Run(3);
    ASSERT_EQ(result.outcome, GrabOutcome::Ok) << result.message;
    EXPECT_EQ(result.frames, 3u);
    EXPECT_EQ(result.errors, 0u);
    EXPECT_EQ(result.written, 3u);
    EXPECT_EQ(result.width, kW);
    EXPECT_EQ(result.height, kH);
    EXPECT_EQ(camera_.U32(kAcquisitionStart), 1u);  // the camera's own start command
    for (uint64_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const std::string path = dir_ + "/out/" + KovonGrab::FrameFileName("Cam:1", k);
        uint32_t width = 0, height = 0;
        const std::vector<uint8_t> pixels = GreyPixels(path, width, height);
        ASSERT_EQ(pixels.size(), kW * kH) << path;
        EXPECT_EQ(width, kW);
        EXPECT_EQ(height, kH);
        for (size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(pixels[i], FakeStream::PatternByte(k, i)) << i;
    }
    EXPECT_EQ(stream_.acquires, 1);
    EXPECT_EQ(stream_.freezes, 1);
    EXPECT_EQ(stream_.releases, 1);
}

TEST_F(GrabTest, CountsFailedFramesAndStillCollectsTheWantedNumber) {
    stream_.FailEverySecondWith(-3);
    const GrabResult result = Run(4, false);
    ASSERT_EQ(result.outcome, GrabOutcome::Ok) << result.message;
    EXPECT_EQ(result.frames, 4u);
    EXPECT_EQ(result.errors, 3u);  // calls 2, 4 and 6 of 7
    EXPECT_EQ(result.written, 0u);
}

TEST_F(GrabTest, StopsWhenNoFrameComesAndReleasesTheStream) {
    stream_.NeverReady();
    const GrabResult result = Run(2, true, 50);
    EXPECT_EQ(result.outcome, GrabOutcome::Stalled);
    EXPECT_EQ(result.frames, 0u);
    EXPECT_EQ(stream_.freezes, 1);
    EXPECT_EQ(stream_.releases, 1);
}

TEST_F(GrabTest, RefusesWhatItCannotGrabBeforeStartingTheCamera) {
    camera_.SetStream(nullptr);
    GrabResult result = Run(1);
    EXPECT_EQ(result.outcome, GrabOutcome::NoStream);
    camera_.SetStream(&stream_);

    camera_.SetU32(kHeight, 0);
    result = Run(1);
    EXPECT_EQ(result.outcome, GrabOutcome::NoGeometry);
    camera_.SetU32(kHeight, kH);

    camera_.FailRegistersWith(Lumora::GC_ERR_IO);
    result = Run(1);
    EXPECT_EQ(result.outcome, GrabOutcome::NoGeometry);
    EXPECT_EQ(result.featureStatus.moduleStatus, Lumora::GC_ERR_IO);
    camera_.FailRegistersWith(0);

    EXPECT_EQ(stream_.acquires, 0);
    EXPECT_EQ(camera_.U32(kAcquisitionStart), 0u);
}

TEST(FrameFileNameTest, KeepsOnlySafeCharacters) {
    EXPECT_EQ(KovonGrab::FrameFileName("RT-GA47E_SN_48115000001", 7), "RT-GA47E_SN_48115000001_000007.png");
    EXPECT_EQ(KovonGrab::FrameFileName("../a b/c:d", 0), ".._a_b_c_d_000000.png");
    EXPECT_EQ(KovonGrab::FrameFileName("", 12), "frame_000012.png");
}

}  // namespace
