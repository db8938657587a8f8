#pragma once
// The USB3 Vision library used by the module's USB3 Vision classes. Every function returns a
// 16-bit result (TessaStatus.h): 0 on success. Handles are opaque pointers handed out by the
// Open functions; a handle the library does not know, or one already closed, gives 0xC01A.
//
// Order of use: discovery and device information; open device, open control (register access,
// description file), open event; open stream, buffer count, transfer size, start, frames, stop;
// close stream, event, control, device. A device with open channels refuses to close (0x8007).
#include <cstdint>

#include "u3v/tessa/TessaRecords.h"
#include "u3v/tessa/TessaStatus.h"

namespace Kovon::Tessa {

using U3V_HANDLE = void*;

// Called on the event thread for every camera event: (event id, timestamp, data length,
// event data, context). The return value is not used.
using U3V_EVENT_CALLBACK = bool (*)(uint16_t eventId, uint64_t timestamp, int dataLength, void* data,
                                    void* context);

// Lists the cameras of every transport; indices 1 to count are valid for U3V_GetDeviceInfo until
// the next discovery.
uint16_t U3V_DiscoveryDevices(uint16_t* count);
uint16_t U3V_GetDeviceInfo(uint16_t index, U3V_DISCOVERY_INFO* record);

// The two reserved arguments must be 0.
uint16_t U3V_OpenDevice(const char* devicePath, U3V_HANDLE* device, uint32_t reserved1, uint32_t reserved2,
                        U3V_DEVICE_INFORMATION* record);
uint16_t U3V_OpenControl(U3V_HANDLE device, U3V_HANDLE* control);
uint16_t U3V_ReadMem(U3V_HANDLE control, uint64_t address, uint16_t length, void* buffer);
uint16_t U3V_WriteMem(U3V_HANDLE control, uint64_t address, uint16_t length, const void* buffer);
// The description file (unzipped when stored zipped). The memory stays the library's until the
// next U3V_ReadXml on this control channel or its close.
uint16_t U3V_ReadXml(U3V_HANDLE control, const void** data, uint32_t* size, uint32_t reserved);

// pollMs: how long the event thread waits on the endpoint before looking for a close request.
uint16_t U3V_OpenEvent(U3V_HANDLE device, U3V_HANDLE control, U3V_HANDLE* event, U3V_EVENT_CALLBACK callback,
                       uint32_t pollMs, void* context);

uint16_t U3V_OpenStream(U3V_HANDLE device, U3V_HANDLE control, U3V_HANDLE* stream, uint32_t timeoutMs);
uint16_t U3V_SetBufferCount(U3V_HANDLE stream, uint32_t count);
uint16_t U3V_GetBufferCount(U3V_HANDLE stream, uint32_t* count);
uint16_t U3V_SetStreamTimeout(U3V_HANDLE stream, uint32_t timeoutMs);
uint16_t U3V_GetStreamTimeout(U3V_HANDLE stream, uint32_t* timeoutMs);
uint16_t U3V_SetTransferSize(U3V_HANDLE stream, uint32_t bytes);
// frames: how many frames to deliver before 0xC017; 0xFFFFFFFF for no limit.
uint16_t U3V_AcquisitionStart(U3V_HANDLE stream, uint32_t frames);
// buffer must hold the payload size that the camera's stream interface announced at start.
uint16_t U3V_GetImage(U3V_HANDLE stream, void* buffer, uint32_t timeoutMs, U3V_FRAME_INFO* info);
// Outputs (may be null): frames delivered, frames lost or damaged.
uint16_t U3V_AcquisitionStop(U3V_HANDLE stream, uint64_t* delivered, uint64_t* failed);

uint16_t U3V_CloseStream(U3V_HANDLE stream);
uint16_t U3V_CloseEvent(U3V_HANDLE event);
uint16_t U3V_CloseControl(U3V_HANDLE control);
uint16_t U3V_CloseDevice(U3V_HANDLE device);

// Removal notices for opened cameras: callback(instance id of U3V_DEVICE_INFORMATION, context)
// on a notifier thread of the library. Unregister returns once the callback runs no more.
using U3V_REMOVAL_CALLBACK = void (*)(const char* instanceId, void* context);
uint16_t TessaRegisterRemoval(U3V_REMOVAL_CALLBACK callback, void* context, uint32_t* token);
uint16_t TessaUnregisterRemoval(uint32_t token);

}  // namespace Kovon::Tessa
