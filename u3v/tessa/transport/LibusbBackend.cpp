#include "u3v/tessa/transport/LibusbBackend.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "u3v/tessa/transport/TransportRegistry.h"
#include "u3v/tessa/transport/U3vDescriptor.h"

namespace Kovon::Tessa::Transport {

namespace {

constexpr const char* kPathPrefix = "usb:";
constexpr unsigned kDescriptorTimeoutMs = 1000;

std::string PortPath(libusb_device* dev) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string path = kPathPrefix + std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < n; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
    if (n <= 0) path += "a" + std::to_string(libusb_get_device_address(dev));
    return path;
}

std::string StringDescriptor(libusb_device_handle* h, uint8_t index) {
    if (index == 0) return {};
    unsigned char buf[256];
    int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<char*>(buf), size_t(n));
}

bool ReadConfiguration(libusb_device_handle* h, std::vector<uint8_t>& raw) {
    uint8_t head[9];
    int n = libusb_get_descriptor(h, LIBUSB_DT_CONFIG, 0, head, sizeof head);
    if (n < 9) return false;
    const size_t total = size_t(head[2]) | (size_t(head[3]) << 8);
    if (total < 9) return false;
    raw.assign(total, 0);
    n = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, uint16_t(LIBUSB_DT_CONFIG << 8),
                                0, raw.data(), uint16_t(total), kDescriptorTimeoutMs);
    if (n < 0) return false;
    raw.resize(size_t(n));
    return true;
}

// Quick test on the cached descriptor, so that only candidates are opened.
bool HasU3vControlInterface(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0 || cfg == nullptr) return false;
    bool found = false;
    for (int i = 0; i < cfg->bNumInterfaces && !found; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        if (itf.num_altsetting < 1) continue;
        const libusb_interface_descriptor& d = itf.altsetting[0];
        found = d.bInterfaceClass == kU3vInterfaceClass && d.bInterfaceSubClass == kU3vInterfaceSubclass &&
                d.bInterfaceProtocol == kU3vProtocolControl;
    }
    libusb_free_config_descriptor(cfg);
    return found;
}

// Fills an entry from an opened handle; false when the device is not a usable USB3 Vision device.
bool Describe(libusb_device* dev, libusb_device_handle* h, UsbDeviceEntry& e, U3vConfiguration& cfg) {
    std::vector<uint8_t> raw;
    if (!ReadConfiguration(h, raw)) return false;
    if (ParseU3vConfiguration(raw.data(), raw.size(), cfg) != DescriptorResult::kU3vDevice) return false;
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
    e.path = PortPath(dev);
    e.vendorId = dd.idVendor;
    e.productId = dd.idProduct;
    e.busNumber = libusb_get_bus_number(dev);
    e.deviceAddress = libusb_get_device_address(dev);
    const int speed = libusb_get_device_speed(dev);
    e.speed = speed > 0 && speed < 256 ? uint8_t(speed) : 0;
    const U3vDeviceInfoDescriptor& i = cfg.info;
    e.manufacturer = StringDescriptor(h, i.present ? i.vendorNameIndex : dd.iManufacturer);
    e.model = StringDescriptor(h, i.present ? i.modelNameIndex : dd.iProduct);
    e.family = StringDescriptor(h, i.familyNameIndex);
    e.version = StringDescriptor(h, i.deviceVersionIndex);
    e.serial = StringDescriptor(h, i.present ? i.serialNumberIndex : dd.iSerialNumber);
    e.guid = StringDescriptor(h, i.guidIndex);
    e.hasEvent = cfg.event.present;
    e.hasStream = cfg.stream.present;
    e.instanceId = MakeLibusbInstanceId(e.vendorId, e.productId, e.serial, e.path);
    return true;
}

