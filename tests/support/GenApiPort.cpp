#include "support/GenApiPort.h"

extern "C" {

typedef struct {
    ArvDevice parent;
    Kovon::Test::GenApiPort* owner;
} KovonTestPortDevice;

typedef struct {
    ArvDeviceClass parent_class;
} KovonTestPortDeviceClass;

static GType kovon_test_port_device_get_type();

G_DEFINE_TYPE(KovonTestPortDevice, kovon_test_port_device, ARV_TYPE_DEVICE)

}  // extern "C"

namespace Kovon::Test {

struct GenApiPortAccess {
    static bool Transfer(ArvDevice* device, guint64 address, guint32 size, void* buffer, bool write,
                         GError** error) {
        GenApiPort* self = reinterpret_cast<KovonTestPortDevice*>(device)->owner;
        if (self != nullptr && self->transfer_(address, size, buffer, write)) return true;
        g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_PROTOCOL_ERROR,
                    "%s of %u bytes at 0x%llx failed", write ? "write" : "read", size,
                    static_cast<unsigned long long>(address));
        return false;
    }
};

}  // namespace Kovon::Test

extern "C" {

static gboolean kovon_test_port_read_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                            GError** error) {
    return Kovon::Test::GenApiPortAccess::Transfer(device, address, size, buffer, false, error) ? TRUE
                                                                                                : FALSE;
}

static gboolean kovon_test_port_write_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                             GError** error) {
    return Kovon::Test::GenApiPortAccess::Transfer(device, address, size, buffer, true, error) ? TRUE : FALSE;
}

static gboolean kovon_test_port_read_register(ArvDevice* device, guint64 address, guint32* value,
                                              GError** error) {
    return kovon_test_port_read_memory(device, address, 4, value, error);
}

static gboolean kovon_test_port_write_register(ArvDevice* device, guint64 address, guint32 value,
                                               GError** error) {
    return kovon_test_port_write_memory(device, address, 4, &value, error);
}

static void kovon_test_port_device_init(KovonTestPortDevice* self) {
    self->owner = nullptr;
}

static void kovon_test_port_device_class_init(KovonTestPortDeviceClass* klass) {
    ArvDeviceClass* device = ARV_DEVICE_CLASS(klass);
    device->read_memory = kovon_test_port_read_memory;
    device->write_memory = kovon_test_port_write_memory;
    device->read_register = kovon_test_port_read_register;
    device->write_register = kovon_test_port_write_register;
}

}  // extern "C"

namespace Kovon::Test {

GenApiPort::GenApiPort(Transfer transfer) : transfer_(std::move(transfer)) {
    auto* device =
        static_cast<KovonTestPortDevice*>(g_object_new(kovon_test_port_device_get_type(), nullptr));
    device->owner = this;
    device_ = ARV_DEVICE(device);
}

GenApiPort::~GenApiPort() {
    if (gc_ != nullptr) g_object_unref(gc_);
    reinterpret_cast<KovonTestPortDevice*>(device_)->owner = nullptr;
    g_object_unref(device_);
}

bool GenApiPort::Load(const std::string& xml, std::string& error) {
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

ArvGcNode* GenApiPort::Node(const char* name) const {
    return gc_ != nullptr ? arv_gc_get_node(gc_, name) : nullptr;
}

}  // namespace Kovon::Test
