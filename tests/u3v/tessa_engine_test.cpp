// The USB3 Vision library against simulated cameras: every U3V_ function and its results.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimU3V.h"
#include "sim/u3v/SimU3vCamera.h"
#include "u3v/tessa/CameraRegisters.h"
#include "u3v/tessa/Tessa.h"

using namespace Kovon::Tessa;
namespace Reg = Kovon::Tessa::CameraRegister;

namespace {

// By-value copy of a field of the packed frame-info record (gtest binds references).
template <typename T>
T V(T v) {
    return v;
}

std::string PathOf(const std::string& serial) { return "sim:u3v:" + serial; }

KovonSimU3VOptions Options(const char* serial) {
    KovonSimU3VOptions o;
    KovonSimU3V_DefaultOptions(&o);
    o.serial = serial;
    o.model = "TK-U3-130M";
    return o;
}

uint32_t ReadU32(U3V_HANDLE control, uint64_t address) {
    uint8_t b[4] = {};
    EXPECT_EQ(U3V_ReadMem(control, address, 4, b), 0) << std::hex << address;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// A plugged camera with its device and control channel open.
class TessaEngine : public ::testing::Test {
protected:
    void Plug(const KovonSimU3VOptions& o) {
        serial_ = o.serial;
        ASSERT_EQ(KovonSimU3V_PlugWith(&o), 0);
        U3V_DEVICE_INFORMATION info{};
        ASSERT_EQ(U3V_OpenDevice(PathOf(serial_).c_str(), &device_, 0, 0, &info), 0);
        instanceId_ = info.instanceId;
        ASSERT_EQ(U3V_OpenControl(device_, &control_), 0);
    }
    void Plug(const char* serial) { Plug(Options(serial)); }

    void TearDown() override {
        if (stream_) {
            EXPECT_EQ(U3V_CloseStream(stream_), 0);
        }
        if (event_) {
            EXPECT_EQ(U3V_CloseEvent(event_), 0);
        }
        if (control_) {
            EXPECT_EQ(U3V_CloseControl(control_), 0);
        }
        if (device_) {
            EXPECT_EQ(U3V_CloseDevice(device_), 0);
        }
        stream_ = event_ = control_ = device_ = nullptr;
        KovonSimU3V_UnplugAll();
    }

    void OpenAndStart(uint32_t frames, uint32_t transferSize = 0) {
        ASSERT_EQ(U3V_OpenStream(device_, control_, &stream_, 1000), 0);
        if (transferSize != 0) {
            ASSERT_EQ(U3V_SetTransferSize(stream_, transferSize), 0);
        }
        ASSERT_EQ(U3V_AcquisitionStart(stream_, frames), 0);
    }

    KovonSimU3VCounters Counters() {
        KovonSimU3VCounters c{};
        const int r = KovonSimU3V_GetCounters(serial_.c_str(), &c);
        EXPECT_EQ(r, 0);
        return c;
    }

    std::string serial_;
    std::string instanceId_;
    U3V_HANDLE device_ = nullptr;
    U3V_HANDLE control_ = nullptr;
    U3V_HANDLE event_ = nullptr;
    U3V_HANDLE stream_ = nullptr;
};

// Checks a received Mono8 frame against the simulator's pattern.
void ExpectPattern(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height, uint64_t blockId) {
    for (uint32_t y = 0; y < height; y += std::max(1u, height / 7))
        for (uint32_t x = 0; x < width; x += std::max(1u, width / 5))
            ASSERT_EQ(frame[size_t(y) * width + x], Kovon::Sim::SimU3vPixel(x, y, blockId)) << x << "," << y;
    ASSERT_EQ(frame[frame.size() - 1], Kovon::Sim::SimU3vPixel(width - 1, height - 1, blockId));
}

}  // namespace

TEST(TessaDiscovery, ListsPluggedCamerasWithTheirRecord) {
    ASSERT_EQ(KovonSimU3V_Plug("DISC1", "TK-U3-130M"), 0);
    ASSERT_EQ(KovonSimU3V_Plug("DISC2", "TK-U3-500C"), 0);
    EXPECT_EQ(KovonSimU3V_Plug("DISC2", "X"), -1004);
    uint16_t count = 0;
    ASSERT_EQ(U3V_DiscoveryDevices(&count), 0);
    ASSERT_GE(count, 2);
    int seen = 0;
    for (uint16_t i = 1; i <= count; ++i) {
        U3V_DISCOVERY_INFO r;
        ASSERT_EQ(U3V_GetDeviceInfo(i, &r), 0);
        if (std::string(r.devicePath) == PathOf("DISC2")) {
            ++seen;
            EXPECT_STREQ(r.modelName, "TK-U3-500C");
            EXPECT_STREQ(r.serialNumber, "DISC2");
            EXPECT_STREQ(r.deviceGuid, "SIMU3V-DISC2");
            EXPECT_EQ(r.accessCode, 0);
        }
    }
    EXPECT_EQ(seen, 1);
    U3V_DISCOVERY_INFO r;
    EXPECT_EQ(U3V_GetDeviceInfo(0, &r), Result::kNoSuchDevice);
    EXPECT_EQ(U3V_GetDeviceInfo(uint16_t(count + 1), &r), Result::kNoSuchDevice);
    EXPECT_EQ(U3V_GetDeviceInfo(1, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(U3V_DiscoveryDevices(nullptr), Result::kInvalidBuffer);

    // An opened camera shows access code 1; an unplugged one leaves the list.
    U3V_HANDLE dev = nullptr;
    U3V_DEVICE_INFORMATION info;
    ASSERT_EQ(U3V_OpenDevice(PathOf("DISC1").c_str(), &dev, 0, 0, &info), 0);
    ASSERT_EQ(KovonSimU3V_Unplug("DISC2"), 0);
    ASSERT_EQ(U3V_DiscoveryDevices(&count), 0);
    bool found1 = false, found2 = false;
    for (uint16_t i = 1; i <= count; ++i) {
        ASSERT_EQ(U3V_GetDeviceInfo(i, &r), 0);
        if (std::string(r.devicePath) == PathOf("DISC1")) {
            found1 = true;
            EXPECT_EQ(r.accessCode, 1);
        }
        found2 |= std::string(r.devicePath) == PathOf("DISC2");
    }
    EXPECT_TRUE(found1);
    EXPECT_FALSE(found2);
    EXPECT_EQ(U3V_CloseDevice(dev), 0);
    KovonSimU3V_UnplugAll();
}

TEST(TessaOpen, DeviceOpenFillsTheRecordAndRefusesBadRequests) {
    ASSERT_EQ(KovonSimU3V_Plug("OPEN1", "TK-U3-130M"), 0);
    const std::string path = PathOf("OPEN1");
    U3V_HANDLE dev = nullptr, dev2 = nullptr, ctl = nullptr;
    U3V_DEVICE_INFORMATION info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(U3V_OpenDevice(path.c_str(), &dev, 0, 0, &info), 0);
    const char* id = reinterpret_cast<const char*>(&info) + 528;
    EXPECT_STREQ(id, "SIM\\U3V\\OPEN1");
    EXPECT_STREQ(info.serialNumber, "OPEN1");
    EXPECT_EQ(info.reserved[0], 0);  // the record is cleared first

    EXPECT_EQ(U3V_OpenDevice(path.c_str(), &dev2, 0, 0, &info), Result::kBusy);
    EXPECT_EQ(U3V_OpenDevice("sim:u3v:NOPE", &dev2, 0, 0, &info), Result::kNoSuchDevice);
    EXPECT_EQ(U3V_OpenDevice("elsewhere:1", &dev2, 0, 0, &info), Result::kNoSuchDevice);
    EXPECT_EQ(U3V_OpenDevice(path.c_str(), &dev2, 1, 0, &info), Result::kInvalidParameter);
    EXPECT_EQ(U3V_OpenDevice(nullptr, &dev2, 0, 0, &info), Result::kInvalidParameter);
    EXPECT_EQ(U3V_OpenDevice(path.c_str(), nullptr, 0, 0, &info), Result::kInvalidBuffer);
    EXPECT_EQ(U3V_OpenDevice(path.c_str(), &dev2, 0, 0, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(dev2, nullptr);

    ASSERT_EQ(U3V_OpenControl(dev, &ctl), 0);
    U3V_HANDLE ctl2 = nullptr;
    EXPECT_EQ(U3V_OpenControl(dev, &ctl2), Result::kBusy);
    EXPECT_EQ(U3V_CloseDevice(dev), Result::kBusy);  // its control channel is still open
    EXPECT_EQ(U3V_CloseControl(ctl), 0);
    EXPECT_EQ(U3V_CloseControl(ctl), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseDevice(dev), 0);
    EXPECT_EQ(U3V_CloseDevice(dev), Result::kInvalidHandle);
    // Closed: the same camera opens again.
    ASSERT_EQ(U3V_OpenDevice(path.c_str(), &dev, 0, 0, &info), 0);
    EXPECT_EQ(U3V_CloseDevice(dev), 0);
    KovonSimU3V_UnplugAll();
}

TEST(TessaOpen, UnknownHandlesAreRefusedEverywhere) {
    int dummy = 0;
    U3V_HANDLE bad = &dummy;
    uint8_t buf[8];
    const void* data = nullptr;
    uint32_t u32 = 0;
    U3V_HANDLE out = nullptr;
    U3V_FRAME_INFO fi;
    EXPECT_EQ(U3V_OpenControl(bad, &out), Result::kInvalidHandle);
    EXPECT_EQ(U3V_ReadMem(bad, 0, 4, buf), Result::kInvalidHandle);
    EXPECT_EQ(U3V_WriteMem(bad, 0, 4, buf), Result::kInvalidHandle);
    EXPECT_EQ(U3V_ReadXml(bad, &data, &u32, 0), Result::kInvalidHandle);
    EXPECT_EQ(U3V_OpenEvent(bad, bad, &out, [](uint16_t, uint64_t, int, void*, void*) { return false; }, 100, nullptr),
              Result::kInvalidHandle);
    EXPECT_EQ(U3V_OpenStream(bad, bad, &out, 1000), Result::kInvalidHandle);
    EXPECT_EQ(U3V_SetBufferCount(bad, 1), Result::kInvalidHandle);
    EXPECT_EQ(U3V_GetBufferCount(bad, &u32), Result::kInvalidHandle);
    EXPECT_EQ(U3V_SetStreamTimeout(bad, 1), Result::kInvalidHandle);
    EXPECT_EQ(U3V_GetStreamTimeout(bad, &u32), Result::kInvalidHandle);
    EXPECT_EQ(U3V_SetTransferSize(bad, 1024), Result::kInvalidHandle);
    EXPECT_EQ(U3V_AcquisitionStart(bad, 1), Result::kInvalidHandle);
    EXPECT_EQ(U3V_GetImage(bad, buf, 0, &fi), Result::kInvalidHandle);
    EXPECT_EQ(U3V_AcquisitionStop(bad, nullptr, nullptr), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseStream(bad), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseEvent(bad), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseControl(bad), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseDevice(bad), Result::kInvalidHandle);
    EXPECT_EQ(U3V_CloseDevice(nullptr), Result::kInvalidHandle);
}

TEST_F(TessaEngine, RegistersReadAndWrite) {
    Plug("REG1");
    char text[64];
    ASSERT_EQ(U3V_ReadMem(control_, 0x4, 64, text), 0);
    EXPECT_STREQ(text, "Tarvek");
    ASSERT_EQ(U3V_ReadMem(control_, 0x144, 64, text), 0);
    EXPECT_STREQ(text, "REG1");
    EXPECT_EQ(ReadU32(control_, Reg::kDeviceLevel), 8u);
    EXPECT_EQ(ReadU32(control_, Reg::kPayloadSize), 1280u * 1024u);
    EXPECT_EQ(ReadU32(control_, Reg::kMaxTransferSize), 0x200000u);
    EXPECT_EQ(ReadU32(control_, Reg::kAcquisitionMode), 1u);
    char deviceText[32];
    ASSERT_EQ(U3V_ReadMem(control_, Reg::kDeviceText, 32, deviceText), 0);
    EXPECT_STREQ(deviceText, "SimU3V firmware 1.0");

    char name[64] = "bench camera 7";
    ASSERT_EQ(U3V_WriteMem(control_, 0x184, 64, name), 0);
    char back[64];
    ASSERT_EQ(U3V_ReadMem(control_, 0x184, 64, back), 0);
    EXPECT_STREQ(back, "bench camera 7");
    const uint32_t width = 640;
    ASSERT_EQ(U3V_WriteMem(control_, Reg::kWidth, 4, &width), 0);
    EXPECT_EQ(ReadU32(control_, Reg::kPayloadSize), 640u * 1024u);

    // Camera refusals come back unchanged; bad arguments never reach the camera.
    EXPECT_EQ(U3V_WriteMem(control_, 0x4, 4, name), Wire::Status::kAccessDenied);
    EXPECT_EQ(U3V_ReadMem(control_, 0x7000000, 4, back), Wire::Status::kInvalidAddress);
    const uint64_t before = Counters().commands;
    EXPECT_EQ(U3V_ReadMem(control_, 0x4, 4, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(U3V_WriteMem(control_, 0x4, 4, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(Counters().commands, before);
}

TEST_F(TessaEngine, LargeAccessesAreSplitByTheCameraLimits) {
    KovonSimU3VOptions o = Options("SPLIT1");
    o.maxAckLength = 76;      // 64 data bytes per read acknowledgement
    o.maxCommandLength = 52;  // 32 data bytes per write command
    o.descriptionSize = 5000;
    Plug(o);
    const uint64_t before = Counters().commands;
    std::vector<uint8_t> file(1000);
    ASSERT_EQ(U3V_ReadMem(control_, Kovon::Sim::SimU3vCamera::kFileAddress, uint16_t(file.size()), file.data()), 0);
    EXPECT_EQ(Counters().commands - before, 16u);  // ceil(1000 / 64)
    EXPECT_EQ(std::string(file.begin(), file.begin() + 5), "<?xml");

    std::vector<uint8_t> name(64);
    for (size_t i = 0; i < name.size(); ++i) name[i] = uint8_t('a' + i % 26);
    const uint64_t beforeWrite = Counters().commands;
    ASSERT_EQ(U3V_WriteMem(control_, 0x184, 64, name.data()), 0);
    EXPECT_EQ(Counters().commands - beforeWrite, 2u);
    std::vector<uint8_t> back(64);
    ASSERT_EQ(U3V_ReadMem(control_, 0x184, 64, back.data()), 0);
    EXPECT_EQ(back, name);
}

TEST_F(TessaEngine, ControlFaultsPendingStaleAndLostAcknowledgements) {
    KovonSimU3VOptions o = Options("FAULT1");
    o.responseTimeMs = 50;
    Plug(o);
    // A PENDING_ACK extends the wait; a stale acknowledgement is skipped by its request id.
    ASSERT_EQ(KovonSimU3V_InjectControlFaults("FAULT1", 1, 1, 0), 0);
    EXPECT_EQ(ReadU32(control_, Reg::kDeviceLevel), 8u);
    // A lost acknowledgement times out; the channel works again afterwards.
    ASSERT_EQ(KovonSimU3V_InjectControlFaults("FAULT1", 0, 0, 1), 0);
    uint8_t b[4];
    EXPECT_EQ(U3V_ReadMem(control_, Reg::kDeviceLevel, 4, b), Result::kMsgTimeout);
    EXPECT_EQ(ReadU32(control_, Reg::kPayloadSize), 1280u * 1024u);
}

TEST_F(TessaEngine, DescriptionFilePlainAndZipped) {
    for (int zipped : {0, 1}) {
        SCOPED_TRACE(zipped);
        KovonSimU3VOptions o = Options(zipped ? "XMLZ" : "XMLP");
        o.descriptionSize = 0x1234;
        o.zipDescription = zipped;
        Plug(o);
        const void* data = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(U3V_ReadXml(control_, &data, &size, 0), 0);
        ASSERT_EQ(size, 0x1234u);
        const std::string text(static_cast<const char*>(data), size);
        EXPECT_EQ(text, Kovon::Sim::SimU3vDescription("TK-U3-130M", 0x1234));
        EXPECT_NE(text.find("ModelName=\"TK_U3_130M\""), std::string::npos);
        EXPECT_EQ(U3V_ReadXml(control_, &data, &size, 1), Result::kInvalidParameter);
        EXPECT_EQ(U3V_ReadXml(control_, nullptr, &size, 0), Result::kInvalidBuffer);
        TearDown();
    }
}

TEST_F(TessaEngine, DescriptionValidatesAgainstTheGenApiSchema) {
    ASSERT_EQ(std::system("command -v xmllint >/dev/null 2>&1"), 0) << "xmllint is not installed";
    FILE* schema = std::fopen(KOVON_GENAPI_SCHEMA, "rb");
    ASSERT_NE(schema, nullptr) << "GenApi schema not found: " << KOVON_GENAPI_SCHEMA;
    std::fclose(schema);
    Plug("SCHEMA1");
    const void* data = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(U3V_ReadXml(control_, &data, &size, 0), 0);
    const std::string file = ::testing::TempDir() + "tessa_description.xml";
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data, 1, size, f), size);
    std::fclose(f);
    const std::string cmd = "xmllint --noout --schema " KOVON_GENAPI_SCHEMA " " + file + " 2>/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

namespace {
struct EventLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> events;
    static bool Callback(uint16_t id, uint64_t, int length, void* data, void* context) {
        auto* log = static_cast<EventLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        const uint8_t* p = static_cast<const uint8_t*>(data);
        log->events.emplace_back(id, std::vector<uint8_t>(p, p + length));
        log->cv.notify_all();
        return false;
    }
    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return events.size() >= n; });
    }
};
}  // namespace

TEST_F(TessaEngine, EventsReachTheCallback) {
    Plug("EVT1");
    EventLog log;
    const uint8_t early[1] = {1};
    ASSERT_EQ(KovonSimU3V_FireEvent("EVT1", 0x9000, early, 1), 0);  // events not yet enabled
    EXPECT_EQ(Counters().eventsDiscarded, 1u);
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &event_, nullptr, 100, &log), Result::kInvalidParameter);
    ASSERT_EQ(U3V_OpenEvent(device_, control_, &event_, &EventLog::Callback, 100, &log), 0);
    U3V_HANDLE second = nullptr;
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &second, &EventLog::Callback, 100, &log), Result::kBusy);
    EXPECT_EQ(U3V_CloseControl(control_), Result::kBusy);  // the event channel uses it

