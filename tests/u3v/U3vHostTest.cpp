// USB3 Vision cameras as a host sees them: the module loaded with dlopen, simulated cameras
// plugged through the module's exported simulator API, the tree walked from GetSystem.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimU3V.h"
#include "support/ModuleLoader.h"

namespace {

using KovonTest::ModuleLoader;
using KovonTest::Releaser;
using Lumora::u64;

struct Sim {
#define KOVON_SIM_FN(name) \
    decltype(&KovonSimU3V_##name) name = Load<decltype(&KovonSimU3V_##name)>("KovonSimU3V_" #name)
    template <typename Fn>
    static Fn Load(const char* symbol) {
        return ModuleLoader::Instance().Function<Fn>(symbol);
    }
    KOVON_SIM_FN(DefaultOptions);
    KOVON_SIM_FN(Plug);
    KOVON_SIM_FN(PlugWith);
    KOVON_SIM_FN(Unplug);
    KOVON_SIM_FN(UnplugAll);
    KOVON_SIM_FN(InjectDroppedFrames);
    KOVON_SIM_FN(InjectIncompleteFrames);
    KOVON_SIM_FN(InjectFailedFrames);
    KOVON_SIM_FN(UnplugCounted);
    KOVON_SIM_FN(FireEvent);
    KOVON_SIM_FN(GetCounters);
    KOVON_SIM_FN(PokeRegister);
    KOVON_SIM_FN(SetStreamRate);
#undef KOVON_SIM_FN

    KovonSimU3VOptions Options(const char* serial, const char* model = "TK-U3-13M") const {
        KovonSimU3VOptions o;
        DefaultOptions(&o);
        o.serial = serial;
        o.model = model;
        o.width = 320;
        o.height = 240;
        return o;
    }
};

constexpr uint64_t kConnectedId = 0x1000002C;
constexpr uint64_t kAcquisitionCommand = 0x50010;  // the simulated camera streams while it holds 1

// Polls until 'done' holds; a generous bound only keeps a broken build from hanging the run.
template <typename Fn>
bool Eventually(Fn&& done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

uint32_t Get32(Lumora::IDevice* device, uint64_t id, int* status = nullptr) {
    uint32_t value = 0xDEADBEEF;
    u64 size = sizeof value;
    const int s = device->GetParam(id, &value, size);
    if (status != nullptr) *status = s;
    return value;
}

uint64_t Get64(Lumora::IStream* stream, uint64_t id) {
    uint64_t value = 0xDEADBEEFDEADBEEFull;
    u64 size = sizeof value;
    EXPECT_EQ(stream->GetParam(id, &value, size), 0) << "id " << id;
    EXPECT_EQ(size, 8u);
    return value;
}

uint32_t StreamGet32(Lumora::IStream* stream, uint64_t id) {
    uint32_t value = 0xDEADBEEF;
    u64 size = sizeof value;
    EXPECT_EQ(stream->GetParam(id, &value, size), 0) << "id " << id;
    return value;
}

std::string InfoText(Lumora::IDevice* device, uint64_t id) {
    char text[512] = {};
    u64 size = sizeof text;
    if (device->GetInfo(id, text, size) != 0) return "<error>";
    return text;
}

class U3vHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(sim.PlugWith, nullptr);
        ASSERT_NE(sim.PokeRegister, nullptr);
        sim.UnplugAll();
        system.object = ModuleLoader::Instance().NewSystem();
        ASSERT_NE(system.object, nullptr);
        Lumora::IInterface* opened = nullptr;
        ASSERT_EQ(system.object->OpenInterface("Interface_U3Vision", opened), 0);
        u3v = opened;
    }
    void TearDown() override {
        system.object->Release();
        system.object = nullptr;
        sim.UnplugAll();
    }

    void Plug(const KovonSimU3VOptions& o) { ASSERT_EQ(sim.PlugWith(&o), 0); }
    unsigned Count() {
        unsigned count = 99;
        EXPECT_EQ(u3v->GetNumDevices(count, 100), 0);
        return count;
    }
    Lumora::IDevice* Open(const char* name) {
        Count();
        Lumora::IDevice* device = nullptr;
        EXPECT_EQ(u3v->OpenDevice(name, device), 0) << name;
        return device;
    }
    Lumora::IStream* OpenStream(Lumora::IDevice* device) {
        Lumora::IStream* stream = nullptr;
        EXPECT_EQ(device->OpenStream(0, stream), 0);
        return stream;
    }
    // Plugs a 320 x 240 camera whose link carries 'rate' bytes/s (0: unpaced) and opens its
    // stream with an image time-out (id 2) of 10 s; null on failure.
    Lumora::IStream* CameraStream(const char* serial, uint64_t rate = 0) {
        Plug(sim.Options(serial));
        if (sim.SetStreamRate(serial, rate) != 0) return nullptr;
        Lumora::IDevice* device = Open(("TK-U3-13M_SN_" + std::string(serial)).c_str());
        Lumora::IStream* stream = device != nullptr ? OpenStream(device) : nullptr;
        uint32_t imageTimeout = 10000;
        u64 size = sizeof imageTimeout;
        if (stream == nullptr || stream->SetParam(2, &imageTimeout, size) != 0) return nullptr;
        return stream;
    }

