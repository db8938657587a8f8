// The generated USB 2.0 register descriptions and the GigE Vision interface description, parsed
// by an independent GenApi engine (Aravis) bound to an in-memory register map. The expectations
// below are written from the register map's definition, not taken from the generator's table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "resources/MapDevice.h"

namespace {

using Kovon::Test::MapDevice;

constexpr size_t kMapSize = 0x4400;  // past the last register, 0x4320

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Description {
    int id;
    char group;  // 'C' colour, 'P' colour without strobe, 'M' monochrome, 'D' 752 columns
};

void PrintTo(const Description& d, std::ostream* os) {
    *os << "description " << d.id << " (group " << d.group << ")";
}

const std::vector<Description> kDescriptions = {
    {104, 'C'}, {105, 'P'}, {106, 'P'}, {107, 'M'}, {108, 'M'}, {109, 'M'},
    {110, 'M'}, {111, 'M'}, {112, 'M'}, {113, 'D'}, {114, 'M'}, {115, 'C'},
    {116, 'C'}, {117, 'C'}, {118, 'C'}, {120, 'D'}, {121, 'C'},
};

bool IsColour(const Description& d) {
    return d.group == 'C' || d.group == 'P' || d.id == 120;
}
bool HasStrobe(const Description& d) {
    return d.group != 'P';
}
bool HasFrameRate(const Description& d) {
    return d.group != 'D';
}
bool WidthWritable(const Description& d) {
    return d.id == 106 || d.id == 113 || d.id == 120;
}

std::string PathOf(int id) {
    return std::string(KOVON_USB2_DESCRIPTION_DIR) + "/DEVREGS_" + std::to_string(id) + ".xml";
}

ArvGcFeatureNode* Feature(const MapDevice& map, const char* name) {
    ArvGcNode* node = map.Node(name);
    return node != nullptr && ARV_IS_GC_FEATURE_NODE(node) ? ARV_GC_FEATURE_NODE(node) : nullptr;
}

// Clears a GError and reports whether there was one, with its message.
::testing::AssertionResult NoError(GError*& error, const std::string& what) {
    if (error == nullptr) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << what << ": " << error->message;
    g_clear_error(&error);
    return failure;
}

std::vector<std::string> CategoryFeatures(const MapDevice& map, const char* category) {
    std::vector<std::string> names;
    ArvGcNode* node = map.Node(category);
    if (node == nullptr || !ARV_IS_GC_CATEGORY(node)) return names;
    for (const GSList* it = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); it != nullptr; it = it->next)
        names.emplace_back(static_cast<const char*>(it->data));
    return names;
}

class Usb2Description : public ::testing::TestWithParam<Description> {
protected:
    void SetUp() override {
        const std::string xml = ReadFile(PathOf(GetParam().id));
        ASSERT_FALSE(xml.empty()) << "missing " << PathOf(GetParam().id);
        std::string error;
        ASSERT_TRUE(map_.Load(xml, error)) << error;
        // A plausible camera state: sensor limits, a window, valid enumeration values.
        map_.SetText(0x084, "RT-GA47E");
        map_.SetU32(0x100, 1280);
        map_.SetU32(0x104, 1024);
        map_.SetU32(0x108, 1280);
        map_.SetU32(0x10C, 960);
        map_.SetU32(0x120, 0x01080001);
        map_.SetU32(0x20C, 2);
        map_.SetU32(0x308, 1);
        map_.SetF32(0x31C, 40000.0f);
        map_.SetF32(0x320, 30.0f);
        map_.SetU32(0x34C, 1);
        map_.SetU32(0x400, 1);
    }
    const Description& D() const { return GetParam(); }
    MapDevice map_{kMapSize};
};

// ---------------------------------------------------------------------------------------------
// Register nodes: address, length, access, and the feature that reaches them.

enum class Where { All, NotP, NotD, Colour };
enum class Kind { Int, Float, String, Command, None };
enum class Acc { RO, WO, RW, WidthRule };

struct RegisterCase {
    const char* feature;  // null: the register has no feature of its own
    const char* reg;
    uint64_t address;
    uint64_t length;
    Where where;
    Acc access;
    Kind kind;
    double value;  // written through the feature where it is writable
};

