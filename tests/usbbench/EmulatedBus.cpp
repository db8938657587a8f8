#include "usbbench/EmulatedBus.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace Kovon::UsbBench {
namespace {

constexpr size_t kSetupSize = 8;
constexpr uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08, kSetConfiguration = 0x09, kGetInterface = 0x0A, kSetInterface = 0x0B;
constexpr uint8_t kDescriptorDevice = 1, kDescriptorConfiguration = 2, kDescriptorString = 3;

// One URB as the host submitted it, and what the bus answers.
struct Urb {
    const void* device = nullptr;            // the Device it was sent to
    UMockdevIoctlClient* client = nullptr;  // a reference is held
    UMockdevIoctlData* urb = nullptr;       // the client's struct usbdevfs_urb (a reference)
    UMockdevIoctlData* buffer = nullptr;    // the client's buffer (a reference), may be null
    gulong address = 0;                     // the URB's address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    size_t length = 0;
    std::vector<uint8_t> data;  // IN data to hand back (control: the data stage only)
    int status = 0;
    size_t actual = 0;
    bool discarded = false;

    ~Urb() {
        if (buffer != nullptr) g_object_unref(buffer);
        if (urb != nullptr) g_object_unref(urb);
        if (client != nullptr) g_object_unref(client);
    }
};
using UrbPtr = std::shared_ptr<Urb>;

struct Endpoint {
    std::deque<UrbPtr> pending;
    UrbPtr current;  // being filled by the worker
    std::thread worker;
};

// One plugged device (a replug makes a new one: files of the old node stay gone).
struct Device {
    int id = 0;
    std::shared_ptr<EmulatedDevice> model;
    DeviceDescription description;
    uint8_t port = 0;
    uint8_t address = 0;
    std::string node;
    std::string syspath;
    bool gone = false;
    bool stopping = false;
    std::map<uint8_t, UMockdevIoctlClient*> claims;  // interface -> the file that holds it
    std::map<uint8_t, Endpoint> endpoints;
    std::deque<UrbPtr> stalledControl;  // control transfers the model does not answer
    std::condition_variable work;
    DeviceCounters counters;
};
using DevicePtr = std::shared_ptr<Device>;

void Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

}  // namespace

bool UnderUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
    const size_t chars = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> d = {uint8_t(2 + 2 * chars), kDescriptorString};
    for (size_t i = 0; i < chars; ++i) {
        d.push_back(uint8_t(text[i]));
        d.push_back(0);
    }
    return d;
}

