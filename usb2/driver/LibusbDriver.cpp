#include "usb2/driver/LibusbDriver.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/EzusbRecords.h"
#include "usb2/driver/InstanceNames.h"
#include "usb2/driver/PipeLayout.h"

namespace Kovon {
namespace {

// A register request is answered within microseconds by a working camera; one that takes longer
// than this is treated as stalled, so the channel's five tries cost seconds, never a hang.
constexpr unsigned kControlTimeoutMs = 500;
constexpr unsigned kDescriptorTimeoutMs = 1000;
// The pieces a bulk read is split into, all in flight at once: the channel's largest request
// (0x140000 bytes, a 1280 x 1024 frame) goes out as two, so that the bus never waits for a
// resubmission, and each piece is large enough to keep the per-transfer cost small.
constexpr size_t kBulkTransferBytes = 0xA0000;
constexpr uint8_t kImageInterface = 0;
constexpr uint8_t kAlternateSetting = 0;
constexpr unsigned kAbortWaitMs = 2000;

// Where a device sits: it keeps this while plugged; a replug gets a new address.
struct DeviceKey {
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint8_t address = 0;

    bool operator==(const DeviceKey& o) const { return bus == o.bus && ports == o.ports && address == o.address; }
    // Bus, then port path: the order in which new cameras get their numbers.
    bool operator<(const DeviceKey& o) const {
        if (bus != o.bus) return bus < o.bus;
        if (ports != o.ports) return ports < o.ports;
        return address < o.address;
    }
};

DeviceKey KeyOf(libusb_device* device) {
    DeviceKey key;
    key.bus = libusb_get_bus_number(device);
    key.address = libusb_get_device_address(device);
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    if (n > 0) key.ports.assign(ports, ports + n);
    return key;
}

// The 18 bytes of the standard device descriptor, little-endian, from libusb's parsed copy.
std::array<uint8_t, kDeviceDescriptorSize> RawDeviceDescriptor(const libusb_device_descriptor& d) {
    return {d.bLength,
            d.bDescriptorType,
            uint8_t(d.bcdUSB & 0xFF),
            uint8_t(d.bcdUSB >> 8),
            d.bDeviceClass,
            d.bDeviceSubClass,
            d.bDeviceProtocol,
            d.bMaxPacketSize0,
            uint8_t(d.idVendor & 0xFF),
            uint8_t(d.idVendor >> 8),
            uint8_t(d.idProduct & 0xFF),
            uint8_t(d.idProduct >> 8),
            uint8_t(d.bcdDevice & 0xFF),
            uint8_t(d.bcdDevice >> 8),
            d.iManufacturer,
            d.iProduct,
            d.iSerialNumber,
            d.bNumConfigurations};
}

// The raw active configuration descriptor, wTotalLength bytes as the device sends them.
bool ReadConfiguration(libusb_device_handle* handle, std::vector<uint8_t>& raw) {
    uint8_t head[9];
    int n = libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, head, sizeof head);
    if (n < int(sizeof head)) return false;
    const size_t total = size_t(head[2]) | (size_t(head[3]) << 8);
    if (total < sizeof head) return false;
    raw.assign(total, 0);
    n = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                uint16_t(LIBUSB_DT_CONFIG << 8), 0, raw.data(), uint16_t(total), kDescriptorTimeoutMs);
    if (n < 0) return false;
    raw.resize(size_t(n));
    return true;
}

// One camera opened through libusb, shared by all handles of its instance.
class Connection {
public:
    // Opens the device at 'key'; null with 'error' set when it is gone, cannot be opened or is
    // not a camera of the family (no bulk IN pipe 1).
    static std::shared_ptr<Connection> Open(const DeviceKey& key, uint32_t& error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t& returned);
    // The device has gone: every request fails with 1167 from now on, pending reads end.
    void MarkGone();

private:
    struct Read {
        uint8_t endpoint = 0;
        std::vector<libusb_transfer*> transfers;
        std::vector<bool> finished;
        size_t outstanding = 0;
    };

