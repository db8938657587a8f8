// The USB 2.0 cameras through the module's libusb backend, as a host sees them: the module loaded
// with dlopen, emulated cameras on the USB bus that the real libusb reaches, the tree walked from
// GetSystem. Listing by vendor:product pair, instance numbers, identity, register requests,
// frames byte for byte, stall recovery, unplug and replug, lying devices, a camera that never
// answers, and two processes on one camera.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "support/ModuleLoader.h"
#include "usbbench/EmulatedBus.h"
#include "usbbench/Usb2Camera.h"

namespace {

using namespace Kovon::UsbBench;
using KovonTest::ModuleLoader;
using KovonTest::Releaser;

constexpr Lumora::u64 kUsbIds = 0x10000001;
constexpr uint64_t kWidth = 0x108, kHeight = 0x10C, kPixelFormat = 0x120, kAcquisitionStart = 0x154;
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint16_t kWidthRegister = 0x434;
const char* const kCameraName = "RT-GA47E_SN_48115000007";

Usb2CameraSpec Spec(uint16_t product = 0x4B32, unsigned char last = 0x07) {
    Usb2CameraSpec spec;
    spec.productId = product;
    spec.camera.serial = {0x48, 0x11, 0x05, 0x00, 0x00, last};
    spec.camera.firmware = 0x1203;
    return spec;
}

std::string Text(Lumora::IDevice* device, Lumora::u64 id) {
    char text[256] = {};
    Lumora::u64 size = sizeof text;
    return device->GetInfo(id, text, size) == 0 ? std::string(text) : std::string("<failed>");
}

class Usb2Module : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UnderUmockdev()) GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        unplugAll_ = ModuleLoader::Instance().Function<decltype(&KovonSimUsb2_UnplugAll)>("KovonSimUsb2_UnplugAll");
        ASSERT_NE(unplugAll_, nullptr);
        unplugAll_();
        system_.object = ModuleLoader::Instance().NewSystem();
        ASSERT_NE(system_.object, nullptr);
        ASSERT_EQ(system_.object->OpenInterface("Interface_USB", usb_), 0);
        SetIds("1209:4b32");
    }
    void TearDown() override {
        if (system_.object != nullptr) system_.object->Release();
        system_.object = nullptr;
        for (int id : plugged_) EmulatedBus::Instance().Unplug(id);
        if (unplugAll_ != nullptr) unplugAll_();
        // Leaves no pair behind for the next test (the pairs hold for the whole process).
        if (Lumora::ISystem* system = ModuleLoader::Instance().NewSystem()) {
            Lumora::IInterface* usb = nullptr;
            if (system->OpenInterface("Interface_USB", usb) == 0) {
                char empty[1] = {};
                Lumora::u64 size = 1;
                usb->SetParam(kUsbIds, empty, size);
                unsigned count = 0;
                usb->GetNumDevices(count, 0);  // withdraws the instances of the cameras unplugged
            }
            system->Release();
        }
    }
    int SetIds(const std::string& ids) {
        std::string text = ids;
        Lumora::u64 size = text.size() + 1;
        return usb_->SetParam(kUsbIds, text.data(), size);
    }
    int Plug(std::shared_ptr<EmulatedDevice> device) {
        const int id = EmulatedBus::Instance().Plug(std::move(device));
        EXPECT_NE(id, 0);
        plugged_.push_back(id);
        return id;
    }
    std::vector<std::string> Names() {
        unsigned count = 0;
        EXPECT_EQ(usb_->GetNumDevices(count, 0), 0);
        std::vector<std::string> names;
        for (unsigned i = 0; i < count; ++i) {
            char name[256] = {};
            Lumora::u64 size = sizeof name;
            EXPECT_EQ(usb_->GetDeviceName(i, name, size), 0);
            names.emplace_back(name);
        }
        return names;
    }
    Lumora::IDevice* OpenCamera(const char* name = kCameraName) {
        Names();
        Lumora::IDevice* device = nullptr;
        EXPECT_EQ(usb_->OpenDevice(name, device), 0);
        return device;
    }
    static int SetU32(Lumora::IDevice* device, uint64_t address, uint32_t value) {
        Lumora::u64 size = sizeof value;
        return device->SetParam(address, &value, size);
    }
    // Waits with GetParam 3 as a host does, then collects with GetImage.
    static int NextFrame(Lumora::IStream* stream, void* buffer) {
        uint32_t ready = 0;
        Lumora::u64 size = sizeof ready;
        if (stream->GetParam(3, &ready, size) != 0 || ready == 0) return 1;
        return stream->GetImage(buffer, 0);
    }
    // Geometry and format as a host writes them (the stream takes them from the device), then
    // Acquire and AcquisitionStart.
    static Lumora::IStream* StartStream(Lumora::IDevice* device, uint32_t width = 640, uint32_t height = 480) {
        EXPECT_EQ(SetU32(device, kWidth, width), 0);
        EXPECT_EQ(SetU32(device, kHeight, height), 0);
        EXPECT_EQ(SetU32(device, kPixelFormat, kMono8), 0);
        Lumora::IStream* stream = nullptr;
        EXPECT_EQ(device->OpenStream(0, stream), 0);
        if (stream == nullptr) return nullptr;
        EXPECT_EQ(stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), 0);
        EXPECT_EQ(SetU32(device, kAcquisitionStart, 1), 0);
        return stream;
    }

    decltype(&KovonSimUsb2_UnplugAll) unplugAll_ = nullptr;
    Releaser<Lumora::ISystem> system_;
    Lumora::IInterface* usb_ = nullptr;
    std::vector<int> plugged_;
};

