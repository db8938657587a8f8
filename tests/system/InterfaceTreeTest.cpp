// The device-list rules every transport interface shares, checked with a fake transport.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "system/InterfaceBase.h"
#include "system/ParamCopy.h"

namespace Kovon {
namespace {

using Lumora::u64;

std::vector<std::string>* gDestroyed = nullptr;

class FakeDevice : public Lumora::INewDevice {
public:
    FakeDevice(Lumora::ILink* parent, std::string name, uint8_t index) : parent_(parent), name_(std::move(name)), index_(index) {}
    ~FakeDevice() override {
        if (gDestroyed != nullptr) gDestroyed->push_back(name_ + (parent_ != nullptr ? "(open)" : "(info)"));
        if (parent_ != nullptr) parent_->ReleaseChild(static_cast<Lumora::IDevice*>(this));
    }
    int GetNumStreams(unsigned& count) override { count = 0; return 0; }
    int GetStreamName(unsigned, char*, u64&) override { return -1009; }
    int GetStream(unsigned, Lumora::IStream*&) override { return -1009; }
    int OpenStream(unsigned, Lumora::IStream*&) override { return -1009; }
    int SetParam(u64, void*, u64&) override { return -1009; }
    int GetParam(u64, void*, u64&) override { return -1009; }
    int SetValue(u64, void*, u64&) override { return -1009; }
    int GetValue(u64, void*, u64&) override { return -1009; }
    int GetInfo(u64 id, void* buffer, u64& size) override {
        if (id == 1) { CopyParamString(buffer, &size, name_); return 0; }
        if (id == 11) { CopyParamBytes(buffer, &size, &index_, 1); return 0; }
        return -1003;
    }
    int RegisterEventCallBack(Lumora::EventCallBack, void*) override { return 0; }
    unsigned Release() override { delete this; return 0; }
    unsigned Share() override { return 0; }
    void ReleaseChild(void*) override {}

private:
    Lumora::ILink* parent_;
    std::string name_;
    uint8_t index_;
};

class FakeInterface : public CInterfaceBase {
public:
    FakeInterface() : CInterfaceBase(nullptr, "Interface_Fake", "FAKE", "fake", "Custom") {}
    ~FakeInterface() override { ReleaseChildren(); }

    std::vector<std::string> cameras;
    std::set<std::string> refuseOpen;
    std::vector<int> unlinked;
    int updates = 0;