    Sim sim;
    Releaser<Lumora::ISystem> system;
    Lumora::IInterface* u3v = nullptr;  // released with the system
};

TEST_F(U3vHost, ListsOpensAndDescribesCameras) {
    EXPECT_EQ(Count(), 0u);  // no camera: an empty list
    Plug(sim.Options("A1", "TK-U3-A"));
    Plug(sim.Options("B2", "TK-U3-B"));
    ASSERT_EQ(Count(), 2u);
    char name[64] = {};
    u64 size = sizeof name;
    ASSERT_EQ(u3v->GetDeviceName(0, name, size), 0);
    EXPECT_STREQ(name, "TK-U3-A_SN_A1");
    EXPECT_EQ(size, 14u);
    size = sizeof name;
    EXPECT_EQ(u3v->GetDeviceName(2, name, size), -1009);

    Lumora::IDevice* info = nullptr;
    ASSERT_EQ(u3v->GetDevice("TK-U3-B_SN_B2", info), 0);
    Releaser<Lumora::IDevice> infoCopy{info};
    const struct {
        uint64_t id;
        const char* text;
    } texts[] = {{0, "SIMU3V-B2"}, {1, "TK-U3-B_SN_B2"}, {2, "4.7.0.0"},     {3, "Tarvek Co., LTD"},
                 {4, "TK-U3-B"},   {7, "SN_B2"},         {10, "sim:u3v:B2"}, {13, "U3V"}};
    for (const auto& t : texts) EXPECT_EQ(InfoText(info, t.id), t.text) << "id " << t.id;
    EXPECT_EQ(InfoText(info, 5).rfind("TARVEK URL:", 0), 0u);
    int access = -1;
    size = sizeof access;
    ASSERT_EQ(info->GetInfo(9, &access, size), 0);
    EXPECT_EQ(access, 1);  // free
    // Ids without information leave buffer and size alone.
    for (uint64_t id : {11u, 12u, 14u, 99u}) {
        char untouched[8] = {'x'};
        size = 5;
        EXPECT_EQ(info->GetInfo(id, untouched, size), 0);
        EXPECT_EQ(size, 5u);
        EXPECT_EQ(untouched[0], 'x');
    }

    // Interface parameters.
    char text[32] = {'x'};
    size = sizeof text;
    ASSERT_EQ(u3v->GetParam(5, text, size), 0);
    EXPECT_STREQ(text, "U3V");
    for (uint64_t id : {4u, 6u}) {
        text[0] = 'x';
        size = 7;
        EXPECT_EQ(u3v->GetParam(id, text, size), 0);
        EXPECT_EQ(size, 7u);
        EXPECT_EQ(text[0], 'x');
    }
    size = sizeof text;
    EXPECT_EQ(u3v->SetParam(1, text, size), -1001);

    Lumora::IDevice* device = Open("TK-U3-A_SN_A1");
    ASSERT_NE(device, nullptr);
    Lumora::IDevice* again = info;
    EXPECT_EQ(u3v->OpenDevice("TK-U3-A_SN_A1", again), -1001);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(Get32(device, kConnectedId), 1u);

    // One stream, "DS0"; a second open hands out a separate copy.
    unsigned streams = 0;
    ASSERT_EQ(device->GetNumStreams(streams), 0);
    EXPECT_EQ(streams, 1u);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    Lumora::IStream* copy = nullptr;
    ASSERT_EQ(device->OpenStream(0, copy), 0);
    EXPECT_NE(copy, stream);
    copy->Release();
    EXPECT_EQ(stream->Share(), static_cast<unsigned>(-1001));

    // Releasing the device releases its stream; the camera can be opened again.
    device->Release();
    EXPECT_NE(Open("TK-U3-A_SN_A1"), nullptr);
}

TEST_F(U3vHost, DescriptionLocationAndCopy) {
    KovonSimU3VOptions o = sim.Options("D1");
    o.descriptionSize = 0x1234;
    Plug(o);
    Lumora::IDevice* device = Open("TK-U3-13M_SN_D1");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(InfoText(device, 8), "Local:U3V.xml;700;1234");
    u64 size = 0;
    ASSERT_EQ(device->GetParam(0x700, nullptr, size), 0);
    ASSERT_EQ(size, 0x1234u);
    std::vector<char> xml(size);
    ASSERT_EQ(device->GetParam(0x700, xml.data(), size), 0);
    EXPECT_NE(std::string(xml.begin(), xml.end()).find("<RegisterDescription"), std::string::npos);
    size = 0x1233;
    EXPECT_EQ(device->GetParam(0x700, xml.data(), size), -1009);
    EXPECT_EQ(size, 0x1233u);
}

TEST_F(U3vHost, RegistersTextsAndTheirRules) {
    Plug(sim.Options("R1", "TK-U3-R"));
    Lumora::IDevice* device = Open("TK-U3-R_SN_R1");
    ASSERT_NE(device, nullptr);

    const struct {
        uint64_t id;
        const char* text;
    } bootstrap[] = {{4, "Tarvek"},   {0x44, "TK-U3-R"},
                     {0xC4, "1.0.0"}, {0x104, "Simulated USB3 Vision camera"},
                     {0x144, "R1"},   {0x184, ""}};
    for (const auto& b : bootstrap) {
        char text[64];
        std::memset(text, 'x', sizeof text);
        u64 size = sizeof text;
        ASSERT_EQ(device->GetParam(b.id, text, size), 0) << b.id;
        EXPECT_EQ(size, 64u);
        EXPECT_EQ(std::string(text, strnlen(text, 64)), b.text) << b.id;
    }
    // Read-only ids.
    for (uint64_t id : {4u, 0x44u, 0xC4u, 0x104u, 0x144u, 0x700u, 0x50030u, 0x10000014u}) {
        uint32_t value = 1;
        u64 size = sizeof value;
        EXPECT_EQ(device->SetParam(id, &value, size), -1005) << id;
    }
    // The user-defined name takes up to 64 bytes and is zero-filled.
    char name[65] = "cam-7";
    u64 size = 6;
    ASSERT_EQ(device->SetParam(0x184, name, size), 0);
    char back[64];
    std::memset(back, 'x', sizeof back);
    size = sizeof back;
    ASSERT_EQ(device->GetParam(0x184, back, size), 0);
    EXPECT_STREQ(back, "cam-7");
    EXPECT_EQ(back[63], 0);
    size = 65;
    EXPECT_EQ(device->SetParam(0x184, name, size), -1009);

    // Ordinary registers by the caller's size; a size outside 4, 8, 16, 32, 64 never reaches
    // the camera.
    EXPECT_EQ(Get32(device, 0x50000), 320u);
    uint32_t width = 640;
    size = sizeof width;
    ASSERT_EQ(device->SetParam(0x50000, &width, size), 0);
    EXPECT_EQ(Get32(device, 0x5000C), 640u * 240u);
    size = 8;
    uint64_t wide = 0;
    EXPECT_EQ(device->SetParam(0x50000, &wide, size), -1009);  // more than the register's 4 bytes
    KovonSimU3VCounters before{}, after{};
    ASSERT_EQ(sim.GetCounters("R1", &before), 0);
    char twelve[12];
    size = sizeof twelve;
    EXPECT_EQ(device->GetParam(0x50000, twelve, size), -1009);
    size = sizeof twelve;
    EXPECT_EQ(device->SetParam(0x60000, twelve, size), -1009);
    ASSERT_EQ(sim.GetCounters("R1", &after), 0);
    EXPECT_EQ(after.commands, before.commands);
    // An address the camera does not have: its refusal, mapped.
    int status = 0;
    Get32(device, 0x7000000, &status);
    EXPECT_EQ(status, -1015);

    // Module ids.
    std::vector<unsigned char> field(260, 0xFF);
    size = field.size();
    ASSERT_EQ(device->GetParam(0x10000034, field.data(), size), 0);
    EXPECT_EQ(field, std::vector<unsigned char>(260, 0));
    EXPECT_EQ(Get32(device, 0x10000014), 1u);  // no stream open
    for (uint64_t id : {0x1000000Cu, 0x10000010u, 0x10000030u}) {
        Get32(device, id, &status);
        EXPECT_EQ(status, -1005) << id;
        uint32_t value = 0;
        size = sizeof value;
        EXPECT_EQ(device->SetParam(id, &value, size), -1005) << id;
    }
    uint32_t value = 0;
    size = sizeof value;
    EXPECT_EQ(device->SetValue(0, &value, size), -1003);
    EXPECT_EQ(device->GetValue(0, &value, size), -1003);
}

TEST_F(U3vHost, CameraBelowDeviceLevelIsRefused) {
    KovonSimU3VOptions o = sim.Options("L1");
    o.deviceLevel = 7;
    Plug(o);
    ASSERT_EQ(Count(), 1u);
    Lumora::IDevice* sentinel = reinterpret_cast<Lumora::IDevice*>(0x1);
    Lumora::IDevice* out = sentinel;
    EXPECT_EQ(u3v->OpenDevice("TK-U3-13M_SN_L1", out), -10003);
    EXPECT_EQ(out, sentinel);
    // Everything the refused open took was given back: with the level raised the camera opens.
    ASSERT_EQ(sim.PokeRegister("L1", 0x10040, 8), 0);
    EXPECT_NE(Open("TK-U3-13M_SN_L1"), nullptr);
}

struct EventLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<unsigned>> calls;  // event, value, low, high, first data byte, tag

