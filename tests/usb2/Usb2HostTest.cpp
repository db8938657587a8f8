// The USB 2.0 cameras as a host sees them: the module loaded with dlopen, simulated cameras
// plugged in through the module's exported simulator API, the tree walked from GetSystem. A
// second process (this program run again) holds a camera to show that the named mutex reaches
// across processes and is freed when its holder is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KovonSim/SimUsb2.h"
#include "support/ModuleLoader.h"

namespace {

using KovonTest::ModuleLoader;
using KovonTest::Releaser;

struct Sim {
    decltype(&KovonSimUsb2_Plug) plug;
    decltype(&KovonSimUsb2_Unplug) unplug;
    decltype(&KovonSimUsb2_UnplugAll) unplugAll;
    decltype(&KovonSimUsb2_GetCounters) counters;
    decltype(&KovonSimUsb2_IsAcquiring) isAcquiring;
    decltype(&KovonSimUsb2_FailRequests) failRequests;
    decltype(&KovonSimUsb2_PeekRegister) peek;

    static Sim Load() {
        const ModuleLoader& module = ModuleLoader::Instance();
        Sim sim{module.Function<decltype(&KovonSimUsb2_Plug)>("KovonSimUsb2_Plug"),
                module.Function<decltype(&KovonSimUsb2_Unplug)>("KovonSimUsb2_Unplug"),
                module.Function<decltype(&KovonSimUsb2_UnplugAll)>("KovonSimUsb2_UnplugAll"),
                module.Function<decltype(&KovonSimUsb2_GetCounters)>("KovonSimUsb2_GetCounters"),
                module.Function<decltype(&KovonSimUsb2_IsAcquiring)>("KovonSimUsb2_IsAcquiring"),
                module.Function<decltype(&KovonSimUsb2_FailRequests)>("KovonSimUsb2_FailRequests"),
                module.Function<decltype(&KovonSimUsb2_PeekRegister)>("KovonSimUsb2_PeekRegister")};
        return sim;
    }
};

const unsigned char kSerialA[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x01};  // RT-GA47E_SN_48115000001
const unsigned char kSerialB[6] = {0x43, 0x05, 0x05, 0x00, 0x00, 0x02};  // PQ-L582H_SN_43055000002
const char* const kNameA = "RT-GA47E_SN_48115000001";
const char* const kNameB = "PQ-L582H_SN_43055000002";

Lumora::IInterface* OpenUsbInterface(Lumora::ISystem* system) {
    Lumora::IInterface* usb = nullptr;
    EXPECT_EQ(system->OpenInterface("Interface_USB", usb), 0);
    return usb;
}

class Usb2Host : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(sim.plug, nullptr);
        ASSERT_NE(sim.isAcquiring, nullptr);
        sim.unplugAll();
        system.object = ModuleLoader::Instance().NewSystem();
        ASSERT_NE(system.object, nullptr);
    }
    void TearDown() override { sim.unplugAll(); }
    Sim sim = Sim::Load();
    Releaser<Lumora::ISystem> system;
};

TEST_F(Usb2Host, SimulatorApiRefusesBadArguments) {
    EXPECT_EQ(sim.plug(64, kSerialA, 0x1203, 0x0200), KOVON_SIM_BAD_INSTANCE);
    EXPECT_EQ(sim.plug(0, nullptr, 0x1203, 0x0200), KOVON_SIM_BAD_ARGUMENT);
    EXPECT_EQ(sim.plug(0, kSerialA, 0x1203, 0x0200), KOVON_SIM_OK);
    EXPECT_EQ(sim.plug(0, kSerialB, 0x1203, 0x0200), KOVON_SIM_OCCUPIED);
    EXPECT_EQ(sim.unplug(1), KOVON_SIM_NO_CAMERA);
    EXPECT_EQ(sim.failRequests(1, 1), KOVON_SIM_NO_CAMERA);
    EXPECT_EQ(sim.counters(0, nullptr), KOVON_SIM_BAD_ARGUMENT);
    EXPECT_EQ(sim.unplug(0), KOVON_SIM_OK);
    EXPECT_EQ(sim.unplugAll(), 0);
}

