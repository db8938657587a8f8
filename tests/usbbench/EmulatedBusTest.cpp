// The emulated bus through the real libusb, with nothing of the module in between: what a USB
// host stack sees of the two camera kinds (descriptors, register requests, frames, a GenCP
// exchange), and what the bus does when an endpoint stalls or a device goes away.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "u3v/tessa/U3vWire.h"
#include "u3v/tessa/transport/U3vDescriptor.h"
#include "usbbench/EmulatedBus.h"
#include "usbbench/U3vCamera.h"
#include "usbbench/Usb2Camera.h"

namespace {

using namespace Kovon::UsbBench;

class EmulatedBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UnderUmockdev()) GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
    }
    void TearDown() override {
        if (handle_ != nullptr) libusb_close(handle_);
        if (context_ != nullptr) libusb_exit(context_);
        for (int id : plugged_) EmulatedBus::Instance().Unplug(id);
    }
    int Plug(std::shared_ptr<EmulatedDevice> device) {
        const int id = EmulatedBus::Instance().Plug(std::move(device));
        EXPECT_NE(id, 0);
        plugged_.push_back(id);
        return id;
    }
    // Opens the device with this vendor:product pair in a context made now, which lists what is
    // plugged at this moment.
    libusb_device_handle* Open(uint16_t vendor, uint16_t product) {
        if (handle_ != nullptr) libusb_close(handle_);
        handle_ = nullptr;
        if (context_ == nullptr && libusb_init(&context_) != 0) return nullptr;
        handle_ = libusb_open_device_with_vid_pid(context_, vendor, product);
        return handle_;
    }
    // One register request of the USB 2.0 camera: address high byte first, bit 15 for a write.
    int Register(uint16_t address, uint16_t data, uint8_t (&answer)[4]) {
        return libusb_control_transfer(handle_, 0xC0, 0xB0, uint16_t((address >> 8) | (address << 8)),
                                       uint16_t((data >> 8) | (data << 8)), answer, 4, 1000);
    }

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    std::vector<int> plugged_;
};

Usb2CameraSpec MonochromeSpec() {
    Usb2CameraSpec spec;
    spec.camera.serial = {0x48, 0x11, 0x05, 0x00, 0x00, 0x07};
    spec.camera.firmware = 0x1203;
    return spec;
}

TEST_F(EmulatedBusTest, Usb2CameraAnswersRegisterRequestsAndSendsFramesOnPipeOne) {
    auto camera = std::make_shared<Usb2Camera>(MonochromeSpec());
    Plug(camera);
    ASSERT_NE(Open(0x1209, 0x4B32), nullptr);
    uint8_t device[18];
    ASSERT_EQ(libusb_get_descriptor(handle_, LIBUSB_DT_DEVICE, 0, device, sizeof device), 18);
    EXPECT_EQ(device[2] | (device[3] << 8), 0x0200);  // bcdUSB
    EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);

    // The serial word at 0x206 holds bytes 0x48 0x11: the answer echoes the address, then the
    // data high byte first.
    uint8_t answer[4] = {};
    ASSERT_EQ(Register(0x206, 0, answer), 4);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_EQ(answer[1], 0x06);
    EXPECT_EQ(answer[2], 0x11);
    EXPECT_EQ(answer[3], 0x48);

    // Started (a write of 0x452), the camera sends its frames back to back on endpoint 0x82.
    camera->Sim()->SetFrameRate(0);
    ASSERT_EQ(Register(0x452 | 0x8000, 1, answer), 4);
    const Kovon::Sim::SimUsb2Frame expected = camera->Sim()->FrameOfPhase(0);
    ASSERT_TRUE(expected.bytes);
    std::vector<uint8_t> frame(expected.bytes->size());
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle_, Usb2Camera::kImageEndpoint, frame.data(), int(frame.size()), &got, 5000), 0);
    ASSERT_EQ(size_t(got), frame.size());
    EXPECT_EQ(frame, *expected.bytes);
}

TEST_F(EmulatedBusTest, AStalledPipeDeliversAgainAfterItsHaltIsCleared) {
    auto camera = std::make_shared<Usb2Camera>(MonochromeSpec());
    const int id = Plug(camera);
    ASSERT_NE(Open(0x1209, 0x4B32), nullptr);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    camera->Sim()->SetFrameRate(0);
    uint8_t answer[4];
    ASSERT_EQ(Register(0x452 | 0x8000, 1, answer), 4);
    camera->Sim()->StallPipe();
    std::vector<uint8_t> buffer(4096);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle_, Usb2Camera::kImageEndpoint, buffer.data(), int(buffer.size()), &got, 5000),
              LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(handle_, Usb2Camera::kImageEndpoint), 0);
    EXPECT_EQ(EmulatedBus::Instance().Counters(id).clearHalts[Usb2Camera::kImageEndpoint], 1u);
    EXPECT_EQ(libusb_bulk_transfer(handle_, Usb2Camera::kImageEndpoint, buffer.data(), int(buffer.size()), &got, 5000), 0);
    EXPECT_EQ(got, int(buffer.size()));
}