const std::vector<RegisterCase> kRegisterCases = {
    {"DeviceUserID", "DeviceUserID", 0x000, 4, Where::All, Acc::RW, Kind::Int, 7},
    {"DeviceModelName", "DeviceModelName", 0x084, 32, Where::All, Acc::RO, Kind::String, 0},
    {"DeviceManufacturerInfo", "DeviceManufacturerInfo", 0x0A4, 64, Where::All, Acc::RO, Kind::String, 0},
    {"Width", "WidthReg", 0x108, 4, Where::All, Acc::WidthRule, Kind::Int, 640},
    {"Height", "HeightReg", 0x10C, 4, Where::All, Acc::RW, Kind::Int, 480},
    {"OffsetY", "OffsetYReg", 0x114, 4, Where::All, Acc::RW, Kind::Int, 64},
    {"PayloadSize", "PayloadSize", 0x12C, 4, Where::All, Acc::RO, Kind::Int, 0},
    {"TriggerSoftware", "TriggerSoftwareReg", 0x164, 4, Where::All, Acc::WO, Kind::Command, 1},
    {"TriggerDelay", "TriggerDelayReg", 0x210, 4, Where::All, Acc::RW, Kind::Float, 100.0},
    {"StrobeTime", "StrobeTimeReg", 0x260, 4, Where::NotP, Acc::RW, Kind::Float, 50.0},
    {"GainRaw", "GainRawReg", 0x300, 4, Where::All, Acc::RW, Kind::Int, 40},
    {"ExposureTime", "ExposureTimeReg", 0x30C, 4, Where::All, Acc::RW, Kind::Float, 1000.0},
    {nullptr, "ExposureTimeMaxReg", 0x31C, 4, Where::All, Acc::RW, Kind::None, 0},
    {nullptr, "AcquisitionFrameRateMaxReg", 0x320, 4, Where::NotD, Acc::RW, Kind::None, 0},
    {"AcquisitionFrameRate", "AcquisitionFrameRateReg", 0x348, 4, Where::NotD, Acc::RW, Kind::Float, 15.0},
    {"GammaPositionY0", "GammaPositionY0Reg", 0x390, 4, Where::All, Acc::RW, Kind::Int, 100},
    {"GammaPositionY3", "GammaPositionY3Reg", 0x39C, 4, Where::All, Acc::RW, Kind::Int, 103},
    {"GammaPositionY7", "GammaPositionY7Reg", 0x3AC, 4, Where::All, Acc::RW, Kind::Int, 107},
    {"UserSetLoad", "UserSetLoadReg", 0x404, 4, Where::All, Acc::RW, Kind::Command, 1},
    {"BalanceRatio", "BalanceRatioReg", 0x4320, 4, Where::Colour, Acc::RW, Kind::Float, 2048.0},
};

bool Present(Where w, const Description& d) {
    switch (w) {
        case Where::All:
            return true;
        case Where::NotP:
            return HasStrobe(d);
        case Where::NotD:
            return HasFrameRate(d);
        case Where::Colour:
            return IsColour(d);
    }
    return false;
}

ArvGcAccessMode Expected(Acc a, const Description& d) {
    switch (a) {
        case Acc::RO:
            return ARV_GC_ACCESS_MODE_RO;
        case Acc::WO:
            return ARV_GC_ACCESS_MODE_WO;
        case Acc::RW:
            return ARV_GC_ACCESS_MODE_RW;
        case Acc::WidthRule:
            return WidthWritable(d) ? ARV_GC_ACCESS_MODE_RW : ARV_GC_ACCESS_MODE_RO;
    }
    return ARV_GC_ACCESS_MODE_UNDEFINED;
}