TEST_F(Usb2Host, WalkTheTree) {
    ASSERT_EQ(sim.plug(5, kSerialA, 0x1203, 0x0200), KOVON_SIM_OK);
    ASSERT_EQ(sim.plug(2, kSerialB, 0x0060, 0x0200), KOVON_SIM_OK);
    Releaser<Lumora::IInterface> usb{OpenUsbInterface(system.object)};
    ASSERT_NE(usb.object, nullptr);

    unsigned count = 0;
    ASSERT_EQ(usb.object->GetNumDevices(count, 500), 0);
    ASSERT_EQ(count, 2u);
    const char* expected[] = {kNameB, kNameA};  // first enumeration: instance order
    for (unsigned i = 0; i < count; ++i) {
        char name[64] = {};
        Lumora::u64 size = sizeof name;
        ASSERT_EQ(usb.object->GetDeviceName(i, name, size), 0);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(size, std::string(expected[i]).size() + 1);
    }

    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(usb.object->OpenDevice(kNameB, device), 0);
    char text[64] = {};
    Lumora::u64 size = sizeof text;
    ASSERT_EQ(device->GetInfo(0, text, size), 0);
    EXPECT_STREQ(text, "0.0.6.0");
    size = sizeof text;
    ASSERT_EQ(device->GetInfo(10, text, size), 0);
    EXPECT_STREQ(text, "ZEDIVOXU-2");

    Lumora::IStream* stream = nullptr;
    ASSERT_EQ(device->OpenStream(0, stream), 0);
    size = sizeof text;
    ASSERT_EQ(stream->GetParam(0, text, size), 0);
    EXPECT_STREQ(text, "DS0");

    Lumora::IDevice* again = nullptr;
    EXPECT_EQ(usb.object->OpenDevice(kNameB, again), -1001);
    EXPECT_EQ(again, nullptr);
    // Releasing the interface releases the stream and the device.
}

TEST_F(Usb2Host, DescriptionAndFeaturesThroughTheModule) {
    ASSERT_NE(sim.peek, nullptr);
    // Cameras of their own: test cases run as parallel processes, and the camera names are
    // exclusive across processes.
    const unsigned char serialA[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x0D};  // RT-GA47E_SN_4811500000D
    const unsigned char serialB[6] = {0x43, 0x05, 0x05, 0x00, 0x00, 0x0E};  // PQ-L582H_SN_4305500000E
    ASSERT_EQ(sim.plug(5, serialA, 0x1203, 0x0200), KOVON_SIM_OK);
    ASSERT_EQ(sim.plug(2, serialB, 0x0060, 0x0200), KOVON_SIM_OK);
    Releaser<Lumora::IInterface> usb{OpenUsbInterface(system.object)};
    unsigned count = 0;
    ASSERT_EQ(usb.object->GetNumDevices(count, 0), 0);
    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(usb.object->OpenDevice("RT-GA47E_SN_4811500000D", device), 0);

    // The location names exactly the block that address 0x700 delivers.
    char location[128] = {};
    Lumora::u64 size = sizeof location;
    ASSERT_EQ(device->GetInfo(8, location, size), 0);
    unsigned address = 0, length = 0;
    ASSERT_EQ(std::sscanf(location, "Local:RT-GA47E.xml;%x;%x", &address, &length), 2) << location;
    EXPECT_EQ(address, 0x700u);
    EXPECT_EQ(length % 4, 0u);
    size = 0;
    ASSERT_EQ(device->GetParam(address, nullptr, size), 0);
    EXPECT_EQ(size, length);
    std::string block(length, '\x7f');
    ASSERT_EQ(device->GetParam(address, block.data(), size), 0);
    EXPECT_EQ(block.rfind("<?xml", 0), 0u);
    EXPECT_EQ(block.back(), '\0');

    // A feature reaches the camera in clock ticks (39.3 MHz) and comes back in microseconds.
    float exposure = 1000.0f;
    size = sizeof exposure;
    ASSERT_EQ(device->SetParam(0x30C, &exposure, size), 0);
    unsigned short low = 0, high = 0;
    ASSERT_EQ(sim.peek(5, 0x482, &low), KOVON_SIM_OK);
    ASSERT_EQ(sim.peek(5, 0x484, &high), KOVON_SIM_OK);
    EXPECT_EQ(low | high << 16, 39300);
    exposure = 0.0f;
    ASSERT_EQ(device->GetParam(0x30C, &exposure, size), 0);
    EXPECT_EQ(exposure, 1000.0f);
    uint32_t start = 1;
    size = sizeof start;
    ASSERT_EQ(device->SetParam(0x154, &start, size), 0);
    int acquiring = 0;
    sim.isAcquiring(5, &acquiring);
    EXPECT_EQ(acquiring, 1);

    // A "PQ-L582H" whose firmware has no description still names one, of length 0.
    Lumora::IDevice* other = nullptr;
    ASSERT_EQ(usb.object->OpenDevice("PQ-L582H_SN_4305500000E", other), 0);
    size = sizeof location;
    ASSERT_EQ(other->GetInfo(8, location, size), 0);
    EXPECT_STREQ(location, "Local:PQ-L582H.xml;700;0");
}

