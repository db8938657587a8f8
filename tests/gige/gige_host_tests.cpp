// The GigE Vision transport as a host sees it: the module loaded with dlopen, simulated cameras
// plugged through the module's simulator API on loopback addresses 127.0.0.8-10 and 22-29 (one
// set per test, so that tests may run in parallel), the tree walked from GetSystem. Other test
// programs may have cameras of their own on loopback at the same time, so every check looks for
// its own cameras by name and never counts the whole list.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "GigEHostSupport.h"

namespace {

using namespace GigEHostTest;
using KovonTest::ModuleLoader;
using KovonTest::Releaser;
using Lumora::IDevice;
using Lumora::IInterface;
using Lumora::IStream;
using Lumora::u64;

constexpr unsigned kDiscoveryMs = 300;
const char* const kModel = "GH-500";

class GigEHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(sim.plug, nullptr);
        system.object = ModuleLoader::Instance().NewSystem();
        ASSERT_NE(system.object, nullptr);
        ASSERT_EQ(system.object->OpenInterface("Interface_GigEVision", gige), 0);
        ASSERT_NE(gige, nullptr);
    }
    void TearDown() override {
        if (system.object != nullptr) system.object->Release();  // releases streams, devices, interface
        system.object = nullptr;
        for (KovonSimGigE* c : cameras) sim.unplug(c);
    }

    KovonSimGigE* Plug(int last, const char* serial) {
        KovonSimGigE* camera = nullptr;
        const std::string address = "127.0.0." + std::to_string(last);
        EXPECT_EQ(sim.plug(address.c_str(), kModel, serial, nullptr, &camera), 0) << address;
        if (camera != nullptr) cameras.push_back(camera);
        return camera;
    }

    std::vector<std::string> Names() {
        unsigned count = 0;
        EXPECT_EQ(gige->GetNumDevices(count, kDiscoveryMs), 0);
        std::vector<std::string> names;
        for (unsigned i = 0; i < count; ++i) {
            char name[256] = {};
            u64 size = sizeof name;
            EXPECT_EQ(gige->GetDeviceName(i, name, size), 0);
            names.push_back(name);
        }
        return names;
    }

    // Discovers until the camera of `serial` is listed, then opens it.
    IDevice* Open(const char* serial) {
        const std::string name = std::string(kModel) + "_SN_" + serial;
        bool listed = false;
        for (int attempt = 0; attempt < 5 && !listed; ++attempt) {
            for (const std::string& n : Names()) listed = listed || n == name;
        }
        EXPECT_TRUE(listed) << name;
        IDevice* device = nullptr;
        EXPECT_EQ(gige->OpenDevice(name.c_str(), device), 0) << name;
        return device;
    }

    SimApi sim = SimApi::Load();
    Releaser<Lumora::ISystem> system;
    IInterface* gige = nullptr;
    std::vector<KovonSimGigE*> cameras;
};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

TEST_F(GigEHost, TwoCamerasOfOneModelDifferOnlyInSerial) {
    Plug(22, "HT22A");
    Plug(23, "HT22B");
    std::vector<std::string> names;
    ASSERT_TRUE(Eventually([&] {
        names = Names();
        return Contains(names, "GH-500_SN_HT22A") && Contains(names, "GH-500_SN_HT22B");
    }, 5));

    IDevice* copy = nullptr;
    ASSERT_EQ(gige->GetDevice("GH-500_SN_HT22A", copy), 0);
    Releaser<IDevice> info{copy};
    const struct {
        u64 id;
        const char* text;
    } texts[] = {{1, "GH-500_SN_HT22A"}, {2, "4.7.0.0"}, {3, "Tarvek Co., LTD"}, {4, "GH-500"},
                 {7, "SN_HT22A"},       {13, "GEV"},    {14, "127.0.0.22"},     {15, "02:4B:7F:00:00:16"}};
    for (const auto& t : texts) EXPECT_EQ(InfoText(copy, t.id), t.text) << "id " << t.id;
    EXPECT_EQ(InfoText(copy, 5).rfind("TARVEK URL:", 0), 0u);
    int32_t access = 0;
    u64 size = sizeof access;
    EXPECT_EQ(copy->GetInfo(9, &access, size), 0);
    EXPECT_EQ(access, 1);  // free to open
    size = 4;
    EXPECT_EQ(copy->GetInfo(17, &access, size), -1003);
    // An info copy opens nothing: its registers are not reachable.
    uint32_t value = 0;
    EXPECT_EQ(GetReg(copy, 0xA004, value), -1002);

    IDevice* none = reinterpret_cast<IDevice*>(gige);
    EXPECT_EQ(gige->GetDevice("GH-500_SN_HT22", none), -1009);  // names compare whole
    EXPECT_EQ(none, nullptr);
}

