#pragma once
// The process-wide table of opened USB3 Vision cameras, keyed by the device instance id that the
// library reports at open and that its removal notices carry. Removal notices arrive on the
// library's notifier thread while host threads open and close devices: every access takes the
// table's lock, and a notice marks the device while holding it, so a device that has left the
// table can no longer be reached by any notice.
#include <string>

namespace Kovon {

class CDeviceU3VBase;

namespace U3vHotPlug {

// Enters 'device' under 'instanceId'. False (nothing changed) for an empty id or an id that
// another device already holds.
bool Enter(const std::string& instanceId, CDeviceU3VBase* device);
// Removes the entry when it belongs to 'device'; returns whether it did.
bool Leave(const std::string& instanceId, const CDeviceU3VBase* device);
// Whether 'device' is entered under 'instanceId'.
bool Contains(const std::string& instanceId, const CDeviceU3VBase* device);
// A removal notice: the device entered under the id, if any, is marked as unplugged.
void NoticeRemoval(const char* instanceId);

}  // namespace U3vHotPlug
}  // namespace Kovon