struct EmulatedBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::mutex lock;  // guards everything below and every Device
    std::map<std::string, DevicePtr> byNode;
    std::map<int, DevicePtr> byId;  // the present incarnation of each id
    std::map<UMockdevIoctlClient*, std::deque<UrbPtr>> reapable;
    int nextId = 1;
    uint8_t nextAddress = 2;
    uint8_t nextPort = 1;

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<Impl*>(self)->Handle(client);
    }
    static void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* impl = static_cast<Impl*>(self);
        std::lock_guard<std::mutex> guard(impl->lock);
        auto it = impl->byNode.find(umockdev_ioctl_client_get_devnode(client));
        if (it != impl->byNode.end()) ++it->second->counters.opens;
    }
    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Impl*>(self)->Vanished(client);
    }

    DevicePtr Find(UMockdevIoctlClient* client) {
        auto it = byNode.find(umockdev_ioctl_client_get_devnode(client));
        return it == byNode.end() ? nullptr : it->second;
    }

    // A file was closed: its claims go, its URBs are forgotten.
    void Vanished(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> guard(lock);
        reapable.erase(client);
        for (auto& [node, device] : byNode) {
            for (auto it = device->claims.begin(); it != device->claims.end();)
                it = it->second == client ? device->claims.erase(it) : std::next(it);
            for (auto& [address, endpoint] : device->endpoints) {
                auto& q = endpoint.pending;
                q.erase(std::remove_if(q.begin(), q.end(), [&](const UrbPtr& u) { return u->client == client; }), q.end());
            }
            auto& c = device->stalledControl;
            c.erase(std::remove_if(c.begin(), c.end(), [&](const UrbPtr& u) { return u->client == client; }), c.end());
        }
    }

    void Finish(const UrbPtr& urb) { reapable[urb->client].push_back(urb); }

    gboolean Handle(UMockdevIoctlClient* client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock<std::mutex> guard(lock);
        DevicePtr device = Find(client);
        if (!device) {
            Complete(client, -1, ENODEV);
            return TRUE;
        }
        // Reaping still hands back what finished before a removal.
        if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(client, arg, device);
        if (device->gone) {
            Complete(client, -1, ENODEV);
            return TRUE;
        }
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
                uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8*>(&caps), sizeof caps);
                g_object_unref(d);
                Complete(client, 0, 0);
                return TRUE;
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
                unsigned number = 0;
                std::memcpy(&number, d->data, sizeof number);
                g_object_unref(d);
                auto held = device->claims.find(uint8_t(number));
                if (request == USBDEVFS_RELEASEINTERFACE) {
                    if (held == device->claims.end() || held->second != client) {
                        Complete(client, -1, EINVAL);
                        return TRUE;
                    }
                    device->claims.erase(held);
                } else if (held != device->claims.end() && held->second != client) {
                    ++device->counters.busyClaims;
                    Complete(client, -1, EBUSY);
                    return TRUE;
                } else {
                    device->claims[uint8_t(number)] = client;
                    ++device->counters.claims;
                }
                Complete(client, 0, 0);
                return TRUE;
            }
            case USBDEVFS_SETINTERFACE:
                ++device->counters.setInterfaces;
                Complete(client, 0, 0);
                return TRUE;
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
                unsigned endpoint = 0;
                std::memcpy(&endpoint, d->data, sizeof endpoint);
                g_object_unref(d);
                if (request == USBDEVFS_CLEAR_HALT) {
                    ++device->counters.clearHalts[uint8_t(endpoint)];
                    device->model->ClearHalt(uint8_t(endpoint));
                }
                Complete(client, 0, 0);
                return TRUE;
            }
            case USBDEVFS_RESET:
                Complete(client, 0, 0);
                return TRUE;
            case USBDEVFS_SUBMITURB: return Submit(client, arg, device, guard);
            case USBDEVFS_DISCARDURB: return Discard(client, arg, device);
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:  // no kernel driver is bound to any interface
                Complete(client, -1, ENODATA);
                return TRUE;
            default:
                Complete(client, -1, ENOTTY);
                return TRUE;
        }
    }

    gboolean Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const DevicePtr& device,
                    std::unique_lock<std::mutex>& guard) {
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (urbData == nullptr) {
            Complete(client, -1, EFAULT);
            return TRUE;
        }
        usbdevfs_urb raw;
        std::memcpy(&raw, urbData->data, sizeof raw);
        auto urb = std::make_shared<Urb>();
        urb->device = device.get();
        urb->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        urb->urb = urbData;
        urb->address = urbData->client_addr;
        urb->type = raw.type;
        urb->endpoint = raw.endpoint;
        urb->length = raw.buffer_length > 0 ? size_t(raw.buffer_length) : 0;
        if (urb->length > 0) {
            urb->buffer =
                umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->length, nullptr);
            if (urb->buffer == nullptr) {
                Complete(client, -1, EFAULT);
                return TRUE;
            }
        }
        if (raw.type == USBDEVFS_URB_TYPE_CONTROL) {
            ++device->counters.controlRequests;
            if (urb->length < kSetupSize) {
                Complete(client, -1, EINVAL);
                return TRUE;
            }
            uint8_t setup[kSetupSize];
            std::memcpy(setup, urb->buffer->data, kSetupSize);
            Complete(client, 0, 0);
            ControlTransfer(device, urb, setup, guard);
            return TRUE;
        }
        if (raw.type != USBDEVFS_URB_TYPE_BULK) {
            Complete(client, -1, EINVAL);
            return TRUE;
        }
        if ((raw.endpoint & 0x80) == 0) {
            ++device->counters.bulkOut;
            const std::vector<uint8_t> out(urb->buffer ? urb->buffer->data : nullptr,
                                           urb->buffer ? urb->buffer->data + urb->length : nullptr);
            Complete(client, 0, 0);
            std::shared_ptr<EmulatedDevice> model = device->model;
            guard.unlock();  // the model may take its own locks, which its workers hold
            model->BulkOut(raw.endpoint, out.data(), out.size());
            guard.lock();
            urb->actual = out.size();
            Finish(urb);
            return TRUE;
        }
        ++device->counters.bulkIn;
        Endpoint& endpoint = device->endpoints[raw.endpoint];
        endpoint.pending.push_back(urb);
        if (!endpoint.worker.joinable()) {
            Device* d = device.get();
            const uint8_t address = raw.endpoint;
            endpoint.worker = std::thread([this, d, address] { Worker(d, address); });
        }
        device->work.notify_all();
        Complete(client, 0, 0);
        return TRUE;
    }

    void ControlTransfer(const DevicePtr& device, const UrbPtr& urb, const uint8_t (&setup)[kSetupSize],
                         std::unique_lock<std::mutex>& guard) {
        const uint8_t requestType = setup[0];
        const uint8_t request = setup[1];
        const uint16_t value = uint16_t(setup[2] | (setup[3] << 8));
        const uint16_t index = uint16_t(setup[4] | (setup[5] << 8));
        const size_t length = std::min<size_t>(uint16_t(setup[6] | (setup[7] << 8)), urb->length - kSetupSize);
        const bool in = (requestType & 0x80) != 0;
        const bool standard = (requestType & 0x60) == 0;
        std::vector<uint8_t> answer;
        bool stall = false;
        if (standard && in && request == kGetDescriptor) {
            const uint8_t type = uint8_t(value >> 8);
            const uint8_t which = uint8_t(value & 0xFF);
            if (type == kDescriptorDevice) {
                answer = device->description.device;
            } else if (type == kDescriptorConfiguration && which == 0) {
                answer = device->description.configuration;
            } else if (type == kDescriptorString && which == 0) {
                answer = {4, kDescriptorString, 0x09, 0x04};  // English (US)
            } else if (type == kDescriptorString && device->description.strings.count(which)) {
                answer = StringDescriptor(device->description.strings.at(which));
            } else {
                stall = true;
            }
        } else if (standard && in && (request == kGetStatus || request == kGetInterface)) {
            answer.assign(request == kGetStatus ? 2 : 1, 0);
        } else if (standard && in && request == kGetConfiguration) {
            answer = {1};
        } else if (standard && !in && (request == kSetConfiguration || request == kSetInterface ||
                                       request == kSetFeature)) {
        } else if (standard && !in && request == kClearFeature) {
            if ((requestType & 0x1F) == 2 && value == 0) {  // ENDPOINT_HALT
                ++device->counters.clearHalts[uint8_t(index)];
                device->model->ClearHalt(uint8_t(index));
            }
        } else {
            std::vector<uint8_t> data;
            if (in) {
                data.assign(length, 0);
            } else {
                data.assign(urb->buffer->data + kSetupSize, urb->buffer->data + kSetupSize + length);
            }
            std::shared_ptr<EmulatedDevice> model = device->model;
            ++device->counters.vendorRequests;
            guard.unlock();
            const ControlResult r = model->Control(setup, data);
            guard.lock();
            if (r == ControlResult::kNoAnswer) {
                device->stalledControl.push_back(urb);
                return;
            }
            stall = r == ControlResult::kStall;
            if (in) answer = std::move(data);
        }
        if (stall) {
            urb->status = -EPIPE;
        } else if (in) {
            if (answer.size() > length) answer.resize(length);
            urb->data = std::move(answer);
            urb->actual = urb->data.size();
        } else {
            urb->actual = length;
        }
        Finish(urb);
    }

    gboolean Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const DevicePtr& device) {
        // The argument is the URB's address in the client.
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
        ++device->counters.discards;
        auto take = [&](std::deque<UrbPtr>& q) {
            for (auto it = q.begin(); it != q.end(); ++it) {
                if ((*it)->client != client || (*it)->address != address) continue;
                UrbPtr urb = *it;
                q.erase(it);
                urb->status = -ENOENT;
                Finish(urb);
                return true;
            }
            return false;
        };
        if (take(device->stalledControl)) {
            Complete(client, 0, 0);
            return TRUE;
        }
        for (auto& [endpointAddress, endpoint] : device->endpoints) {
            if (take(endpoint.pending)) {
                Complete(client, 0, 0);
                return TRUE;
            }
            if (endpoint.current && endpoint.current->client == client && endpoint.current->address == address) {
                endpoint.current->discarded = true;
                device->model->Interrupt(endpointAddress);
                Complete(client, 0, 0);
                return TRUE;
            }
        }
        Complete(client, -1, EINVAL);  // finished already: it is waiting to be reaped
        return TRUE;
    }

    gboolean Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const DevicePtr& device) {
        auto it = reapable.find(client);
        if (it == reapable.end() || it->second.empty()) {
            Complete(client, -1, device->gone ? ENODEV : EAGAIN);
            return TRUE;
        }
        UrbPtr urb = it->second.front();
        it->second.pop_front();
        const size_t offset = urb->type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0;
        if (!urb->data.empty() && urb->buffer != nullptr)
            umockdev_ioctl_data_update(urb->buffer, offset, urb->data.data(), gint(urb->data.size()));
        usbdevfs_urb raw;
        std::memcpy(&raw, urb->urb->data, sizeof raw);
        raw.status = urb->status;
        raw.actual_length = int(urb->actual);
        umockdev_ioctl_data_update(urb->urb, 0, reinterpret_cast<guint8*>(&raw), sizeof raw);
        UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, urb->urb);
        g_object_unref(pointer);
        Complete(client, 0, 0);
        return TRUE;
    }

    // Fills the IN transfers of one endpoint in order.
    void Worker(Device* device, uint8_t address) {
        std::unique_lock<std::mutex> guard(lock);
        Endpoint& endpoint = device->endpoints[address];
        for (;;) {
            device->work.wait(guard, [&] { return device->stopping || !endpoint.pending.empty(); });
            if (device->stopping) return;
            UrbPtr urb = endpoint.pending.front();
            endpoint.pending.pop_front();
            endpoint.current = urb;
            std::shared_ptr<EmulatedDevice> model = device->model;
            guard.unlock();
            std::vector<uint8_t> data(urb->length);
            size_t got = 0;
            const InResult r = model->BulkIn(address, data.data(), data.size(), got);
            guard.lock();
            model->ClearInterrupt(address);
            endpoint.current.reset();
            data.resize(std::min(got, data.size()));
            urb->actual = data.size();
            urb->data = std::move(data);
            switch (r) {
                case InResult::kOk: urb->status = 0; break;
                case InResult::kStall: urb->status = -EPIPE; break;
                case InResult::kGone: urb->status = -ESHUTDOWN; break;
                case InResult::kCancelled: urb->status = -ENOENT; break;
                case InResult::kOverflow: urb->status = -EOVERFLOW; break;
            }
            if (urb->discarded) urb->status = -ENOENT;
            if (device->gone && r != InResult::kOk) urb->status = -ESHUTDOWN;
            Finish(urb);
        }
    }

    bool AddToTestbed(const DevicePtr& device) {
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", device->address);
        device->node = node;
        device->syspath = "/sys/devices/usb1/1-" + std::to_string(device->port);
        std::vector<uint8_t> descriptors = device->description.device;
        descriptors.insert(descriptors.end(), device->description.configuration.begin(),
                           device->description.configuration.end());
        char text[512];
        std::snprintf(text, sizeof text,
                      "P: /devices/usb1/1-%u\nN: bus/usb/001/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                      "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=%03u\nE: DEVNAME=%s\n"
                      "A: busnum=1\\n\nA: devnum=%u\\n\nA: speed=%u\\n\nA: bConfigurationValue=1\\n\n",
                      device->port, device->address, device->address, node, device->address,
                      device->description.speedMbps);
        const std::string record = text + ("H: descriptors=" + Hex(descriptors) + "\n");
        if (!umockdev_testbed_attach_ioctl(testbed, node, handler, nullptr)) return false;
        return umockdev_testbed_add_from_string(testbed, record.c_str(), nullptr) != FALSE;
    }

    // Stops the workers of a device that has gone; called without the lock.
    static void StopWorkers(const DevicePtr& device, std::mutex& lock) {
        {
            std::lock_guard<std::mutex> guard(lock);
            device->stopping = true;
            device->work.notify_all();
        }
        for (auto& [address, endpoint] : device->endpoints)
            if (endpoint.worker.joinable()) endpoint.worker.join();
    }
};