// The helper below, run as a second process, opens one camera and reports its camera index.
pid_t StartIndexHolder(const char* serial, int& readFd) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(pipeFds[0]);
        setenv("KOVON_TEST_READY_FD", std::to_string(pipeFds[1]).c_str(), 1);
        setenv("KOVON_TEST_SERIAL", serial, 1);
        execl("/proc/self/exe", "gige_host_tests", "--gtest_filter=GigEHostHelper.DISABLED_HoldCamera",
              "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    readFd = pipeFds[0];
    return child;
}

uint8_t NextIndex(IInterface* gige, const char* name) {
    IDevice* copy = nullptr;
    if (gige->GetDevice(name, copy) != 0) return 0;
    const uint8_t index = CameraIndex(copy);  // the lowest index no process holds
    copy->Release();
    return index;
}

// On a machine where no other process holds a camera the indices are 1, 2 and 1 again; other
// test programs may hold some, so the expected values come from the info copies' promises.
TEST_F(GigEHost, CameraIndicesAreSharedAcrossProcesses) {
    Plug(24, "HT24");
    Plug(25, "HT25");
    ASSERT_TRUE(Eventually([&] {
        const auto names = Names();
        return Contains(names, "GH-500_SN_HT24") && Contains(names, "GH-500_SN_HT25");
    }, 5));

    const uint8_t expectFirst = NextIndex(gige, "GH-500_SN_HT24");
    ASSERT_NE(expectFirst, 0);
    IDevice* first = nullptr;
    ASSERT_EQ(gige->OpenDevice("GH-500_SN_HT24", first), 0);
    EXPECT_EQ(CameraIndex(first), expectFirst);

    // A second process opens the other camera: it takes the next free index.
    const uint8_t expectSecond = NextIndex(gige, "GH-500_SN_HT25");
    EXPECT_NE(expectSecond, expectFirst);
    int fd = -1;
    const pid_t holder = StartIndexHolder("HT25", fd);
    ASSERT_GT(holder, 0);
    uint8_t theirs = 0;
    const ssize_t got = read(fd, &theirs, 1);  // EOF if the helper failed
    close(fd);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(theirs, expectSecond);

    // Held by the other process: refused here, 'out' untouched.
    IDevice* refused = reinterpret_cast<IDevice*>(gige);
    EXPECT_EQ(gige->OpenDevice("GH-500_SN_HT25", refused), -1001);
    EXPECT_EQ(refused, reinterpret_cast<IDevice*>(gige));
    // Already open here: refused, 'out' null.
    IDevice* twice = reinterpret_cast<IDevice*>(gige);
    EXPECT_EQ(gige->OpenDevice("GH-500_SN_HT24", twice), -1001);
    EXPECT_EQ(twice, nullptr);

    // Released, the first index is free again and the next open takes it.
    first->Release();
    EXPECT_EQ(NextIndex(gige, "GH-500_SN_HT24"), expectFirst);
    IDevice* again = nullptr;
    ASSERT_EQ(gige->OpenDevice("GH-500_SN_HT24", again), 0);
    EXPECT_EQ(CameraIndex(again), expectFirst);

    kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
}