UsbStatus FromTransferStatus(libusb_transfer_status s) {
    switch (s) {
        case LIBUSB_TRANSFER_COMPLETED: return UsbStatus::kOk;
        case LIBUSB_TRANSFER_TIMED_OUT: return UsbStatus::kTimeout;
        case LIBUSB_TRANSFER_CANCELLED: return UsbStatus::kCancelled;
        case LIBUSB_TRANSFER_NO_DEVICE: return UsbStatus::kNoDevice;
        case LIBUSB_TRANSFER_OVERFLOW: return UsbStatus::kOverflow;
        default: return UsbStatus::kIo;
    }
}

class LibusbDevice final : public UsbDevice {
public:
    LibusbDevice(libusb_context* ctx, libusb_device_handle* h, UsbDeviceEntry entry, U3vConfiguration cfg)
        : ctx_(ctx), handle_(h), device_(libusb_get_device(h)), entry_(std::move(entry)), cfg_(cfg) {
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
            libusb_device_descriptor dd{};
            libusb_get_device_descriptor(device_, &dd);
            libusb_hotplug_register_callback(ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                             dd.idVendor, dd.idProduct, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug,
                                             this, &hotplug_);
        }
        events_ = std::thread([this] {
            while (!stop_.load()) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
            }
        });
    }

    ~LibusbDevice() override {
        for (Channel c : {Channel::kControl, Channel::kEvent, Channel::kStream}) {
            Cancel(c);
            ReleaseClaim(c);
        }
        if (hotplug_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
        stop_ = true;
        libusb_interrupt_event_handler(ctx_);
        events_.join();
        libusb_close(handle_);
        libusb_exit(ctx_);
    }

    const UsbDeviceEntry& Entry() const override { return entry_; }

    UsbStatus Claim(Channel c) override {
        const U3vInterface* itf = Interface(c);
        if (itf == nullptr) return UsbStatus::kNotFound;
        const int r = libusb_claim_interface(handle_, itf->number);
        if (r == LIBUSB_ERROR_NO_DEVICE) return UsbStatus::kNoDevice;
        if (r != 0) return UsbStatus::kAccess;
        claimed_[size_t(c)] = true;
        return UsbStatus::kOk;
    }

    void ReleaseClaim(Channel c) override {
        const U3vInterface* itf = Interface(c);
        if (itf != nullptr && claimed_[size_t(c)]) libusb_release_interface(handle_, itf->number);
        claimed_[size_t(c)] = false;
    }

    UsbStatus BulkOut(Channel c, const uint8_t* data, size_t size, unsigned timeoutMs, size_t* sent) override {
        const U3vInterface* itf = Interface(c);
        if (itf == nullptr || itf->bulkOut == 0) return UsbStatus::kInvalidArg;
        return Transfer(c, itf->bulkOut, const_cast<uint8_t*>(data), size, timeoutMs, sent);
    }

    UsbStatus BulkIn(Channel c, uint8_t* data, size_t cap, unsigned timeoutMs, size_t* got) override {
        const U3vInterface* itf = Interface(c);
        if (itf == nullptr || itf->bulkIn == 0) return UsbStatus::kInvalidArg;
        return Transfer(c, itf->bulkIn, data, cap, timeoutMs, got);
    }

    void Cancel(Channel c) override {
        Slot& s = slots_[size_t(c)];
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.transfer != nullptr && !s.done) libusb_cancel_transfer(s.transfer);
    }