    int UpdateDeviceList(unsigned) override {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        ++updates;
        DeleteDeviceList();
        for (const std::string& name : cameras) deviceList_.push_back(new FakeDevice(nullptr, name, 0));
        deviceListBuilt_ = true;
        return 0;
    }
    size_t OpenCount() const { return addList_.size(); }

protected:
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override {
        char name[64];
        u64 size = sizeof name;
        info->GetInfo(1, name, size);
        if (refuseOpen.count(name) != 0) return nullptr;
        return new FakeDevice(this, name, static_cast<uint8_t>(addList_.size() + 1));
    }
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override {
        char name[64];
        u64 size = sizeof name;
        source->GetInfo(1, name, size);
        return new FakeDevice(nullptr, name, 0);
    }
    int OpenFailureStatus() const override { return -1005; }
    void OnDeviceUnlinked(uint8_t index) override { unlinked.push_back(index); }
};

class InterfaceTree : public ::testing::Test {
protected:
    void SetUp() override {
        gDestroyed = &destroyed;
        iface = new FakeInterface();
        iface->cameras = {"CamA_SN_1", "CamB_SN_2"};
    }
    void TearDown() override {
        if (iface != nullptr) iface->Release();
        gDestroyed = nullptr;
    }
    std::string NameAt(unsigned index) {
        char buffer[64] = {};
        u64 size = sizeof buffer;
        return iface->GetDeviceName(index, buffer, size) == 0 ? buffer : "<error>";
    }
    std::vector<std::string> destroyed;
    FakeInterface* iface = nullptr;
};

TEST_F(InterfaceTree, ListsByIndexAndBuildsTheListOnFirstUse) {
    EXPECT_EQ(NameAt(0), "CamA_SN_1");
    EXPECT_EQ(iface->updates, 1);
    EXPECT_EQ(NameAt(1), "CamB_SN_2");
    EXPECT_EQ(iface->updates, 1) << "a built list is not rebuilt by GetDeviceName";
    EXPECT_EQ(NameAt(2), "<error>");
    unsigned count = 0;
    EXPECT_EQ(iface->GetNumDevices(count, 100), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(iface->updates, 2) << "GetNumDevices always updates";
}

TEST_F(InterfaceTree, LookupsAreExactAndCaseSensitive) {
    const struct {
        const char* name;
        int status;
    } cases[] = {{"CamA_SN_1", 0}, {"cama_sn_1", -1009}, {"CamA_SN_", -1009}, {"CamA_SN_10", -1009}, {"", -1009},
                 {nullptr, -1009}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
        Lumora::IDevice* out = reinterpret_cast<Lumora::IDevice*>(0x1);
        EXPECT_EQ(iface->GetDevice(c.name, out), c.status);
        if (c.status == 0) {
            ASSERT_NE(out, nullptr);
            out->Release();
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
}

TEST_F(InterfaceTree, OpenTwiceFailsAndInfoCopiesAreIndependent) {
    Lumora::IDevice* opened = nullptr;
    ASSERT_EQ(iface->OpenDevice("CamA_SN_1", opened), 0);
    Lumora::IDevice* again = reinterpret_cast<Lumora::IDevice*>(0x1);
    EXPECT_EQ(iface->OpenDevice("CamA_SN_1", again), -1001);
    EXPECT_EQ(again, nullptr);

    Lumora::IDevice* copy1 = nullptr;
    Lumora::IDevice* copy2 = nullptr;
    ASSERT_EQ(iface->GetDevice("CamA_SN_1", copy1), 0);
    ASSERT_EQ(iface->GetDevice("CamA_SN_1", copy2), 0);
    EXPECT_NE(copy1, copy2);
    EXPECT_NE(copy1, opened);
    copy1->Release();
    copy2->Release();
    EXPECT_EQ(iface->OpenCount(), 1u) << "releasing info copies leaves the opened device alone";
}

TEST_F(InterfaceTree, FailedOpenReportsTheTransportStatusAndLeavesOutUntouched) {
    iface->refuseOpen = {"CamB_SN_2"};
    Lumora::IDevice* sentinel = reinterpret_cast<Lumora::IDevice*>(0x1234);
    Lumora::IDevice* out = sentinel;
    EXPECT_EQ(iface->OpenDevice("CamB_SN_2", out), -1005);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(iface->OpenCount(), 0u);
}

TEST_F(InterfaceTree, ReleaseUnlinksAndReopenWorks) {
    Lumora::IDevice* a = nullptr;
    Lumora::IDevice* b = nullptr;
    ASSERT_EQ(iface->OpenDevice("CamA_SN_1", a), 0);
    ASSERT_EQ(iface->OpenDevice("CamB_SN_2", b), 0);
    EXPECT_EQ(a->Release(), 0u);
    EXPECT_EQ(iface->OpenCount(), 1u);
    EXPECT_EQ(iface->unlinked, std::vector<int>{1}) << "the unlink reads the camera index";
    ASSERT_EQ(iface->OpenDevice("CamA_SN_1", a), 0);
    EXPECT_EQ(iface->OpenCount(), 2u);
}

TEST_F(InterfaceTree, ReleasingTheInterfaceReleasesInfoListThenOpenedDevices) {
    unsigned count = 0;
    iface->GetNumDevices(count, 0);
    Lumora::IDevice* a = nullptr;
    Lumora::IDevice* b = nullptr;
    ASSERT_EQ(iface->OpenDevice("CamB_SN_2", b), 0);
    ASSERT_EQ(iface->OpenDevice("CamA_SN_1", a), 0);
    destroyed.clear();
    iface->Release();
    iface = nullptr;
    const std::vector<std::string> expected = {"CamA_SN_1(info)", "CamB_SN_2(info)", "CamB_SN_2(open)",
                                               "CamA_SN_1(open)"};
    EXPECT_EQ(destroyed, expected);
}

TEST_F(InterfaceTree, ShareChangesNothing) {
    EXPECT_EQ(iface->Share(), static_cast<unsigned>(-1001));
    Lumora::IDevice* a = nullptr;
    ASSERT_EQ(iface->OpenDevice("CamA_SN_1", a), 0);
    EXPECT_EQ(a->Share(), 0u);
    a->Release();  // one Release still destroys it
    EXPECT_EQ(iface->OpenCount(), 0u);
}

}  // namespace
}  // namespace Kovon
