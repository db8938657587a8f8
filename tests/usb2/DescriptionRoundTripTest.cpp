// Each of the seventeen register descriptions as a host uses it: fetched from an opened device of
// its model through GetInfo(8) and GetParam(0x700), parsed by an independent GenApi engine
// (Aravis) whose port is the device's GetParam / SetParam, every feature read and written, and
// the values checked where they land: in the simulated camera's registers, in its own units.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/GenApiPort.h"
#include "usb2/Usb2DeviceFixture.h"

namespace {

using Kovon::Test::GenApiPort;
using Kovon::Test::Usb2DeviceTest;

struct Description {
    int id;
    const char* model;
    const char* firmware;
    char group;  // 'C' colour, 'P' colour without strobe, 'M' monochrome, 'D' 752 columns
};

void PrintTo(const Description& d, std::ostream* os) {
    *os << "description " << d.id << " on " << d.model;
}

const Description kDescriptions[] = {
    {104, "RT-KC47E", "1.0.0.0", 'C'}, {105, "PQ-L582H", "0.0.5.6", 'P'},
    {106, "PQ-L582H", "0.0.5.9", 'P'}, {107, "RT-GA46E", "1.0.0.0", 'M'},
    {108, "RT-GA47E", "1.0.0.0", 'M'}, {109, "RT-GA47E-P", "1.0.0.0", 'M'},
    {110, "RT-GE45E", "1.0.0.0", 'M'}, {111, "RT-GC46E", "1.0.0.0", 'M'},
    {112, "RT-GC47E", "1.0.0.0", 'M'}, {113, "RT-GD48E", "1.0.0.0", 'D'},
    {114, "RT-GB47E", "1.0.0.0", 'M'}, {115, "RT-KA46E", "1.0.0.0", 'C'},
    {116, "RT-KA47E", "1.0.0.0", 'C'}, {117, "RT-KA47E-P", "1.0.0.0", 'C'},
    {118, "RT-KE45E", "1.0.0.0", 'C'}, {120, "RT-KD48E", "1.0.0.0", 'D'},
    {121, "RT-KB47E", "1.0.0.0", 'C'},
};

// Features whose map address has no camera side: a write is accepted and changes nothing, so a
// value written does not come back.
const std::set<std::string> kInert = {"AcquisitionFrameCount", "AcquisitionStatus", "OverlapMode",
                                      "AcquisitionFrameRateRaw"};

::testing::AssertionResult NoError(GError*& error, const std::string& what) {
    if (error == nullptr) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << what << ": " << error->message;
    g_clear_error(&error);
    return failure;
}

class RoundTrip : public Usb2DeviceTest, public ::testing::WithParamInterface<Description> {
protected:
    void SetUp() override {
        Usb2DeviceTest::SetUp();
        const Description& d = GetParam();
        Open(d.model, d.firmware);
        narrow_ = d.group == 'D';
        sensorWidth_ = narrow_ ? 752 : static_cast<uint16_t>(Get(0x100));
        // A camera state every enumeration can name: the sensor window and valid entries.
        Poke(0x434, sensorWidth_);
        Poke(0x436, static_cast<uint16_t>(Get(0x104)));
        Poke(0x480, 1);  // ExposureMode Timed
        Poke(0x30C, 1);  // UserSetSelector UserSet1
        if (narrow_) {
            Poke(0x438, 1);  // offsets 0 in these cameras' units
            Poke(0x43A, 4);
            Poke(0x466, 2);  // TriggerActivation RisingEdge
        }

        // The host's road: the location, then the block it names.
        char location[128] = {};
        Lumora::u64 size = sizeof location;
        ASSERT_EQ(device->GetInfo(8, location, size), 0);
        char file[64] = {};
        unsigned address = 0, length = 0;
        ASSERT_EQ(std::sscanf(location, "Local:%63[^;];%x;%x", file, &address, &length), 3) << location;
        EXPECT_EQ(std::string(file), std::string(d.model) + ".xml");
        ASSERT_EQ(address, 0x700u);
        xml_.assign(length, '\0');
        size = length;
        ASSERT_EQ(device->GetParam(address, xml_.data(), size), 0);
        ASSERT_EQ(size, length);

        port_ = std::make_unique<GenApiPort>([this](uint64_t at, uint32_t bytes, void* buffer, bool write) {
            Lumora::u64 n = bytes;
            const int status = write ? device->SetParam(at, buffer, n) : device->GetParam(at, buffer, n);
            if (status != 0) ++failures_;
            return status == 0;
        });
        std::string error;
        ASSERT_TRUE(port_->Load(xml_, error)) << error;
    }