// Run only by the test above, in its own process: opens the camera, writes its index, waits.
TEST(GigEHostHelper, DISABLED_HoldCamera) {
    const char* fdText = std::getenv("KOVON_TEST_READY_FD");
    const char* serial = std::getenv("KOVON_TEST_SERIAL");
    ASSERT_NE(fdText, nullptr);
    ASSERT_NE(serial, nullptr);
    const int fd = std::atoi(fdText);
    Lumora::ISystem* system = ModuleLoader::Instance().NewSystem();
    IInterface* gige = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", gige), 0);
    const std::string name = std::string(kModel) + "_SN_" + serial;
    IDevice* device = nullptr;
    for (int attempt = 0; attempt < 10 && device == nullptr; ++attempt) {
        unsigned count = 0;
        gige->GetNumDevices(count, kDiscoveryMs);
        gige->OpenDevice(name.c_str(), device);
    }
    ASSERT_NE(device, nullptr);
    const uint8_t index = CameraIndex(device);
    ASSERT_EQ(write(fd, &index, 1), 1);
    for (;;) pause();
}


// Location "Local:<file>;<address>;<length>" of the description a device fetched at open.
bool ParseLocation(const std::string& url, u64& address, u64& length) {
    const size_t first = url.find(';');
    const size_t second = url.find(';', first + 1);
    if (url.rfind("Local:", 0) != 0 || first == std::string::npos || second == std::string::npos) return false;
    address = std::stoull(url.substr(first + 1, second - first - 1), nullptr, 16);
    length = std::stoull(url.substr(second + 1), nullptr, 16);
    return true;
}

TEST_F(GigEHost, DeviceRegistersMemoryAndModuleIds) {
    Plug(26, "HT26");
    IDevice* device = Open("HT26");
    ASSERT_NE(device, nullptr);

    // The description read at open is served whole at its address.
    u64 address = 0, length = 0;
    ASSERT_TRUE(ParseLocation(InfoText(device, 8), address, length)) << InfoText(device, 8);
    u64 size = 0;
    ASSERT_EQ(device->GetParam(address, nullptr, size), 0);
    EXPECT_EQ(size, length);
    std::vector<char> xml(length + 1, '\0');
    size = length;
    ASSERT_EQ(device->GetParam(address, xml.data(), size), 0);
    EXPECT_EQ(std::strlen(xml.data()), length);
    EXPECT_EQ(std::string(xml.data(), 5), "<?xml");
    EXPECT_NE(std::string(xml.data()).find("<RegisterDescription"), std::string::npos);

    // The first URL as memory: 512 bytes, the location text.
    char url[512] = {};
    size = sizeof url;
    ASSERT_EQ(device->GetParam(0x200, url, size), 0);
    EXPECT_EQ(size, 512u);
    EXPECT_EQ(std::string(url), InfoText(device, 8));
    EXPECT_EQ(InfoText(device, 14), "127.0.0.26");
    size = 0;
    EXPECT_EQ(device->GetInfo(14, nullptr, size), 0);
    EXPECT_EQ(size, 11u);

    struct Case {
        const char* what;
        u64 id;
        u64 size;
        int set;  // status of SetParam with `size` bytes
    };
    uint8_t bytes[1100] = {};
    const Case sets[] = {
        {"first URL is read-only", 0x200, 4, -1005},
        {"manufacturer text is read-only", 0x48, 4, -1005},
        {"device scan register is read-only", 0xFFFF, 4, -1005},
        {"register values are at most 4 bytes", 0xA004, 5, -1009},
        {"stream idle flag is read-only", 0x10000014, 4, -1005},
        {"long command result is read-only", 0x10000020, 4, -1005},
        {"stream forwarding needs an open stream", 0x10000010, 4, -1009},
        {"memory writes are at most 1024 bytes", 0x20000, 1025, -1009},
        {"memory writes of 1024 bytes pass", 0x20000, 1024, 0},
        {"a register the camera does not have", 0xB04C, 4, -1015},
        {"user name, 16 bytes", 0xE8, 16, 0},
        {"user name, more than 16 bytes", 0xE8, 17, -1009},
    };
    for (const Case& c : sets) {
        u64 n = c.size;
        EXPECT_EQ(device->SetParam(c.id, bytes, n), c.set) << c.what;
    }
    const Case gets[] = {
        {"long command cannot be read", 0x10000024, 4, -1005},
        {"stream forwarding needs an open stream", 0x10000010, 4, -1009},
        {"memory reads are at most 1024 bytes", 0x20000, 1025, -1009},
        {"a too small register buffer", 0xA004, 3, -1013},
        {"timeout pair reads nothing", 0xB04C, 4, 0},
    };
    for (const Case& c : gets) {
        u64 n = c.size;
        EXPECT_EQ(device->GetParam(c.id, bytes, n), c.set) << c.what;
    }

    // Memory round trip through the scratch window.
    uint8_t written[16], read[16] = {};
    for (int i = 0; i < 16; ++i) written[i] = static_cast<uint8_t>(0xA0 + i);
    size = sizeof written;
    ASSERT_EQ(device->SetParam(0x20010, written, size), 0);
    size = sizeof read;
    ASSERT_EQ(device->GetParam(0x20010, read, size), 0);
    EXPECT_EQ(std::memcmp(read, written, sizeof read), 0);

    // Registers and the module's own ids.
    struct Reg {
        const char* what;
        u64 id;
        int setValue;  // < 0: not written
        uint32_t expected;
    };
    const Reg regs[] = {
        {"open marker written 0 at open", 0xA000, -1, 0},
        {"width", 0xA004, -1, 640},
        {"heartbeat time-out", 0x938, 5000, 5000},
        {"packet time-out setting", 0x10000004, 40, 40},
        {"resend switch setting", 0x10000008, 0, 0},
        {"frame retention setting", 0x1000000C, 300, 300},
        {"resend rounds setting", 0x1000001C, 2, 2},
        {"mode byte", 0x10000018, 1, 1},
        {"event channel closed", 0x10000000, -1, 0},
        {"event channel opened", 0x10000000, 1, 1},
        {"event channel closed again", 0x10000000, 0, 0},
        {"no stream open", 0x10000014, -1, 1},
        {"link is up", 0x1000002C, -1, 1},
        {"self test", 0x10000024, 1, 0xFFFFFFFF},
        {"self test result", 0x10000020, -1, 1},
    };
    for (const Reg& r : regs) {
        if (r.setValue >= 0) {
            EXPECT_EQ(SetReg(device, r.id, static_cast<uint32_t>(r.setValue)), 0) << r.what;
        }
        if (r.expected == 0xFFFFFFFF) continue;
        uint32_t value = 0xDEAD;
        EXPECT_EQ(GetReg(device, r.id, value), 0) << r.what;
        EXPECT_EQ(value, r.expected) << r.what;
    }
    size = 4;
    EXPECT_EQ(device->SetValue(0xA004, bytes, size), 0);
    EXPECT_EQ(device->GetValue(0xA004, bytes, size), 0);
}

