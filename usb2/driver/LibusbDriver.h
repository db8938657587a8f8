#pragma once
// USB 2.0 family cameras on the USB bus, reached through libusb and offered to the channel as
// EZ-USB driver instances (DriverSeam.h), so that CEzusb speaks to a real camera exactly as it
// speaks to a simulated one.
//
// Which devices: only those whose vendor:product pair is a candidate (the compiled-in pairs and
// the pairs the host set); no request of any kind goes to another device. Each candidate gets the
// lowest instance number 0..63 that no other instance (real or simulated) holds, in (bus, port
// path) order within one probe, and keeps it while it stays plugged. The number of a camera that
// was unplugged is withdrawn only once nothing holds a handle on it any more.
//
// What the driver requests become:
//   - device descriptor: the device's own 18-byte descriptor (as the bus reported it);
//   - vendor request: one control transfer, bmRequestType and bRequest from the record, wValue
//     and wIndex as the record's value and index fields, the data stage as long as the answer
//     buffer; a finite time-out, so that a camera that never answers fails like a stalled one;
//   - bulk read on pipe n: pipe n is the endpoint at position n of interface 0's alternate
//     setting 0 (the setting a configured device is in; nothing here changes it). The read is
//     split into asynchronous transfers that are all in flight at once and has no time-out of
//     its own: it ends when every byte arrived, a short packet ended it, the pipe was aborted or
//     the device went away;
//   - pipe abort: cancels every pending transfer of the pipe, from any handle, then clears a
//     halt of its endpoint.
// All handles of one camera share one libusb device handle, which claims interface 0 (detaching
// a kernel driver) when the first opens and releases it when the last closes; a libusb event
// thread serves their transfers and notices the camera's removal through libusb hot-plug where
// the platform offers it (otherwise at the first transfer that fails).
//
// Errors: the device gone -> 1167; a stalled or timed-out control request, a stalled pipe -> 31;
// an aborted read -> 995; anything else -> 1117.
#include <string>
#include <vector>

#include "usb2/driver/UsbIdList.h"

namespace Kovon {

// The pairs compiled into the module (none while the family's ids are not published; see the
// README on finding a camera's pair).
const std::vector<UsbId>& CompiledUsb2Ids();
// The host's pairs replace those it set before; the candidates are the compiled-in pairs and
// these. Process-wide, like the instance names.
void SetHostUsb2Ids(const std::vector<UsbId>& ids);
std::vector<UsbId> EffectiveUsb2Ids();

// Brings the registered instances up to date with the bus: new candidates get an instance,
// instances of devices that are gone (or no longer candidates) stop answering and are withdrawn
// once unused. Does nothing on a machine without USB. Serialised; safe from any thread.
void ProbeLibusbUsb2Cameras();

}  // namespace Kovon
