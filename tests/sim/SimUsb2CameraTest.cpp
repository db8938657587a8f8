// The simulated USB 2.0 camera: the device model's wire semantics and faults, and the driver
// adapter's request checks and bulk pipe.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>
#include <vector>

#include "sim/usb2/SimUsb2Camera.h"
#include "sim/usb2/SimUsb2Driver.h"
#include "usb2/driver/EzusbRecords.h"

namespace {

using Kovon::Sim::SimUsb2Camera;
using Kovon::Sim::SimUsb2Config;
using Kovon::Sim::SimUsb2Instance;

SimUsb2Config TestConfig(uint16_t release = 0x0200) {
    SimUsb2Config config;
    config.serial = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    config.firmware = 0x1203;
    config.usbRelease = release;
    return config;
}

struct Answer {
    uint32_t error = 0;
    std::array<uint8_t, 4> bytes{};
};

// One register request as it travels on the wire: address and data high byte first.
Answer Request(SimUsb2Camera& camera, uint16_t address, uint16_t data = 0) {
    const uint8_t setup[8] = {0xC0,
                              0xB0,
                              static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address),
                              static_cast<uint8_t>(data >> 8),
                              static_cast<uint8_t>(data),
                              4,
                              0};
    Answer answer;
    size_t returned = 0;
    answer.error = camera.ControlIn(setup, sizeof setup, answer.bytes.data(), answer.bytes.size(), returned);
    if (answer.error == 0) {
        EXPECT_EQ(returned, 4u);
    }
    return answer;
}

TEST(SimUsb2Camera, AnswersEchoTheAddressAndCarryDataHighByteFirst) {
    SimUsb2Camera camera(TestConfig());
    struct Case {
        uint16_t address, data;
        std::array<uint8_t, 4> expected;
    };
    const Case cases[] = {
        {0x0206, 0, {0x02, 0x06, 0x34, 0x12}},  // serial b0, b1: word 0x3412
        {0x0208, 0, {0x02, 0x08, 0x78, 0x56}},      {0x020A, 0, {0x02, 0x0A, 0xBC, 0x9A}},
        {0x020C, 0, {0x02, 0x0C, 0x12, 0x03}},       // firmware 0x1203
        {0x8434, 0x0280, {0x84, 0x34, 0x02, 0x80}},  // write 640 to 0x434
        {0x0434, 0, {0x04, 0x34, 0x02, 0x80}},       // and read it back
        {0x8206, 0xFFFF, {0x82, 0x06, 0x34, 0x12}},  // serial is read-only
    };
    for (const Case& c : cases) {
        const Answer answer = Request(camera, c.address, c.data);
        EXPECT_EQ(answer.error, 0u) << std::hex << c.address;
        EXPECT_EQ(answer.bytes, c.expected) << std::hex << c.address;
    }
    EXPECT_EQ(camera.Peek(0x434), 640);
    EXPECT_EQ(camera.Counters().registerRequests, std::size(cases));
}

TEST(SimUsb2Camera, AcquisitionAndTriggerCommands) {
    SimUsb2Camera camera(TestConfig());
    EXPECT_FALSE(camera.Acquiring());
    Request(camera, 0x8452, 1);
    EXPECT_TRUE(camera.Acquiring());
    Request(camera, 0x8454, 1);
    EXPECT_FALSE(camera.Acquiring());

    camera.SetAcquisitionBusyReads(2);
    EXPECT_EQ(Request(camera, 0x045A).bytes[3], 1);
    EXPECT_EQ(Request(camera, 0x045A).bytes[3], 1);
    EXPECT_EQ(Request(camera, 0x045A).bytes[3], 0);

    camera.SetTriggerBusyReads(1);
    EXPECT_EQ(Request(camera, 0x046C).bytes[3], 0);  // idle before any trigger
    Request(camera, 0x8460, 1);
    EXPECT_EQ(camera.SoftwareTriggers(), 1u);
    EXPECT_EQ(Request(camera, 0x046C).bytes[3], 1);
    EXPECT_EQ(Request(camera, 0x046C).bytes[3], 0);

    camera.SetAcquisitionBusyReads(SimUsb2Camera::kBusyForever);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Request(camera, 0x045A).bytes[3], 1);
}

TEST(SimUsb2Camera, Faults) {
    SimUsb2Camera camera(TestConfig());
    camera.FailNextRequests(2);
    EXPECT_EQ(Request(camera, 0x206).error, 31u);
    EXPECT_EQ(Request(camera, 0x206).error, 31u);
    EXPECT_EQ(Request(camera, 0x206).error, 0u);

    camera.WrongEchoOnNextRequest();
    Answer answer = Request(camera, 0x206);
    EXPECT_EQ((std::array<uint8_t, 2>{answer.bytes[0], answer.bytes[1]}),
              (std::array<uint8_t, 2>{0x02, 0x08}));
    answer = Request(camera, 0x8434, 7);  // the wrong echo was for one request only
    EXPECT_EQ(answer.bytes[0], 0x84);
    EXPECT_EQ(answer.bytes[1], 0x34);

    camera.SetConnected(false);
    EXPECT_EQ(Request(camera, 0x206).error, 1167u);
    EXPECT_EQ(camera.Open(), 1167u);
    uint8_t descriptor[18];
    size_t returned = 0;
    EXPECT_EQ(camera.GetDeviceDescriptor(descriptor, sizeof descriptor, returned), 1167u);
    EXPECT_EQ(camera.BeginBulkRead(), 1167u);
}