TEST_F(Usb2Module, OnlyCandidatesAreListedAndOtherDevicesHearNothing) {
    auto camera = std::make_shared<Usb2Camera>(Spec());
    const int cameraId = Plug(camera);
    const int otherId = Plug(std::make_shared<Usb2Camera>(Spec(0x9999, 0x08)));
    // A simulated camera holds instance 0: the camera on the bus takes the lowest free number.
    const unsigned char simulated[6] = {0x43, 0x05, 0x05, 0x00, 0x00, 0x02};
    ASSERT_EQ(ModuleLoader::Instance().Function<decltype(&KovonSimUsb2_Plug)>("KovonSimUsb2_Plug")(0, simulated,
                                                                                                   0x1203, 0x0200),
              KOVON_SIM_OK);
    ASSERT_EQ(SetIds(""), 0);
    EXPECT_EQ(Names(), std::vector<std::string>{"PQ-L582H_SN_43055000002"});
    EXPECT_EQ(EmulatedBus::Instance().Counters(cameraId).opens, 0u);

    ASSERT_EQ(SetIds("1209:4B32"), 0);
    char ids[32] = {};
    Lumora::u64 size = sizeof ids;
    ASSERT_EQ(usb_->GetParam(kUsbIds, ids, size), 0);
    EXPECT_STREQ(ids, "1209:4b32");
    EXPECT_EQ(Names(), (std::vector<std::string>{"PQ-L582H_SN_43055000002", kCameraName}));
    EXPECT_EQ(EmulatedBus::Instance().Counters(otherId).opens, 0u);
    EXPECT_EQ(EmulatedBus::Instance().Counters(otherId).controlRequests, 0u);

    Lumora::IDevice* info = nullptr;
    ASSERT_EQ(usb_->GetDevice(kCameraName, info), 0);
    Releaser<Lumora::IDevice> copy{info};
    EXPECT_EQ(Text(info, 0), "1.2.0.3");
    EXPECT_EQ(Text(info, 4), "RT-GA47E");
    EXPECT_EQ(Text(info, 7), "SN_48115000007");
    EXPECT_EQ(Text(info, 10), "ZEDIVOXU-1");
    // A malformed list changes nothing.
    EXPECT_EQ(SetIds("1209:4b3"), -1009);
    size = sizeof ids;
    ASSERT_EQ(usb_->GetParam(kUsbIds, ids, size), 0);
    EXPECT_STREQ(ids, "1209:4b32");
}