TEST_P(Usb2Description, RegistersSitAtTheirAddressesAndFeaturesReachThem) {
    for (const RegisterCase& c : kRegisterCases) {
        SCOPED_TRACE(c.reg);
        ArvGcNode* reg = map_.Node(c.reg);
        if (!Present(c.where, D())) {
            EXPECT_EQ(reg, nullptr);
            if (c.feature != nullptr) {
                EXPECT_EQ(map_.Node(c.feature), nullptr);
            }
            continue;
        }
        ASSERT_NE(reg, nullptr);
        ASSERT_TRUE(ARV_IS_GC_REGISTER(reg));
        GError* error = nullptr;
        EXPECT_EQ(arv_gc_register_get_address(ARV_GC_REGISTER(reg), &error), c.address);
        EXPECT_EQ(arv_gc_register_get_length(ARV_GC_REGISTER(reg), &error), c.length);
        ASSERT_TRUE(NoError(error, "address/length"));
        const ArvGcAccessMode access = Expected(c.access, D());
        EXPECT_EQ(arv_gc_feature_node_get_actual_access_mode(ARV_GC_FEATURE_NODE(reg)), access);
        if (c.feature == nullptr) continue;

        ArvGcNode* feature = map_.Node(c.feature);
        ASSERT_NE(feature, nullptr);
        switch (c.kind) {
            case Kind::Int:
                if (access == ARV_GC_ACCESS_MODE_RW) {
                    arv_gc_integer_set_value(ARV_GC_INTEGER(feature), static_cast<gint64>(c.value), &error);
                    ASSERT_TRUE(NoError(error, "write"));
                    EXPECT_EQ(map_.U32(c.address), static_cast<uint32_t>(c.value));
                } else {
                    map_.SetU32(c.address, 1234);
                    EXPECT_EQ(arv_gc_integer_get_value(ARV_GC_INTEGER(feature), &error), 1234);
                    ASSERT_TRUE(NoError(error, "read"));
                    arv_gc_integer_set_value(ARV_GC_INTEGER(feature), 5, &error);
                    EXPECT_NE(error, nullptr) << "a read-only register accepted a write";
                    g_clear_error(&error);
                    EXPECT_EQ(map_.U32(c.address), 1234u);
                }
                break;
            case Kind::Float:
                arv_gc_float_set_value(ARV_GC_FLOAT(feature), c.value, &error);
                ASSERT_TRUE(NoError(error, "write"));
                EXPECT_EQ(map_.F32(c.address), static_cast<float>(c.value));
                break;
            case Kind::String:
                map_.SetText(c.address, "RT-KD48E");
                EXPECT_STREQ(arv_gc_string_get_value(ARV_GC_STRING(feature), &error), "RT-KD48E");
                ASSERT_TRUE(NoError(error, "read"));
                break;
            case Kind::Command:
                arv_gc_command_execute(ARV_GC_COMMAND(feature), &error);
                ASSERT_TRUE(NoError(error, "execute"));
                EXPECT_EQ(map_.U32(c.address), static_cast<uint32_t>(c.value));
                break;
            case Kind::None:
                break;
        }
    }
    EXPECT_EQ(map_.OutOfRange(), 0);
}

TEST_P(Usb2Description, PixelFormatOffersTheModelsFormats) {
    using Formats = std::vector<std::pair<std::string, uint32_t>>;
    const Formats colour = {{"Mono8", 0x01080001}, {"BayerBG8", 0x0108000B}, {"BGR8Packed", 0x02180015}};
    const Formats mono = {
        {"Mono8", 0x01080001}, {"Mono10", 0x01100003}, {"Mono12", 0x01100005}, {"Mono14", 0x01100025}};
    const Formats mono752 = {{"Mono8", 0x01080001}, {"Mono10", 0x01100003}};
    const Formats& expected = IsColour(D()) ? colour : D().id == 113 ? mono752 : mono;

    ArvGcNode* node = map_.Node("PixelFormat");
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(ARV_IS_GC_ENUMERATION(node));
    auto* pixelFormat = ARV_GC_ENUMERATION(node);
    GError* error = nullptr;
    Formats offered;
    for (const GSList* it = arv_gc_enumeration_get_entries(pixelFormat); it != nullptr; it = it->next) {
        auto* entry = ARV_GC_ENUM_ENTRY(it->data);
        offered.emplace_back(arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(entry)),
                             static_cast<uint32_t>(arv_gc_enum_entry_get_value(entry, &error)));
    }
    ASSERT_TRUE(NoError(error, "entries"));
    // The engine keeps entries in an order of its own.
    std::sort(offered.begin(), offered.end());
    Formats sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(offered, sorted);

    for (const auto& [name, code] : expected) {
        SCOPED_TRACE(name);
        arv_gc_enumeration_set_string_value(pixelFormat, name.c_str(), &error);
        ASSERT_TRUE(NoError(error, "set"));
        EXPECT_EQ(map_.U32(0x120), code);
        EXPECT_STREQ(arv_gc_enumeration_get_string_value(pixelFormat, &error), name.c_str());
        ASSERT_TRUE(NoError(error, "get"));
    }
}