TEST_F(Usb2Host, SecondProcessIsRefusedUntilTheHolderDies) {
    ASSERT_EQ(sim.plug(0, kSerialA, 0x1203, 0x0200), KOVON_SIM_OK);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // The holder: this program again, running only the helper below.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        const std::string fd = std::to_string(ready[1]);
        setenv("KOVON_TEST_READY_FD", fd.c_str(), 1);
        execl("/proc/self/exe", "usb2_host_test", "--gtest_filter=Usb2HostHelper.DISABLED_HoldCamera",
              "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    const ssize_t got = read(ready[0], &byte, 1);  // EOF if the holder failed and exited
    close(ready[0]);
    ASSERT_EQ(got, 1);
    ASSERT_EQ(byte, 'R');

    Releaser<Lumora::IInterface> usb{OpenUsbInterface(system.object)};
    unsigned count = 0;
    ASSERT_EQ(usb.object->GetNumDevices(count, 0), 0);
    ASSERT_EQ(count, 1u);
    Lumora::IDevice* device = reinterpret_cast<Lumora::IDevice*>(usb.object);
    EXPECT_EQ(usb.object->OpenDevice(kNameA, device), -1001);
    EXPECT_EQ(device, reinterpret_cast<Lumora::IDevice*>(usb.object));  // left unwritten

    ASSERT_EQ(kill(holder, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFSIGNALED(status));

    device = nullptr;
    ASSERT_EQ(usb.object->OpenDevice(kNameA, device), 0);
    EXPECT_NE(device, nullptr);
}

// Run only by the test above, in its own process: opens the camera, says so, waits to be killed.
TEST(Usb2HostHelper, DISABLED_HoldCamera) {
    const char* fdText = std::getenv("KOVON_TEST_READY_FD");
    ASSERT_NE(fdText, nullptr);
    const int fd = std::atoi(fdText);
    Sim sim = Sim::Load();
    ASSERT_EQ(sim.plug(0, kSerialA, 0x1203, 0x0200), KOVON_SIM_OK);
    Lumora::ISystem* system = ModuleLoader::Instance().NewSystem();
    ASSERT_NE(system, nullptr);
    Lumora::IInterface* usb = OpenUsbInterface(system);
    ASSERT_NE(usb, nullptr);
    unsigned count = 0;
    ASSERT_EQ(usb->GetNumDevices(count, 0), 0);
    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(usb->OpenDevice(kNameA, device), 0);
    ASSERT_EQ(write(fd, "R", 1), 1);
    for (;;) pause();
}

}  // namespace
