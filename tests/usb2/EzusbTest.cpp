// CEzusb against simulated cameras behind the driver seam. A recording instance in front of the
// simulated one keeps every control request as the driver received it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "sim/usb2/SimUsb2Driver.h"
#include "usb2/Ezusb.h"
#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/EzusbRecords.h"

namespace {

using Kovon::CEzusb;
using Kovon::Sim::SimUsb2Camera;
using Kovon::Sim::SimUsb2Config;
using Kovon::Sim::SimUsb2Instance;

struct RecordedRequest {
    uint32_t code;
    std::vector<uint8_t> in;
    size_t outSize;
    size_t outOffset;  // where the output landed relative to the first output of the same code
    const void* out;
};

class RecordingInstance final : public Kovon::IDriverInstance {
public:
    explicit RecordingInstance(std::shared_ptr<SimUsb2Instance> sim) : sim_(std::move(sim)) {}
    Kovon::DriverHandle Open(uint32_t& error) override {
        ++opens;
        Kovon::DriverHandle inner = sim_->Open(error);
        if (!inner) return nullptr;
        return std::make_unique<Handle>(this, std::move(inner));
    }
    std::vector<RecordedRequest> requests;
    int opens = 0;

private:
    class Handle final : public Kovon::IDriverHandle {
    public:
        Handle(RecordingInstance* owner, Kovon::DriverHandle inner)
            : owner_(owner), inner_(std::move(inner)) {}
        uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                           size_t& returned) override {
            const auto* bytes = static_cast<const uint8_t*>(in);
            owner_->requests.push_back({code, std::vector<uint8_t>(bytes, bytes + inSize), outSize, 0, out});
            return inner_->IoControl(code, in, inSize, out, outSize, returned);
        }

    private:
        RecordingInstance* owner_;
        Kovon::DriverHandle inner_;
    };
    std::shared_ptr<SimUsb2Instance> sim_;
};

std::vector<unsigned> sleeps;
void CountSleep(unsigned milliseconds) {
    sleeps.push_back(milliseconds);
}

class EzusbTest : public ::testing::Test {
protected:
    void Plug(const std::string& name, uint16_t release = 0x0200) {
        SimUsb2Config config;
        config.serial = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
        config.firmware = 0x1203;
        config.usbRelease = release;
        sim = std::make_shared<SimUsb2Instance>(config);
        recorder = std::make_shared<RecordingInstance>(sim);
        Kovon::DriverRegistry::Register(name, recorder);
        names.push_back(name);
    }
    void SetUp() override {
        sleeps.clear();
        Plug("EZTEST-1");
    }
    void TearDown() override {
        for (const auto& name : names) Kovon::DriverRegistry::Unregister(name);
    }
    // Opens the channel and forgets the requests of the open.
    void OpenChannel() {
        ASSERT_TRUE(channel.Open("EZTEST-1"));
        recorder->requests.clear();
    }
    template <typename Fn>
    auto Camera(Fn&& fn) {
        return sim->WithCamera(fn);
    }
    std::vector<uint16_t> VendorAddresses() const {
        std::vector<uint16_t> addresses;
        for (const auto& r : recorder->requests) {
            if (r.code != Kovon::kVendorRequestCode) continue;
            Kovon::VendorRequest request;
            EXPECT_TRUE(Kovon::DecodeVendorRequest(r.in.data(), r.in.size(), request));
            EXPECT_EQ(r.outSize, 4u);
            addresses.push_back(Kovon::SwapBytes16(request.value));
        }
        return addresses;
    }

    std::shared_ptr<SimUsb2Instance> sim;
    std::shared_ptr<RecordingInstance> recorder;
    std::vector<std::string> names;
    CEzusb channel{CountSleep};
};

