// The USB 2.0 libusb backend at the driver seam, on the emulated bench: what a bulk read returns
// when the camera's transfers are shorter or longer than the request, an abort from a second
// handle, and a device that goes away during a read. (The module as a host sees it is in
// Usb2ModuleTest.cpp.)
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/LibusbDriver.h"
#include "usbbench/EmulatedBus.h"
#include "usbbench/Usb2Camera.h"

namespace {

using namespace Kovon;
using namespace Kovon::UsbBench;

class LibusbDriver : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UnderUmockdev()) GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        Usb2CameraSpec spec;
        spec.camera.serial = {0x48, 0x11, 0x05, 0x00, 0x00, 0x0A};
        camera_ = std::make_shared<Usb2Camera>(spec);
        id_ = EmulatedBus::Instance().Plug(camera_);
        ASSERT_NE(id_, 0);
        SetHostUsb2Ids({{spec.vendorId, spec.productId}});
        ProbeLibusbUsb2Cameras();
        handle_ = Open();
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        handle_.reset();
        if (id_ != 0) EmulatedBus::Instance().Unplug(id_);
        SetHostUsb2Ids({});
        ProbeLibusbUsb2Cameras();
    }
    static DriverHandle Open() {
        uint32_t error = 0;
        return OpenDriverPath("\\\\.\\ZEDIVOXU-0", error);
    }
    uint32_t Read(std::vector<uint8_t>& buffer, size_t& returned) {
        const uint32_t pipe = 1;
        return handle_->IoControl(kBulkReadCode, &pipe, sizeof pipe, buffer.data(), buffer.size(), returned);
    }
    static std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), first);
        return v;
    }

    std::shared_ptr<Usb2Camera> camera_;
    int id_ = 0;
    DriverHandle handle_;
};

TEST_F(LibusbDriver, AShortTransferEndsTheReadAndALongOneContinuesInTheNext) {
    // A read of 2 MiB goes out in several pieces; the camera's 100-byte transfer ends it.
    const std::vector<uint8_t> shortOne = Bytes(100, 1);
    camera_->Sim()->PushBulk(shortOne.data(), shortOne.size());
    std::vector<uint8_t> buffer(2 << 20);
    size_t returned = 0;
    ASSERT_EQ(Read(buffer, returned), kDriverOk);
    ASSERT_EQ(returned, shortOne.size());
    EXPECT_TRUE(std::equal(shortOne.begin(), shortOne.end(), buffer.begin()));

    // 700 KiB in one transfer, read 512 KiB at a time: all of it, in order, nothing lost to the
    // pieces the short read took back.
    const std::vector<uint8_t> longOne = Bytes(700 * 1024, 7);
    camera_->Sim()->PushBulk(longOne.data(), longOne.size());
    std::vector<uint8_t> half(512 * 1024);
    ASSERT_EQ(Read(half, returned), kDriverOk);
    ASSERT_EQ(returned, half.size());
    EXPECT_TRUE(std::equal(half.begin(), half.end(), longOne.begin()));
    ASSERT_EQ(Read(half, returned), kDriverOk);
    ASSERT_EQ(returned, longOne.size() - half.size());
    EXPECT_TRUE(std::equal(half.begin(), half.begin() + long(returned), longOne.begin() + long(half.size())));
}

TEST_F(LibusbDriver, AnAbortFromASecondHandleEndsAWaitingReadAndTheNextReadWorks) {
    std::vector<uint8_t> buffer(64 * 1024);
    size_t returned = 0;
    uint32_t result = kDriverOk;
    std::thread reader([&] { result = Read(buffer, returned); });  // nothing comes: it waits
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DriverHandle second = Open();
    ASSERT_NE(second, nullptr);
    const uint32_t pipe = 1;
    size_t none = 0;
    EXPECT_EQ(second->IoControl(kAbortPipeCode, &pipe, sizeof pipe, nullptr, 0, none), kDriverOk);
    reader.join();
    EXPECT_EQ(result, kDriverOperationAborted);
    EXPECT_GE(EmulatedBus::Instance().Counters(id_).clearHalts[Usb2Camera::kImageEndpoint], 1u);

    const std::vector<uint8_t> data = Bytes(1000, 3);
    camera_->Sim()->PushBulk(data.data(), data.size());
    ASSERT_EQ(Read(buffer, returned), kDriverOk);
    EXPECT_EQ(returned, data.size());
}

TEST_F(LibusbDriver, ADeviceThatGoesDuringAReadFailsAsNotConnectedAndDoesNotOpenAgain) {
    std::vector<uint8_t> buffer(64 * 1024);
    size_t returned = 0;
    uint32_t result = kDriverOk;
    std::thread reader([&] { result = Read(buffer, returned); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EmulatedBus::Instance().Unplug(id_);
    reader.join();
    EXPECT_EQ(result, kDriverNotConnected);
    uint8_t answer[4];
    const auto record = std::array<uint8_t, 10>{1, 2, 0, 0, 0xB0, 0, 0x06, 0x02, 0, 0};
    EXPECT_EQ(handle_->IoControl(kVendorRequestCode, record.data(), record.size(), answer, sizeof answer, returned),
              kDriverNotConnected);
    ProbeLibusbUsb2Cameras();
    EXPECT_EQ(Open(), nullptr);  // gone, though its number stays until this handle closes
    id_ = 0;
}

}  // namespace
