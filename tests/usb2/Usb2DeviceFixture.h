// Opened USB 2.0 devices on simulated cameras, for the device tests: a model's device class made
// as the interface makes it (with a system, so it loads its description), opened on a simulated
// camera, with the pauses recorded instead of waited.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "system/System.h"
#include "usb2/DeviceUSBBase.h"
#include "usb2/ModelTable.h"

namespace Kovon::Test {

// Pauses asked for by devices, in milliseconds.
inline std::vector<unsigned>& Pauses() {
    static std::vector<unsigned> pauses;
    return pauses;
}
inline void RecordPause(unsigned ms) {
    Pauses().push_back(ms);
}

inline const UsbModel& ModelNamed(const std::string& name) {
    for (const UsbModel& model : kUsbModels)
        if (name == model.modelName) return model;
    ADD_FAILURE() << "no model " << name;
    return kUsbModels[0];
}

// Texts as the interface makes them. The serial number carries this process's id, so that test
// programs running side by side never ask for the same camera name (the named mutex reaches
// across processes).
inline UsbDeviceTexts TextsFor(const UsbModel& model, unsigned instance, const std::string& firmware) {
    UsbDeviceTexts texts;
    char serial[32];
    std::snprintf(serial, sizeof serial, "%s%05X%X", model.serialPrefix,
                  static_cast<unsigned>(getpid()) & 0xFFFFFu, instance & 0xFu);
    texts.firmwareVersion = firmware;
    texts.modelName = model.modelName;
    texts.serialNumber = serial;
    texts.deviceName = texts.modelName + "_" + texts.serialNumber;
    texts.versionText = kUsbVersionText;
    texts.vendorName = kUsbVendorName;
    texts.vendorInfo = kUsbVendorInfo;
    texts.instanceName = "ZEDIVOXU-" + std::to_string(instance);
    return texts;
}

class Usb2DeviceTest : public ::testing::Test {
protected:
    static constexpr unsigned kInstance = 5;

    void SetUp() override {
        KovonSimUsb2_UnplugAll();
        Pauses().clear();
    }
    void TearDown() override {
        device.reset();
        KovonSimUsb2_UnplugAll();
    }

    // Plugs a camera in at kInstance and opens the model's device on it.
    CDeviceUSBBase* Open(const std::string& modelName, const std::string& firmware = "0.0.5.9") {
        const unsigned char serial[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x01};
        EXPECT_EQ(KovonSimUsb2_Plug(kInstance, serial, 0x0059, 0x0200), KOVON_SIM_OK);
        device.reset(ModelNamed(modelName).make(&system, nullptr,
                                                TextsFor(ModelNamed(modelName), kInstance, firmware)));
        device->SetPauseFunction(RecordPause);
        EXPECT_EQ(device->OpenDriver(), 1);
        KovonSimUsb2_ResetCounters(kInstance);
        return device.get();
    }

    // Parameter calls with 4-byte values.
    int Set(uint64_t address, uint32_t value) {
        Lumora::u64 size = sizeof value;
        return device->SetParam(address, &value, size);
    }
    int SetF(uint64_t address, float value) {
        Lumora::u64 size = sizeof value;
        return device->SetParam(address, &value, size);
    }
    int SetCache(uint64_t address, uint32_t value) {
        Lumora::u64 size = sizeof value;
        return device->SetValue(address, &value, size);
    }
    int SetCacheF(uint64_t address, float value) {
        Lumora::u64 size = sizeof value;
        return device->SetValue(address, &value, size);
    }
    // GetParam; the value is 0xEEEEEEEE when nothing was copied.
    uint32_t Get(uint64_t address, int* status = nullptr) {
        uint32_t value = 0xEEEEEEEE;
        Lumora::u64 size = sizeof value;
        const int s = device->GetParam(address, &value, size);
        if (status != nullptr)
            *status = s;
        else
            EXPECT_EQ(s, 0) << std::hex << address;
        return value;
    }
    float GetF(uint64_t address, int* status = nullptr) {
        const uint32_t bits = Get(address, status);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    uint32_t Cached(uint64_t address) {
        uint32_t value = 0xEEEEEEEE;
        Lumora::u64 size = sizeof value;
        EXPECT_EQ(device->GetValue(address, &value, size), 0) << std::hex << address;
        return value;
    }
    float CachedF(uint64_t address) {
        const uint32_t bits = Cached(address);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // The simulated camera's registers.
    static uint16_t Peek(uint16_t reg) {
        unsigned short value = 0;
        EXPECT_EQ(KovonSimUsb2_PeekRegister(kInstance, reg, &value), KOVON_SIM_OK);
        return value;
    }
    static uint32_t Peek32(uint16_t reg) {
        return Peek(reg) | uint32_t{Peek(static_cast<uint16_t>(reg + 2))} << 16;
    }
    static void Poke(uint16_t reg, uint16_t value) {
        EXPECT_EQ(KovonSimUsb2_PokeRegister(kInstance, reg, value), KOVON_SIM_OK);
    }
    static void Poke32(uint16_t reg, uint32_t value) {
        Poke(reg, static_cast<uint16_t>(value));
        Poke(static_cast<uint16_t>(reg + 2), static_cast<uint16_t>(value >> 16));
    }
    static uint64_t Requests() {
        KovonSimUsb2Counters counters{};
        EXPECT_EQ(KovonSimUsb2_GetCounters(kInstance, &counters), KOVON_SIM_OK);
        return counters.registerRequests;
    }
    // Makes the next requests of one register fail on every attempt of the channel.
    static void FailRegister(uint16_t reg) {
        EXPECT_EQ(KovonSimUsb2_FailRegister(kInstance, reg, 5), KOVON_SIM_OK);
    }

    CSystem system;
    std::unique_ptr<CDeviceUSBBase> device;
};

}  // namespace Kovon::Test