TEST_F(Usb2Module, RegistersAndFramesReachTheCameraAndComeBackByteForByte) {
    auto camera = std::make_shared<Usb2Camera>(Spec());
    Plug(camera);
    Lumora::IDevice* device = OpenCamera();
    ASSERT_NE(device, nullptr);
    camera->Sim()->SetFrameRate(0);  // frames as fast as the host takes them: none is dropped
    Lumora::IStream* stream = StartStream(device, 320, 240);
    ASSERT_NE(stream, nullptr);
    uint16_t width = 0;
    camera->Sim()->WithCamera([&](Kovon::Sim::SimUsb2Camera& c) { width = c.Peek(kWidthRegister); });
    EXPECT_EQ(width, 320);
    // Register requests from another host thread run beside the stream's bulk reads.
    std::atomic<bool> done{false};
    std::atomic<int> readFailures{0};
    std::thread reader([&] {
        while (!done.load()) {
            uint32_t value = 0;
            Lumora::u64 size = sizeof value;
            if (device->GetParam(kWidth, &value, size) != 0 || value != 320) ++readFailures;
        }
    });
    std::vector<uint8_t> image(320 * 240);
    for (unsigned phase = 0; phase < 8; ++phase) {
        ASSERT_EQ(NextFrame(stream, image.data()), 0) << "frame " << phase;
        const Kovon::Sim::SimUsb2Frame expected = camera->Sim()->FrameOfPhase(phase);
        ASSERT_TRUE(expected.bytes);
        EXPECT_EQ(image, *expected.bytes) << "frame " << phase;
    }
    done = true;
    reader.join();
    EXPECT_EQ(readFailures.load(), 0);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(Usb2Module, AStalledPipeIsClearedAndTheStreamGoesOn) {
    auto camera = std::make_shared<Usb2Camera>(Spec());
    const int id = Plug(camera);
    Lumora::IDevice* device = OpenCamera();
    ASSERT_NE(device, nullptr);
    camera->Sim()->SetFrameRate(200);
    Lumora::IStream* stream = StartStream(device);
    ASSERT_NE(stream, nullptr);
    std::vector<uint8_t> image(640 * 480);
    ASSERT_EQ(NextFrame(stream, image.data()), 0);
    camera->Sim()->StallPipe();
    int status = 0;
    for (int i = 0; i < 8 && status != -3; ++i) status = NextFrame(stream, image.data());
    EXPECT_EQ(status, -3);  // the pipe was aborted and the camera restarted
    EXPECT_GE(EmulatedBus::Instance().Counters(id).clearHalts[Usb2Camera::kImageEndpoint], 1u);
    int delivered = 0;
    for (int i = 0; i < 20 && delivered < 3; ++i)
        if (NextFrame(stream, image.data()) == 0) ++delivered;
    EXPECT_EQ(delivered, 3);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(Usb2Module, UnplugMidStreamFailsAsDisconnectedAndTheNumberWaitsForTheRelease) {
    auto camera = std::make_shared<Usb2Camera>(Spec());
    const int id = Plug(camera);
    Lumora::IDevice* device = OpenCamera();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Text(device, 10), "ZEDIVOXU-0");
    camera->Sim()->SetFrameRate(200);
    Lumora::IStream* stream = StartStream(device);
    ASSERT_NE(stream, nullptr);
    std::vector<uint8_t> image(640 * 480);
    ASSERT_EQ(NextFrame(stream, image.data()), 0);

    EmulatedBus::Instance().Unplug(id);
    int status = 0;
    for (int i = 0; i < 4 && status == 0; ++i) status = NextFrame(stream, image.data());
    EXPECT_EQ(status, -2);  // the bulk read ended as "not connected"

    // Plugged back in while the old one is still open: the camera is listed again, and the old
    // number stays taken (not even a simulated camera may have it).
    EmulatedBus::Instance().Replug(id);
    EXPECT_EQ(Names(), std::vector<std::string>{kCameraName});
    auto plugSimulated = ModuleLoader::Instance().Function<decltype(&KovonSimUsb2_Plug)>("KovonSimUsb2_Plug");
    auto unplugSimulated = ModuleLoader::Instance().Function<decltype(&KovonSimUsb2_Unplug)>("KovonSimUsb2_Unplug");
    const unsigned char simulated[6] = {0x43, 0x05, 0x05, 0x00, 0x00, 0x02};
    EXPECT_EQ(plugSimulated(0, simulated, 0x1203, 0x0200), KOVON_SIM_OCCUPIED);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    EXPECT_EQ(device->Release(), 0u);
    Names();  // the probe withdraws the number of the camera that went
    EXPECT_EQ(plugSimulated(0, simulated, 0x1203, 0x0200), KOVON_SIM_OK);
    EXPECT_EQ(unplugSimulated(0), KOVON_SIM_OK);

    // Released, then unplugged and plugged again: number 0 is free once more, and it streams.
    EmulatedBus::Instance().Unplug(id);
    EXPECT_TRUE(Names().empty());
    EmulatedBus::Instance().Replug(id);
    device = OpenCamera();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(Text(device, 10), "ZEDIVOXU-0");
    camera->Sim()->SetFrameRate(0);
    stream = StartStream(device);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(NextFrame(stream, image.data()), 0);
    EXPECT_EQ(image, *camera->Sim()->FrameOfPhase(0).bytes);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

TEST_F(Usb2Module, DevicesThatLieAreNotListed) {
    std::vector<uint8_t> config = Usb2Camera::ConfigurationOf();
    std::vector<uint8_t> pipeOneOut = config;
    pipeOneOut[27] = 0x02;  // the second endpoint of interface 0 becomes bulk OUT
    std::vector<uint8_t> onePipe = config;
    onePipe[13] = 1;  // interface 0 claims a single endpoint
    std::vector<uint8_t> cut = config;
    cut[2] = 0x40;  // wTotalLength beyond what the device sends
    struct Case {
        const char* what;
        std::vector<uint8_t> configuration;
        uint16_t release;
        size_t answerLength;
    };
    const Case cases[] = {
        {"pipe 1 is bulk OUT", pipeOneOut, 0x0200, 0},
        {"pipe 1 missing", onePipe, 0x0200, 0},
        {"configuration cut short", cut, 0x0200, 0},
        {"not USB 2.0", config, 0x0110, 0},
        {"register answers of 2 bytes", config, 0x0200, 2},
    };
    for (const Case& c : cases) {
        Usb2CameraSpec spec = Spec();
        spec.configuration = c.configuration;
        spec.camera.usbRelease = c.release;
        auto camera = std::make_shared<Usb2Camera>(spec);
        camera->SetAnswerLength(c.answerLength);
        const int id = Plug(camera);
        EXPECT_TRUE(Names().empty()) << c.what;
        EmulatedBus::Instance().Unplug(id);
    }
    // The same camera, told the truth, is listed.
    Plug(std::make_shared<Usb2Camera>(Spec()));
    EXPECT_EQ(Names(), std::vector<std::string>{kCameraName});
}

TEST_F(Usb2Module, ACameraThatNeverAnswersCostsFiveTriesNotAHang) {
    auto camera = std::make_shared<Usb2Camera>(Spec());
    const int id = Plug(camera);
    camera->SetSilent(true);
    EXPECT_TRUE(Names().empty());
    // The serial read's first word: five control transfers, each given up by its time-out.
    EXPECT_EQ(EmulatedBus::Instance().Counters(id).vendorRequests, 5u);
    camera->SetSilent(false);
    EXPECT_EQ(Names(), std::vector<std::string>{kCameraName});
}

TEST_F(Usb2Module, ASecondProcessSeesTheCameraButCannotOpenIt) {
    Plug(std::make_shared<Usb2Camera>(Spec()));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // This program again, in the same emulated environment, running only the helper below.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        setenv("KOVON_TEST_READY_FD", std::to_string(ready[1]).c_str(), 1);
        execl("/proc/self/exe", "usb2_module_test", "--gtest_filter=Usb2ModuleHelper.DISABLED_HoldCamera",
              "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    const ssize_t got = read(ready[0], &byte, 1);
    close(ready[0]);
    ASSERT_EQ(got, 1);
    EXPECT_EQ(Names(), std::vector<std::string>{kCameraName});
    Lumora::IDevice* device = nullptr;
    EXPECT_EQ(usb_->OpenDevice(kCameraName, device), -1001);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    device = OpenCamera();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> image(640 * 480);
    Lumora::IStream* stream = StartStream(device);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(NextFrame(stream, image.data()), 0);
    EXPECT_EQ(stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
}

// Run only by the test above, in its own process: opens the camera, says so, waits to be killed.
TEST(Usb2ModuleHelper, DISABLED_HoldCamera) {
    const char* fdText = std::getenv("KOVON_TEST_READY_FD");
    ASSERT_NE(fdText, nullptr);
    Lumora::ISystem* system = ModuleLoader::Instance().NewSystem();
    ASSERT_NE(system, nullptr);
    Lumora::IInterface* usb = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_USB", usb), 0);
    std::string ids = "1209:4b32";
    Lumora::u64 size = ids.size() + 1;
    ASSERT_EQ(usb->SetParam(kUsbIds, ids.data(), size), 0);
    unsigned count = 0;
    ASSERT_EQ(usb->GetNumDevices(count, 0), 0);
    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(usb->OpenDevice(kCameraName, device), 0);
    ASSERT_EQ(write(std::atoi(fdText), "R", 1), 1);
    for (;;) pause();
}

}  // namespace
