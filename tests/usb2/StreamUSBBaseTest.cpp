// CStreamUSBBase on an opened device of a simulated camera: its parameters, the marker test, the
// payload sizes, the states of its worker, and that no worker outlives its stream. Also the
// simulated camera's frame generator and statistics, which the stream tests rely on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "platform/Clock.h"
#include "sim/usb2/SimUsb2Scene.h"
#include "usb2/Usb2DeviceFixture.h"
#include "usb2/image/StreamSignals.h"
#include "usb2/image/StreamUSBBase.h"

namespace Kovon::Test {
namespace {

constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono10 = 0x01100003;
constexpr uint32_t kMono12 = 0x01100005;
constexpr uint32_t kBayerBG8 = 0x0108000B;
constexpr uint32_t kBGR8Packed = 0x02180015;

// ---- the marker -------------------------------------------------------------------------------

TEST(StreamMarker, LeastSignificantBitsOfTheFirstSixteenPixels) {
    const uint8_t bits[16] = {1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 1};
    struct Case {
        uint32_t format;
        unsigned bytesPerPixel;
        bool checked;
    };
    for (const Case c :
         {Case{kMono8, 1, true}, Case{kBayerBG8, 1, true}, Case{kBGR8Packed, 1, true}, Case{kMono10, 2, true},
          Case{kMono12, 2, true}, Case{0x01100025, 2, true}, Case{0x02180014, 1, false}}) {
        SCOPED_TRACE(c.format);
        std::vector<uint8_t> frame(64, 0xF0);  // high bits set, low bits clear
        for (unsigned i = 0; i < 16; ++i) frame[i * c.bytesPerPixel] |= bits[i];
        uint32_t marker = 0;
        ASSERT_EQ(CStreamUSBBase::FrameMarker(frame.data(), frame.size(), c.format, marker), c.checked);
        if (!c.checked) continue;
        EXPECT_EQ(marker, 0xAA55u);
        frame[c.bytesPerPixel * 15] ^= 1;  // pixel 15 out of step
        ASSERT_TRUE(CStreamUSBBase::FrameMarker(frame.data(), frame.size(), c.format, marker));
        EXPECT_EQ(marker, 0x2A55u);
        // The high byte of a 16-bit pixel carries no marker bit.
        if (c.bytesPerPixel == 2) {
            frame[1] ^= 1;
            ASSERT_TRUE(CStreamUSBBase::FrameMarker(frame.data(), frame.size(), c.format, marker));
            EXPECT_EQ(marker, 0x2A55u);
        }
    }
    uint32_t marker = 0;
    const uint8_t shortFrame[31] = {};
    EXPECT_FALSE(CStreamUSBBase::FrameMarker(shortFrame, sizeof shortFrame, kMono12, marker));
    EXPECT_FALSE(CStreamUSBBase::FrameMarker(nullptr, 64, kMono8, marker));
}

// ---- an info copy -----------------------------------------------------------------------------

TEST(StreamInfoCopy, ParametersAndRefusals) {
    CStreamUSBBase stream;
    char name[8] = {};
    Lumora::u64 size = sizeof name;
    ASSERT_EQ(stream.GetParam(0, name, size), 0);
    EXPECT_STREQ(name, "DS0");
    EXPECT_EQ(size, 4u);

    uint64_t value64 = 99;
    size = sizeof value64;
    ASSERT_EQ(stream.GetParam(1, &value64, size), 0);
    EXPECT_EQ(value64, 0u);
    size = sizeof value64;
    ASSERT_EQ(stream.GetParam(4, &value64, size), 0);
    EXPECT_EQ(value64, 0u);
    uint32_t value32 = 0;
    size = sizeof value32;
    ASSERT_EQ(stream.GetParam(2, &value32, size), 0);
    EXPECT_EQ(value32, 5000u);
    value32 = 7;
    size = sizeof value32;
    ASSERT_EQ(stream.GetParam(3, &value32, size), 0) << "not acquiring: answered at once";
    EXPECT_EQ(value32, 0u);
    size = 0;
    ASSERT_EQ(stream.GetParam(3, nullptr, size), 0);
    EXPECT_EQ(size, 4u);
    size = 2;
    EXPECT_EQ(stream.GetParam(3, &value32, size), -1009);

    // Ids outside the table, and the read-only ones, in both directions.
    for (Lumora::u64 id : {0ull, 1ull, 3ull, 4ull, 5ull, 0x154ull}) {
        size = sizeof value32;
        EXPECT_EQ(stream.SetParam(id, &value32, size), -1001) << id;
    }
    size = sizeof value32;
    EXPECT_EQ(stream.GetParam(5, &value32, size), -1001);

    value32 = 250;
    size = sizeof value32;
    ASSERT_EQ(stream.SetParam(2, &value32, size), 0);
    size = sizeof value32;
    ASSERT_EQ(stream.GetParam(2, &value32, size), 0);
    EXPECT_EQ(value32, 250u);
    size = sizeof value64;
    EXPECT_EQ(stream.SetParam(2, &value64, size), -1009) << "more than 4 bytes";

    EXPECT_EQ(stream.Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001)
        << "an info copy has no camera";
    uint8_t image[16];
    EXPECT_EQ(stream.GetImage(image, 0), -1);
    EXPECT_EQ(stream.Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    EXPECT_EQ(stream.Share(), static_cast<unsigned>(-1001));
    EXPECT_EQ(stream.GetConvertImage(image, image, 4, 4, kMono8), 0xFFFFFFFFu);
}

// ---- an opened stream -------------------------------------------------------------------------

class StreamOnDevice : public Usb2DeviceTest {
protected:
    void OpenStream(const std::string& model = "RT-GA47E", const std::string& firmware = "1.2.0.3") {
        Open(model, firmware);
        stream.reset(new CStreamUSBBase(nullptr, nullptr, device.get(), device->Channel()));
    }
    void TearDown() override {
        stream.reset();
        Usb2DeviceTest::TearDown();
    }
    int Set(uint64_t address, uint32_t value) {
        Lumora::u64 size = sizeof value;
        return device->SetParam(address, &value, size);
    }
    uint32_t Cached(uint64_t address) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        device->GetValue(address, &value, size);
        return value;
    }
    uint64_t Payload() {
        uint64_t payload = 0;
        Lumora::u64 size = sizeof payload;
        stream->GetParam(4, &payload, size);
        return payload;
    }
    bool WaitFrame() {
        uint32_t ready = 0;
        Lumora::u64 size = sizeof ready;
        return stream->GetParam(3, &ready, size) == 0 && ready == 1;
    }
    // A 64 x 48 Mono8 acquisition, started on the stream (the camera itself not yet started).
    void AcquireMono8_64x48() {
        ASSERT_EQ(Set(0x108, 64), 0);
        ASSERT_EQ(Set(0x10C, 48), 0);
        ASSERT_EQ(Set(0x120, kMono8), 0);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
    }
    int SetImageTimeout(uint32_t ms) {
        Lumora::u64 size = sizeof ms;
        return stream->SetParam(2, &ms, size);
    }

    std::unique_ptr<CStreamUSBBase> stream;
};

TEST_F(StreamOnDevice, ConstructionStopsTheCameraAndReadsItsIdentity) {
    OpenStream();
    unsigned short stop = 0;
    ASSERT_EQ(KovonSimUsb2_PeekRegister(kInstance, 0x454, &stop), KOVON_SIM_OK);
    EXPECT_EQ(stop, 1) << "the raw stop of the constructor";
    int acquiring = 1;
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 0);
}

TEST_F(StreamOnDevice, PayloadFollowsFormatAndBinning) {
    OpenStream();
    struct Case {
        uint32_t width, height, format, binning, payload;
    };
    for (const Case c : {Case{1280, 1024, kMono12, 1, 2621440}, Case{1280, 1024, kMono8, 1, 1310720},
                         Case{640, 480, kBGR8Packed, 1, 307200}, Case{640, 480, kMono10, 1, 614400},
                         Case{640, 480, kMono8, 2, 614400}}) {
        SCOPED_TRACE(c.payload);
        ASSERT_EQ(Set(0x118, c.binning), 0);
        ASSERT_EQ(Set(0x108, c.width), 0);
        ASSERT_EQ(Set(0x10C, c.height), 0);
        ASSERT_EQ(Set(0x120, c.format), 0);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
        EXPECT_EQ(Payload(), c.payload);
        EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001) << "already acquiring";
        EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    }
}

