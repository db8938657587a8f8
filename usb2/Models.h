#pragma once
// The sixteen USB 2.0 camera models. Each is a device class of its own, chosen by the model table
// (ModelTable.h) from the camera's serial-number prefix; the sensor constants, the conversions
// that differ between models and the loading of each model's register description live here.
//
// A model made with a system (an opened camera) loads its description; one made without (an
// enumeration result or an info copy) has none. The default constructors set no constants and
// load nothing.
#include <atomic>

#include "usb2/DeviceUSBBase.h"

namespace Kovon {

class KOVON_API CDeviceRTGA47E : public CDeviceUSBBase {  // RT-GA47E
public:
    CDeviceRTGA47E() = default;
    CDeviceRTGA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTGA46E : public CDeviceUSBBase {  // RT-GA46E
public:
    CDeviceRTGA46E() = default;
    CDeviceRTGA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTGB47E : public CDeviceUSBBase {  // RT-GB47E
public:
    CDeviceRTGB47E() = default;
    CDeviceRTGB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTGC46E : public CDeviceUSBBase {  // RT-GC46E
public:
    CDeviceRTGC46E() = default;
    CDeviceRTGC46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTGC47E : public CDeviceUSBBase {  // RT-GC47E
public:
    CDeviceRTGC47E() = default;
    CDeviceRTGC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTGE45E : public CDeviceUSBBase {  // RT-GE45E
public:
    CDeviceRTGE45E() = default;
    CDeviceRTGE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTKA47E : public CDeviceUSBBase {  // RT-KA47E
public:
    CDeviceRTKA47E() = default;
    CDeviceRTKA47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTKA46E : public CDeviceUSBBase {  // RT-KA46E
public:
    CDeviceRTKA46E() = default;
    CDeviceRTKA46E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTKB47E : public CDeviceUSBBase {  // RT-KB47E
public:
    CDeviceRTKB47E() = default;
    CDeviceRTKB47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTKC47E : public CDeviceUSBBase {  // RT-KC47E
public:
    CDeviceRTKC47E() = default;
    CDeviceRTKC47E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDeviceRTKE45E : public CDeviceUSBBase {  // RT-KE45E
public:
    CDeviceRTKE45E() = default;
    CDeviceRTKE45E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

class KOVON_API CDevicePQL582H : public CDeviceUSBBase {  // PQ-L582H
public:
    CDevicePQL582H() = default;
    CDevicePQL582H(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

// "RT-GD48E", the 752-column monochrome camera. Its timing follows a row-time table indexed by
// the columns removed from the full width, and it converts offsets, trigger delay, strobe times,
// gain, black level and exposure in its own units. It keeps the exposure limit in rows that it
// last wrote to the camera (register 0x558).
class KOVON_API CDeviceRTGD48E : public CDeviceUSBBase {  // RT-GD48E
public:
    CDeviceRTGD48E() = default;
    CDeviceRTGD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;

    uint32_t ExposureLimitRows() const { return exposureLimitRows_.load(); }

protected:
    // The row time in microseconds: entry 0 in trigger mode, else the entry of the columns
    // removed (WidthMax − Width) >> 4, held inside the table.
    float GetRowTime() const;
    // Recomputes the exposure limit in rows and writes it to the camera: 0, or -1001 when the
    // write failed; 0 at once without a channel.
    int ChangeExposureTimeMax();

private:
    float RowTimeOfWidth() const;
    int SetParamNarrow(uint64_t address, void* buffer, Lumora::u64& size);
    int GetParamNarrow(uint64_t address, void* buffer, Lumora::u64& size);
    int GetExposureLimit(void* buffer, Lumora::u64& size);

    std::atomic<uint32_t> exposureLimitRows_{0};
};

// "RT-KD48E", the colour 752-column camera: "RT-GD48E" with the colour description.
class KOVON_API CDeviceRTKD48E : public CDeviceRTGD48E {  // RT-KD48E
public:
    CDeviceRTKD48E() = default;
    CDeviceRTKD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    void LoadXML() override;
};

// The "-P" models convert the gain with their own factor; everything else is the base's.
class KOVON_API CDeviceRTGA47EP : public CDeviceUSBBase {  // RT-GA47E-P
public:
    CDeviceRTGA47EP() = default;
    CDeviceRTGA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                    const UsbDeviceTexts& texts);
    void LoadXML() override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
};

class KOVON_API CDeviceRTKA47EP : public CDeviceUSBBase {  // RT-KA47E-P
public:
    CDeviceRTKA47EP() = default;
    CDeviceRTKA47EP(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                    const UsbDeviceTexts& texts);
    void LoadXML() override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
};

}  // namespace Kovon