    static void Callback(int event, unsigned value, void* data, unsigned low, unsigned high, void* context,
                         unsigned tag) {
        auto* log = static_cast<EventLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        const unsigned first = data != nullptr && value > 0 ? static_cast<unsigned char*>(data)[0] : 0xFFFF;
        log->calls.push_back({static_cast<unsigned>(event), value, low, high, first, tag});
        log->changed.notify_all();
    }
    static void First(int e, unsigned v, void* d, unsigned l, unsigned h, void* c) {
        Callback(e, v, d, l, h, c, 1);
    }
    static void Second(int e, unsigned v, void* d, unsigned l, unsigned h, void* c) {
        Callback(e, v, d, l, h, c, 2);
    }

    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return calls.size() >= n; });
    }
};

TEST_F(U3vHost, EventsReachTheCallback) {
    Plug(sim.Options("E1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_E1");
    ASSERT_NE(device, nullptr);
    EventLog log;
    EXPECT_EQ(device->RegisterEventCallBack(nullptr, &log), 0);
    const unsigned char payload[3] = {0xA5, 2, 3};
    ASSERT_EQ(sim.FireEvent("E1", 0x9001, payload, sizeof payload), 0);  // no channel yet: discarded
    KovonSimU3VCounters counters{};
    ASSERT_EQ(sim.GetCounters("E1", &counters), 0);
    EXPECT_EQ(counters.eventsDiscarded, 1u);

    ASSERT_EQ(device->RegisterEventCallBack(&EventLog::First, &log), 0);
    ASSERT_EQ(sim.FireEvent("E1", 0x9001, payload, sizeof payload), 0);
    ASSERT_TRUE(log.WaitFor(1));
    // A second registration replaces the callback on the open channel.
    ASSERT_EQ(device->RegisterEventCallBack(&EventLog::Second, &log), 0);
    ASSERT_EQ(sim.FireEvent("E1", 0x9002, nullptr, 0), 0);
    ASSERT_TRUE(log.WaitFor(2));
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0][0], 0x9001u);
    EXPECT_EQ(log.calls[0][1], 3u);     // the data length
    EXPECT_EQ(log.calls[0][4], 0xA5u);  // the data
    EXPECT_EQ(log.calls[0][5], 1u);
    EXPECT_EQ(log.calls[1][0], 0x9002u);
    EXPECT_EQ(log.calls[1][1], 0u);
    EXPECT_EQ(log.calls[1][5], 2u);
}