TEST_F(EzusbTest, OpenTestsTheUsbRelease) {
    Plug("EZTEST-2", 0x0110);
    struct Case {
        const char* name;
        bool opens, holdsHandle;
        int version;
    };
    const Case cases[] = {
        {"EZTEST-1", true, true, 1},
        {"EZTEST-2", false, true, 2},   // not USB 2.0: false, but the handle stays
        {"EZTEST-9", false, false, 0},  // no such instance
        {"", false, false, 0},
    };
    for (const Case& c : cases) {
        CEzusb probe;
        EXPECT_EQ(probe.Open(c.name), c.opens) << c.name;
        EXPECT_EQ(probe.IsOpen(), c.holdsHandle) << c.name;
        EXPECT_EQ(probe.GetUsbVersion(), c.version) << c.name;
        EXPECT_STREQ(probe.GetDeviceName(), c.name);
    }
    // The descriptor request: code 0x222004 with one 18-byte buffer in and out.
    CEzusb probe;
    recorder->requests.clear();
    ASSERT_TRUE(probe.Open("EZTEST-2") == false);
    ASSERT_EQ(recorder->requests.size(), 1u);
    EXPECT_EQ(recorder->requests[0].code, 0x222004u);
    EXPECT_EQ(recorder->requests[0].in.size(), 18u);
    EXPECT_EQ(recorder->requests[0].outSize, 18u);
}

TEST_F(EzusbTest, NamesOfSixtyCharactersOrMoreAreRefused) {
    const std::string longest(59, 'N');
    Plug(longest);
    Plug(longest + "X");
    CEzusb probe;
    EXPECT_TRUE(probe.Open(longest.c_str()));
    EXPECT_STREQ(probe.GetDeviceName(), longest.c_str());

    Kovon::ResetDriverTraffic();
    for (const std::string& name : {longest + "X", std::string(200, 'N')}) {
        CEzusb refused;
        EXPECT_FALSE(refused.Open(name.c_str()));
        EXPECT_FALSE(refused.IsOpen());
        EXPECT_STREQ(refused.GetDeviceName(), "");
        EXPECT_FALSE(refused.Reopen());
        EXPECT_FALSE(refused.AbortPipe());
    }
    EXPECT_EQ(Kovon::GetDriverTraffic().openAttempts, 0u);  // never cut down to another name
    CEzusb null;
    EXPECT_FALSE(null.Open(nullptr));
}

TEST_F(EzusbTest, ReopenAndClose) {
    OpenChannel();
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_TRUE(channel.Reopen());
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_TRUE(recorder->requests.empty());  // no version test
}

