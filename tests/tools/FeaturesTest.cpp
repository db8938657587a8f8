// kovon-grab's feature layer on a fake camera: the description found through its location, values
// shown by name, and every check that must hold before a write reaches the camera.
#include <gtest/gtest.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "FakeCamera.h"
#include "FakeDescription.h"
#include "Features.h"

namespace {

using KovonGrab::DescriptionLocation;
using KovonGrab::FeatureOutcome;
using KovonGrab::Features;
using KovonGrab::FeatureStatus;
using KovonGrabTest::FakeCamera;
using namespace KovonGrabTest::FakeDescription;

class FeaturesTest : public ::testing::Test {
protected:
    FeaturesTest()
        : camera_(Location("Fake.xml", sizeof kDescription - 1), kDescription), features_(&camera_) {
        camera_.SetU32(kWidth, 1280);
        camera_.SetU32(kSensorWidth, 1280);
        camera_.SetU32(kPixelFormat, 0x01080001);
        const float exposure = 20000.f;
        std::memcpy(camera_.Memory().data() + kExposure, &exposure, 4);
        std::memcpy(camera_.Memory().data() + kModelName, "FAKE-CAMERA-0123456", 20);
    }
    void SetUp() override {
        const FeatureStatus loaded = features_.Load();
        ASSERT_TRUE(loaded.Ok()) << loaded.message;
    }
    std::string Value(const char* name) {
        std::string value;
        const FeatureStatus status = features_.Get(name, value);
        EXPECT_TRUE(status.Ok()) << status.message;
        return value;
    }

