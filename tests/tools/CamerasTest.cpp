// kovon-grab's camera lookup on the module loaded as a host loads it, with simulated USB 2.0
// cameras: how a user names a camera, and how a camera that went away is told from one that
// merely failed.
#include <gtest/gtest.h>

#include <cstring>

#include "Cameras.h"
#include "KovonSim/SimUsb2.h"
#include "ModuleHost.h"

namespace {

using KovonGrab::CameraEntry;
using KovonGrab::Cameras;
using KovonGrab::ModuleHost;

class CamerasTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host_.Ok()) << host_.Error();
        plug_ = reinterpret_cast<decltype(plug_)>(host_.Symbol("KovonSimUsb2_Plug"));
        unplug_ = reinterpret_cast<decltype(unplug_)>(host_.Symbol("KovonSimUsb2_Unplug"));
        ASSERT_NE(plug_, nullptr);
        ASSERT_NE(unplug_, nullptr);
        const unsigned char mono[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x07};
        const unsigned char colour[6] = {0x48, 0x51, 0x05, 0x00, 0x00, 0x08};
        ASSERT_EQ(plug_(5, mono, 0x1203, 0x0200), KOVON_SIM_OK);
        ASSERT_EQ(plug_(6, colour, 0x1203, 0x0200), KOVON_SIM_OK);
    }
    void TearDown() override {
        if (unplug_ != nullptr) {
            unplug_(5);
            unplug_(6);
        }
    }

    ModuleHost host_{KOVON40_MODULE_PATH};
    int (*plug_)(unsigned, const unsigned char*, unsigned short, unsigned short) = nullptr;
    int (*unplug_)(unsigned) = nullptr;
};

TEST_F(CamerasTest, FindsACameraByDeviceNameSerialOrNumber) {
    Cameras cameras(host_.System());
    const auto& list = cameras.Discover(200);
    // USB 2.0 cameras come first; simulated GigE Vision cameras of other programs may follow.
    ASSERT_GE(list.size(), 2u);
    EXPECT_TRUE(list.size() == 2 || list[2].transport != "Custom");
    EXPECT_EQ(list[0].deviceName, "RT-GA47E_SN_48115000007");
    EXPECT_EQ(list[0].transport, "Custom");
    EXPECT_EQ(list[0].serial, "SN_48115000007");
    EXPECT_EQ(list[0].address, "ZEDIVOXU-5");
    EXPECT_EQ(list[1].number, 1u);

    struct {
        const char* key;
        const char* found;  // device name, or null
    } cases[] = {
        {"RT-KA47E_SN_48515000008", "RT-KA47E_SN_48515000008"},
        {"SN_48115000007", "RT-GA47E_SN_48115000007"},
        {"1", "RT-KA47E_SN_48515000008"},
        {"0", "RT-GA47E_SN_48115000007"},
        {"99", nullptr},
        {"-1", nullptr},
        {"99999999999999999999", nullptr},
        {"rt-ka47e_sn_48515000008", nullptr},  // names are case-sensitive
        {"RT-KA47E", nullptr},                 // a model is not a camera
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const CameraEntry* camera = cameras.Find(c.key);
        if (c.found == nullptr) {
            EXPECT_EQ(camera, nullptr);
        } else {
            ASSERT_NE(camera, nullptr);
            EXPECT_EQ(camera->deviceName, c.found);
        }
    }
}

TEST_F(CamerasTest, TellsAnUnpluggedCameraFromAPresentOne) {
    Cameras cameras(host_.System());
    cameras.Discover(200);
    const CameraEntry* camera = cameras.Find("1");
    ASSERT_NE(camera, nullptr);
    const CameraEntry entry = *camera;
    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(cameras.Open(entry, device), 0);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(cameras.StillPresent(entry, 200));
    // A second open of the same camera fails while it is open, but the camera is still there.
    Lumora::IDevice* second = nullptr;
    EXPECT_NE(cameras.Open(entry, second), 0);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(cameras.StillPresent(entry, 200));

    ASSERT_EQ(unplug_(6), KOVON_SIM_OK);
    EXPECT_FALSE(cameras.StillPresent(entry, 200));
    device->Release();
}

}  // namespace

namespace {

// Texts come from cameras: control characters and bytes above ASCII never reach the terminal.
TEST(ReadTextTest, ShowsOnlyPrintableCharacters) {
    auto get = [](Lumora::u64 id, void* buffer, Lumora::u64& size) {
        static const char kTexts[][16] = {"plain text", "esc\x1b[2Jx", "bin\x7f\xff\x01"};
        if (id >= 3) return static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
        std::memcpy(buffer, kTexts[id], sizeof kTexts[id]);
        size = std::strlen(kTexts[id]) + 1;
        return 0;
    };
    EXPECT_EQ(KovonGrab::ReadText(get, 0), "plain text");
    EXPECT_EQ(KovonGrab::ReadText(get, 1), "esc?[2Jx");
    EXPECT_EQ(KovonGrab::ReadText(get, 2), "bin???");
    EXPECT_EQ(KovonGrab::ReadText(get, 3), "");
}

}  // namespace
