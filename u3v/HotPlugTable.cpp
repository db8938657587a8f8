#include "u3v/HotPlugTable.h"

#include <map>
#include <mutex>

#include "u3v/DeviceU3VBase.h"

namespace Kovon::U3vHotPlug {
namespace {

struct Table {
    std::mutex lock;
    std::map<std::string, CDeviceU3VBase*> devices;
};

Table& TheTable() {
    static Table* table = new Table;  // never destroyed: notices may arrive until the process ends
    return *table;
}

}  // namespace

bool Enter(const std::string& instanceId, CDeviceU3VBase* device) {
    if (instanceId.empty() || device == nullptr) return false;
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.devices.emplace(instanceId, device).second;
}

bool Leave(const std::string& instanceId, const CDeviceU3VBase* device) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.devices.find(instanceId);
    if (it == t.devices.end() || it->second != device) return false;
    t.devices.erase(it);
    return true;
}

bool Contains(const std::string& instanceId, const CDeviceU3VBase* device) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.devices.find(instanceId);
    return it != t.devices.end() && it->second == device;
}

void NoticeRemoval(const char* instanceId) {
    if (instanceId == nullptr) return;
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.devices.find(instanceId);
    if (it != t.devices.end()) it->second->MarkUnplugged();
}

}  // namespace Kovon::U3vHotPlug