EmulatedBus& EmulatedBus::Instance() {
    static EmulatedBus bus;
    return bus;
}

EmulatedBus::EmulatedBus() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(&Impl::OnIoctl), impl_.get());
    g_signal_connect(impl_->handler, "client-connected", G_CALLBACK(&Impl::OnConnected), impl_.get());
    g_signal_connect(impl_->handler, "client-vanished", G_CALLBACK(&Impl::OnVanished), impl_.get());
}

EmulatedBus::~EmulatedBus() {
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        for (auto& [id, device] : impl_->byId) ids.push_back(id);
    }
    for (int id : ids) Unplug(id);
    std::vector<DevicePtr> all;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        for (auto& [node, device] : impl_->byNode) all.push_back(device);
    }
    for (const DevicePtr& device : all) Impl::StopWorkers(device, impl_->lock);
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->reapable.clear();
        impl_->byNode.clear();
        impl_->byId.clear();
    }
    g_object_unref(impl_->handler);
    g_object_unref(impl_->testbed);
}

int EmulatedBus::Plug(std::shared_ptr<EmulatedDevice> model) {
    if (!model) return 0;
    auto device = std::make_shared<Device>();
    device->model = std::move(model);
    device->description = device->model->Describe();
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        device->id = impl_->nextId++;
        device->port = impl_->nextPort++;
        device->address = impl_->nextAddress++;
    }
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", device->address);
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->byNode[node] = device;
        impl_->byId[device->id] = device;
    }
    if (!impl_->AddToTestbed(device)) {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->byNode.erase(node);
        impl_->byId.erase(device->id);
        return 0;
    }
    return device->id;
}

