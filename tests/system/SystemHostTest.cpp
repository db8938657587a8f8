// The system object as a host sees it: the module loaded with dlopen, GetSystem, and calls
// through the host interfaces only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Lumora/Lumora.h"
#include "support/ModuleLoader.h"

namespace {

using KovonTest::ModuleLoader;
using Lumora::IInterface;
using Lumora::ISystem;
using Lumora::u64;

class SystemHost : public ::testing::Test {
protected:
    void SetUp() override {
        system = ModuleLoader::Instance().NewSystem();
        ASSERT_NE(system, nullptr);
    }
    void TearDown() override {
        if (system != nullptr) system->Release();
    }
    static std::string Param(IInterface* object, u64 id) {
        char buffer[512] = {};
        u64 size = sizeof buffer;
        return object->GetParam(id, buffer, size) == 0 ? buffer : "<error>";
    }
    ISystem* system = nullptr;
};

TEST_F(SystemHost, ListsThreeInterfacesInOrder) {
    unsigned count = 0;
    ASSERT_EQ(system->GetNumInterfaces(count), 0);
    EXPECT_EQ(count, 3u);
    const char* expected[] = {"Interface_USB", "Interface_GigEVision", "Interface_U3Vision"};
    for (unsigned i = 0; i < 3; ++i) {
        char name[64] = {};
        u64 size = sizeof name;
        ASSERT_EQ(system->GetInterfaceName(i, name, size), 0);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(size, std::strlen(expected[i]) + 1);
    }
    EXPECT_EQ(system->GetNumInterfaces(count), 0) << "a second update keeps the list";
    EXPECT_EQ(count, 3u);
}

TEST_F(SystemHost, InterfaceNameBufferRules) {
    u64 size = 999;
    EXPECT_EQ(system->GetInterfaceName(0, nullptr, size), 0);
    EXPECT_EQ(size, 14u) << "13 characters plus NUL";

    char small[13];
    std::memset(small, 'x', sizeof small);
    size = sizeof small;
    EXPECT_EQ(system->GetInterfaceName(0, small, size), -1009);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(small[0], 'x');

    char buffer[32];
    size = 0;
    EXPECT_EQ(system->GetInterfaceName(0, buffer, size), -1009) << "a buffer of unstated capacity is refused";
    EXPECT_EQ(size, 0u);

    size = 77;
    EXPECT_EQ(system->GetInterfaceName(3, buffer, size), -1009);
    EXPECT_EQ(size, 77u);
}

TEST_F(SystemHost, InterfaceIdentities) {
    const struct {
        const char* name;
        const char* type;
        const char* description;
        const char* tlType;
    } cases[] = {
        {"Interface_USB", "USB", "Tarvek USB2.0 Camera", "Custom"},
        {"Interface_GigEVision", "GIGE", "Tarvek GigEVision Camera", "GEV"},
        {"Interface_U3Vision", "U3V", "Tarvek USB3Vision Camera", "U3V"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IInterface* info = nullptr;
        ASSERT_EQ(system->GetInterface(c.name, info), 0);
        EXPECT_EQ(Param(info, 1), c.name);
        EXPECT_EQ(Param(info, 2), c.type);
        EXPECT_EQ(Param(info, 3), c.description);
        EXPECT_EQ(Param(info, 5), c.tlType);
        info->Release();
    }
}

TEST_F(SystemHost, GigEInterfaceNameSizeRules) {
    IInterface* gige = nullptr;
    ASSERT_EQ(system->GetInterface("Interface_GigEVision", gige), 0);
    u64 size = 0;
    EXPECT_EQ(gige->GetParam(1, nullptr, size), 0);
    EXPECT_EQ(size, 21u);
    char exact[21];
    size = sizeof exact;
    EXPECT_EQ(gige->GetParam(1, exact, size), 0);
    EXPECT_STREQ(exact, "Interface_GigEVision");
    char short20[20];
    std::memset(short20, 'x', sizeof short20);
    size = sizeof short20;
    EXPECT_EQ(gige->GetParam(1, short20, size), -1009);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(short20[0], 'x');
    size = 5;
    EXPECT_EQ(gige->GetParam(6, exact, size), 0);
    EXPECT_EQ(size, 0u) << "id 6 carries nothing";
    gige->Release();
}

TEST_F(SystemHost, LookupsAreExactCaseSensitiveNames) {
    const struct {
        const char* name;
        int status;
    } cases[] = {{"Interface_GigEVision", 0}, {"interface_gigevision", -1009}, {"Interface_GIGE", -1009},
                 {"Interface_GigEVision ", -1009}, {"", -1009}, {nullptr, -1009}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
        for (int open = 0; open < 2; ++open) {
            IInterface* out = reinterpret_cast<IInterface*>(0x1);
            const int status = open ? system->OpenInterface(c.name, out) : system->GetInterface(c.name, out);
            EXPECT_EQ(status, c.status);
            if (status == 0) {
                ASSERT_NE(out, nullptr);
                out->Release();
            } else {
                EXPECT_EQ(out, nullptr);
            }
        }
    }
}

TEST_F(SystemHost, InfoCopiesAreDistinctAndOwnedByTheCaller) {
    IInterface* a = nullptr;
    IInterface* b = nullptr;
    ASSERT_EQ(system->GetInterface("Interface_GigEVision", a), 0);
    ASSERT_EQ(system->GetInterface("Interface_GigEVision", b), 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->Release(), 0u);
    EXPECT_EQ(b->Release(), 0u);
    unsigned count = 0;
    EXPECT_EQ(system->GetNumInterfaces(count), 0);
    EXPECT_EQ(count, 3u);
}

TEST_F(SystemHost, SecondOpenGivesAnInfoCopyAndReleaseAllowsAFreshOpen) {
    IInterface* opened = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", opened), 0);
    IInterface* second = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", second), 0);
    EXPECT_NE(second, opened);
    // The copy is parentless: releasing it must not unlink the opened interface.
    second->Release();
    IInterface* third = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", third), 0);
    EXPECT_NE(third, opened);
    third->Release();

    opened->Release();
    IInterface* reopened = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", reopened), 0);
    // Opened, not a copy: a further open yields a copy again.
    IInterface* copy = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_GigEVision", copy), 0);
    EXPECT_NE(copy, reopened);
    copy->Release();
    // 'reopened' is released with the system.
}

TEST_F(SystemHost, ReleasingTheSystemReleasesOpenedInterfacesButNotCopies) {
    IInterface* usb = nullptr;
    IInterface* u3v = nullptr;
    IInterface* copy = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_USB", usb), 0);
    ASSERT_EQ(system->OpenInterface("Interface_U3Vision", u3v), 0);
    ASSERT_EQ(system->GetInterface("Interface_USB", copy), 0);
    EXPECT_EQ(system->Release(), 0u);
    system = nullptr;
    // The info copy is the host's: still valid after the system is gone.
    EXPECT_EQ(Param(copy, 1), "Interface_USB");
    copy->Release();
}

TEST_F(SystemHost, SystemParamsAndShare) {
    char buffer[8] = {'x'};
    u64 size = sizeof buffer;
    EXPECT_EQ(system->GetParam(ISystem::SYSTEM_PARAM_NONE, buffer, size), -1009);
    EXPECT_EQ(system->SetParam(static_cast<ISystem::SYSTEM_PARAM>(7), buffer, size), -1009);
    EXPECT_EQ(size, sizeof buffer);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(system->Share(), 0u);
    IInterface* iface = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_USB", iface), 0);
    EXPECT_EQ(iface->Share(), static_cast<unsigned>(-1001));
}

TEST_F(SystemHost, EverySystemIsIndependent) {
    ISystem* other = ModuleLoader::Instance().NewSystem();
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, system);
    IInterface* a = nullptr;
    IInterface* b = nullptr;
    ASSERT_EQ(system->OpenInterface("Interface_USB", a), 0);
    ASSERT_EQ(other->OpenInterface("Interface_USB", b), 0) << "an open in one system is not seen by another";
    other->Release();
}

// A host built separately reaches each operation by its position in the virtual table. With the
// Itanium C++ ABI the virtual destructor takes the first two entries, so operation slot n sits
// at entry n + 1. Call a few operations by raw entry to pin the layout.
template <typename Fn, typename T>
Fn Slot(T* object, int slot) {
    void** vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Fn>(vtable[slot + 1]);
}

TEST_F(SystemHost, OperationsSitAtTheirSlots) {
    unsigned count = 0;
    auto getNumInterfaces = Slot<int (*)(ISystem*, unsigned&)>(system, 1);
    EXPECT_EQ(getNumInterfaces(system, count), 0);
    EXPECT_EQ(count, 3u);

    auto openInterface = Slot<int (*)(ISystem*, const char*, IInterface*&)>(system, 4);
    IInterface* iface = nullptr;
    ASSERT_EQ(openInterface(system, "Interface_GigEVision", iface), 0);

    auto getParam = Slot<int (*)(IInterface*, u64, void*, u64&)>(iface, 6);
    u64 size = 0;
    EXPECT_EQ(getParam(iface, 1, nullptr, size), 0);
    EXPECT_EQ(size, 21u);

    auto share = Slot<unsigned (*)(IInterface*)>(iface, 10);
    EXPECT_EQ(share(iface), static_cast<unsigned>(-1001));

    auto systemShare = Slot<unsigned (*)(ISystem*)>(system, 8);
    EXPECT_EQ(systemShare(system), 0u);
    auto release = Slot<unsigned (*)(ISystem*)>(system, 7);
    EXPECT_EQ(release(system), 0u);
    system = nullptr;
}

}  // namespace