struct EventLog {
    std::atomic<int> calls{0};
    std::atomic<int> lastId{0};
    std::atomic<unsigned> lastSize{0};
    std::atomic<uint32_t> lastData{0};
    std::atomic<void*> lastContext{nullptr};
};

void RecordEvent(int id, unsigned, void* data, unsigned size, unsigned, void* context) {
    auto* log = static_cast<EventLog*>(context);
    log->lastId = id;
    log->lastSize = size;
    uint32_t first = 0;
    if (data != nullptr && size >= 4) std::memcpy(&first, data, 4);
    log->lastData = first;
    log->lastContext = context;
    ++log->calls;
}

void OtherCallback(int, unsigned, void*, unsigned, unsigned, void* context) { ++static_cast<EventLog*>(context)->calls; }

TEST_F(GigEHost, EventsReachTheHostCallbackAndANullCallbackKeepsIt) {
    KovonSimGigE* camera = Plug(27, "HT27");
    IDevice* device = Open("HT27");
    ASSERT_NE(device, nullptr);
    EventLog log, other;
    ASSERT_EQ(device->RegisterEventCallBack(&RecordEvent, &log), 0);
    ASSERT_EQ(SetReg(device, 0x10000000, 1), 0);

    const uint32_t payload = 0x11223344;
    ASSERT_EQ(sim.fireEvent(camera, 0x9001, &payload, sizeof payload), 0);
    ASSERT_TRUE(Eventually([&] { return log.calls == 1; }));
    EXPECT_EQ(log.lastId, 0x9001);
    EXPECT_EQ(log.lastSize, 4u);
    EXPECT_EQ(log.lastData, payload);
    EXPECT_EQ(log.lastContext, &log);

    // A null callback changes nothing: the first one still receives events.
    EXPECT_EQ(device->RegisterEventCallBack(nullptr, &other), 0);
    ASSERT_EQ(sim.fireEvent(camera, 0x9002, nullptr, 0), 0);
    ASSERT_TRUE(Eventually([&] { return log.calls == 2; }));
    EXPECT_EQ(log.lastId, 0x9002);
    EXPECT_EQ(other.calls, 0);

    // A new callback replaces it.
    EXPECT_EQ(device->RegisterEventCallBack(&OtherCallback, &other), 0);
    ASSERT_EQ(sim.fireEvent(camera, 0x9003, nullptr, 0), 0);
    ASSERT_TRUE(Eventually([&] { return other.calls == 1; }));
    EXPECT_EQ(log.calls, 2);

    // Closed channel: the camera has nowhere to send.
    ASSERT_EQ(SetReg(device, 0x10000000, 0), 0);
    EXPECT_EQ(sim.fireEvent(camera, 0x9004, nullptr, 0), -3);
}

