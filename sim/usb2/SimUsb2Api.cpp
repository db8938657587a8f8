// The exported simulator API: a table of the simulated cameras plugged in at the 64 driver
// instances of this process, each registered with the driver seam under its instance name.
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "KovonSim/SimUsb2.h"
#include "sim/usb2/SimUsb2Driver.h"
#include "usb2/InterfaceUSB.h"
#include "usb2/ModelTable.h"
#include "usb2/driver/InstanceNames.h"
#include "usb2/image/ColorType.h"

namespace {

using Kovon::Sim::SimUsb2Camera;
using Kovon::Sim::SimUsb2Instance;

struct Plugged {
    std::mutex lock;
    std::array<std::shared_ptr<SimUsb2Instance>, Kovon::kUsb2InstanceCount> instances;
};

Plugged& ThePlugged() {
    static Plugged plugged;
    return plugged;
}

int Find(unsigned instance, std::shared_ptr<SimUsb2Instance>& out) {
    if (instance >= Kovon::kUsb2InstanceCount) return KOVON_SIM_BAD_INSTANCE;
    Plugged& plugged = ThePlugged();
    std::lock_guard<std::mutex> guard(plugged.lock);
    out = plugged.instances[instance];
    return out ? KOVON_SIM_OK : KOVON_SIM_NO_CAMERA;
}

// Runs 'fn' on the camera model of an instance.
template <typename Fn>
int WithCamera(unsigned instance, Fn&& fn) {
    std::shared_ptr<SimUsb2Instance> sim;
    const int status = Find(instance, sim);
    if (status != KOVON_SIM_OK) return status;
    return sim->WithCamera(fn);
}

// Runs 'fn' on the instance (the driver adapter with its frame generator).
template <typename Fn>
int WithInstance(unsigned instance, Fn&& fn) {
    std::shared_ptr<SimUsb2Instance> sim;
    const int status = Find(instance, sim);
    if (status != KOVON_SIM_OK) return status;
    return fn(*sim);
}

// Whether the model that the serial names has a colour sensor: the serial prefix (the first two
// bytes) chooses the model as enumeration does.
bool IsColourSerial(const unsigned char serial[6]) {
    std::string prefix = "SN_";
    for (size_t i = 0; i < 2; ++i) {
        prefix += Kovon::CInterfaceUSB::GetASCII(serial[i] >> 4);
        prefix += Kovon::CInterfaceUSB::GetASCII(serial[i] & 0x0F);
    }
    const Kovon::UsbModel* model = Kovon::FindUsbModel(prefix);
    return model != nullptr &&
           Kovon::Usb2Image::GetColorType(model->modelName) == Kovon::Usb2Image::kColorTypeColor;
}

bool ValidRegister(unsigned short address) {
    return address < 0x8000 && (address & 1) == 0;
}

}  // namespace