    FakeCamera camera_;
    Features features_;
};

TEST_F(FeaturesTest, ShowsValuesByTypeWithTheirLimits) {
    EXPECT_EQ(Value("Width"), "1280");
    EXPECT_EQ(Value("PixelFormat"), "Mono8");
    EXPECT_EQ(Value("ExposureTime"), "20000");
    EXPECT_EQ(Value("ReverseX"), "false");
    EXPECT_EQ(Value("DeviceModelName"), "FAKE-CAMERA-0123456");
    EXPECT_EQ(features_.Limits("Width"), "16 to 1280, step 16");
    EXPECT_EQ(features_.Limits("PixelFormat"), "one of Mono8, Mono12");  // Mono14 is never available
    EXPECT_EQ(features_.Limits("ExposureTime"), "10 to 1000000 us");
    EXPECT_EQ(features_.Limits("DeviceUserID"), "at most 20 characters");
    int64_t format = 0;
    ASSERT_TRUE(features_.GetInteger("PixelFormat", format).Ok());
    EXPECT_EQ(format, 0x01080001);
}

struct SetCase {
    const char* feature;
    const char* value;
    FeatureOutcome outcome;
};

TEST_F(FeaturesTest, WritesOnlyWhatPassesEveryCheck) {
    const SetCase cases[] = {
        {"Width", "640", FeatureOutcome::Ok},
        {"Width", "0x280", FeatureOutcome::Ok},
        {"Width", "1296", FeatureOutcome::OutOfRange},
        {"Width", "0", FeatureOutcome::OutOfRange},
        {"Width", "-16", FeatureOutcome::OutOfRange},
        {"Width", "650", FeatureOutcome::OutOfRange},  // off the increment
        {"Width", "6x", FeatureOutcome::InvalidValue},
        {"Width", "", FeatureOutcome::InvalidValue},
        {"Width", "99999999999999999999999", FeatureOutcome::InvalidValue},
        {"PixelFormat", "Mono12", FeatureOutcome::Ok},
        {"PixelFormat", "Mono14", FeatureOutcome::InvalidValue},  // an entry that is not available
        {"PixelFormat", "mono8", FeatureOutcome::InvalidValue},   // names are case-sensitive
        {"PixelFormat", "17301505", FeatureOutcome::InvalidValue},
        {"ExposureTime", "1500.5", FeatureOutcome::Ok},
        {"ExposureTime", "9.99", FeatureOutcome::OutOfRange},
        {"ExposureTime", "nan", FeatureOutcome::InvalidValue},
        {"ExposureTime", "1e400", FeatureOutcome::InvalidValue},
        {"ReverseX", "true", FeatureOutcome::Ok},
        {"ReverseX", "yes", FeatureOutcome::InvalidValue},
        {"DeviceUserID", "line-7", FeatureOutcome::Ok},
        {"DeviceUserID", "twenty-one characters", FeatureOutcome::OutOfRange},
        {"SensorWidth", "640", FeatureOutcome::NotWritable},
        {"DeviceModelName", "x", FeatureOutcome::NotWritable},
        {"AcquisitionStart", "now", FeatureOutcome::InvalidValue},
        {"AcquisitionStart", "execute", FeatureOutcome::Ok},
        {"ImageFormatControl", "1", FeatureOutcome::NotWritable},  // a category has no value
        {"Mono8", "1", FeatureOutcome::UnknownFeature},            // an entry is not a feature
        {"Gamma", "1", FeatureOutcome::UnknownFeature},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(std::string(c.feature) + " = " + c.value);
        const std::vector<uint8_t> before = camera_.Memory();
        const int writesBefore = camera_.Writes();
        const FeatureStatus status = features_.Set(c.feature, c.value);
        EXPECT_EQ(status.outcome, c.outcome) << status.message;
        if (c.outcome != FeatureOutcome::Ok) {
            EXPECT_FALSE(status.message.empty());
            EXPECT_EQ(camera_.Writes(), writesBefore);
            EXPECT_EQ(camera_.Memory(), before);
        }
    }
    EXPECT_EQ(camera_.U32(kWidth), 640u);
    EXPECT_EQ(camera_.U32(kPixelFormat), 0x01100005u);
    EXPECT_FLOAT_EQ(camera_.F32(kExposure), 1500.5f);
    EXPECT_EQ(camera_.U32(kReverseX), 1u);
    EXPECT_EQ(camera_.U32(kAcquisitionStart), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(camera_.Memory().data() + kUserId), "line-7");
}

TEST_F(FeaturesTest, LockedFeaturesAreNotWrittenUntilUnlocked) {
    camera_.SetU32(kLocked, 1);
    for (const auto& [feature, value] :
         {std::pair<const char*, const char*>{"Width", "640"}, {"PixelFormat", "Mono12"}}) {
        SCOPED_TRACE(feature);
        const int writes = camera_.Writes();
        const FeatureStatus status = features_.Set(feature, value);
        EXPECT_EQ(status.outcome, FeatureOutcome::Locked) << status.message;
        EXPECT_EQ(camera_.Writes(), writes);
    }
    EXPECT_EQ(camera_.U32(kWidth), 1280u);
    EXPECT_EQ(Value("Width"), "1280");  // a locked feature still reads
    camera_.SetU32(kLocked, 0);
    EXPECT_TRUE(features_.Set("Width", "640").Ok());
    EXPECT_EQ(camera_.U32(kWidth), 640u);
}

TEST_F(FeaturesTest, CameraFailuresCarryTheModuleStatus) {
    camera_.FailRegistersWith(Lumora::GC_ERR_TIMEOUT);
    std::string value;
    FeatureStatus status = features_.Get("Width", value);
    EXPECT_EQ(status.outcome, FeatureOutcome::DeviceFailure);
    EXPECT_EQ(status.moduleStatus, Lumora::GC_ERR_TIMEOUT);
    status = features_.Set("Width", "640");  // the lock cannot be read either
    EXPECT_EQ(status.outcome, FeatureOutcome::DeviceFailure);
    EXPECT_EQ(status.moduleStatus, Lumora::GC_ERR_TIMEOUT);
    camera_.FailRegistersWith(0);
    EXPECT_EQ(Value("Width"), "1280");
}

TEST_F(FeaturesTest, BlocksGoInRegisterSizedPiecesWhenTheCameraAsks) {
    camera_.OnlyRegisterSizes(true);
    EXPECT_EQ(Value("DeviceModelName"), "FAKE-CAMERA-0123456");  // 20 bytes: 16 + 4
    ASSERT_TRUE(features_.Set("DeviceUserID", "nineteen characters").Ok());
    EXPECT_STREQ(reinterpret_cast<const char*>(camera_.Memory().data() + kUserId), "nineteen characters");
}

TEST_F(FeaturesTest, ListsEveryFeatureUnderItsCategory) {
    const auto lines = features_.List();
    auto find = [&](const std::string& name) -> const KovonGrab::FeatureLine* {
        for (const auto& line : lines)
            if (line.name == name) return &line;
        return nullptr;
    };
    const auto* category = find("ImageFormatControl");
    ASSERT_NE(category, nullptr);
    EXPECT_TRUE(category->category);
    EXPECT_EQ(category->depth, 0);
    const auto* width = find("Width");
    ASSERT_NE(width, nullptr);
    EXPECT_EQ(width->depth, 1);
    EXPECT_EQ(width->type, "Integer");
    EXPECT_EQ(width->access, "RW");
    EXPECT_EQ(width->value, "1280");
    EXPECT_EQ(width->range, "16 to 1280, step 16");
    const auto* sensor = find("SensorWidth");
    ASSERT_NE(sensor, nullptr);
    EXPECT_EQ(sensor->access, "RO");
    const auto* start = find("AcquisitionStart");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->type, "Command");
    EXPECT_TRUE(start->value.empty());
    EXPECT_NE(find("DeviceUserID"), nullptr);
    EXPECT_EQ(find("WidthReg"), nullptr);  // registers are not in any category