    const uint8_t data[3] = {7, 8, 9};
    ASSERT_EQ(KovonSimU3V_FireEvent("EVT1", 0x9001, data, 3), 0);
    ASSERT_EQ(KovonSimU3V_FireEvent("EVT1", 0x9002, nullptr, 0), 0);
    ASSERT_TRUE(log.WaitFor(2));
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        EXPECT_EQ(log.events[0].first, 0x9001);
        EXPECT_EQ(log.events[0].second, std::vector<uint8_t>(data, data + 3));
        EXPECT_EQ(log.events[1].first, 0x9002);
        EXPECT_TRUE(log.events[1].second.empty());
    }
    ASSERT_EQ(U3V_CloseEvent(event_), 0);
    event_ = nullptr;
    ASSERT_EQ(KovonSimU3V_FireEvent("EVT1", 0x9003, nullptr, 0), 0);  // disabled again at close
    EXPECT_EQ(Counters().eventsDiscarded, 2u);
}

TEST_F(TessaEngine, StreamSettings) {
    Plug("SET1");
    ASSERT_EQ(U3V_OpenStream(device_, control_, &stream_, 700), 0);
    U3V_HANDLE second = nullptr;
    EXPECT_EQ(U3V_OpenStream(device_, control_, &second, 700), Result::kBusy);
    uint32_t v = 0;
    ASSERT_EQ(U3V_GetStreamTimeout(stream_, &v), 0);
    EXPECT_EQ(v, 700u);
    ASSERT_EQ(U3V_SetStreamTimeout(stream_, 1500), 0);
    ASSERT_EQ(U3V_GetStreamTimeout(stream_, &v), 0);
    EXPECT_EQ(v, 1500u);
    ASSERT_EQ(U3V_SetBufferCount(stream_, 13), 0);
    ASSERT_EQ(U3V_GetBufferCount(stream_, &v), 0);
    EXPECT_EQ(v, 13u);
    EXPECT_EQ(U3V_SetBufferCount(stream_, 0), Result::kInvalidParameter);
    EXPECT_EQ(U3V_GetBufferCount(stream_, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(U3V_GetStreamTimeout(stream_, nullptr), Result::kInvalidBuffer);
    EXPECT_EQ(U3V_SetTransferSize(stream_, 0), Result::kInvalidParameter);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 0x12000), 0);
    EXPECT_EQ(U3V_AcquisitionStart(stream_, 0), Result::kInvalidParameter);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 5), 0);
    EXPECT_EQ(U3V_AcquisitionStart(stream_, 5), Result::kBusy);
    EXPECT_EQ(U3V_SetTransferSize(stream_, 0x10000), Result::kBusy);
    EXPECT_EQ(U3V_CloseControl(control_), Result::kBusy);
    // The stream interface was set up as the transfer size asks.
    const uint64_t sirm = Kovon::Sim::SimU3vCamera::kSirmAddress;
    EXPECT_EQ(ReadU32(control_, sirm + Wire::Sirm::kPayloadTransferSize), 0x12000u);
    EXPECT_EQ(ReadU32(control_, sirm + Wire::Sirm::kPayloadTransferCount), 1310720u / 0x12000u);
    EXPECT_EQ(ReadU32(control_, sirm + Wire::Sirm::kPayloadFinalTransfer1Size), 1310720u % 0x12000u);
    EXPECT_EQ(ReadU32(control_, sirm + Wire::Sirm::kControl), 1u);
    uint64_t delivered = 9, failed = 9;
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &delivered, &failed), 0);
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(ReadU32(control_, sirm + Wire::Sirm::kControl), 0u);
}

