#pragma once
// The model table: serial-number prefix, model name and the factory of the model's device class.
// Enumeration, opening and info copies all choose a camera's class through it.
#include <cstddef>
#include <string>

#include "usb2/DeviceUSBBase.h"

namespace Kovon {

struct UsbModel {
    const char* serialPrefix;  // compared with the first seven characters of the serial number
    const char* modelName;
    CDeviceUSBBase* (*make)(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                            const UsbDeviceTexts& texts);
};

constexpr size_t kUsbModelCount = 16;
constexpr size_t kSerialPrefixLength = 7;
extern const UsbModel kUsbModels[kUsbModelCount];

// The first model whose prefix equals the first seven characters of 'serialNumber', or null.
const UsbModel* FindUsbModel(const std::string& serialNumber);

}  // namespace Kovon