TEST_F(StreamOnDevice, GeometryWithoutAFrameIsRefused) {
    OpenStream();
    ASSERT_EQ(Set(0x108, 0), 0);
    EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001);
    uint8_t image[4];
    EXPECT_EQ(stream->GetImage(image, 0), -1);
}

TEST_F(StreamOnDevice, WorkerWaitingForTheStartDiesWithTheStream) {
    OpenStream();
    ASSERT_NO_FATAL_FAILURE(AcquireMono8_64x48());
    ASSERT_EQ(SetImageTimeout(20), 0);
    EXPECT_FALSE(WaitFrame()) << "no frame before AcquisitionStart";
    uint8_t image[64 * 48];
    EXPECT_EQ(stream->GetImage(image, 0), -1011) << "GetImage gives up after the image time-out";
    stream.reset();  // the worker still polls 0x154: it must be stopped and joined here
    EXPECT_EQ(Cached(0x154), 0u);
}

TEST_F(StreamOnDevice, FreezeWakesAWaitingHostThread) {
    OpenStream();
    ASSERT_NO_FATAL_FAILURE(AcquireMono8_64x48());
    ASSERT_EQ(SetImageTimeout(0xFFFFFFFF), 0);  // the host waits as long as it takes
    int result = 99;
    std::thread host([&] {
        uint8_t image[64 * 48];
        result = stream->GetImage(image, 0);
    });
    // No frame ever comes; Freeze from another thread ends the wait (or, should it come first,
    // leaves a stopped stream: -1 either way).
    Platform::Sleep(20);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    host.join();
    EXPECT_EQ(result, -1);
}