TEST_F(U3vHost, UnplugClearsConnectedAndFramesStop) {
    Plug(sim.Options("U1"));
    Plug(sim.Options("U2"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_U1");
    Lumora::IDevice* other = Open("TK-U3-13M_SN_U2");
    ASSERT_NE(device, nullptr);
    ASSERT_NE(other, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> frame(320 * 240);
    ASSERT_EQ(stream->GetImage(frame.data(), 5000), 0);
    EXPECT_EQ(Get32(device, kConnectedId), 1u);

    ASSERT_EQ(sim.Unplug("U1"), 0);
    EXPECT_TRUE(Eventually([&] { return Get32(device, kConnectedId) == 0; }));
    EXPECT_EQ(Get32(other, kConnectedId), 1u);  // only the unplugged camera is marked
    // Frames already queued may still be collected; then no more come.
    int status = 0;
    for (int i = 0; i < 64 && status == 0; ++i) status = stream->GetImage(frame.data(), 200);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(stream->GetImage(frame.data(), 200), -1);

    // The camera leaves the list; its opened object stays until released.
    EXPECT_EQ(Count(), 1u);
    Lumora::IDevice* copy = nullptr;
    ASSERT_EQ(u3v->GetDevice("TK-U3-13M_SN_U1", copy), 0);
    copy->Release();
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    device->Release();
    Lumora::IDevice* gone = nullptr;
    EXPECT_EQ(u3v->GetDevice("TK-U3-13M_SN_U1", gone), -1009);

    // A camera that comes back is listed after the ones that stayed.
    Plug(sim.Options("U1"));
    ASSERT_EQ(Count(), 2u);
    char name[64] = {};
    u64 size = sizeof name;
    ASSERT_EQ(u3v->GetDeviceName(1, name, size), 0);
    EXPECT_STREQ(name, "TK-U3-13M_SN_U1");
}

TEST_F(U3vHost, ReleaseRacesUnplugNotice) {
    // A device leaves the hot-plug table before it is destroyed: notices that arrive while it is
    // being released, or after, never reach it (the sanitizer builds check this).
    for (int round = 0; round < 20; ++round) {
        Plug(sim.Options("H1"));
        Lumora::IDevice* device = Open("TK-U3-13M_SN_H1");
        ASSERT_NE(device, nullptr);
        std::thread unplugger([&] { sim.Unplug("H1"); });
        device->Release();
        unplugger.join();
    }
}

TEST_F(U3vHost, BufferCountFollowsThePayload) {
    KovonSimU3VOptions o = sim.Options("P1");
    o.width = 5000;
    o.height = 1000;
    Plug(o);
    Lumora::IDevice* device = Open("TK-U3-13M_SN_P1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(StreamGet32(stream, 4104), 13u);
    EXPECT_EQ(Get32(device, 0x10000030), 13u);
    uint32_t accept = 0xFFFFFFFF;
    u64 size = sizeof accept;
    ASSERT_EQ(stream->SetParam(4096, &accept, size), 0);
    EXPECT_EQ(Get64(stream, 4), 5000000u);  // the high half stays 0
    EXPECT_EQ(Get32(device, 0x10000010), 0xFFFFFFFFu);

    // The host's count is passed on; the device's payload read sets it back by the budget.
    uint32_t count = 4;
    size = sizeof count;
    ASSERT_EQ(device->SetParam(0x10000030, &count, size), 0);
    EXPECT_EQ(StreamGet32(stream, 4104), 4u);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 1), 0);
    EXPECT_EQ(StreamGet32(stream, 4104), 13u);
    std::vector<unsigned char> frame(5000000);
    EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);

    // Stream parameters: sizes and read-only ids.
    uint64_t big = 0;
    size = 8;
    EXPECT_EQ(stream->SetParam(2, &big, size), -1009);
    size = 4;
    for (uint64_t id : {0u, 1u, 3u}) EXPECT_EQ(stream->SetParam(id, &big, size), -1005) << id;
    EXPECT_EQ(stream->SetParam(5, &big, size), -1009);
    EXPECT_EQ(stream->GetParam(77, &big, size), -1009);
    uint32_t timeout = 250;
    size = 4;
    ASSERT_EQ(device->SetParam(0x1000000C, &timeout, size), 0);
    EXPECT_EQ(StreamGet32(stream, 4100), 250u);
}

// The SIRM's payload transfer size, found through the bootstrap registers.
uint32_t ProgrammedTransferSize(Lumora::IDevice* device) {
    uint64_t sbrm = 0, sirm = 0;
    u64 size = 8;
    EXPECT_EQ(device->GetParam(0x1D8, &sbrm, size), 0);
    size = 8;
    EXPECT_EQ(device->GetParam(sbrm + 0x20, &sirm, size), 0);
    return Get32(device, sirm + 0x1C);
}

TEST_F(U3vHost, TransferSizeRule) {
    const struct {
        uint32_t width, height, maxTransfer, expected;
    } cases[] = {
        {1657, 45, 0x200000, 0x12000},     // payload 0x12345: rounded down to 1 KiB
        {2048, 1536, 0x200000, 0x200000},  // payload 0x300000: the camera's maximum
        {1024, 1024, 0x100000, 0x100000},  // exactly the maximum
        {16, 16, 0x200000, 256},           // below 1 KiB: one transfer of the whole payload
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string serial = "T" + std::to_string(n++);
        KovonSimU3VOptions o = sim.Options(serial.c_str());
        o.width = c.width;
        o.height = c.height;
        o.maxTransferSize = c.maxTransfer;
        Plug(o);
        Lumora::IDevice* device = Open(("TK-U3-13M_SN_" + serial).c_str());
        ASSERT_NE(device, nullptr);
        Lumora::IStream* stream = OpenStream(device);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0) << serial;
        EXPECT_EQ(ProgrammedTransferSize(device), c.expected) << serial;
        std::vector<unsigned char> frame(size_t(c.width) * c.height);
        EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0) << serial;
        device->Release();  // freezes and closes the stream on the way
    }
}