// ---------------------------------------------------------------------------------------------
// Locks.

TEST_P(Usb2Description, RunningAcquisitionLocksTheAcquisitionSettings) {
    const bool d = D().group == 'D';
    // (feature, locked while acquiring)
    const std::vector<std::pair<const char*, bool>> cases = {
        {"Width", d},
        {"Height", true},
        {"OffsetX", d},
        {"OffsetY", false},
        {"PixelFormat", true},
        {"AcquisitionMode", true},
        {"AcquisitionStart", true},
        {"AcquisitionStop", false},
        {"AcquisitionFrameCount", true},
        {"AcquisitionStatusSelector", true},
        {"AcquisitionStatus", true},
        {"TriggerMode", true},
        {"TriggerSource", true},
        {"TriggerActivation", true},
        {"TriggerDelay", false},
        {"GainRaw", false},
        {"GammaMode", false},
    };
    auto lockedNow = [&](const char* name) {
        ArvGcFeatureNode* f = Feature(map_, name);
        EXPECT_NE(f, nullptr) << name;
        GError* error = nullptr;
        const bool locked = f != nullptr && arv_gc_feature_node_is_locked(f, &error);
        EXPECT_TRUE(NoError(error, name));
        return locked;
    };

    GError* error = nullptr;
    arv_gc_command_execute(ARV_GC_COMMAND(map_.Node("AcquisitionStart")), &error);
    ASSERT_TRUE(NoError(error, "AcquisitionStart"));
    ASSERT_EQ(map_.U32(0x154), 1u);
    for (const auto& [name, locked] : cases) EXPECT_EQ(lockedNow(name), locked) << name << " while acquiring";

    arv_gc_command_execute(ARV_GC_COMMAND(map_.Node("AcquisitionStop")), &error);
    ASSERT_TRUE(NoError(error, "AcquisitionStop"));
    ASSERT_EQ(map_.U32(0x154), 0u);
    for (const auto& [name, locked] : cases) EXPECT_FALSE(lockedNow(name)) << name << " while stopped";
}

TEST_P(Usb2Description, AutomaticExposureAndFrameRateModeLockTheirValues) {
    ArvGcFeatureNode* exposure = Feature(map_, "ExposureTime");
    ASSERT_NE(exposure, nullptr);
    GError* error = nullptr;
    if (!HasFrameRate(D())) {
        // No automatic exposure on the 752-column cameras: nothing locks the exposure time.
        EXPECT_EQ(map_.Node("ExposureAuto"), nullptr);
        EXPECT_EQ(map_.Node("IsAETrue"), nullptr);
        map_.SetU32(0x340, 3);
        EXPECT_FALSE(arv_gc_feature_node_is_locked(exposure, &error));
        ASSERT_TRUE(NoError(error, "lock"));
        return;
    }
    // (ExposureAuto register, ExposureTime locked)
    for (auto [autoValue, locked] : {std::pair{0u, false}, {1u, true}, {3u, true}, {0u, false}}) {
        map_.SetU32(0x340, autoValue);
        EXPECT_EQ(arv_gc_feature_node_is_locked(exposure, &error), locked) << "ExposureAuto " << autoValue;
        ASSERT_TRUE(NoError(error, "lock"));
    }
    ArvGcFeatureNode* rate = Feature(map_, "AcquisitionFrameRate");
    ASSERT_NE(rate, nullptr);
    for (auto [mode, locked] : {std::pair{0u, true}, {1u, false}}) {
        map_.SetU32(0x34C, mode);
        EXPECT_EQ(arv_gc_feature_node_is_locked(rate, &error), locked) << "AcquisitionFrameRateMode " << mode;
        ASSERT_TRUE(NoError(error, "lock"));
    }
}