    Connection() = default;
    uint32_t Descriptor(void* out, size_t outSize, size_t& returned) const;
    uint32_t VendorRequest(const void* in, size_t inSize, void* out, size_t outSize, size_t& returned);
    uint32_t BulkRead(const void* in, size_t inSize, void* out, size_t outSize, size_t& returned);
    // Submits the pieces of 'read' at once and waits for every one; the bytes up to the first
    // short or failed piece count.
    uint32_t Run(Read& read, size_t& returned);
    uint32_t AbortPipe(const void* in, size_t inSize);
    // The endpoint of the pipe named by a 32-bit pipe number; 0 when there is none.
    uint8_t EndpointOfPipe(const void* in, size_t inSize) const;
    bool EnsureClaimed();
    void CancelPending(uint8_t endpoint, bool all);  // under lock_
    static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
    static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event, void* self);

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_device* device_ = nullptr;
    std::array<uint8_t, kDeviceDescriptorSize> descriptor_{};
    std::vector<UsbPipe> pipes_;
    libusb_hotplug_callback_handle hotplug_ = 0;
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::thread events_;

    std::mutex claimLock_;
    bool claimed_ = false;

    std::mutex lock_;  // guards reads_ and every Read they point to
    std::condition_variable changed_;
    std::vector<Read*> reads_;
};

std::shared_ptr<Connection> Connection::Open(const DeviceKey& key, uint32_t& error) {
    error = kDriverFileNotFound;
    std::shared_ptr<Connection> c(new Connection);
    if (libusb_init(&c->context_) != 0) {
        c->context_ = nullptr;
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(c->context_, &list);
    for (ssize_t i = 0; i < n; ++i) {
        if (!(KeyOf(list[i]) == key)) continue;
        const int r = libusb_open(list[i], &c->handle_);
        if (r != 0) {
            c->handle_ = nullptr;
            error = r == LIBUSB_ERROR_NO_DEVICE ? kDriverNotConnected : kDriverIoDevice;
        }
        break;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    if (c->handle_ == nullptr) return nullptr;  // the destructor closes the context
    c->device_ = libusb_get_device(c->handle_);

    libusb_device_descriptor dd{};
    std::vector<uint8_t> config;
    if (libusb_get_device_descriptor(c->device_, &dd) != 0 || !ReadConfiguration(c->handle_, config)) {
        error = kDriverIoDevice;
        return nullptr;
    }
    c->descriptor_ = RawDeviceDescriptor(dd);
    if (ParsePipeLayout(config.data(), config.size(), kAlternateSetting, c->pipes_) != PipeLayoutResult::kOk) {
        error = kDriverNotSupported;
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(c->handle_, 1);
    // Another process holding the interface does not stop this one from asking the device's
    // identity over the default pipe; the claim is tried again before the first bulk request.
    const int claim = libusb_claim_interface(c->handle_, kImageInterface);
    if (claim == LIBUSB_ERROR_NO_DEVICE) {
        error = kDriverNotConnected;
        return nullptr;
    }
    c->claimed_ = claim == 0;

    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        libusb_hotplug_register_callback(c->context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                         dd.idVendor, dd.idProduct, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug, c.get(),
                                         &c->hotplug_);
    }
    Connection* raw = c.get();
    c->events_ = std::thread([raw] {
        while (!raw->stop_.load()) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(raw->context_, &tv, nullptr);
        }
    });
    error = kDriverOk;
    return c;
}

Connection::~Connection() {
    if (handle_ != nullptr) {
        // Every handle has gone, so no read is pending: the claim and the thread can go.
        if (claimed_) libusb_release_interface(handle_, kImageInterface);
        if (hotplug_ != 0) libusb_hotplug_deregister_callback(context_, hotplug_);
        if (events_.joinable()) {
            stop_ = true;
            libusb_interrupt_event_handler(context_);
            events_.join();
        }
        libusb_close(handle_);
    }
    if (context_ != nullptr) libusb_exit(context_);
}

void Connection::MarkGone() {
    gone_ = true;
    std::lock_guard<std::mutex> guard(lock_);
    CancelPending(0, true);
}

int LIBUSB_CALL Connection::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event, void* self) {
    auto* c = static_cast<Connection*>(self);
    if (device == c->device_) c->MarkGone();
    return 0;
}