TEST_F(U3vHost, AcquireWithCountEndsAfterThoseFrames) {
    Plug(sim.Options("C1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_C1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Get32(device, 0x10000014), 1u);

    EXPECT_EQ(stream->GetImage(nullptr, 0), -1);  // nothing queued: at once
    EXPECT_EQ(stream->Acquire(static_cast<Lumora::IStream::ACQ_START_FLAGS>(1), 5), -1009);
    EXPECT_EQ(stream->GetImage(nullptr, 0), -1);

    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 5), 0);
    EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 5), -1001);
    std::vector<unsigned char> frame(320 * 240, 0);
    for (int i = 0; i < 5; ++i) {
        std::fill(frame.begin(), frame.end(), 0);
        ASSERT_EQ(stream->GetImage(i == 2 ? nullptr : frame.data(), 10000), 0) << i;
        if (i == 2) continue;
        // The test pattern: +1 per column, +3 per line.
        EXPECT_EQ(uint8_t(frame[1] - frame[0]), 1);
        EXPECT_EQ(uint8_t(frame[320] - frame[0]), 3);
        EXPECT_EQ(uint8_t(frame[320 * 239 + 319] - frame[0]), uint8_t(319 + 3 * 239));
    }
    EXPECT_EQ(stream->GetImage(frame.data(), 300), -1);
    EXPECT_EQ(Get64(stream, 1), 5u);
    EXPECT_EQ(Get64(stream, 6), 0u);
    KovonSimU3VCounters counters{};
    ASSERT_EQ(sim.GetCounters("C1", &counters), 0);
    EXPECT_EQ(counters.framesSent, 5u);
    EXPECT_EQ(Get64(stream, 5), counters.nextBlockId);  // the last queued block id plus one

    // After Freeze a new acquisition starts afresh.
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 2), 0);
    EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0);
    EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0);
    EXPECT_EQ(Get64(stream, 1), 2u);
}