// ---------------------------------------------------------------------------------------------
// Categories, name spaces and a walk over every feature.

TEST_P(Usb2Description, CategoriesListTheModelsFeaturesInOrder) {
    std::vector<std::string> root = {"DeviceControl", "ImageFormatControl", "AcquisitionControl",
                                     "AnalogControl", "StrobeControl",      "GammaControl",
                                     "UserSetControl"};
    if (!HasStrobe(D())) root.erase(root.begin() + 4);
    EXPECT_EQ(CategoryFeatures(map_, "Root"), root);

    std::vector<std::string> analog = {"GainRaw", "BlackLevelRaw", "ExposureMode", "ExposureTime"};
    if (HasFrameRate(D())) analog.push_back("ExposureUpdateFeature");
    analog.push_back("OverlapMode");
    if (HasFrameRate(D()))
        analog.insert(analog.end(), {"AcquisitionFrameRateRaw", "AcquisitionFrameRateMode",
                                     "AcquisitionFrameRate", "ExposureAuto", "ExposureAutoTarget"});
    if (IsColour(D()))
        analog.insert(analog.end(),
                      {"BalanceWhiteAuto", "BalanceRatioSelector", "BalanceRatio", "BalanceUpdateFeature"});
    EXPECT_EQ(CategoryFeatures(map_, "AnalogControl"), analog);

    EXPECT_EQ(CategoryFeatures(map_, "DeviceControl"),
              (std::vector<std::string>{"DeviceVendorName", "DeviceModelName", "DeviceManufacturerInfo",
                                        "DeviceVersion", "DeviceID", "DeviceUserID", "DeviceScanType"}));
    EXPECT_EQ(CategoryFeatures(map_, "UserSetControl"),
              (std::vector<std::string>{"UserSetSelector", "UserSetDefaultSelector", "UserSetLoad",
                                        "UserSetSave"}));
    if (HasStrobe(D()))
        EXPECT_EQ(
            CategoryFeatures(map_, "StrobeControl"),
            (std::vector<std::string>{"StrobeSoftwareHigh", "StrobeSoftwareLow", "StrobeMode", "StrobeSource",
                                      "StrobeActivation", "StrobeTime", "StrobeDelay"}));
    else
        EXPECT_EQ(map_.Node("StrobeControl"), nullptr);
}

const std::set<std::string> kCustomNames = {
    "StrobeControl",
    "GammaControl",
    "GammaMode",
    "GammaPositionY0",
    "GammaPositionY1",
    "GammaPositionY2",
    "GammaPositionY3",
    "GammaPositionY4",
    "GammaPositionY5",
    "GammaPositionY6",
    "GammaPositionY7",
    "StrobeSoftwareHigh",
    "StrobeSoftwareLow",
    "StrobeMode",
    "StrobeSource",
    "StrobeActivation",
    "StrobeTime",
    "StrobeDelay",
    "OverlapMode",
    "AcquisitionFrameRateMode",
    "AcquisitionTriggerLossCount",
    "ExposureAutoTarget",
    "ExposureUpdateFeature",
    "BalanceUpdateFeature",
};