    ArvGcNode* Node(const char* name) { return port_->Node(name); }
    void SetInt(const char* name, int64_t value) {
        GError* error = nullptr;
        ASSERT_NE(Node(name), nullptr) << name;
        arv_gc_integer_set_value(ARV_GC_INTEGER(Node(name)), value, &error);
        ASSERT_TRUE(NoError(error, name));
    }
    void SetFloat(const char* name, double value) {
        GError* error = nullptr;
        ASSERT_NE(Node(name), nullptr) << name;
        arv_gc_float_set_value(ARV_GC_FLOAT(Node(name)), value, &error);
        ASSERT_TRUE(NoError(error, name));
    }
    void SetEnum(const char* name, const char* entry) {
        GError* error = nullptr;
        ASSERT_NE(Node(name), nullptr) << name;
        arv_gc_enumeration_set_string_value(ARV_GC_ENUMERATION(Node(name)), entry, &error);
        ASSERT_TRUE(NoError(error, name));
    }
    void Execute(const char* name) {
        GError* error = nullptr;
        ASSERT_NE(Node(name), nullptr) << name;
        arv_gc_command_execute(ARV_GC_COMMAND(Node(name)), &error);
        ASSERT_TRUE(NoError(error, name));
    }
    std::string Text(const char* name) {
        GError* error = nullptr;
        const char* text = arv_gc_string_get_value(ARV_GC_STRING(Node(name)), &error);
        EXPECT_TRUE(NoError(error, name));
        return text != nullptr ? text : "";
    }

    std::string xml_;
    std::unique_ptr<GenApiPort> port_;
    bool narrow_ = false;
    uint16_t sensorWidth_ = 0;
    int failures_ = 0;
};

std::vector<std::string> CategoryFeatures(ArvGcNode* node) {
    std::vector<std::string> names;
    for (const GSList* it = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); it != nullptr; it = it->next)
        names.emplace_back(static_cast<const char*>(it->data));
    return names;
}