TEST_F(StreamOnDevice, NewImageTimeoutEndsAWaitInProgress) {
    OpenStream();
    ASSERT_NO_FATAL_FAILURE(AcquireMono8_64x48());
    ASSERT_EQ(SetImageTimeout(0xFFFFFFFF), 0);
    // No acquisition start, so no frame: only the shorter time-out, given while the host already
    // waits, can end the wait.
    bool ready = true;
    std::thread host([&] { ready = WaitFrame(); });
    Platform::Sleep(20);
    ASSERT_EQ(SetImageTimeout(1), 0);
    host.join();
    EXPECT_FALSE(ready);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(StreamOnDevice, OldFirmwareKeepsFramesWithoutTheMarker) {
    // 0.0.5.0 is not above 0.0.5.0: no marker, no resynchronisation, frames delivered as they come.
    OpenStream("RT-GA47E", "0.0.5.0");
    ASSERT_NO_FATAL_FAILURE(AcquireMono8_64x48());
    ASSERT_EQ(Set(0x154, 1), 0);
    std::vector<uint8_t> image(64 * 48);
    // The simulated camera's firmware register is 0x0059 ("0.0.5.9", with the marker); the device
    // was told "0.0.5.0". A lost byte moves every later frame: the stream does not notice.
    ASSERT_TRUE(WaitFrame());
    ASSERT_EQ(stream->GetImage(image.data(), 0), 0);
    KovonSimUsb2_LoseBytes(kInstance, 1);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(WaitFrame());
        ASSERT_EQ(stream->GetImage(image.data(), 0), 0);
    }
    uint64_t count = 0;
    Lumora::u64 size = sizeof count;
    ASSERT_EQ(stream->GetParam(1, &count, size), 0);
    EXPECT_EQ(count, 7u);
}