extern "C" {

KOVON_API int KovonSimUsb2_Plug(unsigned instance, const unsigned char serial[6], unsigned short firmware,
                                unsigned short usbRelease) {
    if (instance >= Kovon::kUsb2InstanceCount) return KOVON_SIM_BAD_INSTANCE;
    if (serial == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    Kovon::Sim::SimUsb2Config config;
    for (size_t i = 0; i < config.serial.size(); ++i) config.serial[i] = serial[i];
    config.firmware = firmware;
    config.usbRelease = usbRelease;
    config.colour = IsColourSerial(serial);
    Plugged& plugged = ThePlugged();
    std::lock_guard<std::mutex> guard(plugged.lock);
    if (plugged.instances[instance]) return KOVON_SIM_OCCUPIED;
    auto sim = std::make_shared<SimUsb2Instance>(config);
    // A real camera may hold the instance already: its number is not the simulator's to take.
    if (!Kovon::DriverRegistry::RegisterIfFree(Kovon::Usb2InstanceName(instance), sim)) return KOVON_SIM_OCCUPIED;
    plugged.instances[instance] = std::move(sim);
    return KOVON_SIM_OK;
}

KOVON_API int KovonSimUsb2_Unplug(unsigned instance) {
    if (instance >= Kovon::kUsb2InstanceCount) return KOVON_SIM_BAD_INSTANCE;
    std::shared_ptr<SimUsb2Instance> sim;
    {
        Plugged& plugged = ThePlugged();
        std::lock_guard<std::mutex> guard(plugged.lock);
        sim = std::move(plugged.instances[instance]);
        if (!sim) return KOVON_SIM_NO_CAMERA;
        Kovon::DriverRegistry::UnregisterIf(Kovon::Usb2InstanceName(instance), sim.get());
    }
    sim->SetConnected(false);  // handles still open on it now fail with 1167
    sim->StopGenerator();
    return KOVON_SIM_OK;
}

KOVON_API int KovonSimUsb2_UnplugAll(void) {
    int count = 0;
    for (unsigned i = 0; i < Kovon::kUsb2InstanceCount; ++i) {
        if (KovonSimUsb2_Unplug(i) == KOVON_SIM_OK) ++count;
    }
    return count;
}

KOVON_API int KovonSimUsb2_FailRequests(unsigned instance, unsigned count) {
    return WithCamera(instance, [count](SimUsb2Camera& camera) {
        camera.FailNextRequests(count);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_FailRegister(unsigned instance, unsigned short address, unsigned count) {
    if (!ValidRegister(address)) return KOVON_SIM_BAD_ARGUMENT;
    return WithCamera(instance, [address, count](SimUsb2Camera& camera) {
        camera.FailRegisterRequests(address, count);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_SetDisconnected(unsigned instance, int disconnected) {
    std::shared_ptr<SimUsb2Instance> sim;
    const int status = Find(instance, sim);
    if (status != KOVON_SIM_OK) return status;
    sim->SetConnected(disconnected == 0);
    return KOVON_SIM_OK;
}

KOVON_API int KovonSimUsb2_WrongEchoOnNextRequest(unsigned instance) {
    return WithCamera(instance, [](SimUsb2Camera& camera) {
        camera.WrongEchoOnNextRequest();
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_SetAcquisitionBusyReads(unsigned instance, unsigned reads) {
    return WithCamera(instance, [reads](SimUsb2Camera& camera) {
        camera.SetAcquisitionBusyReads(reads);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_SetTriggerBusyReads(unsigned instance, unsigned reads) {
    return WithCamera(instance, [reads](SimUsb2Camera& camera) {
        camera.SetTriggerBusyReads(reads);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_PeekRegister(unsigned instance, unsigned short address, unsigned short* value) {
    if (value == nullptr || !ValidRegister(address)) return KOVON_SIM_BAD_ARGUMENT;
    return WithCamera(instance, [address, value](SimUsb2Camera& camera) {
        *value = camera.Peek(address);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_PokeRegister(unsigned instance, unsigned short address, unsigned short value) {
    if (!ValidRegister(address)) return KOVON_SIM_BAD_ARGUMENT;
    return WithCamera(instance, [address, value](SimUsb2Camera& camera) {
        camera.Poke(address, value);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_IsAcquiring(unsigned instance, int* acquiring) {
    if (acquiring == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    return WithCamera(instance, [acquiring](SimUsb2Camera& camera) {
        *acquiring = camera.Acquiring() ? 1 : 0;
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_PushBulk(unsigned instance, const void* data, uint64_t size) {
    if (data == nullptr && size != 0) return KOVON_SIM_BAD_ARGUMENT;
    std::shared_ptr<SimUsb2Instance> sim;
    const int status = Find(instance, sim);
    if (status != KOVON_SIM_OK) return status;
    sim->PushBulk(data, static_cast<size_t>(size));
    return KOVON_SIM_OK;
}

KOVON_API int KovonSimUsb2_SetFrameRate(unsigned instance, double framesPerSecond) {
    return WithInstance(instance, [framesPerSecond](SimUsb2Instance& sim) {
        return sim.SetFrameRate(framesPerSecond) ? KOVON_SIM_OK : KOVON_SIM_BAD_ARGUMENT;
    });
}

KOVON_API int KovonSimUsb2_Trigger(unsigned instance) {
    return WithCamera(instance, [](SimUsb2Camera& camera) {
        camera.LineTrigger();
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_GetFrame(unsigned instance, unsigned phase, void* buffer, uint64_t* size) {
    if (size == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    return WithInstance(instance, [phase, buffer, size](SimUsb2Instance& sim) {
        const Kovon::Sim::SimUsb2Frame frame = sim.FrameOfPhase(phase);
        if (!frame.bytes) return KOVON_SIM_NO_CAMERA;
        const uint64_t bytes = frame.bytes->size();
        if (buffer == nullptr) {
            *size = bytes;
            return KOVON_SIM_OK;
        }
        if (*size < bytes) return KOVON_SIM_BAD_ARGUMENT;
        std::memcpy(buffer, frame.bytes->data(), bytes);
        *size = bytes;
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_GetFrames(unsigned instance, KovonSimUsb2Frames* frames) {
    if (frames == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    return WithInstance(instance, [frames](SimUsb2Instance& sim) {
        const Kovon::Sim::SimUsb2StreamCounters c = sim.StreamCounters();
        frames->sent = c.framesSent;
        frames->dropped = c.framesDropped;
        frames->lost = c.bytesLost;
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_LoseBytes(unsigned instance, uint64_t count) {
    return WithInstance(instance, [count](SimUsb2Instance& sim) {
        sim.LoseBytes(count);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_StallPipe(unsigned instance) {
    return WithInstance(instance, [](SimUsb2Instance& sim) {
        sim.StallPipe();
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_IgnoreTriggers(unsigned instance, int ignore) {
    return WithCamera(instance, [ignore](SimUsb2Camera& camera) {
        camera.IgnoreTriggers(ignore != 0);
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_GetCounters(unsigned instance, KovonSimUsb2Counters* counters) {
    if (counters == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    return WithCamera(instance, [counters](SimUsb2Camera& camera) {
        const Kovon::Sim::SimUsb2Counters& c = camera.Counters();
        counters->opens = c.opens;
        counters->descriptorRequests = c.descriptorRequests;
        counters->registerRequests = c.registerRequests;
        counters->bulkReads = c.bulkReads;
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_ResetCounters(unsigned instance) {
    return WithCamera(instance, [](SimUsb2Camera& camera) {
        camera.ResetCounters();
        return KOVON_SIM_OK;
    });
}

KOVON_API int KovonSimUsb2_GetTraffic(KovonSimUsb2Traffic* traffic) {
    if (traffic == nullptr) return KOVON_SIM_BAD_ARGUMENT;
    const Kovon::DriverTraffic t = Kovon::GetDriverTraffic();
    traffic->openAttempts = t.openAttempts;
    traffic->opens = t.opens;
    traffic->descriptorRequests = t.descriptorRequests;
    traffic->registerRequests = t.vendorRequests;
    traffic->bulkReads = t.bulkReads;
    traffic->aborts = t.aborts;
    return KOVON_SIM_OK;
}

KOVON_API int KovonSimUsb2_ResetTraffic(void) {
    Kovon::ResetDriverTraffic();
    return KOVON_SIM_OK;
}

}  // extern "C"