// Reads every feature reachable from Root and writes a valid value into every writable one, then
// reads it back; checks each feature's name space on the way.
TEST_P(Usb2Description, EveryFeatureReadsAndWritableOnesRoundTrip) {
    int walked = 0;
    std::function<void(const char*)> walk = [&](const char* name) {
        SCOPED_TRACE(name);
        ArvGcFeatureNode* f = Feature(map_, name);
        ASSERT_NE(f, nullptr);
        ++walked;
        EXPECT_EQ(arv_gc_feature_node_get_name_space(f),
                  kCustomNames.count(name) ? ARV_GC_NAME_SPACE_CUSTOM : ARV_GC_NAME_SPACE_STANDARD);
        GError* error = nullptr;
        ArvGcNode* node = ARV_GC_NODE(f);
        if (ARV_IS_GC_CATEGORY(node)) {
            for (const std::string& child : CategoryFeatures(map_, name)) walk(child.c_str());
            return;
        }
        const bool locked = arv_gc_feature_node_is_locked(f, &error);
        ASSERT_TRUE(NoError(error, "lock"));
        const ArvGcAccessMode access = arv_gc_feature_node_get_actual_access_mode(f);
        const bool writable = !locked && (access == ARV_GC_ACCESS_MODE_RW || access == ARV_GC_ACCESS_MODE_WO);
        if (ARV_IS_GC_COMMAND(node)) {
            if (writable && std::strcmp(name, "AcquisitionStart") != 0) {
                arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
                EXPECT_TRUE(NoError(error, "execute"));
            }
            return;
        }
        if (ARV_IS_GC_ENUMERATION(node)) {
            auto* e = ARV_GC_ENUMERATION(node);
            EXPECT_NE(arv_gc_enumeration_get_string_value(e, &error), nullptr);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            const GSList* last = g_slist_last(const_cast<GSList*>(arv_gc_enumeration_get_entries(e)));
            ASSERT_NE(last, nullptr);
            const std::string entry = arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(last->data));
            arv_gc_enumeration_set_string_value(e, entry.c_str(), &error);
            ASSERT_TRUE(NoError(error, "write"));
            EXPECT_EQ(arv_gc_enumeration_get_string_value(e, &error), entry);
        } else if (ARV_IS_GC_BOOLEAN(node)) {
            arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &error);
            ASSERT_TRUE(NoError(error, "read"));
            if (!writable) return;
            arv_gc_boolean_set_value(ARV_GC_BOOLEAN(node), TRUE, &error);
            ASSERT_TRUE(NoError(error, "write"));
            EXPECT_TRUE(arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &error));
        } else if (ARV_IS_GC_STRING(node)) {
            EXPECT_NE(arv_gc_string_get_value(ARV_GC_STRING(node), &error), nullptr);
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
            EXPECT_EQ(arv_gc_float_get_value(v, &error), value);
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
            EXPECT_EQ(arv_gc_integer_get_value(v, &error), value);
        } else {
            ADD_FAILURE() << "feature of an unexpected kind";
        }
        EXPECT_TRUE(NoError(error, "read back"));
    };
    walk("Root");
    EXPECT_GT(walked, 50);
    EXPECT_EQ(map_.OutOfRange(), 0);
}

// ---------------------------------------------------------------------------------------------
// Invalidators: with register caching on, a value the module changed behind the host's back is
// read again only after the command that invalidates it.