// Reads every feature reachable from Root and writes a valid value into every writable one, then
// reads it back through the camera.
TEST_P(RoundTrip, EveryFeatureReadsAndWritableOnesComeBackFromTheCamera) {
    int walked = 0;
    std::function<void(const char*)> walk = [&](const char* name) {
        SCOPED_TRACE(name);
        ArvGcNode* node = Node(name);
        ASSERT_NE(node, nullptr);
        ++walked;
        if (ARV_IS_GC_CATEGORY(node)) {
            for (const std::string& child : CategoryFeatures(node)) walk(child.c_str());
            return;
        }
        auto* feature = ARV_GC_FEATURE_NODE(node);
        GError* error = nullptr;
        const bool locked = arv_gc_feature_node_is_locked(feature, &error);
        ASSERT_TRUE(NoError(error, "lock"));
        const ArvGcAccessMode access = arv_gc_feature_node_get_actual_access_mode(feature);
        const bool writable = !locked && (access == ARV_GC_ACCESS_MODE_RW || access == ARV_GC_ACCESS_MODE_WO);
        const bool comesBack = kInert.count(name) == 0;
        if (ARV_IS_GC_COMMAND(node)) {
            if (writable && std::strcmp(name, "AcquisitionStart") != 0) {
                arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
                EXPECT_TRUE(NoError(error, "execute"));
            }
        } else if (ARV_IS_GC_ENUMERATION(node)) {
            auto* e = ARV_GC_ENUMERATION(node);
            EXPECT_NE(arv_gc_enumeration_get_string_value(e, &error), nullptr);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            const GSList* last = g_slist_last(const_cast<GSList*>(arv_gc_enumeration_get_entries(e)));
            ASSERT_NE(last, nullptr);
            const std::string entry = arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(last->data));
            arv_gc_enumeration_set_string_value(e, entry.c_str(), &error);
            ASSERT_TRUE(NoError(error, "write"));
            const char* back = arv_gc_enumeration_get_string_value(e, &error);
            ASSERT_TRUE(NoError(error, "read back"));
            if (comesBack) {
                EXPECT_STREQ(back, entry.c_str());
            }
        } else if (ARV_IS_GC_BOOLEAN(node)) {
            arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &error);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            arv_gc_boolean_set_value(ARV_GC_BOOLEAN(node), TRUE, &error);
            ASSERT_TRUE(NoError(error, "write"));
            const bool back = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &error);
            ASSERT_TRUE(NoError(error, "read back"));
            if (comesBack) {
                EXPECT_TRUE(back);
            }
        } else if (ARV_IS_GC_STRING(node)) {
            EXPECT_NE(arv_gc_string_get_value(ARV_GC_STRING(node), &error), nullptr);
            ASSERT_TRUE(NoError(error, "read"));
        } else if (ARV_IS_GC_FLOAT(node) && !ARV_IS_GC_INTEGER(node)) {
            auto* v = ARV_GC_FLOAT(node);
            arv_gc_float_get_value(v, &error);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            const double lo = arv_gc_float_get_min(v, &error), hi = arv_gc_float_get_max(v, &error);
            ASSERT_TRUE(NoError(error, "range"));
            const double value = lo + 1.0 <= hi ? lo + 1.0 : lo;
            arv_gc_float_set_value(v, value, &error);
            ASSERT_TRUE(NoError(error, "write"));
            const double back = arv_gc_float_get_value(v, &error);
            ASSERT_TRUE(NoError(error, "read back"));
            // The camera keeps clock ticks, rows or frame periods: the value comes back within
            // the camera's resolution.
            const double resolution =
                narrow_ && std::strcmp(name, "ExposureTime") == 0 ? 31.28 : 1e-4 * value;
            EXPECT_NEAR(back, value, resolution);
        } else if (ARV_IS_GC_INTEGER(node)) {
            auto* v = ARV_GC_INTEGER(node);
            arv_gc_integer_get_value(v, &error);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            const gint64 lo = arv_gc_integer_get_min(v, &error), hi = arv_gc_integer_get_max(v, &error);
            const gint64 inc = arv_gc_integer_get_inc(v, &error);
            ASSERT_TRUE(NoError(error, "range"));
            const gint64 value = lo + inc <= hi ? lo + inc : lo;
            arv_gc_integer_set_value(v, value, &error);
            ASSERT_TRUE(NoError(error, "write"));
            const gint64 back = arv_gc_integer_get_value(v, &error);
            ASSERT_TRUE(NoError(error, "read back"));
            if (comesBack) {
                EXPECT_EQ(back, value);
            }
        } else {
            ADD_FAILURE() << "feature of an unexpected kind";
        }
    };
    walk("Root");
    EXPECT_GT(walked, 50);
    EXPECT_EQ(failures_, 0) << "parameter calls that failed";
}

