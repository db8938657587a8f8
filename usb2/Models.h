#pragma once
// The sixteen USB 2.0 camera models. Each is a device class of its own, chosen by the model table
// (ModelTable.h) from the camera's serial-number prefix; the sensor constants, the conversions
// that differ between models and the loading of each model's register description live here.
#include "usb2/DeviceUSBBase.h"

namespace Kovon {

class KOVON_API CDeviceRTGA47E : public CDeviceUSBBase {  // RT-GA47E
public:
    CDeviceRTGA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGA46E : public CDeviceUSBBase {  // RT-GA46E
public:
    CDeviceRTGA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGB47E : public CDeviceUSBBase {  // RT-GB47E
public:
    CDeviceRTGB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGC46E : public CDeviceUSBBase {  // RT-GC46E
public:
    CDeviceRTGC46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGC47E : public CDeviceUSBBase {  // RT-GC47E
public:
    CDeviceRTGC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGD48E : public CDeviceUSBBase {  // RT-GD48E
public:
    CDeviceRTGD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGE45E : public CDeviceUSBBase {  // RT-GE45E
public:
    CDeviceRTGE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKA47E : public CDeviceUSBBase {  // RT-KA47E
public:
    CDeviceRTKA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKA46E : public CDeviceUSBBase {  // RT-KA46E
public:
    CDeviceRTKA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKB47E : public CDeviceUSBBase {  // RT-KB47E
public:
    CDeviceRTKB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKC47E : public CDeviceUSBBase {  // RT-KC47E
public:
    CDeviceRTKC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKD48E : public CDeviceUSBBase {  // RT-KD48E
public:
    CDeviceRTKD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKE45E : public CDeviceUSBBase {  // RT-KE45E
public:
    CDeviceRTKE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDevicePQL582H : public CDeviceUSBBase {  // PQ-L582H
public:
    CDevicePQL582H(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTGA47EP : public CDeviceUSBBase {  // RT-GA47E-P
public:
    CDeviceRTGA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                    const UsbDeviceTexts& texts);
};

class KOVON_API CDeviceRTKA47EP : public CDeviceUSBBase {  // RT-KA47E-P
public:
    CDeviceRTKA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                    const UsbDeviceTexts& texts);
};

}  // namespace Kovon