TEST_F(TessaEngine, FramesArriveWhole) {
    Plug("FRM1");
    OpenAndStart(3, 0x40000);
    std::vector<uint8_t> frame(1280 * 1024);
    for (uint64_t expected = 1; expected <= 3; ++expected) {
        U3V_FRAME_INFO info;
        ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);
        EXPECT_EQ(V(info.blockId), expected);
        EXPECT_EQ(V(info.sizeX), 1280u);
        EXPECT_EQ(V(info.sizeY), 1024u);
        EXPECT_EQ(V(info.pixelFormat), 0x01080001u);
        EXPECT_EQ(V(info.validPayloadSize), frame.size());
        EXPECT_EQ(V(info.count), 0u);
        ExpectPattern(frame, 1280, 1024, expected);
    }
    // The frame count is reached: the acquisition has ended and the camera stopped.
    U3V_FRAME_INFO info;
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), Result::kAcquisitionEnded);
    EXPECT_EQ(ReadU32(control_, Reg::kAcquisitionCommand), 0u);
    EXPECT_EQ(U3V_GetImage(stream_, nullptr, 1000, &info), Result::kInvalidBuffer);
}

TEST_F(TessaEngine, OddPayloadNeverRunsPastTheCallersBuffer) {
    KovonSimU3VOptions o = Options("ODD1");
    o.width = 1001;
    o.height = 3;
    o.alignmentShift = 9;  // 512-byte alignment: the last transfer is rounded up past the payload
    Plug(o);
    OpenAndStart(2, 1024);
    const size_t payload = 1001 * 3;
    std::vector<uint8_t> buffer(payload + 64, 0xEE);
    for (uint64_t id = 1; id <= 2; ++id) {
        U3V_FRAME_INFO info;
        ASSERT_EQ(U3V_GetImage(stream_, buffer.data(), 1000, &info), 0);
        EXPECT_EQ(V(info.blockId), id);
        for (size_t i = payload; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
        std::vector<uint8_t> frame(buffer.begin(), buffer.begin() + payload);
        ExpectPattern(frame, 1001, 3, id);
    }
}

TEST_F(TessaEngine, FaultyFramesGiveTheirResults) {
    KovonSimU3VOptions o = Options("BAD1");
    o.width = 64;
    o.height = 64;
    Plug(o);
    OpenAndStart(0xFFFFFFFF, 1024);
    std::vector<uint8_t> frame(64 * 64);
    U3V_FRAME_INFO info;
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);
    EXPECT_EQ(V(info.blockId), 1u);

    // Dropped: the block ids jump, the frame itself is fine.
    ASSERT_EQ(KovonSimU3V_InjectDroppedFrames("BAD1", 2), 0);
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);
    EXPECT_EQ(V(info.blockId), 4u);
    // Failed by the camera: its trailer status.
    ASSERT_EQ(KovonSimU3V_InjectFailedFrames("BAD1", 1), 0);
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), Result::kDataOverrun);
    EXPECT_EQ(V(info.blockId), 5u);
    EXPECT_EQ(V(info.trailerStatus), Wire::Status::kDataOverrun);
    // Cut off before its trailer: 0xC019 with the count, and the next frame is whole.
    ASSERT_EQ(KovonSimU3V_InjectIncompleteFrames("BAD1", 1), 0);
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), Result::kIncompleteFrame);
    EXPECT_EQ(V(info.blockId), 6u);
    EXPECT_EQ(V(info.count), 1u);
    uint32_t countAt38 = 0;
    std::memcpy(&countAt38, reinterpret_cast<const uint8_t*>(&info) + 38, 4);
    EXPECT_EQ(countAt38, 1u);
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);
    EXPECT_EQ(V(info.blockId), 7u);
    ExpectPattern(frame, 64, 64, 7);
    uint64_t delivered = 0, failed = 0;
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &delivered, &failed), 0);
    EXPECT_EQ(delivered, 3u);
    EXPECT_EQ(failed, 2u);
    const KovonSimU3VCounters c = Counters();
    EXPECT_EQ(c.framesDropped, 2u);
    EXPECT_EQ(c.framesFailed, 1u);
    EXPECT_EQ(c.framesIncomplete, 1u);
}