    camera_.SetU32(kLocked, 1);
    for (const auto& line : features_.List()) {
        if (line.name == "PixelFormat") {
            EXPECT_EQ(line.access, "RW locked");
        }
    }
}

TEST(DescriptionLocationTest, AcceptsOnlyTheLocalForm) {
    DescriptionLocation location;
    ASSERT_TRUE(KovonGrab::ParseDescriptionLocation("Local:RT-GA47E.xml;700;ed40", location));
    EXPECT_EQ(location.fileName, "RT-GA47E.xml");
    EXPECT_EQ(location.address, 0x700u);
    EXPECT_EQ(location.length, 0xed40u);
    ASSERT_TRUE(KovonGrab::ParseDescriptionLocation("local:cam.zip;A0000;1F?SchemaVersion=1.1.0", location));
    EXPECT_EQ(location.fileName, "cam.zip");
    EXPECT_EQ(location.address, 0xA0000u);
    EXPECT_EQ(location.length, 0x1Fu);
    for (const char* bad :
         {"", "Local:", "File:cam.xml", "http://host/cam.xml", "Local:cam.xml;700", "Local:;700;10",
          "Local:cam.xml;7g0;10", "Local:cam.xml;700;", "Local:cam.xml;1;2;3",
          "Local:cam.xml;11112222333344445;10", "Local:cam.xml;-1;10"}) {
        SCOPED_TRACE(bad);
        DescriptionLocation untouched;
        untouched.address = 42;
        EXPECT_FALSE(KovonGrab::ParseDescriptionLocation(bad, untouched));
        EXPECT_EQ(untouched.address, 42u);
    }
}

std::string ZipOf(const std::string& member, const std::string& content) {
    char dir[] = "/tmp/kovon-zip-XXXXXX";
    if (mkdtemp(dir) == nullptr) return std::string();
    const std::string path = std::string(dir) + "/d.zip";
    int error = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (zip == nullptr) return std::string();
    zip_source_t* source = zip_source_buffer(zip, content.data(), content.size(), 0);
    zip_file_add(zip, member.c_str(), source, ZIP_FL_OVERWRITE);
    zip_close(zip);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::system(("rm -rf " + std::string(dir)).c_str());
    return bytes.str();
}