TEST_P(Usb2Description, UpdateCommandsMakeTheHostReadChangedValuesAgain) {
    arv_gc_set_register_cache_policy(map_.Gc(), ARV_REGISTER_CACHE_POLICY_ENABLE);
    // The two update commands carry a constant value and no register; with access checks on,
    // this engine counts a constant as read-only and refuses to execute them.
    arv_gc_set_access_check_policy(map_.Gc(), ARV_ACCESS_CHECK_POLICY_DISABLE);
    GError* error = nullptr;
    auto readFloat = [&](const char* name) {
        const double v = arv_gc_float_get_value(ARV_GC_FLOAT(map_.Node(name)), &error);
        EXPECT_TRUE(NoError(error, name));
        return v;
    };
    auto execute = [&](const char* name) {
        arv_gc_command_execute(ARV_GC_COMMAND(map_.Node(name)), &error);
        EXPECT_TRUE(NoError(error, name));
    };

    map_.SetF32(0x30C, 500.0f);
    EXPECT_EQ(readFloat("ExposureTime"), 500.0);
    map_.SetF32(0x30C, 750.0f);
    if (HasFrameRate(D())) {
        EXPECT_EQ(readFloat("ExposureTime"), 500.0) << "the engine did not cache; this check proves nothing";
        execute("ExposureUpdateFeature");
        EXPECT_EQ(readFloat("ExposureTime"), 750.0);
    } else {
        EXPECT_EQ(map_.Node("ExposureUpdateFeature"), nullptr);
    }
    map_.SetF32(0x30C, 900.0f);
    execute("UserSetLoad");
    EXPECT_EQ(readFloat("ExposureTime"), 900.0);

    if (IsColour(D())) {
        map_.SetF32(0x4320, 1.5f);
        EXPECT_EQ(readFloat("BalanceRatio"), 1.5);
        map_.SetF32(0x4320, 2.5f);
        EXPECT_EQ(readFloat("BalanceRatio"), 1.5);
        execute("BalanceUpdateFeature");
        EXPECT_EQ(readFloat("BalanceRatio"), 2.5);
    } else {
        EXPECT_EQ(map_.Node("BalanceUpdateFeature"), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(AllModels, Usb2Description, ::testing::ValuesIn(kDescriptions),
                         [](const ::testing::TestParamInfo<Description>& p) {
                             return "DEVREGS_" + std::to_string(p.param.id);
                         });

// ---------------------------------------------------------------------------------------------
// The GigE Vision interface's force-IP registers (big-endian, on the interface's port).

TEST(InterfaceDescription, ForceIpFeaturesReachTheInterfaceRegisters) {
    MapDevice map(0x1000);
    std::string error;
    ASSERT_TRUE(map.Load(ReadFile(KOVON_INTERFACE_DESCRIPTION), error)) << error;
    EXPECT_EQ(CategoryFeatures(map, "Root"),
              (std::vector<std::string>{"DeviceSelector", "DeviceForceIPAddress", "DeviceForceIPSubnetMask",
                                        "DeviceForceIPGateWay", "DeviceForceIP"}));
    GError* gerror = nullptr;
    struct Reg {
        const char* name;
        uint64_t address;
        uint64_t length;
    };
    for (const Reg& r : {Reg{"DeviceSelectorReg", 0x800, 4}, Reg{"DeviceForceIPAddress", 0x810, 16},
                         Reg{"DeviceForceIPSubnetMask", 0x820, 16}, Reg{"DeviceForceIPGateWay", 0x830, 16},
                         Reg{"DeviceForceIPReg", 0x840, 4}, Reg{"ForceIsLockReg", 0x844, 4}}) {
        SCOPED_TRACE(r.name);
        ArvGcNode* node = map.Node(r.name);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(arv_gc_register_get_address(ARV_GC_REGISTER(node), &gerror), r.address);
        EXPECT_EQ(arv_gc_register_get_length(ARV_GC_REGISTER(node), &gerror), r.length);
        EXPECT_EQ(arv_gc_feature_node_get_actual_access_mode(ARV_GC_FEATURE_NODE(node)),
                  ARV_GC_ACCESS_MODE_RW);
        ASSERT_TRUE(NoError(gerror, r.name));
    }

    arv_gc_integer_set_value(ARV_GC_INTEGER(map.Node("DeviceSelector")), 3, &gerror);
    ASSERT_TRUE(NoError(gerror, "DeviceSelector"));
    EXPECT_EQ(map.U32(0x800, true), 3u);
    arv_gc_integer_set_value(ARV_GC_INTEGER(map.Node("DeviceSelector")), 256, &gerror);
    EXPECT_NE(gerror, nullptr) << "selector above 255 accepted";
    g_clear_error(&gerror);

    arv_gc_string_set_value(ARV_GC_STRING(map.Node("DeviceForceIPAddress")), "192.168.1.10", &gerror);
    ASSERT_TRUE(NoError(gerror, "address"));
    EXPECT_STREQ(reinterpret_cast<const char*>(map.Memory().data() + 0x810), "192.168.1.10");

    // DeviceForceIP is locked while ForceIsLockReg holds 1.
    ArvGcFeatureNode* forceIp = Feature(map, "DeviceForceIP");
    ASSERT_NE(forceIp, nullptr);
    map.SetU32(0x844, 1, true);
    EXPECT_TRUE(arv_gc_feature_node_is_locked(forceIp, &gerror));
    map.SetU32(0x844, 0, true);
    EXPECT_FALSE(arv_gc_feature_node_is_locked(forceIp, &gerror));
    ASSERT_TRUE(NoError(gerror, "lock"));
    arv_gc_command_execute(ARV_GC_COMMAND(forceIp), &gerror);
    ASSERT_TRUE(NoError(gerror, "DeviceForceIP"));
    EXPECT_EQ(map.U32(0x840, true), 1u);
    EXPECT_EQ(map.OutOfRange(), 0);
}

}  // namespace