TEST(SimUsb2Camera, MalformedRequestsStall) {
    SimUsb2Camera camera(TestConfig());
    uint8_t data[4];
    size_t returned = 0;
    const std::array<uint8_t, 8> bad[] = {
        {0x40, 0xB0, 0x02, 0x06, 0, 0, 4, 0},  // host-to-device
        {0xC0, 0xB1, 0x02, 0x06, 0, 0, 4, 0},  // another request
        {0xC0, 0xB0, 0x02, 0x06, 0, 0, 2, 0},  // another data length
    };
    for (const auto& setup : bad) {
        EXPECT_EQ(camera.ControlIn(setup.data(), setup.size(), data, sizeof data, returned), 31u);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(camera.ControlIn(bad[0].data(), 7, data, sizeof data, returned), 87u);
}

TEST(SimUsb2Camera, DescriptorCarriesTheConfiguredRelease) {
    for (uint16_t release : {uint16_t{0x0200}, uint16_t{0x0110}, uint16_t{0x0300}}) {
        SimUsb2Camera camera(TestConfig(release));
        uint8_t descriptor[18] = {};
        size_t returned = 0;
        ASSERT_EQ(camera.GetDeviceDescriptor(descriptor, sizeof descriptor, returned), 0u);
        uint16_t got = 0;
        ASSERT_TRUE(Kovon::UsbReleaseOf(descriptor, returned, got));
        EXPECT_EQ(got, release);
        EXPECT_EQ(descriptor[0], 18);
        EXPECT_EQ(descriptor[1], 1);
    }
}

// The adapter: records as the driver receives them.
class SimUsb2Adapter : public ::testing::Test {
protected:
    std::shared_ptr<SimUsb2Instance> sim = std::make_shared<SimUsb2Instance>(TestConfig());
    Kovon::DriverHandle Open() {
        uint32_t error = 1;
        Kovon::DriverHandle handle = sim->Open(error);
        EXPECT_EQ(error, 0u);
        return handle;
    }
    static uint32_t Bulk(Kovon::IDriverHandle& handle, std::vector<uint8_t>& buffer, size_t& returned) {
        const uint32_t pipe = 1;
        return handle.IoControl(Kovon::kBulkReadCode, &pipe, sizeof pipe, buffer.data(), buffer.size(),
                                returned);
    }
};

TEST_F(SimUsb2Adapter, RefusesMalformedRecords) {
    Kovon::DriverHandle handle = Open();
    const auto record = Kovon::EncodeVendorRequest(Kovon::CameraRegisterRequest(0x206, 0));
    uint8_t answer[4];
    uint8_t descriptor[18];
    const uint32_t pipe = 1, otherPipe = 2;
    size_t returned = 0;
    EXPECT_EQ(handle->IoControl(Kovon::kVendorRequestCode, record.data(), 9, answer, 4, returned), 87u);
    EXPECT_EQ(handle->IoControl(Kovon::kVendorRequestCode, record.data(), 10, answer, 2, returned), 31u);
    EXPECT_EQ(handle->IoControl(Kovon::kGetDeviceDescriptorCode, descriptor, 17, descriptor, 18, returned),
              87u);
    EXPECT_EQ(handle->IoControl(Kovon::kBulkReadCode, &otherPipe, 4, answer, 4, returned), 87u);
    EXPECT_EQ(handle->IoControl(Kovon::kAbortPipeCode, &pipe, 2, nullptr, 0, returned), 87u);
    EXPECT_EQ(handle->IoControl(0x222000, &pipe, 4, nullptr, 0, returned), 1u);
    EXPECT_EQ(handle->IoControl(Kovon::kVendorRequestCode, record.data(), 10, answer, 4, returned), 0u);
    EXPECT_EQ(answer[2], 0x34);
    EXPECT_EQ(answer[3], 0x12);
}

TEST_F(SimUsb2Adapter, BulkReadCompletesOnFullBufferOrShortPacket) {
    Kovon::DriverHandle handle = Open();
    std::vector<uint8_t> data(10);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    sim->PushBulk(data.data(), 6, false);  // an unfinished transfer does not complete a read
    sim->PushBulk(data.data() + 6, 4, true);
    std::vector<uint8_t> buffer(8);
    size_t returned = 0;
    ASSERT_EQ(Bulk(*handle, buffer, returned), 0u);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(buffer, std::vector<uint8_t>(data.begin(), data.begin() + 8));
    ASSERT_EQ(Bulk(*handle, buffer, returned), 0u);  // the rest of the transfer, then short
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[1], 10);
    EXPECT_EQ(sim->WithCamera([](SimUsb2Camera& c) { return c.Counters().bulkReads; }), 2u);
}

TEST_F(SimUsb2Adapter, BlockedReadEndsOnAbortFromSecondHandleOrOnUnplug) {
    Kovon::DriverHandle reader = Open();
    Kovon::DriverHandle aborter = Open();
    for (const bool unplug : {false, true}) {
        auto read = std::async(std::launch::async, [&] {
            std::vector<uint8_t> buffer(64);
            size_t returned = 0;
            return Bulk(*reader, buffer, returned);
        });
        // The read must be waiting before the abort, or the abort would not concern it.
        while (sim->WithCamera([](SimUsb2Camera& c) { return c.Counters().bulkReads; }) <
               (unplug ? 2u : 1u)) {
            std::this_thread::yield();
        }
        const uint32_t pipe = 1;
        size_t returned = 0;
        if (unplug) {
            sim->SetConnected(false);
            EXPECT_EQ(read.get(), 1167u);
        } else {
            EXPECT_EQ(aborter->IoControl(Kovon::kAbortPipeCode, &pipe, sizeof pipe, nullptr, 0, returned),
                      0u);
            EXPECT_EQ(read.get(), 995u);
        }
    }
}

}  // namespace