TEST_F(TessaEngine, NotStartedTimeOutAndStopWakeTheReceiver) {
    KovonSimU3VOptions o = Options("WAIT1");
    o.width = 32;
    o.height = 32;
    Plug(o);
    ASSERT_EQ(U3V_OpenStream(device_, control_, &stream_, 1000), 0);
    std::vector<uint8_t> frame(32 * 32);
    U3V_FRAME_INFO info;
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 10, &info), Result::kNotStarted);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0xFFFFFFFF), 0);
    // The camera stops sending (its acquisition command cleared behind the library's back).
    ASSERT_EQ(KovonSimU3V_PokeRegister("WAIT1", Reg::kAcquisitionCommand, 0), 0);
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 20, &info), Result::kTimeout);
    // A receiver waiting with a long time-out ends with 0xC017 when the acquisition is stopped.
    std::atomic<int> result{-1};
    std::thread receiver([&] { result = U3V_GetImage(stream_, frame.data(), 600000, &info); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(U3V_AcquisitionStop(stream_, nullptr, nullptr), 0);
    receiver.join();
    EXPECT_EQ(result.load(), Result::kAcquisitionEnded);
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 10, &info), Result::kAcquisitionEnded);
    // Started again, frames flow again.
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 1), 0);
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);
}

TEST_F(TessaEngine, CloseStreamWhileReceiving) {
    KovonSimU3VOptions o = Options("CLOSE1");
    o.width = 32;
    o.height = 32;
    Plug(o);
    OpenAndStart(0xFFFFFFFF);
    ASSERT_EQ(KovonSimU3V_PokeRegister("CLOSE1", Reg::kAcquisitionCommand, 0), 0);
    std::vector<uint8_t> frame(32 * 32);
    std::atomic<int> result{-1};
    U3V_FRAME_INFO info;
    std::thread receiver([&] { result = U3V_GetImage(stream_, frame.data(), 600000, &info); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(U3V_CloseStream(stream_), 0);  // returns once a waiting receiver has left
    receiver.join();
    // The receiver either was waiting and was woken by the close, or (on a slow machine) came
    // after it and found the handle closed.
    const int r = result.load();
    EXPECT_TRUE(r == Result::kAcquisitionEnded || r == Result::kInvalidHandle) << std::hex << r;
    stream_ = nullptr;
}

namespace {
struct RemovalLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> ids;
    static void Callback(const char* id, void* context) {
        auto* log = static_cast<RemovalLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->ids.emplace_back(id);
        log->cv.notify_all();
    }
};
}  // namespace

TEST_F(TessaEngine, UnplugEndsTransfersAndSendsTheRemovalNotice) {
    KovonSimU3VOptions o = Options("GONE1");
    o.width = 32;
    o.height = 32;
    Plug(o);
    RemovalLog log;
    uint32_t token = 0;
    ASSERT_EQ(TessaRegisterRemoval(&RemovalLog::Callback, &log, &token), 0);
    EXPECT_EQ(TessaRegisterRemoval(nullptr, &log, &token), Result::kInvalidParameter);
    OpenAndStart(0xFFFFFFFF);
    std::vector<uint8_t> frame(32 * 32);
    U3V_FRAME_INFO info;
    ASSERT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), 0);

    ASSERT_EQ(KovonSimU3V_Unplug("GONE1"), 0);
    {
        std::unique_lock<std::mutex> lock(log.mutex);
        ASSERT_TRUE(log.cv.wait_for(lock, std::chrono::seconds(30), [&] { return !log.ids.empty(); }));
        EXPECT_EQ(log.ids[0], instanceId_);
    }
    EXPECT_EQ(U3V_GetImage(stream_, frame.data(), 1000, &info), Result::kDeviceLost);
    uint8_t b[4];
    EXPECT_EQ(U3V_ReadMem(control_, Reg::kDeviceLevel, 4, b), Result::kDeviceLost);
    EXPECT_EQ(U3V_OpenControl(device_, &event_), Result::kBusy);
    EXPECT_EQ(TessaUnregisterRemoval(token), 0);
    // Everything still closes cleanly (TearDown).
}