void EmulatedBus::Unplug(int id) {
    DevicePtr device;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        auto it = impl_->byId.find(id);
        if (it == impl_->byId.end() || it->second->gone) return;
        device = it->second;
        device->gone = true;
        for (auto& [address, endpoint] : device->endpoints) {
            for (UrbPtr& urb : endpoint.pending) {
                urb->status = -ESHUTDOWN;
                impl_->Finish(urb);
            }
            endpoint.pending.clear();
        }
        for (UrbPtr& urb : device->stalledControl) {
            urb->status = -ESHUTDOWN;
            impl_->Finish(urb);
        }
        device->stalledControl.clear();
    }
    device->model->Unplugged();  // a worker inside the model returns kGone
    Impl::StopWorkers(device, impl_->lock);
    umockdev_testbed_uevent(impl_->testbed, device->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, device->syspath.c_str());
}

void EmulatedBus::Replug(int id) {
    DevicePtr old;
    auto device = std::make_shared<Device>();
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        auto it = impl_->byId.find(id);
        if (it == impl_->byId.end() || !it->second->gone) return;
        old = it->second;
        device->id = id;
        device->model = old->model;
        device->description = old->description;
        device->port = old->port;
        device->address = impl_->nextAddress++;
    }
    device->model->Replugged();
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", device->address);
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->byNode[node] = device;
        impl_->byId[id] = device;
    }
    impl_->AddToTestbed(device);
}

DeviceCounters EmulatedBus::Counters(int id) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    auto it = impl_->byId.find(id);
    if (it == impl_->byId.end()) return DeviceCounters{};
    const Device& device = *it->second;
    DeviceCounters counters = device.counters;
    counters.urbsInFlight = device.stalledControl.size();
    for (const auto& [address, endpoint] : device.endpoints)
        counters.urbsInFlight += endpoint.pending.size() + (endpoint.current ? 1 : 0);
    for (const auto& [client, urbs] : impl_->reapable)
        for (const UrbPtr& urb : urbs) counters.urbsInFlight += urb->device == &device ? 1 : 0;
    return counters;
}

std::string EmulatedBus::SysfsPath(int id) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    auto it = impl_->byId.find(id);
    return it == impl_->byId.end() ? std::string() : it->second->syspath;
}

std::string EmulatedBus::Node(int id) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    auto it = impl_->byId.find(id);
    return it == impl_->byId.end() ? std::string() : it->second->node;
}

uint8_t EmulatedBus::Address(int id) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    auto it = impl_->byId.find(id);
    return it == impl_->byId.end() ? 0 : it->second->address;
}

}  // namespace Kovon::UsbBench