private:
    struct Slot {
        std::mutex mutex;
        std::condition_variable cv;
        libusb_transfer* transfer = nullptr;
        bool done = true;
    };

    const U3vInterface* Interface(Channel c) const {
        const U3vInterface& i = c == Channel::kControl ? cfg_.control : c == Channel::kEvent ? cfg_.event : cfg_.stream;
        return i.present ? &i : nullptr;
    }

    static void LIBUSB_CALL OnTransfer(libusb_transfer* t) {
        auto* s = static_cast<Slot*>(t->user_data);
        std::lock_guard<std::mutex> lock(s->mutex);
        s->done = true;
        s->cv.notify_all();
    }

    static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event, void* self) {
        auto* d = static_cast<LibusbDevice*>(self);
        if (dev == d->device_) Registry::Instance().NotifyRemoval(d->entry_.instanceId);
        return 0;
    }

    UsbStatus Transfer(Channel c, uint8_t endpoint, uint8_t* data, size_t size, unsigned timeoutMs, size_t* done) {
        if (done) *done = 0;
        if (size > size_t(INT32_MAX) || (size != 0 && data == nullptr)) return UsbStatus::kInvalidArg;
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (t == nullptr) return UsbStatus::kIo;
        Slot& s = slots_[size_t(c)];
        libusb_fill_bulk_transfer(t, handle_, endpoint, data, int(size), &OnTransfer, &s, timeoutMs);
        std::unique_lock<std::mutex> lock(s.mutex);
        s.done = false;
        s.transfer = t;
        const int r = libusb_submit_transfer(t);
        if (r != 0) {
            s.done = true;
            s.transfer = nullptr;
            libusb_free_transfer(t);
            return r == LIBUSB_ERROR_NO_DEVICE ? UsbStatus::kNoDevice : UsbStatus::kIo;
        }
        s.cv.wait(lock, [&] { return s.done; });
        s.transfer = nullptr;
        const UsbStatus st = FromTransferStatus(t->status);
        if (done) *done = size_t(t->actual_length);
        libusb_free_transfer(t);
        return st;
    }

    libusb_context* ctx_;
    libusb_device_handle* handle_;
    libusb_device* device_;
    UsbDeviceEntry entry_;
    U3vConfiguration cfg_;
    libusb_hotplug_callback_handle hotplug_ = 0;
    std::atomic<bool> stop_{false};
    std::thread events_;
    Slot slots_[3];
    bool claimed_[3] = {false, false, false};
};

class LibusbBackend final : public UsbBackend {
public:
    bool OwnsPath(const std::string& path) const override { return path.rfind(kPathPrefix, 0) == 0; }

    void Enumerate(std::vector<UsbDeviceEntry>& out) override {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) != 0) return;  // no USB on this machine
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n; ++i) {
            if (!HasU3vControlInterface(list[i])) continue;
            libusb_device_handle* h = nullptr;
            if (libusb_open(list[i], &h) != 0) continue;
            UsbDeviceEntry e;
            U3vConfiguration cfg;
            if (Describe(list[i], h, e, cfg)) out.push_back(std::move(e));
            libusb_close(h);
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        libusb_exit(ctx);
    }

    UsbStatus Open(const std::string& path, std::unique_ptr<UsbDevice>* out) override {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) != 0) return UsbStatus::kNotFound;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        UsbStatus st = UsbStatus::kNotFound;
        libusb_device_handle* h = nullptr;
        UsbDeviceEntry e;
        U3vConfiguration cfg;
        for (ssize_t i = 0; i < n; ++i) {
            if (PortPath(list[i]) != path) continue;
            if (libusb_open(list[i], &h) != 0) {
                st = UsbStatus::kAccess;
                break;
            }
            if (Describe(list[i], h, e, cfg)) {
                st = UsbStatus::kOk;
            } else {
                libusb_close(h);
                h = nullptr;
            }
            break;
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        if (st != UsbStatus::kOk) {
            libusb_exit(ctx);
            return st;
        }
        *out = std::make_unique<LibusbDevice>(ctx, h, std::move(e), cfg);
        return UsbStatus::kOk;
    }
};

}  // namespace

std::string MakeLibusbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& serial,
                                 const std::string& path) {
    char head[32];
    std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
    return head + (serial.empty() ? path : serial);
}

std::shared_ptr<UsbBackend> MakeLibusbBackend() { return std::make_shared<LibusbBackend>(); }

}  // namespace Kovon::Tessa::Transport
