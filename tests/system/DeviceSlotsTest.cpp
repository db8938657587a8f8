// A host built separately reaches a device's operations by their position in the virtual table,
// the operations each device class adds after the host interface included. The three devices
// share a base class for their stream rules; these tables pin that the base moves no operation.
//
// With the Itanium C++ ABI a pointer to a virtual member function holds 1 + the byte offset of
// its entry, and the destructor takes the first two entries, so slot n sits at entry n + 1.
// Entry 14 (slot 13) repeats ReleaseChild, the ILink operation the device overrides.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "gige/DeviceGigEBase.h"
#include "u3v/DeviceU3VBase.h"
#include "usb2/DeviceUSBBase.h"

namespace Kovon {
namespace {

template <typename Member>
std::ptrdiff_t Slot(Member member) {
    struct Raw {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adjust;
    } raw;
    static_assert(sizeof(Member) == sizeof(Raw), "a pointer to member function is two words");
    std::memcpy(&raw, &member, sizeof raw);
    return (raw.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)) - 1;
}

template <typename Device>
void ExpectHostSlots() {
    EXPECT_EQ(Slot(&Device::GetNumStreams), 1);
    EXPECT_EQ(Slot(&Device::GetStreamName), 2);
    EXPECT_EQ(Slot(&Device::GetStream), 3);
    EXPECT_EQ(Slot(&Device::OpenStream), 4);
    EXPECT_EQ(Slot(&Device::SetParam), 5);
    EXPECT_EQ(Slot(&Device::GetParam), 6);
    EXPECT_EQ(Slot(&Device::SetValue), 7);
    EXPECT_EQ(Slot(&Device::GetValue), 8);
    EXPECT_EQ(Slot(&Device::GetInfo), 9);
    EXPECT_EQ(Slot(&Device::RegisterEventCallBack), 10);
    EXPECT_EQ(Slot(&Device::Release), 11);
    EXPECT_EQ(Slot(&Device::Share), 12);
    EXPECT_EQ(Slot(static_cast<void (Device::*)(void*)>(&Device::ReleaseChild)), 13);
}

TEST(DeviceSlots, HostOperationsKeepTheirSlots) {
    ExpectHostSlots<CDeviceGigEBase>();
    ExpectHostSlots<CDeviceU3VBase>();
    ExpectHostSlots<CDeviceUSBBase>();
}

TEST(DeviceSlots, AddedOperationsFollowInTheirOrder) {
    // GigE Vision and USB3 Vision begin with EventCallBack; USB 2.0 has none and ends with LoadXML.
    EXPECT_EQ(Slot(&CDeviceGigEBase::EventCallBack), 14);
    EXPECT_EQ(Slot(&CDeviceGigEBase::Create_Mutex), 15);
    EXPECT_EQ(Slot(&CDeviceGigEBase::Release_Mutex), 16);
    EXPECT_EQ(Slot(&CDeviceGigEBase::UpdateStreamList), 17);
    EXPECT_EQ(Slot(&CDeviceGigEBase::CreateObjectForAddList), 18);
    EXPECT_EQ(Slot(&CDeviceGigEBase::CopyObjectForInfo), 19);

    EXPECT_EQ(Slot(&CDeviceU3VBase::EventCallBack), 14);
    EXPECT_EQ(Slot(&CDeviceU3VBase::Create_Mutex), 15);
    EXPECT_EQ(Slot(&CDeviceU3VBase::Release_Mutex), 16);
    EXPECT_EQ(Slot(&CDeviceU3VBase::UpdateStreamList), 17);
    EXPECT_EQ(Slot(&CDeviceU3VBase::CreateObjectForAddList), 18);
    EXPECT_EQ(Slot(&CDeviceU3VBase::CopyObjectForInfo), 19);

    EXPECT_EQ(Slot(&CDeviceUSBBase::Create_Mutex), 14);
    EXPECT_EQ(Slot(&CDeviceUSBBase::Release_Mutex), 15);
    EXPECT_EQ(Slot(&CDeviceUSBBase::UpdateStreamList), 16);
    EXPECT_EQ(Slot(&CDeviceUSBBase::CreateObjectForAddList), 17);
    EXPECT_EQ(Slot(&CDeviceUSBBase::CopyObjectForInfo), 18);
    EXPECT_EQ(Slot(&CDeviceUSBBase::LoadXML), 19);
}

}  // namespace
}  // namespace Kovon