TEST_F(EzusbTest, SixByteReadAtTheSerialRegisters) {
    OpenChannel();
    uint8_t buffer[6] = {};
    ASSERT_EQ(channel.ReadRegister(buffer, 0x206, 6), 0);
    EXPECT_EQ(VendorAddresses(), (std::vector<uint16_t>{0x206, 0x208, 0x20A}));
    const uint8_t expected[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    EXPECT_EQ(0, std::memcmp(buffer, expected, 6));
    // The record exactly as the driver receives it.
    EXPECT_EQ(recorder->requests[0].in, (std::vector<uint8_t>{1, 2, 0, 0, 0xB0, 0, 0x02, 0x06, 0, 0}));
}

TEST_F(EzusbTest, WriteSetsBit15AndSendsDataHighByteFirst) {
    OpenChannel();
    const uint8_t words[4] = {0x80, 0x02, 0x34, 0x12};  // 0x0280, 0x1234
    ASSERT_EQ(channel.WriteRegister(words, 0x434, 4), 0);
    EXPECT_EQ(VendorAddresses(), (std::vector<uint16_t>{0x8434, 0x8436}));
    EXPECT_EQ(recorder->requests[0].in, (std::vector<uint8_t>{1, 2, 0, 0, 0xB0, 0, 0x84, 0x34, 0x02, 0x80}));
    EXPECT_EQ(Camera([](SimUsb2Camera& c) { return c.Peek(0x434); }), 0x0280);
    EXPECT_EQ(Camera([](SimUsb2Camera& c) { return c.Peek(0x436); }), 0x1234);
}

// Failure paths: status, requests that reached the driver, pauses.
TEST_F(EzusbTest, RegisterFailures) {
    enum Op { kRead, kWrite };
    enum Fault { kNone, kClosed, kError31Forever, kError31Twice, kUnplugged, kWrongEcho };
    struct Case {
        const char* what;
        Op op;
        Fault fault;
        int count;
        int status;
        size_t requests;
        size_t pauses;
    };
    const Case cases[] = {
        {"read of 0 bytes", kRead, kNone, 0, -1, 0, 0},
        {"write of 0 bytes", kWrite, kNone, 0, -1, 0, 0},
        {"read of an odd count", kRead, kNone, 3, -1, 0, 0},
        {"read on a closed channel", kRead, kClosed, 2, -1, 0, 0},
        {"write on a closed channel", kWrite, kClosed, 2, -4, 0, 0},
        {"read failing with 31", kRead, kError31Forever, 4, -1, 5, 5},
        {"write failing with 31", kWrite, kError31Forever, 4, -2, 5, 5},
        {"read recovering after two 31s", kRead, kError31Twice, 4, 0, 4, 2},
        {"write recovering after two 31s", kWrite, kError31Twice, 4, 0, 4, 2},
        {"read of an unplugged camera", kRead, kUnplugged, 4, -1, 1, 0},
        {"write to an unplugged camera", kWrite, kUnplugged, 4, -3, 1, 0},
        {"read with a wrong echo", kRead, kWrongEcho, 6, 0, 1, 0},
        {"write with a wrong echo", kWrite, kWrongEcho, 6, -1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sleeps.clear();
        OpenChannel();
        switch (c.fault) {
            case kClosed:
                channel.Close();
                break;
            case kError31Forever:
                Camera([](SimUsb2Camera& cam) {
                    cam.FailNextRequests(100);
                    return 0;
                });
                break;
            case kError31Twice:
                Camera([](SimUsb2Camera& cam) {
                    cam.FailNextRequests(2);
                    return 0;
                });
                break;
            case kUnplugged:
                sim->SetConnected(false);
                break;
            case kWrongEcho:
                Camera([](SimUsb2Camera& cam) {
                    cam.WrongEchoOnNextRequest();
                    return 0;
                });
                break;
            case kNone:
                break;
        }
        uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        const int status = c.op == kRead ? channel.ReadRegister(buffer, 0x206, c.count)
                                         : channel.WriteRegister(buffer, 0x310, c.count);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(VendorAddresses().size(), c.requests);
        EXPECT_EQ(sleeps.size(), c.pauses);
        for (unsigned ms : sleeps) EXPECT_EQ(ms, 20u);
        if (c.op == kRead && c.fault == kWrongEcho) {
            // Only the word whose echo was wrong is stored.
            EXPECT_EQ(buffer[0], 0x12);
            EXPECT_EQ(buffer[1], 0x34);
            EXPECT_EQ(buffer[2], 0xEE);
        }
        sim->SetConnected(true);
        Camera([](SimUsb2Camera& cam) {
            cam.FailNextRequests(0);
            return 0;
        });
    }
}

TEST_F(EzusbTest, BulkReadIsSplitAt0x140000) {
    struct Case {
        uint32_t length;
        std::vector<size_t> pieces;
    };
    const Case cases[] = {
        {0, {0}},
        {1, {1}},
        {0x140000, {0x140000}},
        {0x140001, {0x140000, 1}},
        {0x300000, {0x140000, 0x140000, 0x80000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        OpenChannel();
        std::vector<uint8_t> sent(c.length);
        for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
        if (!sent.empty()) sim->PushBulk(sent.data(), sent.size());
        std::vector<uint8_t> buffer(c.length + 1, 0);
        ASSERT_EQ(channel.BulkRead(buffer.data(), c.length), 0);
        std::vector<size_t> pieces;
        for (const auto& r : recorder->requests) {
            ASSERT_EQ(r.code, 0x22204Eu);
            EXPECT_EQ(r.in, (std::vector<uint8_t>{1, 0, 0, 0}));
            EXPECT_EQ(static_cast<const uint8_t*>(r.out),
                      buffer.data() + 0x140000 * pieces.size());  // piece k at k * 0x140000
            pieces.push_back(r.outSize);
        }
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
    }
}

TEST_F(EzusbTest, BulkReadStatuses) {
    uint8_t buffer[16];
    EXPECT_EQ(channel.BulkRead(buffer, sizeof buffer), -4);
    OpenChannel();
    sim->SetConnected(false);
    EXPECT_EQ(channel.BulkRead(buffer, sizeof buffer), -3);
}

TEST_F(EzusbTest, AbortPipeEndsABlockedReadThroughASecondHandle) {
    OpenChannel();
    const int opensBefore = recorder->opens;
    auto read = std::async(std::launch::async, [this] {
        std::vector<uint8_t> buffer(1024);
        return channel.BulkRead(buffer.data(), static_cast<uint32_t>(buffer.size()));
    });
    while (Camera([](SimUsb2Camera& c) { return c.Counters().bulkReads; }) == 0) std::this_thread::yield();
    EXPECT_TRUE(channel.AbortPipe());
    EXPECT_EQ(read.get(), -1);
    EXPECT_EQ(recorder->opens, opensBefore + 1);
    EXPECT_TRUE(channel.IsOpen());  // the main handle is left alone

    CEzusb never;
    EXPECT_FALSE(never.AbortPipe());
    sim->SetConnected(false);
    EXPECT_FALSE(channel.AbortPipe());
}

// Register requests from several threads share one channel; a Close in the middle ends them with
// a failure status, never with a crash or a half-done request.
TEST(EzusbThreads, ConcurrentRequestsAndClose) {
    SimUsb2Config config;
    config.serial = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    auto sim = std::make_shared<SimUsb2Instance>(config);
    Kovon::DriverRegistry::Register("EZTEST-THREADS", sim);
    CEzusb channel;
    ASSERT_TRUE(channel.Open("EZTEST-THREADS"));
    constexpr int kRounds = 300;
    auto reader = [&channel] {
        int failures = 0;
        for (int i = 0; i < kRounds; ++i) {
            uint8_t buffer[6] = {};
            const int status = channel.ReadRegister(buffer, 0x206, 6);
            if (status != 0) {
                ++failures;
                continue;
            }
            if (buffer[0] != 0x12 || buffer[5] != 0xBC) return -1000;  // a torn answer
        }
        return failures;
    };
    auto writer = [&channel] {
        for (int i = 0; i < kRounds; ++i) {
            const uint8_t word[2] = {static_cast<uint8_t>(i), 0};
            const int status = channel.WriteRegister(word, 0x310, 2);
            if (status != 0 && status != -4) return -1000;
        }
        return 0;
    };
    auto r1 = std::async(std::launch::async, reader);
    auto r2 = std::async(std::launch::async, reader);
    auto w = std::async(std::launch::async, writer);
    while (sim->WithCamera([](SimUsb2Camera& c) { return c.Counters().registerRequests; }) < 50) {
        std::this_thread::yield();
    }
    channel.Close();
    EXPECT_GE(r1.get(), 0);
    EXPECT_GE(r2.get(), 0);
    EXPECT_EQ(w.get(), 0);
    EXPECT_FALSE(channel.IsOpen());
    Kovon::DriverRegistry::Unregister("EZTEST-THREADS");
}

TEST(EzusbStatus, DriverErrorsReduceToChannelStatuses) {
    const std::pair<uint32_t, int> table[] = {
        {0, 0}, {31, -2}, {1167, -3}, {2, -1}, {87, -1}, {995, -1}, {0xFFFFFFFF, -1},
    };
    for (const auto& [error, status] : table)
        EXPECT_EQ(Kovon::EzusbStatusOfDriverError(error), status) << error;
}

}  // namespace