TEST_P(RoundTrip, FeaturesLandInTheCameraRegistersInItsUnits) {
    const Description& d = GetParam();
    const std::string model = d.model;
    const bool forty = model == "PQ-L582H" || model == "RT-GA47E-P" || model == "RT-KA47E-P";
    const bool p = model == "RT-GA47E-P" || model == "RT-KA47E-P";
    const float clock = model == "RT-GA47E"                                                 ? 39.3f
                        : forty                                                             ? 40.0f
                        : model == "RT-GC47E"                                               ? 27.898f
                        : model == "RT-GB47E" || model == "RT-GC46E" || model == "RT-GE45E" ? 30.0f
                                                                                            : 28.7f;

    EXPECT_EQ(Text("DeviceModelName"), model);
    EXPECT_EQ(Text("DeviceID"), device->Texts().deviceName);
    EXPECT_EQ(Text("DeviceVersion"), d.firmware);

    const bool widthWritable = d.id == 106 || d.id == 113 || d.id == 120;
    if (widthWritable) {
        SetInt("Width", 640);
        EXPECT_EQ(Peek(0x434), 640);
    }
    SetInt("Height", 224);
    EXPECT_EQ(Peek(0x436), 224);
    SetInt("OffsetY", 8);
    EXPECT_EQ(Peek(0x43A), narrow_ ? 12 : 8);

    SetInt("GainRaw", 10);
    EXPECT_EQ(Peek(0x408), narrow_ ? 21 : p ? 207 : 274);  // (10 + 32) / 2; 57.6 + 150; 75.1 + 199

    SetFloat("ExposureTime", 1000.0);
    if (narrow_) {
        EXPECT_EQ(Peek(0x482), 37);  // 1000 / 27.14 + 0.5 rows at 640 columns
    } else {
        EXPECT_EQ(Peek32(0x482), static_cast<uint32_t>(clock * 1000.0f));
    }

    SetFloat("TriggerDelay", 100.0);
    EXPECT_EQ(Peek32(0x468), narrow_ ? 2702u : static_cast<uint32_t>(clock * 100.0f));

    const bool colour = d.group == 'C' || d.group == 'P' || d.id == 120;
    SetEnum("PixelFormat", colour ? "BGR8Packed" : "Mono10");
    EXPECT_EQ(Peek(0x43E), colour ? 3 : 1);
    SetEnum("PixelFormat", "Mono8");
    EXPECT_EQ(Peek(0x43E), 0);

    SetInt("GammaPositionY0", narrow_ ? 7 : 127);
    SetInt("GammaPositionY1", narrow_ ? 30 : 500);
    EXPECT_EQ(Peek(0x4B0), narrow_ ? 7 : 127);
    EXPECT_EQ(Peek(0x4B2), narrow_ ? 30 : 500);
    EXPECT_EQ(Peek(0x4C0), 32);                 // slope one
    EXPECT_EQ(Peek(0x4C2), narrow_ ? 92 : 93);  // 23 / 8 × 32, 373 / 128 × 32

    if (colour) {
        SetEnum("BalanceRatioSelector", "Blue");
        SetFloat("BalanceRatio", 2048.0);
        EXPECT_EQ(Peek(0x328), 2048);
        EXPECT_EQ(Peek(0x34A), 2048);
        SetEnum("BalanceRatioSelector", "Red");
        SetFloat("BalanceRatio", 512.4);
        EXPECT_EQ(Peek(0x324), 512);
        EXPECT_EQ(Peek(0x346), 512);
        EXPECT_EQ(Peek(0x328), 2048);
    }
    if (d.group != 'P') {
        SetFloat("StrobeTime", 100.0);
        EXPECT_EQ(Peek(0x478), narrow_ ? 168 : static_cast<uint16_t>(clock * 0.0625f * 100.0f));
    }

    // Acquisition through the commands, with the lock the description sets while it runs.
    Execute("AcquisitionStart");
    int acquiring = 0;
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 1);
    GError* error = nullptr;
    EXPECT_TRUE(arv_gc_feature_node_is_locked(ARV_GC_FEATURE_NODE(Node("Height")), &error));
    ASSERT_TRUE(NoError(error, "lock"));
    Execute("AcquisitionStop");
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 0);
    EXPECT_EQ(failures_, 0);
}

INSTANTIATE_TEST_SUITE_P(AllDescriptions, RoundTrip, ::testing::ValuesIn(kDescriptions),
                         [](const ::testing::TestParamInfo<Description>& p) {
                             return "DEVREGS_" + std::to_string(p.param.id);
                         });

}  // namespace
