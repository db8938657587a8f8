#include "ModulePort.h"

#include <cstring>

extern "C" {

typedef struct {
    ArvDevice parent;
    KovonGrab::ModulePort* owner;
} KovonGrabPortDevice;

typedef struct {
    ArvDeviceClass parent_class;
} KovonGrabPortDeviceClass;

static GType kovon_grab_port_device_get_type();

G_DEFINE_TYPE(KovonGrabPortDevice, kovon_grab_port_device, ARV_TYPE_DEVICE)

static KovonGrab::ModulePort* OwnerOf(ArvDevice* device) {
    return reinterpret_cast<KovonGrabPortDevice*>(device)->owner;
}

static gboolean kovon_grab_port_read_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                            GError** error) {
    KovonGrab::ModulePort* owner = OwnerOf(device);
    if (owner == nullptr) {
        g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_NOT_CONNECTED, "the camera is closed");
        return FALSE;
    }
    return owner->Transfer(address, size, buffer, false, error) ? TRUE : FALSE;
}

static gboolean kovon_grab_port_write_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer,
                                             GError** error) {
    KovonGrab::ModulePort* owner = OwnerOf(device);
    if (owner == nullptr) {
        g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_NOT_CONNECTED, "the camera is closed");
        return FALSE;
    }
    return owner->Transfer(address, size, buffer, true, error) ? TRUE : FALSE;
}

static gboolean kovon_grab_port_read_register(ArvDevice* device, guint64 address, guint32* value,
                                              GError** error) {
    return kovon_grab_port_read_memory(device, address, 4, value, error);
}

static gboolean kovon_grab_port_write_register(ArvDevice* device, guint64 address, guint32 value,
                                               GError** error) {
    return kovon_grab_port_write_memory(device, address, 4, &value, error);
}

static void kovon_grab_port_device_init(KovonGrabPortDevice* self) {
    self->owner = nullptr;
}

static void kovon_grab_port_device_class_init(KovonGrabPortDeviceClass* klass) {
    ArvDeviceClass* device = ARV_DEVICE_CLASS(klass);
    device->read_memory = kovon_grab_port_read_memory;
    device->write_memory = kovon_grab_port_write_memory;
    device->read_register = kovon_grab_port_read_register;
    device->write_register = kovon_grab_port_write_register;
}

}  // extern "C"

namespace KovonGrab {

ModulePort::ModulePort(Lumora::IDevice* device) : camera_(device) {
    auto* port = static_cast<KovonGrabPortDevice*>(g_object_new(kovon_grab_port_device_get_type(), nullptr));
    port->owner = this;
    device_ = ARV_DEVICE(port);
}

ModulePort::~ModulePort() {
    reinterpret_cast<KovonGrabPortDevice*>(device_)->owner = nullptr;
    g_object_unref(device_);
}

bool ModulePort::Transfer(uint64_t address, uint32_t size, void* buffer, bool write, GError** error) {
    // Some devices answer an address they do not serve with success and leave the buffer alone:
    // such a read then yields zeros rather than whatever the engine's buffer held.
    if (!write) std::memset(buffer, 0, size);
    int status = Access(address, size, buffer, write);
    if (status == Lumora::GC_ERR_INVALID_PARAMETER && size > 4)
        status = AccessInPieces(address, size, buffer, write);
    if (status == 0) return true;
    lastFailure_ = status;
    g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_PROTOCOL_ERROR,
                "%s of %u bytes at 0x%llx: status %d", write ? "write" : "read", size,
                static_cast<unsigned long long>(address), lastFailure_);
    return false;
}

int ModulePort::Access(uint64_t address, uint32_t size, void* buffer, bool write) {
    Lumora::u64 inOut = size;
    const int status =
        write ? camera_->SetParam(address, buffer, inOut) : camera_->GetParam(address, buffer, inOut);
    if (status == 0 && !write && inOut > size) return Lumora::GC_ERR_INVALID_BUFFER;
    return status;
}

// Some devices take only register-sized accesses (4, 8, 16, 32 or 64 bytes): a larger block goes
// in the largest of those pieces that fit, and a read's tail of 1 to 3 bytes comes from a 4-byte
// read.
int ModulePort::AccessInPieces(uint64_t address, uint32_t size, void* buffer, bool write) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < size) {
        const uint32_t left = size - done;
        uint32_t piece = 64;
        while (piece > left && piece > 4) piece /= 2;
        int status;
        if (piece <= left) {
            status = Access(address + done, piece, bytes + done, write);
        } else if (write) {
            return Lumora::GC_ERR_INVALID_PARAMETER;
        } else {
            uint8_t word[4] = {};
            status = Access(address + done, 4, word, false);
            if (status == 0) std::memcpy(bytes + done, word, left);
            piece = left;
        }
        if (status != 0) return status;
        done += piece;
    }
    return 0;
}

}  // namespace KovonGrab