TEST_F(U3vHost, LostFramesCountEachIncidentOnce) {
    Plug(sim.Options("F1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_F1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> frame(320 * 240);
    ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
    // Two frames cut short (one incident each) and a gap of three block ids.
    ASSERT_EQ(sim.InjectIncompleteFrames("F1", 2), 0);
    ASSERT_EQ(sim.InjectDroppedFrames("F1", 3), 0);
    for (int i = 0; i < 100 && Get64(stream, 6) < 5; ++i) ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
    EXPECT_EQ(Get64(stream, 6), 5u);
    EXPECT_EQ(Get64(stream, 11), 5u);
    KovonSimU3VCounters counters{};
    ASSERT_EQ(sim.GetCounters("F1", &counters), 0);
    EXPECT_EQ(counters.framesIncomplete, 2u);
    EXPECT_EQ(counters.framesDropped, 3u);
}

// Every block the camera finished is delivered, reported failed (id 12), reported lost (ids 6
// and 13) or still queued for the host, also when the camera is pulled out mid-stream.
TEST_F(U3vHost, FailedFramesAndARemovalAreAccountedFor) {
    Plug(sim.Options("B1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_B1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> frame(320 * 240);
    uint64_t delivered = 0;
    ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
    ++delivered;
    ASSERT_EQ(sim.InjectFailedFrames("B1", 2), 0);
    ASSERT_EQ(sim.InjectDroppedFrames("B1", 1), 0);
    for (int i = 0; i < 100 && (Get64(stream, 12) < 2 || Get64(stream, 6) < 1); ++i) {
        ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
        ++delivered;
    }
    EXPECT_EQ(Get64(stream, 12), 2u);

    KovonSimU3VCounters last{};
    ASSERT_EQ(sim.UnplugCounted("B1", &last), 0);
    EXPECT_EQ(sim.UnplugCounted("B1", &last), -1007) << "already gone";
    while (stream->GetImage(frame.data(), 0) == 0) ++delivered;  // queued before the removal
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    const uint64_t queued = Get64(stream, 1);
    ASSERT_GE(queued, delivered);
    EXPECT_EQ(last.framesFailed, 2u);
    EXPECT_EQ(last.framesSent + last.framesFailed + last.framesIncomplete + last.framesDropped,
              delivered + Get64(stream, 12) + Get64(stream, 6) + Get64(stream, 13) + (queued - delivered));
    u64 size = 8;
    uint64_t value = 0;
    EXPECT_EQ(stream->SetParam(12, &value, size), -1009) << "read only";
}

TEST_F(U3vHost, PayloadOfZeroRefusesTheStreamAndFreesIt) {
    Plug(sim.Options("Z1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_Z1");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(sim.PokeRegister("Z1", 0x5000C, 0), 0);
    Lumora::IStream* stream = reinterpret_cast<Lumora::IStream*>(0x1);
    EXPECT_EQ(device->OpenStream(0, stream), -1005);
    // The library stream opened on the way was closed again: with a payload the stream opens.
    ASSERT_EQ(sim.PokeRegister("Z1", 0x50000, 320), 0);
    stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Get64(stream, 4), 320u * 240u);
}

TEST_F(U3vHost, FreezeAndReleaseWhileTheWorkerRuns) {
    Plug(sim.Options("W1"));
    std::vector<unsigned char> frame(320 * 240);
    for (int round = 0; round < 10; ++round) {
        Lumora::IDevice* device = Open("TK-U3-13M_SN_W1");
        ASSERT_NE(device, nullptr);
        Lumora::IStream* stream = OpenStream(device);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
        // A host thread waiting for a frame while another freezes.
        std::thread waiter([&] { stream->GetImage(frame.data(), 50); });
        if (round % 2 == 0) {
            EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
            waiter.join();
            EXPECT_EQ(stream->GetImage(frame.data(), 0), -1);  // the pool went with the freeze
        } else {
            waiter.join();
        }
        device->Release();  // stops a running worker before the stream goes
    }
}

TEST_F(U3vHost, PayloadRegisterBelowTheStreamInterfaceIsRefused) {
    // The library fills each buffer up to what the stream interface announces; a payload register
    // that says less would size the buffers too small, so the acquisition is refused.
    Plug(sim.Options("S1"));
    Lumora::IDevice* device = Open("TK-U3-13M_SN_S1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(sim.PokeRegister("S1", 0x5000C, 1000), 0);
    EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 3), -1001);
    EXPECT_EQ(stream->GetImage(nullptr, 0), -1);
    ASSERT_EQ(sim.PokeRegister("S1", 0x50000, 320), 0);  // the geometry sets both again
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 3), 0);
    std::vector<unsigned char> frame(320 * 240);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0);
}