TEST_F(EmulatedBusTest, ATransferWaitingForDataIsCancelledAndTheInterfaceIsHeldByOneFileAtATime) {
    auto camera = std::make_shared<Usb2Camera>(MonochromeSpec());  // not started: no data comes
    const int id = Plug(camera);
    ASSERT_NE(Open(0x1209, 0x4B32), nullptr);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    libusb_device_handle* second = libusb_open_device_with_vid_pid(context_, 0x1209, 0x4B32);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    libusb_close(second);
    EXPECT_EQ(EmulatedBus::Instance().Counters(id).busyClaims, 1u);

    std::vector<uint8_t> buffer(4096);
    int got = -1;
    // A time-out makes libusb discard the URB; the bus hands it back as cancelled.
    EXPECT_EQ(libusb_bulk_transfer(handle_, Usb2Camera::kImageEndpoint, buffer.data(), int(buffer.size()), &got, 50),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
    EXPECT_GE(EmulatedBus::Instance().Counters(id).discards, 1u);
}

int LIBUSB_CALL CountLeft(libusb_context*, libusb_device*, libusb_hotplug_event, void* count) {
    ++*static_cast<std::atomic<int>*>(count);
    return 0;
}

TEST_F(EmulatedBusTest, UnplugEndsTransfersAndReplugComesBackUnderANewAddress) {
    auto camera = std::make_shared<Usb2Camera>(MonochromeSpec());
    const int id = Plug(camera);
    const uint8_t address = EmulatedBus::Instance().Address(id);
    ASSERT_NE(Open(0x1209, 0x4B32), nullptr);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    std::atomic<int> left{0};
    libusb_hotplug_callback_handle callback = 0;
    ASSERT_EQ(libusb_hotplug_register_callback(context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                               0x1209, 0x4B32, LIBUSB_HOTPLUG_MATCH_ANY, &CountLeft, &left, &callback),
              0);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EmulatedBus::Instance().Unplug(id);
    });
    std::vector<uint8_t> buffer(4096);
    int got = 0;
    // The read waits (the camera is not started) until the device goes.
    EXPECT_EQ(libusb_bulk_transfer(handle_, Usb2Camera::kImageEndpoint, buffer.data(), int(buffer.size()), &got, 0),
              LIBUSB_ERROR_NO_DEVICE);
    unplug.join();
    while (left.load() == 0) {
        timeval tv{0, 10000};
        libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    }
    uint8_t answer[4];
    EXPECT_EQ(Register(0x206, 0, answer), LIBUSB_ERROR_NO_DEVICE);
    libusb_hotplug_deregister_callback(context_, callback);
    libusb_close(handle_);
    handle_ = nullptr;

    EmulatedBus::Instance().Replug(id);
    EXPECT_NE(EmulatedBus::Instance().Address(id), address);
    libusb_context* fresh = nullptr;
    ASSERT_EQ(libusb_init(&fresh), 0);
    libusb_device_handle* again = libusb_open_device_with_vid_pid(fresh, 0x1209, 0x4B32);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(again)), EmulatedBus::Instance().Address(id));
    libusb_close(again);
    libusb_exit(fresh);
}

KovonSimU3VOptions U3vOptions(const char* serial) {
    KovonSimU3VOptions o = U3vCamera::DefaultOptions(serial, "KVS-U3V-EMU");
    o.width = 64;
    o.height = 16;
    return o;
}

TEST_F(EmulatedBusTest, U3vCameraIsAStandardDeviceAnsweringGenCpOnItsControlEndpoints) {
    auto camera = std::make_shared<U3vCamera>(U3vOptions("EMU-1"));
    Plug(camera);
    ASSERT_NE(Open(U3vCamera::kVendorId, U3vCamera::kProductId), nullptr);
    EXPECT_EQ(libusb_get_device_speed(libusb_get_device(handle_)), LIBUSB_SPEED_SUPER);
    std::vector<uint8_t> config(512);
    const int n = libusb_get_descriptor(handle_, LIBUSB_DT_CONFIG, 0, config.data(), int(config.size()));
    ASSERT_GT(n, 9);
    Kovon::Tessa::Transport::U3vConfiguration parsed;
    ASSERT_EQ(Kovon::Tessa::Transport::ParseU3vConfiguration(config.data(), size_t(n), parsed),
              Kovon::Tessa::Transport::DescriptorResult::kU3vDevice);
    EXPECT_EQ(parsed.control.bulkIn, U3vCamera::kControlIn);
    EXPECT_EQ(parsed.event.bulkIn, U3vCamera::kEventIn);
    EXPECT_EQ(parsed.stream.bulkIn, U3vCamera::kStreamIn);
    ASSERT_TRUE(parsed.info.present);
    unsigned char text[64];
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, parsed.info.serialNumberIndex, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "EMU-1");

    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    namespace Wire = Kovon::Tessa::Wire;
    uint8_t command[64];
    const size_t length = Wire::EncodeReadMem(command, sizeof command, 7, Wire::Abrm::kSerialNumber, 64);
    int sent = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle_, U3vCamera::kControlOut, command, int(length), &sent, 1000), 0);
    std::vector<uint8_t> ack(1024);
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle_, U3vCamera::kControlIn, ack.data(), int(ack.size()), &got, 1000), 0);
    Wire::Acknowledge decoded;
    ASSERT_EQ(Wire::DecodeAcknowledge(ack.data(), size_t(got), decoded), Wire::DecodeError::kOk);
    EXPECT_EQ(decoded.requestId, 7);
    ASSERT_EQ(decoded.scdLength, 64);
    EXPECT_STREQ(reinterpret_cast<const char*>(decoded.scd), "EMU-1");

    // The same acknowledgement into a buffer that is not a whole number of packets and too small
    // for it: babble.
    ASSERT_EQ(libusb_bulk_transfer(handle_, U3vCamera::kControlOut, command, int(length), &sent, 1000), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle_, U3vCamera::kControlIn, ack.data(), 20, &got, 1000), LIBUSB_ERROR_OVERFLOW);
}

}  // namespace