TEST_F(StreamOnDevice, UnpluggedCameraFailsTheFrameAndFreezeStillEnds) {
    OpenStream();
    ASSERT_NO_FATAL_FAILURE(AcquireMono8_64x48());
    ASSERT_EQ(Set(0x154, 1), 0);
    std::vector<uint8_t> image(64 * 48);
    ASSERT_TRUE(WaitFrame());
    ASSERT_EQ(stream->GetImage(image.data(), 0), 0);
    ASSERT_EQ(KovonSimUsb2_SetDisconnected(kInstance, 1), KOVON_SIM_OK);
    int failed = 0;
    for (int i = 0; i < 4 && failed == 0; ++i) {
        const int r = stream->GetImage(image.data(), 0);
        if (r == -2)
            ++failed;
        else
            ASSERT_EQ(r, 0);
    }
    EXPECT_EQ(failed, 1) << "a read that failed with 'not connected' ends its GetImage with -2";
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(StreamOnDevice, ColourFrameWithoutTheBayerLibraryIsDroppedWithAStatus) {
    Open("RT-KA47E", "1.2.0.3");
    stream.reset(new CStreamUSBBase(nullptr, nullptr, device.get(), device->Channel(), {}));
    ASSERT_EQ(Set(0x108, 64), 0);
    ASSERT_EQ(Set(0x10C, 48), 0);
    std::vector<uint8_t> image(64 * 48 * 3, 0xEE);
    struct Case {
        uint32_t format;
        int result;  // Bayer passes through without the library; demosaicing needs it
    };
    for (const Case c : {Case{kBGR8Packed, -1014}, Case{kMono8, -1014}, Case{kBayerBG8, 0}}) {
        SCOPED_TRACE(c.format);
        ASSERT_EQ(Set(0x120, c.format), 0);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
        ASSERT_EQ(Set(0x154, 1), 0);
        ASSERT_TRUE(WaitFrame());
        std::fill(image.begin(), image.end(), 0xEE);
        EXPECT_EQ(stream->GetImage(image.data(), 0), c.result);
        if (c.result != 0) {
            EXPECT_EQ(stream->LastConvertStatus(), Usb2Image::ConvertStatus::kNoConverter);
            EXPECT_EQ(image[0], 0xEE) << "nothing written";
        }
        uint64_t count = 9;
        Lumora::u64 size = sizeof count;
        ASSERT_EQ(stream->GetParam(1, &count, size), 0);
        EXPECT_EQ(count, c.result == 0 ? 1u : 0u);
        ASSERT_TRUE(WaitFrame()) << "the stream goes on";
        ASSERT_EQ(Set(0x154, 0), 0);
        ASSERT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    }
}

// ---- the hand-over signals -------------------------------------------------------------------

TEST(StreamSignals, TakeWaitAndPoke) {
    using Usb2Image::CStreamSignals;
    CStreamSignals signals;
    const auto past = CStreamSignals::Clock::now();
    signals.Set(CStreamSignals::Free(0) | CStreamSignals::Frame(1));
    EXPECT_EQ(signals.WaitUntil(CStreamSignals::Frame(0) | CStreamSignals::Frame(1), past),
              CStreamSignals::Frame(1))
        << "a set signal is seen also after the deadline";
    EXPECT_EQ(signals.WaitUntil(CStreamSignals::Frame(0), past), 0u);
    ASSERT_TRUE(signals.Take(CStreamSignals::Free(0), CStreamSignals::kStop));
    EXPECT_EQ(signals.Test(CStreamSignals::kAll), CStreamSignals::Frame(1)) << "taking resets the signal";

    // The stop wins over the signal and leaves it set.
    signals.Set(CStreamSignals::Free(1) | CStreamSignals::kStop);
    EXPECT_FALSE(signals.Take(CStreamSignals::Free(1), CStreamSignals::kStop));
    EXPECT_NE(signals.Test(CStreamSignals::Free(1)), 0u);
    signals.Reset(CStreamSignals::kAll);

    // A waiting thread wakes on the signal it waits for, and a poke ends a wait with nothing set.
    std::thread taker([&] { EXPECT_TRUE(signals.Take(CStreamSignals::Proceed(1), CStreamSignals::kStop)); });
    signals.Set(CStreamSignals::Proceed(0));  // not the one it waits for
    signals.Set(CStreamSignals::Proceed(1));
    taker.join();
    EXPECT_EQ(signals.Test(CStreamSignals::kAll), CStreamSignals::Proceed(0));
    uint64_t pokes = signals.Pokes();
    CStreamSignals::Bits got = 1;
    std::thread waiter([&] {
        got = signals.WaitUntil(CStreamSignals::Frame(0),
                                CStreamSignals::Clock::now() + std::chrono::hours(1), pokes);
    });
    signals.Poke();
    waiter.join();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(pokes, 1u);
}

// ---- the simulated camera's frames ------------------------------------------------------------

TEST(StreamSimScene, FramesFollowSettingsAndStatisticsDescribeThem) {
    using namespace Kovon::Sim;
    SimUsb2FrameSettings s;
    s.width = 64;
    s.height = 32;
    s.pixelFormat = kMono8;
    s.exposureTicks = 393000;  // level 100
    s.gain = 199;
    s.ratios = {1024, 1024, 1024};
    SimUsb2Frame frame = BuildSimUsb2Frame(s, 0);
    ASSERT_TRUE(frame.bytes);
    ASSERT_EQ(frame.bytes->size(), 64u * 32u);
    EXPECT_EQ(frame.statistics.aeCount, 64u * 32u);
    EXPECT_NEAR(double(frame.statistics.aeSum) / frame.statistics.aeCount, 100.0, 1.0);
    EXPECT_EQ((*frame.bytes)[0], 50) << "the ramp starts at half the level";

    // Ten gain steps double the level; Mono12 carries it 16 times larger, the statistics in 8 bits.
    s.gain = 199 + 75;
    s.pixelFormat = kMono12;
    s.exposureTicks = 196500;
    frame = BuildSimUsb2Frame(s, 1);
    ASSERT_EQ(frame.bytes->size(), 64u * 32u * 2u);
    EXPECT_NEAR(double(frame.statistics.aeSum) / frame.statistics.aeCount, 100.0, 1.5);

    // Marker bits in the first 16 pixels.
    s.marker = true;
    frame = BuildSimUsb2Frame(s, 2);
    uint32_t marker = 0;
    ASSERT_TRUE(CStreamUSBBase::FrameMarker(frame.bytes->data(), frame.bytes->size(), kMono12, marker));
    EXPECT_EQ(marker, 0xAA55u);

    // Colour: the cast, then the ratios undoing it.
    s.colour = true;
    s.marker = false;
    s.pixelFormat = kBayerBG8;
    s.gain = 199;
    s.exposureTicks = 393000;
    frame = BuildSimUsb2Frame(s, 3);
    const auto& st = frame.statistics;
    EXPECT_EQ(st.awbCount, 32u * 16u);
    EXPECT_NEAR(double(st.awbRed) / st.awbGreen, 0.8, 0.01);
    EXPECT_NEAR(double(st.awbBlue) / st.awbGreen, 1.25, 0.01);
    s.ratios = {1280, 1024, 819};
    frame = BuildSimUsb2Frame(s, 3);
    EXPECT_NEAR(double(frame.statistics.awbRed) / frame.statistics.awbGreen, 1.0, 0.01);
    EXPECT_NEAR(double(frame.statistics.awbBlue) / frame.statistics.awbGreen, 1.0, 0.01);

    // Settings that make no frame.
    s.pixelFormat = 0;
    EXPECT_FALSE(BuildSimUsb2Frame(s, 0).bytes);
    s.pixelFormat = kMono8;
    s.width = 0;
    EXPECT_FALSE(BuildSimUsb2Frame(s, 0).bytes);
}

}  // namespace
}  // namespace Kovon::Test