// The simulated camera's frames carry their block id in the first pixel: 40 x (block id mod 4).
// Consecutive frames therefore differ there by 40, modulo 160.
int BlockStep(const std::vector<unsigned char>& previous, const std::vector<unsigned char>& next) {
    return (int(next[0]) - int(previous[0]) + 160) % 160;
}

TEST_F(U3vHost, FramesKeepTheirOrderWhicheverWayTheyAreCollected) {
    // A GetImage that waits receives the frame itself; one that finds a frame queued copies it
    // from the pool and lets the worker receive the next; id 3 asks the worker for a frame when
    // none is coming. Mixed, they must hand out every frame once, in order, undamaged.
    Lumora::IStream* stream = CameraStream("O1");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> previous(320 * 240), frame(320 * 240);
    ASSERT_EQ(stream->GetImage(previous.data(), 10000), 0);
    uint64_t collected = 1;
    for (int i = 0; i < 40; ++i) {
        std::fill(frame.begin(), frame.end(), 0);
        switch (i % 4) {
            case 0:  // wait in GetImage
            case 1:
                ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0) << i;
                break;
            case 2:  // poll id 3, then collect without waiting
                ASSERT_EQ(StreamGet32(stream, 3), 1u) << i;
                ASSERT_EQ(stream->GetImage(frame.data(), 0), 0) << i;
                break;
            case 3:  // drop one frame, then collect the next
                ASSERT_EQ(stream->GetImage(nullptr, 10000), 0) << i;
                ++collected;
                ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0) << i;
                EXPECT_EQ(BlockStep(previous, frame), 80) << i;
                ++collected;
                previous.swap(frame);
                continue;
        }
        ++collected;
        EXPECT_EQ(BlockStep(previous, frame), 40) << i;
        EXPECT_EQ(uint8_t(frame[320 * 239 + 319] - frame[0]), uint8_t(319 + 3 * 239)) << i;
        previous.swap(frame);
    }
    EXPECT_EQ(Get64(stream, 6), 0u);
    // A frame may wait in the queue for the next call, no more.
    const uint64_t received = Get64(stream, 1);
    EXPECT_GE(received, collected);
    EXPECT_LE(received, collected + 1);
}

TEST_F(U3vHost, IdThreeAnnouncesFramesAfterAGetImageThatWaited) {
    // A GetImage that waited took the frame it waited for and left no request behind; id 3 must
    // still announce a frame soon rather than report none, or wait out its time-out.
    Lumora::IStream* stream = CameraStream("I1");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> frame(320 * 240);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0) << i;
        EXPECT_EQ(StreamGet32(stream, 3), 1u) << i;
        EXPECT_EQ(stream->GetImage(frame.data(), 0), 0) << i;
    }
}

// Brings a stream whose camera sends a frame in a few hundred milliseconds to rest: nothing
// queued, nothing being received, no request pending. A GetImage that has to wait takes the frame
// it waited for and leaves no request behind.
void Settle(Lumora::IStream* stream, std::vector<unsigned char>& frame) {
    ASSERT_EQ(StreamGet32(stream, 3), 1u);                // a frame queued; the worker rests
    ASSERT_EQ(stream->GetImage(frame.data(), 0), 0);      // taken: the worker receives the next
    ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);  // waited for while it came
}

