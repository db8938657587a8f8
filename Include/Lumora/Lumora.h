#pragma once
// The host framework's view of a camera transport module.
//
// A host loads libkovon40.so, calls the C entry point GetSystem and walks the object tree
// system > interfaces > devices > streams through the abstract classes below. The order of the
// virtual operations of each class is a binary contract with hosts that were built separately:
// never reorder, insert or remove a slot.
//
// Values travel as (id, buffer, size): a null buffer asks for the size, a too-small size is
// refused with GC_ERR_INVALID_PARAMETER and leaves buffer and size untouched, texts are
// NUL-terminated and their size counts the NUL. No exception ever crosses this boundary.
#include <cstdint>

#include "Lumora/Export.h"
#include "Lumora/Status.h"

namespace Lumora {

using u64 = uint64_t;

class IInterface;
class IDevice;
class IStream;

// Camera event callback: (event kind, event id, data, data size, extra, context). What the first
// five arguments carry depends on the transport; context is the pointer given to
// RegisterEventCallBack.
using EventCallBack = void (*)(int, unsigned, void*, unsigned, unsigned, void*);

class KOVON_API ISystem {
public:
    // The system has no parameters of its own; the values belong to the host.
    enum SYSTEM_PARAM : int32_t { SYSTEM_PARAM_NONE = 0 };

    ISystem() = default;
    ISystem(const ISystem&) {}
    ISystem& operator=(const ISystem&) { return *this; }
    virtual ~ISystem() {}

    virtual int GetNumInterfaces(unsigned& count) = 0;
    virtual int GetInterfaceName(unsigned index, char* buffer, u64& size) = 0;
    virtual int GetInterface(const char* name, IInterface*& out) = 0;
    virtual int OpenInterface(const char* name, IInterface*& out) = 0;
    virtual int SetParam(SYSTEM_PARAM id, void* buffer, u64& size) = 0;
    virtual int GetParam(SYSTEM_PARAM id, void* buffer, u64& size) = 0;
    virtual unsigned Release() = 0;
    virtual unsigned Share() = 0;
};

class KOVON_API IInterface {
public:
    // A host structure that the module passes through and never reads or writes.
    struct DevInfo;

    IInterface() = default;
    IInterface(const IInterface&) {}
    IInterface& operator=(const IInterface&) { return *this; }
    virtual ~IInterface() {}

    virtual int GetNumDevices(unsigned& count, unsigned timeoutMs) = 0;
    virtual int GetDeviceName(unsigned index, char* buffer, u64& size) = 0;
    virtual int GetDevice(const char* name, IDevice*& out) = 0;
    virtual int OpenDevice(const char* name, IDevice*& out) = 0;
    virtual int SetParam(u64 id, void* buffer, u64& size) = 0;
    virtual int GetParam(u64 id, void* buffer, u64& size) = 0;
    virtual int GetDeviceInfo(const char* name, DevInfo& info) = 0;
    virtual int UpdateDeviceList(unsigned timeoutMs) = 0;
    virtual unsigned Release() = 0;
    virtual unsigned Share() = 0;
};

class KOVON_API IDevice {
public:
    IDevice() = default;
    IDevice(const IDevice&) {}
    IDevice& operator=(const IDevice&) { return *this; }
    virtual ~IDevice() {}

    virtual int GetNumStreams(unsigned& count) = 0;
    virtual int GetStreamName(unsigned index, char* buffer, u64& size) = 0;
    virtual int GetStream(unsigned index, IStream*& out) = 0;
    virtual int OpenStream(unsigned index, IStream*& out) = 0;
    virtual int SetParam(u64 id, void* buffer, u64& size) = 0;
    virtual int GetParam(u64 id, void* buffer, u64& size) = 0;
    virtual int SetValue(u64 id, void* buffer, u64& size) = 0;
    virtual int GetValue(u64 id, void* buffer, u64& size) = 0;
    virtual int GetInfo(u64 id, void* buffer, u64& size) = 0;
    virtual int RegisterEventCallBack(EventCallBack callback, void* context) = 0;
    virtual unsigned Release() = 0;
    virtual unsigned Share() = 0;
};

class KOVON_API IStream {
public:
    // Values belong to the host; each stream says which ones it accepts.
    enum ACQ_START_FLAGS : int32_t { ACQ_START_FLAGS_DEFAULT = 0 };
    enum ACQ_STOP_FLAGS : int32_t { ACQ_STOP_FLAGS_DEFAULT = 0, ACQ_STOP_FLAGS_KILL = 1 };

    IStream() = default;
    IStream(const IStream&) {}
    IStream& operator=(const IStream&) { return *this; }
    virtual ~IStream() {}

    virtual int Acquire(ACQ_START_FLAGS flags, u64 count) = 0;
    virtual int Freeze(ACQ_STOP_FLAGS flags) = 0;
    // The time-out is a signed 32-bit value (the host's "long" is 32 bits wide).
    virtual int GetImage(void* buffer, int32_t timeoutMs) = 0;
    virtual int SetParam(u64 id, void* buffer, u64& size) = 0;
    virtual int GetParam(u64 id, void* buffer, u64& size) = 0;
    virtual unsigned Release() = 0;
    virtual unsigned Share() = 0;
};

// A parent's unlink entry: a child calls it on its parent while the child is destroyed. Its one
// slot is ReleaseChild; objects are never deleted through an ILink pointer.
class KOVON_API ILink {
public:
    virtual void ReleaseChild(void* child) = 0;

protected:
    ILink() = default;
    ILink(const ILink&) {}
    ILink& operator=(const ILink&) { return *this; }
    ~ILink() = default;
};

// Joined bases: the host interface first (at the start of the object), the link second.
class KOVON_API INewSystem : public ISystem, public ILink {};
class KOVON_API INewInterface : public IInterface, public ILink {};
class KOVON_API INewDevice : public IDevice, public ILink {};
class KOVON_API INewStream : public IStream, public ILink {};

}  // namespace Lumora

// The module's one factory. Every call makes a new, independent system; a null system stored
// through 'out' means the module could not allocate one.
extern "C" KOVON_API int GetSystem(Lumora::ISystem** out);