// Waits for the next frame outcome and collects it.
int NextImage(IStream* stream, void* buffer) {
    uint32_t ready = 0;
    u64 size = sizeof ready;
    if (stream->GetParam(3, &ready, size) != 0 || ready != 1) return 1000;  // no outcome in time
    return stream->GetImage(buffer, 0);
}

TEST_F(GigEHost, FramesArriveWithThePixelsTheCameraSent) {
    Plug(28, "HT28");
    IDevice* device = Open("HT28");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(SetReg(device, 0xA01C, 5000), 0);  // 200 frames a second at most
    IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    ASSERT_NE(stream, nullptr);

    struct Format {
        const char* name;
        uint32_t pixelFormat, width, height;
        uint64_t copied;
        bool (*check)(const std::vector<uint8_t>&, uint32_t, uint32_t);
    };
    const Format formats[] = {
        {"Mono8", 0x01080001, 640, 480, 640 * 480, &Pattern::Mono8},
        {"Mono12Packed", 0x010C0006, 320, 200, 160 * 200 * 3, &Pattern::Mono12Packed},
        {"RGB8Packed", 0x02180014, 256, 100, 256 * 100 * 3, &Pattern::Rgb8},
    };
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        ASSERT_EQ(SetReg(device, 0xA004, f.width), 0);
        ASSERT_EQ(SetReg(device, 0xA008, f.height), 0);
        ASSERT_EQ(SetReg(device, 0xA018, f.pixelFormat), 0);
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
        EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001);  // already running
        std::vector<uint8_t> frame(f.copied + 64, 0xEE);
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(NextImage(stream, frame.data()), 0);
            EXPECT_TRUE(f.check(frame, f.width, f.height));
            EXPECT_EQ(frame[f.copied], 0xEE);  // nothing past the frame's bytes
        }
        const uint64_t payload = StreamValue<uint64_t>(stream, 4);
        const uint32_t perFrame = StreamValue<uint32_t>(stream, 7);
        EXPECT_EQ(payload, f.copied);
        EXPECT_EQ(perFrame, (payload + 1463) / 1464);  // 1500-byte packets carry 1464 payload bytes
        EXPECT_EQ(StreamValue<uint64_t>(stream, 1), 3u);
        EXPECT_EQ(StreamValue<uint64_t>(stream, 5), 3u * perFrame);
        EXPECT_EQ(StreamValue<uint32_t>(stream, 8), perFrame);  // complete frames
        EXPECT_EQ(StreamValue<uint64_t>(stream, 6), 3u * perFrame);
        if (f.pixelFormat == 0x01080001) {
            EXPECT_EQ(perFrame, 210u);  // 307200 bytes
        }
        // A null buffer counts the frame and copies nothing.
        ASSERT_EQ(NextImage(stream, nullptr), 0);
        EXPECT_EQ(StreamValue<uint64_t>(stream, 1), 4u);
        EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    }

    // Mono16 is not in the copy table: counted, then -1.
    ASSERT_EQ(SetReg(device, 0xA018, 0x01100007), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
    std::vector<uint8_t> frame(256 * 100 * 2, 0xEE);
    EXPECT_EQ(NextImage(stream, frame.data()), -1);
    EXPECT_EQ(StreamValue<uint64_t>(stream, 1), 1u);
    EXPECT_EQ(frame[0], 0xEE);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(GigEHost, FaultyFramesWithAndWithoutAcceptance) {
    KovonSimGigE* camera = Plug(29, "HT29");
    IDevice* device = Open("HT29");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(SetReg(device, 0xA01C, 20000), 0);
    ASSERT_EQ(SetReg(device, 0x10000008, 0), 0);  // no resend: lost packets stay lost
    ASSERT_EQ(sim.setLoss(camera, 0.2), 0);
    IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);

    std::vector<uint8_t> frame(640 * 480, 0xEE);
    EXPECT_EQ(NextImage(stream, frame.data()), -3);
    EXPECT_EQ(frame[0], 0xEE);  // not copied
    EXPECT_EQ(frame[640 * 480 - 1], 0xEE);
    EXPECT_EQ(StreamValue<uint64_t>(stream, 1), 1u);  // but counted
    EXPECT_LT(StreamValue<uint32_t>(stream, 8), 210u);
    EXPECT_EQ(StreamValue<uint64_t>(stream, 5), 210u);

    // Accepted through the device's forwarding register: delivered and copied as good.
    ASSERT_EQ(SetReg(device, 0x10000010, 1), 0);
    uint32_t accepted = 0;
    ASSERT_EQ(GetReg(device, 0x10000010, accepted), 0);
    EXPECT_EQ(accepted, 1u);
    EXPECT_EQ(StreamValue<uint32_t>(stream, 4096), 1u);
    NextImage(stream, nullptr);  // the outcome fetched before the switch
    EXPECT_EQ(NextImage(stream, frame.data()), 0);
    size_t changed = 0;
    for (uint8_t b : frame) changed += b != 0xEE;
    EXPECT_GT(changed, frame.size() / 2);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

// A host that falls behind loses frames; parameter 9 counts them, so that with the frames the
// stream counted (id 1: good and faulty) every frame the camera sent is accounted for.
TEST_F(GigEHost, FramesLostByASlowHostAreCounted) {
    KovonSimGigE* camera = Plug(11, "HT33");
    IDevice* device = Open("HT33");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(SetReg(device, 0xA01C, 5000), 0);  // 200 frames a second
    IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    EXPECT_EQ(StreamValue<uint64_t>(stream, 9), 0u);
    KovonSimGigECounters before{};
    ASSERT_EQ(sim.counters(camera, &before), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
    ASSERT_EQ(NextImage(stream, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the host looks away
    ASSERT_EQ(SetReg(device, 0xA034, 1), 0);                        // the camera stops
    uint32_t timeout = 500;
    u64 size = sizeof timeout;
    ASSERT_EQ(stream->SetParam(2, &timeout, size), 0);
    int collected = 0;
    while (collected < 5000 && NextImage(stream, nullptr) != 1000) ++collected;  // what is left
    const uint64_t lost = StreamValue<uint64_t>(stream, 9);
    KovonSimGigECounters after{};
    ASSERT_EQ(sim.counters(camera, &after), 0);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(after.framesSent - before.framesSent, StreamValue<uint64_t>(stream, 1) + lost);
    uint64_t value = 0;
    size = sizeof value;
    EXPECT_EQ(stream->SetParam(9, &value, size), -1009) << "read only";
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(GigEHost, LinkLossShowsAsFaultyThenMissingFrames) {
    KovonSimGigE* camera = Plug(8, "HT30");
    IDevice* device = Open("HT30");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(SetReg(device, 0x938, 4000), 0);  // a silent spell before the link counts as lost
    ASSERT_EQ(SetReg(device, 0xA01C, 20000), 0);
    IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
    ASSERT_EQ(NextImage(stream, nullptr), 0);

    ASSERT_EQ(sim.setLink(camera, 0), 0);
    bool sawFaulty = false, sawNone = false;
    for (int i = 0; i < 400 && !sawNone; ++i) {
        const int status = stream->GetImage(nullptr, 0);
        sawFaulty = sawFaulty || status == -3;
        sawNone = status == -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(sawFaulty);
    EXPECT_TRUE(sawNone);
    uint32_t value = 0;
    EXPECT_EQ(GetReg(device, 0xA004, value), -1014);  // the camera is not asked
    EXPECT_EQ(GetReg(device, 0x1000002C, value), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

std::string InterfaceText(IInterface* gige, u64 id) {
    char text[600] = {};
    u64 size = sizeof text;
    if (gige->GetParam(id, text, size) != 0) return "<error>";
    return text;
}

int SetText(IInterface* gige, u64 id, const char* text, u64 size) {
    return gige->SetParam(id, const_cast<char*>(text), size);
}

uint32_t InterfaceReg(IInterface* gige, u64 id) {
    uint32_t wire = 0;
    u64 size = 4;
    EXPECT_EQ(gige->GetParam(id, &wire, size), 0);
    return ntohl(wire);
}

TEST_F(GigEHost, InterfaceRegistersAndForceIsLock) {
    // Before any discovery nothing is selected.
    EXPECT_EQ(InterfaceReg(gige, 0x844), 1u);
    Plug(9, "HT31");
    std::vector<std::string> names;
    ASSERT_TRUE(Eventually([&] {
        names = Names();
        return Contains(names, "GH-500_SN_HT31");
    }, 5));
    uint32_t ours = 0;
    while (names[ours] != "GH-500_SN_HT31") ++ours;
    uint32_t wire = htonl(ours);
    u64 size = 4;
    ASSERT_EQ(gige->SetParam(0x800, &wire, size), 0);
    EXPECT_EQ(InterfaceReg(gige, 0x800), ours);
    EXPECT_EQ(InterfaceReg(gige, 0x844), 0u);  // selected, not open
    IDevice* device = nullptr;
    ASSERT_EQ(gige->OpenDevice("GH-500_SN_HT31", device), 0);
    EXPECT_EQ(InterfaceReg(gige, 0x844), 1u);  // selected and open
    device->Release();
    EXPECT_EQ(InterfaceReg(gige, 0x844), 0u);

    wire = htonl(static_cast<uint32_t>(names.size()));
    size = 4;
    EXPECT_EQ(gige->SetParam(0x800, &wire, size), -1009);  // past the end
    EXPECT_EQ(InterfaceReg(gige, 0x800), ours);

    // The proposals come from the host side of the selected camera's discovery record.
    EXPECT_EQ(InterfaceText(gige, 0x810), "127.0.0.1");
    EXPECT_EQ(InterfaceText(gige, 0x820), "255.0.0.0");
    EXPECT_EQ(InterfaceText(gige, 0x830), "0.0.0.0");

    struct Write {
        const char* what;
        u64 id;
        const char* text;
        u64 size;
        int status;
    };
    const Write writes[] = {
        {"fourth part 300", 0x810, "10.1.2.300", 11, -1009},
        {"three parts", 0x820, "255.255.0", 10, -1009},
        {"not a number", 0x830, "1.2.x.4", 8, -1009},
        {"empty parts between dots do not count", 0x830, "10..1.2.3", 10, 0},
        {"no NUL within the size: the size ends the text", 0x830, "9.9.9.9XXXXXXXX", 7, 0},
        {"id 0", 0, "1", 2, -1009},
        {"identity ids are read-only", 3, "x", 2, -1005},
        {"ForceIsLock is read-only", 0x844, "abcd", 4, -1005},
        {"the description is read-only", 0x900, "abcd", 4, -1005},
        {"an unlisted id", 0x804, "abcd", 4, -1009},
    };
    for (const Write& w : writes) EXPECT_EQ(SetText(gige, w.id, w.text, w.size), w.status) << w.what;
    EXPECT_EQ(InterfaceText(gige, 0x830), "9.9.9.9");
    size = 4;
    EXPECT_EQ(gige->GetParam(0x804, &wire, size), -1009);
    EXPECT_EQ(gige->GetParam(0x840, &wire, size), -1005);
    size = 99;
    EXPECT_EQ(gige->GetParam(6, nullptr, size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(InterfaceText(gige, 5), "GEV");

    // The description's location and bytes.
    const std::string location = InterfaceText(gige, 4);
    ASSERT_EQ(location.rfind("Local:TLIntergaceRegs.xml;900;", 0), 0u) << location;
    const u64 length = std::stoull(location.substr(30), nullptr, 16);
    size = 0;
    ASSERT_EQ(gige->GetParam(0x900, nullptr, size), 0);
    EXPECT_EQ(size, length);
    EXPECT_EQ(length % 4, 0u);
    std::vector<char> xml(length);
    ASSERT_EQ(gige->GetParam(0x900, xml.data(), size), 0);
    EXPECT_EQ(xml.back(), '\0');
    EXPECT_LT(std::strlen(xml.data()), length);
    EXPECT_LE(length - std::strlen(xml.data()), 4u);
}

TEST_F(GigEHost, InterfaceDescriptionValidatesAgainstTheSchema) {
    u64 size = 0;
    ASSERT_EQ(gige->GetParam(0x900, nullptr, size), 0);
    std::vector<char> xml(size);
    ASSERT_EQ(gige->GetParam(0x900, xml.data(), size), 0);
    char path[] = "/tmp/kovon-gige-interface-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const size_t text = std::strlen(xml.data());
    ASSERT_EQ(write(fd, xml.data(), text), static_cast<ssize_t>(text));
    close(fd);
    const std::string command = std::string(KOVON_XMLLINT) + " --noout --schema " + KOVON_GENAPI_SCHEMA_DIR +
                                "/GenApiSchema_Version_1_0.xsd " + path + " 2>&1";
    const int status = std::system(command.c_str());
    unlink(path);
    EXPECT_EQ(status, 0);
}

TEST_F(GigEHost, StreamLifecycle) {
    Plug(10, "HT32");
    IDevice* device = Open("HT32");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(SetReg(device, 0xA01C, 20000), 0);
    unsigned count = 0;
    ASSERT_EQ(device->GetNumStreams(count), 0);
    EXPECT_EQ(count, 1u);
    char name[8] = {};
    u64 size = sizeof name;
    ASSERT_EQ(device->GetStreamName(0, name, size), 0);
    EXPECT_STREQ(name, "DS0");
    size = sizeof name;
    EXPECT_EQ(device->GetStreamName(1, name, size), -1009);

    IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    IStream* copy = nullptr;
    ASSERT_EQ(device->OpenStream(0, copy), 0);  // already open: a parentless copy
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, stream);
    EXPECT_EQ(copy->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001);  // a copy streams nothing
    copy->Release();
    uint32_t idle = 0;
    ASSERT_EQ(GetReg(device, 0x10000014, idle), 0);
    EXPECT_EQ(idle, 0u);  // a stream is open and the open marker holds 0

    // Outside acquisition: no waiting, the last status.
    EXPECT_EQ(StreamValue<uint32_t>(stream, 3), 0u);
    // Parameter rules.
    uint64_t wide = 7;
    size = 8;
    EXPECT_EQ(stream->SetParam(2, &wide, size), -1009);
    EXPECT_EQ(StreamValue<uint32_t>(stream, 2), 5000u);
    uint32_t narrow = 3000;
    size = 4;
    EXPECT_EQ(stream->SetParam(2, &narrow, size), 0);
    EXPECT_EQ(StreamValue<uint32_t>(stream, 2), 3000u);
    for (u64 id : {0, 1, 3}) {
        size = 4;
        EXPECT_EQ(stream->SetParam(id, &narrow, size), -1005) << id;
    }
    for (u64 id : {4, 5, 6, 7, 8, 9}) {
        size = 4;
        EXPECT_EQ(stream->SetParam(id, &narrow, size), -1009) << id;
    }
    size = 4;
    EXPECT_EQ(stream->GetParam(9, &narrow, size), -1009);

    // The worker fetches the first frame by itself; Freeze and Acquire may repeat.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
        EXPECT_EQ(StreamValue<uint32_t>(stream, 3), 1u);
        EXPECT_EQ(stream->GetImage(nullptr, 0), 0);
        EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
        EXPECT_EQ(StreamValue<uint32_t>(stream, 3), 0u);
    }
    // Released while acquiring: the device's release stops and frees the stream.
    ASSERT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
    device->Release();
}

}  // namespace