constexpr uint64_t kSlowLink = 250000;  // bytes/s: about 300 ms for a 320 x 240 frame

TEST_F(U3vHost, TimedOutGetImageLeavesItsBufferAlone) {
    // The camera pauses. The host's own receive times out; its request stays, and the worker takes
    // it up and is receiving when the next call times out too. When the camera resumes that frame
    // comes through the pool, in order, and no buffer of a call that had returned is written.
    Lumora::IStream* stream = CameraStream("T1", kSlowLink);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    std::vector<unsigned char> previous(320 * 240), frame(320 * 240);
    for (int round = 0; round < 2; ++round) {
        Settle(stream, previous);
        ASSERT_EQ(sim.PokeRegister("T1", kAcquisitionCommand, 0), 0);
        std::vector<unsigned char> first(320 * 240, 0xA5), second(320 * 240, 0x5A);
        EXPECT_EQ(stream->GetImage(first.data(), 30), -1);
        EXPECT_EQ(stream->GetImage(second.data(), 30), -1);
        ASSERT_EQ(sim.PokeRegister("T1", kAcquisitionCommand, 1), 0);
        ASSERT_EQ(stream->GetImage(frame.data(), 10000), 0);
        EXPECT_EQ(BlockStep(previous, frame), 40);
        EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](unsigned char b) { return b == 0xA5; }));
        EXPECT_TRUE(std::all_of(second.begin(), second.end(), [](unsigned char b) { return b == 0x5A; }));
    }
    EXPECT_EQ(Get64(stream, 6), 0u);
}

TEST_F(U3vHost, FreezeWhileAHostWaits) {
    // With the camera paused a waiting GetImage sits in its own receive (even rounds) or waits for
    // the worker's (odd rounds). Freeze ends either receive and returns, the call reports no
    // frame, and a new acquisition delivers frames again.
    Lumora::IStream* stream = CameraStream("R1", kSlowLink);
    ASSERT_NE(stream, nullptr);
    std::vector<unsigned char> frame(320 * 240), waited(320 * 240);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
        Settle(stream, frame);
        ASSERT_EQ(sim.PokeRegister("R1", kAcquisitionCommand, 0), 0);
        if (round % 2 == 1) {
            EXPECT_EQ(stream->GetImage(frame.data(), 0), -1);  // the worker takes the request
        }
        std::atomic<int> status{1};
        std::thread waiter([&] { status = stream->GetImage(waited.data(), 10000); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets it start waiting
        EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
        waiter.join();
        EXPECT_EQ(status.load(), -1);
        EXPECT_EQ(stream->GetImage(frame.data(), 0), -1);
    }
    ASSERT_EQ(sim.SetStreamRate("R1", 0), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 3), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0) << i;
}

TEST_F(U3vHost, HostThreadsShareOneStream) {
    // Several host threads collect at once: each frame reaches exactly one of them.
    Lumora::IStream* stream = CameraStream("M1");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull), 0);
    constexpr int kThreads = 3, kFrames = 30;
    std::atomic<int> collected{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t)
        hosts.emplace_back([&, t] {
            std::vector<unsigned char> frame(320 * 240);
            for (int i = 0; i < kFrames; ++i) {
                const bool poll = (t + i) % 3 == 0;
                if (poll) StreamGet32(stream, 3);
                if (stream->GetImage(frame.data(), 10000) == 0) ++collected;
            }
        });
    for (auto& h : hosts) h.join();
    EXPECT_EQ(collected.load(), kThreads * kFrames);
    const uint64_t received = Get64(stream, 1);
    EXPECT_GE(received, uint64_t(kThreads * kFrames));
    EXPECT_LE(received, uint64_t(kThreads * kFrames) + 1);
    EXPECT_EQ(Get64(stream, 6), 0u);
}

TEST_F(U3vHost, PacedStreamStillDeliversEveryFrame) {
    EXPECT_EQ(sim.SetStreamRate(nullptr, 1000), -1009);
    EXPECT_EQ(sim.SetStreamRate("nobody", 1000), -1007);
    Plug(sim.Options("L1"));
    ASSERT_EQ(sim.SetStreamRate("L1", 20000000), 0);  // 20 MB/s: a few milliseconds per frame
    Lumora::IDevice* device = Open("TK-U3-13M_SN_L1");
    ASSERT_NE(device, nullptr);
    Lumora::IStream* stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 5), 0);
    std::vector<unsigned char> frame(320 * 240);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stream->GetImage(frame.data(), 10000), 0) << i;
    EXPECT_EQ(Get64(stream, 6), 0u);
    KovonSimU3VCounters counters{};
    ASSERT_EQ(sim.GetCounters("L1", &counters), 0);
    EXPECT_EQ(counters.framesSent, 5u);
}

}  // namespace
