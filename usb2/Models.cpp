#include "usb2/Models.h"

namespace Kovon {

// A model loads its register description only when it is made as an opened object (a system is
// set); enumeration results and info copies carry none.

CDeviceRTGA47E::CDeviceRTGA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGA46E::CDeviceRTGA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGB47E::CDeviceRTGB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGC46E::CDeviceRTGC46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGC47E::CDeviceRTGC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGD48E::CDeviceRTGD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGE45E::CDeviceRTGE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKA47E::CDeviceRTKA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKA46E::CDeviceRTKA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKB47E::CDeviceRTKB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKC47E::CDeviceRTKC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKD48E::CDeviceRTKD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKE45E::CDeviceRTKE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDevicePQL582H::CDevicePQL582H(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTGA47EP::CDeviceRTGA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                                 const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

CDeviceRTKA47EP::CDeviceRTKA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                                 const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) LoadXML();
}

}  // namespace Kovon