void LIBUSB_CALL Connection::OnTransfer(libusb_transfer* transfer) {
    auto* c = static_cast<Connection*>(transfer->user_data);
    std::lock_guard<std::mutex> guard(c->lock_);
    for (Read* read : c->reads_) {
        for (size_t i = 0; i < read->transfers.size(); ++i) {
            if (read->transfers[i] != transfer) continue;
            read->finished[i] = true;
            --read->outstanding;
            // A short or failed piece ends the read: what follows it belongs to later data.
            const bool ended = transfer->status != LIBUSB_TRANSFER_COMPLETED || transfer->actual_length < transfer->length;
            if (ended) {
                for (size_t k = i + 1; k < read->transfers.size(); ++k)
                    if (!read->finished[k]) libusb_cancel_transfer(read->transfers[k]);
            }
            c->changed_.notify_all();
            return;
        }
    }
}

void Connection::CancelPending(uint8_t endpoint, bool all) {
    for (Read* read : reads_) {
        if (!all && read->endpoint != endpoint) continue;
        for (size_t i = 0; i < read->transfers.size(); ++i)
            if (!read->finished[i]) libusb_cancel_transfer(read->transfers[i]);
    }
}

uint8_t Connection::EndpointOfPipe(const void* in, size_t inSize) const {
    if (in == nullptr || inSize != sizeof(uint32_t)) return 0;
    uint32_t pipe;
    std::memcpy(&pipe, in, sizeof pipe);
    return pipe < pipes_.size() ? pipes_[pipe].endpointAddress : 0;
}

bool Connection::EnsureClaimed() {
    std::lock_guard<std::mutex> guard(claimLock_);
    if (!claimed_) claimed_ = libusb_claim_interface(handle_, kImageInterface) == 0;
    return claimed_;
}

uint32_t Connection::IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                               size_t& returned) {
    returned = 0;
    if (gone_.load()) return kDriverNotConnected;
    switch (code) {
        case kGetDeviceDescriptorCode: return Descriptor(out, outSize, returned);
        case kVendorRequestCode: return VendorRequest(in, inSize, out, outSize, returned);
        case kBulkReadCode: return BulkRead(in, inSize, out, outSize, returned);
        case kAbortPipeCode: return AbortPipe(in, inSize);
        default: return kDriverInvalidFunction;
    }
}

uint32_t Connection::Descriptor(void* out, size_t outSize, size_t& returned) const {
    if (out == nullptr || outSize < descriptor_.size()) return kDriverInvalidParameter;
    std::memcpy(out, descriptor_.data(), descriptor_.size());
    returned = descriptor_.size();
    return kDriverOk;
}

uint32_t Connection::VendorRequest(const void* in, size_t inSize, void* out, size_t outSize, size_t& returned) {
    Kovon::VendorRequest request;
    if (!DecodeVendorRequest(in, inSize, request) || out == nullptr || outSize == 0 || outSize > 0xFFFF)
        return kDriverInvalidParameter;
    // The record describes a device-to-host request; nothing else is sent on its behalf.
    const auto setup = SetupPacketOf(request, uint16_t(outSize));
    if ((setup[0] & LIBUSB_ENDPOINT_IN) == 0) return kDriverInvalidParameter;
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + outSize);
    std::memcpy(buffer.data(), setup.data(), setup.size());
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr) return kDriverIoDevice;
    libusb_fill_control_transfer(t, handle_, buffer.data(), &OnTransfer, this, kControlTimeoutMs);
    Read read;
    read.endpoint = 0;
    read.transfers.push_back(t);
    size_t done = 0;
    const uint32_t error = Run(read, done);
    if (error == kDriverOk) {
        std::memcpy(out, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, done);
        returned = done;
    }
    return error;
}

uint32_t Connection::BulkRead(const void* in, size_t inSize, void* out, size_t outSize, size_t& returned) {
    const uint8_t endpoint = EndpointOfPipe(in, inSize);
    if (endpoint == 0 || (endpoint & LIBUSB_ENDPOINT_IN) == 0) return kDriverInvalidParameter;
    if (outSize == 0) return kDriverOk;
    if (out == nullptr || outSize > size_t(INT32_MAX)) return kDriverInvalidParameter;
    if (!EnsureClaimed()) return gone_.load() ? kDriverNotConnected : kDriverIoDevice;

    Read read;
    read.endpoint = endpoint;
    auto* bytes = static_cast<unsigned char*>(out);
    for (size_t at = 0; at < outSize; at += kBulkTransferBytes) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (t == nullptr) break;
        const size_t length = std::min(kBulkTransferBytes, outSize - at);
        libusb_fill_bulk_transfer(t, handle_, endpoint, bytes + at, int(length), &OnTransfer, this, 0);
        read.transfers.push_back(t);
    }
    if (read.transfers.size() * kBulkTransferBytes < outSize) {  // out of memory
        for (libusb_transfer* t : read.transfers) libusb_free_transfer(t);
        return kDriverIoDevice;
    }
    return Run(read, returned);
}

