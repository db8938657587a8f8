#include "usb2/ModelTable.h"

#include "usb2/Models.h"

namespace Kovon {
namespace {

template <typename Model>
CDeviceUSBBase* Make(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                     const UsbDeviceTexts& texts) {
    return new Model(system, parentInterface, texts);
}

}  // namespace

const UsbModel kUsbModels[kUsbModelCount] = {
    {"SN_4811", "RT-GA47E", Make<CDeviceRTGA47E>},    {"SN_4812", "RT-GA46E", Make<CDeviceRTGA46E>},
    {"SN_4820", "RT-GB47E", Make<CDeviceRTGB47E>},    {"SN_4832", "RT-GC46E", Make<CDeviceRTGC46E>},
    {"SN_4833", "RT-GC47E", Make<CDeviceRTGC47E>},    {"SN_4834", "RT-GD48E", Make<CDeviceRTGD48E>},
    {"SN_4840", "RT-GE45E", Make<CDeviceRTGE45E>},    {"SN_4851", "RT-KA47E", Make<CDeviceRTKA47E>},
    {"SN_4852", "RT-KA46E", Make<CDeviceRTKA46E>},    {"SN_4860", "RT-KB47E", Make<CDeviceRTKB47E>},
    {"SN_4871", "RT-KC47E", Make<CDeviceRTKC47E>},    {"SN_4873", "RT-KD48E", Make<CDeviceRTKD48E>},
    {"SN_4880", "RT-KE45E", Make<CDeviceRTKE45E>},    {"SN_4305", "PQ-L582H", Make<CDevicePQL582H>},
    {"SN_4845", "RT-GA47E-P", Make<CDeviceRTGA47EP>}, {"SN_4846", "RT-KA47E-P", Make<CDeviceRTKA47EP>},
};

const UsbModel* FindUsbModel(const std::string& serialNumber) {
    if (serialNumber.size() < kSerialPrefixLength) return nullptr;
    const std::string prefix = serialNumber.substr(0, kSerialPrefixLength);
    for (const UsbModel& model : kUsbModels) {
        if (prefix == model.serialPrefix) return &model;
    }
    return nullptr;
}

}  // namespace Kovon