TEST(FeaturesLoadTest, ReadsZippedDescriptions) {
    const std::string zipped = ZipOf("Fake.xml", kDescription);
    ASSERT_FALSE(zipped.empty());
    FakeCamera camera(Location("Fake.zip", zipped.size()), zipped);
    camera.SetU32(kWidth, 320);
    Features features(&camera);
    const FeatureStatus loaded = features.Load();
    ASSERT_TRUE(loaded.Ok()) << loaded.message;
    std::string value;
    ASSERT_TRUE(features.Get("Width", value).Ok());
    EXPECT_EQ(value, "320");
}

TEST(FeaturesLoadTest, RefusesDescriptionsItCannotUse) {
    const std::string notZip = "PK but not an archive";
    const std::string zipWithoutXml = ZipOf("readme.txt", "nothing here");
    struct Case {
        const char* what;
        std::string location;
        std::string description;
    } cases[] = {
        {"empty description", Location("Fake.xml", 0), ""},
        {"location not local", "File:/tmp/Fake.xml", kDescription},
        {"read refused by the camera", Location("Fake.xml", 10), kDescription},
        {"larger than any description", Location("Fake.xml", Features::kMaxDescriptionBytes + 1),
         kDescription},
        {"not XML", Location("Fake.xml", 11), "hello world"},
        {"damaged zip", Location("Fake.zip", notZip.size()), notZip},
        {"zip without XML", Location("Fake.zip", zipWithoutXml.size()), zipWithoutXml},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCamera camera(c.location, c.description);
        Features features(&camera);
        const FeatureStatus loaded = features.Load();
        EXPECT_EQ(loaded.outcome, FeatureOutcome::NoDescription);
        EXPECT_FALSE(loaded.message.empty());
        std::string value;
        EXPECT_EQ(features.Get("Width", value).outcome, FeatureOutcome::UnknownFeature);
    }
}

// The module's own USB 2.0 descriptions through the same layer: a monochrome and a colour model,
// with the lock that acquisition puts on the image format.
TEST(Usb2DescriptionFeaturesTest, ImageFormatLocksWhileAcquiring) {
    const struct {
        int id;
        const char* entries;
    } models[] = {{108, "one of Mono8, Mono10, Mono12, Mono14"}, {116, "one of Mono8, BayerBG8, BGR8Packed"}};
    constexpr size_t kMapSize = 0x4400, kAcquisitionEnabled = 0x154, kPixelFormatReg = 0x120;
    for (const auto& model : models) {
        SCOPED_TRACE(model.id);
        std::ifstream in(std::string(KOVON_USB2_DESCRIPTION_DIR) + "/DEVREGS_" + std::to_string(model.id) +
                         ".xml");
        std::ostringstream xml;
        xml << in.rdbuf();
        ASSERT_FALSE(xml.str().empty());
        FakeCamera camera(Location("Model.xml", xml.str().size()), xml.str(), kMapSize);
        camera.SetU32(kPixelFormatReg, 0x01080001);
        Features features(&camera);
        const FeatureStatus loaded = features.Load();
        ASSERT_TRUE(loaded.Ok()) << loaded.message;
        EXPECT_EQ(features.Limits("PixelFormat"), model.entries);
        EXPECT_GT(features.List().size(), 40u);

        ASSERT_TRUE(features.Execute("AcquisitionStart").Ok());
        EXPECT_EQ(camera.U32(kAcquisitionEnabled), 1u);
        const int writes = camera.Writes();
        EXPECT_EQ(features.Set("PixelFormat", "Mono8").outcome, FeatureOutcome::Locked);
        EXPECT_EQ(features.Execute("AcquisitionStart").outcome, FeatureOutcome::Locked);
        EXPECT_EQ(camera.Writes(), writes);

        ASSERT_TRUE(features.Execute("AcquisitionStop").Ok());
        EXPECT_TRUE(features.Set("PixelFormat", model.id == 108 ? "Mono12" : "BGR8Packed").Ok());
        EXPECT_EQ(camera.U32(kPixelFormatReg), model.id == 108 ? 0x01100005u : 0x02180015u);
    }
}

}  // namespace