uint32_t Connection::Run(Read& read, size_t& returned) {
    read.finished.assign(read.transfers.size(), true);
    uint32_t submitError = kDriverOk;
    std::unique_lock<std::mutex> lock(lock_);
    reads_.push_back(&read);
    for (size_t i = 0; i < read.transfers.size(); ++i) {
        // A removal between the pieces' submissions stops the rest from going out.
        if (gone_.load()) {
            submitError = kDriverNotConnected;
        } else if (const int r = libusb_submit_transfer(read.transfers[i]); r != 0) {
            submitError = r == LIBUSB_ERROR_NO_DEVICE ? kDriverNotConnected : kDriverIoDevice;
        } else {
            read.finished[i] = false;
            ++read.outstanding;
            continue;
        }
        // The pieces already out would take data that belongs to this read: take them back.
        for (size_t k = 0; k < i; ++k)
            if (!read.finished[k]) libusb_cancel_transfer(read.transfers[k]);
        break;
    }
    changed_.wait(lock, [&] { return read.outstanding == 0; });
    reads_.erase(std::find(reads_.begin(), reads_.end(), &read));
    lock.unlock();

    uint32_t error = submitError;
    size_t done = 0;
    for (libusb_transfer* t : read.transfers) {
        if (error != kDriverOk) break;
        done += size_t(t->actual_length);
        switch (t->status) {
            case LIBUSB_TRANSFER_COMPLETED: break;
            case LIBUSB_TRANSFER_NO_DEVICE: error = kDriverNotConnected; break;
            case LIBUSB_TRANSFER_STALL:
            case LIBUSB_TRANSFER_TIMED_OUT: error = kDriverGenFailure; break;
            case LIBUSB_TRANSFER_CANCELLED: error = gone_.load() ? kDriverNotConnected : kDriverOperationAborted; break;
            default: error = kDriverIoDevice; break;
        }
        if (t->actual_length < t->length) break;  // a short packet ended the read
    }
    for (libusb_transfer* t : read.transfers) libusb_free_transfer(t);
    if (error == kDriverNotConnected) gone_ = true;
    if (error != kDriverOk) return error;
    returned = done;
    return kDriverOk;
}

uint32_t Connection::AbortPipe(const void* in, size_t inSize) {
    const uint8_t endpoint = EndpointOfPipe(in, inSize);
    if (endpoint == 0) return kDriverInvalidParameter;
    {
        std::unique_lock<std::mutex> lock(lock_);
        CancelPending(endpoint, false);
        // The cancelled reads finish on the event thread; the halt is cleared only after them, so
        // that no piece of theirs is still queued behind it.
        changed_.wait_for(lock, std::chrono::milliseconds(kAbortWaitMs), [&] {
            return std::none_of(reads_.begin(), reads_.end(),
                                [&](const Read* r) { return r->endpoint == endpoint && r->outstanding > 0; });
        });
    }
    EnsureClaimed();
    const int r = libusb_clear_halt(handle_, endpoint);
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        MarkGone();
        return kDriverNotConnected;
    }
    return kDriverOk;
}

class LibusbHandle final : public IDriverHandle {
public:
    explicit LibusbHandle(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned) override {
        return connection_->IoControl(code, in, inSize, out, outSize, returned);
    }

private:
    std::shared_ptr<Connection> connection_;
};

// One camera on the bus, registered under its instance name.
class LibusbInstance final : public IDriverInstance {
public:
    explicit LibusbInstance(DeviceKey key) : key_(std::move(key)) {}

