// The USB3 Vision status mapping as a table, and the building of the camera list from discovery
// records (unreadable records, texts that fill their fields).
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "u3v/InterfaceU3V.h"
#include "u3v/U3vStatus.h"

namespace {

using Kovon::ReturnU3VError;

TEST(U3vStatus, MapsEveryListedResult) {
    const struct {
        uint16_t result;
        int status;
    } table[] = {
        {0x0000, 0},     {0x8001, -1003}, {0x8002, -1009}, {0x8003, -1015}, {0x8006, -1005}, {0x8007, -1004},
        {0x800B, -1011}, {0x800E, -1006}, {0x800F, -1002}, {0xA101, -1019}, {0xC001, -1002}, {0xC002, -1002},
        {0xC003, -1002}, {0xC004, -1002}, {0xC005, -1002}, {0xC006, -1002}, {0xC007, -1002}, {0xC008, -1002},
        {0xC011, -1002}, {0xC012, -1002}, {0xC015, -1002}, {0xC016, -1002}, {0xC010, -1014}, {0xC014, -1014},
        {0xC017, -1014}, {0xC018, -1011}, {0xC01A, -1006}, {0xC01E, -1013},
    };
    std::set<uint16_t> listed;
    for (const auto& row : table) {
        EXPECT_EQ(ReturnU3VError(row.result), row.status) << std::hex << row.result;
        listed.insert(row.result);
    }
    // Everything else, neighbours of listed values included, is a generic error.
    for (uint32_t r = 1; r <= 0xFFFF; ++r) {
        if (listed.count(static_cast<uint16_t>(r)) == 0) {
            ASSERT_EQ(ReturnU3VError(static_cast<uint16_t>(r)), -1001) << std::hex << r;
        }
    }
}

Kovon::Tessa::U3V_DISCOVERY_INFO Record(const char* serial, uint8_t access) {
    Kovon::Tessa::U3V_DISCOVERY_INFO r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.devicePath, sizeof r.devicePath, "path-%s", serial);
    std::snprintf(r.modelName, sizeof r.modelName, "MODEL");
    std::snprintf(r.deviceGuid, sizeof r.deviceGuid, "GUID-%s", serial);
    std::snprintf(r.serialNumber, sizeof r.serialNumber, "%s", serial);
    r.accessCode = access;
    return r;
}

TEST(U3vDiscovery, SkipsUnreadableRecordsAndMapsAccessCodes) {
    // Index 2 cannot be read; index 4 carries an access code without a meaning.
    auto getInfo = [](uint16_t index, Kovon::Tessa::U3V_DISCOVERY_INFO* out) -> uint16_t {
        switch (index) {
            case 1:
                *out = Record("S1", 0);
                return 0;
            case 2:
                return 0xC001;
            case 3:
                *out = Record("S3", 2);
                return 0;
            case 4:
                *out = Record("S4", 9);
                return 0;
            case 5:
                *out = Record("S5", 1);
                return 0;
            default:
                return 0xC001;
        }
    };
    const auto cameras = Kovon::ListU3vCameras(5, getInfo);
    ASSERT_EQ(cameras.size(), 4u);
    const struct {
        const char* name;
        int access;
    } expected[] = {{"MODEL_SN_S1", 1}, {"MODEL_SN_S3", 1000}, {"MODEL_SN_S4", 0}, {"MODEL_SN_S5", 3}};
    for (size_t i = 0; i < cameras.size(); ++i) {
        EXPECT_EQ(cameras[i].texts.deviceName, expected[i].name);
        EXPECT_EQ(cameras[i].accessCode, expected[i].access) << i;
    }
    EXPECT_EQ(cameras[1].texts.devicePath, "path-S3");
    EXPECT_EQ(cameras[1].texts.firstText, "GUID-S3");
    EXPECT_EQ(cameras[1].texts.serialText, "SN_S3");
    EXPECT_EQ(cameras[1].texts.vendorName, "Tarvek Co., LTD");
    EXPECT_EQ(cameras[1].texts.version, "4.7.0.0");
}

TEST(U3vDiscovery, TextsThatFillTheirFieldsStayInside) {
    auto getInfo = [](uint16_t, Kovon::Tessa::U3V_DISCOVERY_INFO* out) -> uint16_t {
        std::memset(out, 'A', sizeof *out);  // no NUL anywhere
        return 0;
    };
    const auto cameras = Kovon::ListU3vCameras(1, getInfo);
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].texts.devicePath.size(), sizeof(Kovon::Tessa::U3V_DISCOVERY_INFO::devicePath));
    EXPECT_EQ(cameras[0].texts.modelName.size(), 128u);
    EXPECT_EQ(cameras[0].texts.serialText.size(), 3u + 129u);
    EXPECT_EQ(cameras[0].accessCode, 0);
}

}  // namespace
