#include "resources/MapDevice.h"

#include <cstring>

extern "C" {

typedef struct {
    ArvDevice parent;
    Kovon::Test::MapDevice* owner;
} KovonMapDevice;

typedef struct {
    ArvDeviceClass parent_class;
} KovonMapDeviceClass;

static GType kovon_map_device_get_type();

G_DEFINE_TYPE(KovonMapDevice, kovon_map_device, ARV_TYPE_DEVICE)

}  // extern "C"

namespace Kovon::Test {

struct MapDeviceAccess {
    static bool Transfer(ArvDevice* device, guint64 address, guint32 size, void* buffer, bool write,
                         GError** error) {
        MapDevice* self = reinterpret_cast<KovonMapDevice*>(device)->owner;
        if (self == nullptr || address > self->memory_.size() || size > self->memory_.size() - address) {
            if (self != nullptr) ++self->outOfRange_;
            g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_PROTOCOL_ERROR,
                        "address 0x%llx size %u outside the map", static_cast<unsigned long long>(address),
                        size);
            return false;
        }
        if (write)
            std::memcpy(self->memory_.data() + address, buffer, size);
        else
            std::memcpy(buffer, self->memory_.data() + address, size);
        return true;
    }
};

}  // namespace Kovon::Test

extern "C" {

static gboolean kovon_map_device_read_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                             GError** error) {
    return Kovon::Test::MapDeviceAccess::Transfer(device, address, size, buffer, false, error) ? TRUE : FALSE;
}

static gboolean kovon_map_device_write_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                              GError** error) {
    return Kovon::Test::MapDeviceAccess::Transfer(device, address, size, buffer, true, error) ? TRUE : FALSE;
}

static gboolean kovon_map_device_read_register(ArvDevice* device, guint64 address, guint32* value,
                                               GError** error) {
    return kovon_map_device_read_memory(device, address, 4, value, error);
}

static gboolean kovon_map_device_write_register(ArvDevice* device, guint64 address, guint32 value,
                                                GError** error) {
    return kovon_map_device_write_memory(device, address, 4, &value, error);
}

static void kovon_map_device_init(KovonMapDevice* self) {
    self->owner = nullptr;
}

static void kovon_map_device_class_init(KovonMapDeviceClass* klass) {
    ArvDeviceClass* device = ARV_DEVICE_CLASS(klass);
    device->read_memory = kovon_map_device_read_memory;
    device->write_memory = kovon_map_device_write_memory;
    device->read_register = kovon_map_device_read_register;
    device->write_register = kovon_map_device_write_register;
}

}  // extern "C"

namespace Kovon::Test {

MapDevice::MapDevice(size_t mapSize) : memory_(mapSize, 0) {
    auto* device = static_cast<KovonMapDevice*>(g_object_new(kovon_map_device_get_type(), nullptr));
    device->owner = this;
    device_ = ARV_DEVICE(device);
}

MapDevice::~MapDevice() {
    if (gc_ != nullptr) g_object_unref(gc_);
    reinterpret_cast<KovonMapDevice*>(device_)->owner = nullptr;
    g_object_unref(device_);
}

bool MapDevice::Load(const std::string& xml, std::string& error) {
    if (gc_ != nullptr) g_object_unref(gc_);
    gc_ = arv_gc_new(device_, xml.data(), xml.size());
    if (gc_ == nullptr || arv_gc_get_node(gc_, "Root") == nullptr) {
        error = "the description did not parse into a node tree with a Root category";
        return false;
    }
    // Make the engine enforce access modes and ranges, so that a wrong range or access mode in a
    // description shows up as a refused write.
    arv_gc_set_range_check_policy(gc_, ARV_RANGE_CHECK_POLICY_ENABLE);
    arv_gc_set_access_check_policy(gc_, ARV_ACCESS_CHECK_POLICY_ENABLE);
    return true;
}

ArvGcNode* MapDevice::Node(const char* name) const {
    return gc_ != nullptr ? arv_gc_get_node(gc_, name) : nullptr;
}

uint32_t MapDevice::U32(uint64_t address, bool bigEndian) const {
    const uint8_t* p = memory_.data() + address;
    return bigEndian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                     : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

float MapDevice::F32(uint64_t address) const {
    const uint32_t bits = U32(address);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void MapDevice::SetU32(uint64_t address, uint32_t value, bool bigEndian) {
    uint8_t* p = memory_.data() + address;
    for (int i = 0; i < 4; ++i) p[bigEndian ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

void MapDevice::SetF32(uint64_t address, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    SetU32(address, bits);
}

void MapDevice::SetText(uint64_t address, const std::string& text) {
    std::memcpy(memory_.data() + address, text.c_str(), text.size() + 1);
}

}  // namespace Kovon::Test