    DriverHandle Open(uint32_t& error) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (gone_) {
            error = kDriverFileNotFound;
            return nullptr;
        }
        std::shared_ptr<Connection> connection = connection_.lock();
        if (!connection) {
            connection = Connection::Open(key_, error);
            if (!connection) return nullptr;
            connection_ = connection;
        }
        error = kDriverOk;
        return std::make_unique<LibusbHandle>(std::move(connection));
    }

    const DeviceKey& Key() const { return key_; }
    bool Gone() {
        std::lock_guard<std::mutex> guard(lock_);
        return gone_;
    }
    void MarkGone() {
        std::shared_ptr<Connection> connection;
        {
            std::lock_guard<std::mutex> guard(lock_);
            gone_ = true;
            connection = connection_.lock();
        }
        if (connection) connection->MarkGone();
    }
    // Some handle of the camera is still open.
    bool InUse() {
        std::lock_guard<std::mutex> guard(lock_);
        return !connection_.expired();
    }

private:
    const DeviceKey key_;
    std::mutex lock_;
    bool gone_ = false;
    std::weak_ptr<Connection> connection_;
};

class Backend {
public:
    static Backend& Instance() {
        static Backend* backend = new Backend;  // lives for the process, like the instances it registers
        return *backend;
    }

    void SetHostIds(const std::vector<UsbId>& ids) {
        std::lock_guard<std::mutex> guard(lock_);
        hostIds_ = ids;
    }

    std::vector<UsbId> EffectiveIds() {
        std::lock_guard<std::mutex> guard(lock_);
        return EffectiveIdsLocked();
    }

    void Probe() {
        std::lock_guard<std::mutex> guard(lock_);
        const std::vector<DeviceKey> present = CandidatesOnBus(EffectiveIdsLocked());
        for (auto it = instances_.begin(); it != instances_.end();) {
            LibusbInstance& instance = *it->second;
            if (std::find(present.begin(), present.end(), instance.Key()) == present.end()) instance.MarkGone();
            // A gone camera keeps its number until its last handle closes.
            if (instance.Gone() && !instance.InUse()) {
                DriverRegistry::UnregisterIf(Usb2InstanceName(it->first), it->second.get());
                it = instances_.erase(it);
            } else {
                ++it;
            }
        }
        for (const DeviceKey& key : present) {
            const bool known = std::any_of(instances_.begin(), instances_.end(), [&](const auto& entry) {
                return !entry.second->Gone() && entry.second->Key() == key;
            });
            if (known) continue;
            for (unsigned n = 0; n < kUsb2InstanceCount; ++n) {
                if (instances_.count(n) != 0) continue;
                auto instance = std::make_shared<LibusbInstance>(key);
                if (!DriverRegistry::RegisterIfFree(Usb2InstanceName(n), instance)) continue;  // simulated
                instances_[n] = std::move(instance);
                break;
            }
        }
    }

private:
    std::vector<UsbId> EffectiveIdsLocked() const {
        std::vector<UsbId> ids = CompiledUsb2Ids();
        for (const UsbId& id : hostIds_)
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        return ids;
    }

    // The candidates plugged now, in (bus, port path) order. Only the cached device descriptors
    // are read: nothing is sent to any device.
    static std::vector<DeviceKey> CandidatesOnBus(const std::vector<UsbId>& ids) {
        std::vector<DeviceKey> keys;
        if (ids.empty()) return keys;
        libusb_context* context = nullptr;
        if (libusb_init(&context) != 0) return keys;  // no USB on this machine
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor dd{};
            if (libusb_get_device_descriptor(list[i], &dd) != 0) continue;
            const UsbId id{dd.idVendor, dd.idProduct};
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) keys.push_back(KeyOf(list[i]));
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        libusb_exit(context);
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    std::mutex lock_;
    std::vector<UsbId> hostIds_;
    std::map<unsigned, std::shared_ptr<LibusbInstance>> instances_;
};

}  // namespace

const std::vector<UsbId>& CompiledUsb2Ids() {
    static const std::vector<UsbId> ids;
    return ids;
}

void SetHostUsb2Ids(const std::vector<UsbId>& ids) {
    Backend::Instance().SetHostIds(ids);
}

std::vector<UsbId> EffectiveUsb2Ids() {
    return Backend::Instance().EffectiveIds();
}

void ProbeLibusbUsb2Cameras() {
    Backend::Instance().Probe();
}

}  // namespace Kovon
