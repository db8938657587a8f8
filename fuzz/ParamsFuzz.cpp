// The parameter calls of the object tree with random id, buffer and size: GetParam and SetParam
// on the system, the three interfaces, a simulated USB 2.0, a simulated USB3 Vision and a simulated
// GigE Vision camera
// (opened, and as the info copies the interfaces hand out) and their streams (opened and info
// copies), plus GetInfo, GetValue and SetValue on the devices and the name calls that take a
// buffer. Each input builds a fresh tree over freshly plugged simulated USB cameras and releases
// it afterwards, so one input never depends on another. The GigE Vision camera (a GVCP/GVSP server
// on 127.0.0.18) is plugged once per process and opened and closed by the inputs that ask for it:
// plugging it binds sockets and starts its server, which would dominate the cost of an input.
//
// Buffers are heap blocks of exactly the size the call is given (AddressSanitizer sees any byte
// written or read past it). Checked beyond "no fault": a refused call
// (invalid parameter, not implemented, invalid id) leaves the buffer, and for a read also
// the size, as they were.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "KovonSim/SimGigE.h"
#include "KovonSim/SimU3V.h"
#include "KovonSim/SimUsb2.h"
#include "Lumora/Lumora.h"
#include "system/System.h"

using Lumora::u64;

namespace {

// Ids the objects know, so that most calls reach real handling rather than the "unknown" branch.
constexpr u64 kKnownIds[] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 4096, 4097, 4100, 4104, 4108,
    0x44, 0xC4, 0x104, 0x144, 0x184, 0x1C4, 0x1D0, 0x700, 0x10040, 0x50000, 0x50004, 0x50008, 0x5000C,
    0x50014, 0x50030, 0x80010, 0x1000000C, 0x10000010, 0x10000014, 0x10000018, 0x1000001C, 0x1000002C,
    0x10000030, 0x10000034, 0x452, 0x454, 0x45A, 0x460, 0x46C, 0x206, 0x20C,
    // GigE Vision bootstrap registers and the device's module ids
    0x8, 0x48, 0x200, 0x400, 0x934, 0x938, 0xA00, 0xA04, 0xB00, 0xD00, 0xD04, 0xD08, 0xD18, 0xA004, 0xC000,
};

struct Tree {
    Lumora::ISystem* system = nullptr;
    std::vector<Lumora::IInterface*> interfaces;
    std::vector<Lumora::IDevice*> devices;  // opened and info copies
    std::vector<Lumora::IStream*> streams;
    // The info copies among them: the host owns those and releases each itself.
    std::vector<Lumora::IInterface*> interfaceCopies;
    std::vector<Lumora::IDevice*> deviceCopies;
    std::vector<Lumora::IStream*> streamCopies;

    size_t Count() const { return 1 + interfaces.size() + devices.size() + streams.size(); }

    void Release() {
        for (auto* s : streamCopies) s->Release();
        for (auto* d : deviceCopies) d->Release();
        for (auto* i : interfaceCopies) i->Release();
        system->Release();  // the opened objects go with it
    }
};

void Build(Tree& t, bool withGigE, bool withGigEStream) {
    t.system = new Kovon::CSystem();
    unsigned count = 0;
    t.system->GetNumInterfaces(count);
    for (unsigned i = 0; i < count; ++i) {
        char name[128];
        u64 size = sizeof name;
        if (t.system->GetInterfaceName(i, name, size) != 0) continue;
        Lumora::IInterface* opened = nullptr;
        if (t.system->OpenInterface(name, opened) != 0 || opened == nullptr) continue;
        t.interfaces.push_back(opened);
        Lumora::IInterface* info = nullptr;
        if (t.system->GetInterface(name, info) == 0 && info != nullptr) {
            t.interfaces.push_back(info);
            t.interfaceCopies.push_back(info);
        }
        if (!withGigE && std::strcmp(name, "Interface_GigEVision") == 0) continue;
        unsigned devices = 0;
        if (opened->GetNumDevices(devices, 50) != 0) continue;
        for (unsigned d = 0; d < devices; ++d) {
            char deviceName[256];
            u64 deviceSize = sizeof deviceName;
            if (opened->GetDeviceName(d, deviceName, deviceSize) != 0) continue;
            // Loopback GigE Vision cameras of other programs are listed too: leave them alone.
            if (std::strcmp(name, "Interface_GigEVision") == 0 && std::strstr(deviceName, "_SN_FZGIGE") == nullptr)
                continue;
            Lumora::IDevice* copy = nullptr;
            if (opened->GetDevice(deviceName, copy) == 0 && copy != nullptr) {
                t.devices.push_back(copy);
                t.deviceCopies.push_back(copy);
            }
            Lumora::IDevice* device = nullptr;
            if (opened->OpenDevice(deviceName, device) != 0 || device == nullptr) continue;
            t.devices.push_back(device);
            Lumora::IStream* streamCopy = nullptr;
            if (device->GetStream(0, streamCopy) == 0 && streamCopy != nullptr) {
                t.streams.push_back(streamCopy);
                t.streamCopies.push_back(streamCopy);
            }
            if (!withGigEStream && std::strcmp(name, "Interface_GigEVision") == 0) continue;
            Lumora::IStream* stream = nullptr;
            if (device->OpenStream(0, stream) == 0 && stream != nullptr) t.streams.push_back(stream);
        }
    }
}

enum class Call { Get, Set, Info, GetValue, SetValue, Name };

int Invoke(Tree& t, uint8_t object, Call call, u64 id, void* buffer, u64& size) {
    size_t k = object % t.Count();
    if (k == 0) {
        auto sid = static_cast<Lumora::ISystem::SYSTEM_PARAM>(static_cast<int32_t>(id));
        if (call == Call::Name) return t.system->GetInterfaceName(static_cast<unsigned>(id), static_cast<char*>(buffer), size);
        return call == Call::Set ? t.system->SetParam(sid, buffer, size) : t.system->GetParam(sid, buffer, size);
    }
    if (--k < t.interfaces.size()) {
        Lumora::IInterface* i = t.interfaces[k];
        if (call == Call::Name) return i->GetDeviceName(static_cast<unsigned>(id), static_cast<char*>(buffer), size);
        return call == Call::Set ? i->SetParam(id, buffer, size) : i->GetParam(id, buffer, size);
    }
    k -= t.interfaces.size();
    if (k < t.devices.size()) {
        Lumora::IDevice* d = t.devices[k];
        switch (call) {
            case Call::Get: return d->GetParam(id, buffer, size);
            case Call::Set: return d->SetParam(id, buffer, size);
            case Call::Info: return d->GetInfo(id, buffer, size);
            case Call::GetValue: return d->GetValue(id, buffer, size);
            case Call::SetValue: return d->SetValue(id, buffer, size);
            case Call::Name: return d->GetStreamName(static_cast<unsigned>(id), static_cast<char*>(buffer), size);
        }
    }
    k -= t.devices.size();
    Lumora::IStream* s = t.streams[k];
    return call == Call::Set ? s->SetParam(id, buffer, size) : s->GetParam(id, buffer, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Unplugged when the process ends, before the simulator's own state goes.
    static const struct GigECamera {
        KovonSimGigE* camera = nullptr;
        GigECamera() { KovonSimGigE_Plug("127.0.0.18", "GH-500", "FZGIGE", nullptr, &camera); }
        ~GigECamera() {
            if (camera != nullptr) KovonSimGigE_Unplug(camera);
        }
    } gige;
    KovonFuzz::Input input(data, size);
    // The first byte: bit 0, the GigE Vision camera is listed and its device opened (and taken as
    // an info copy, with its stream's info copy); bit 1 as well, its stream is opened. Closing an
    // opened stream lets the camera settle for 200 ms, so only the inputs that ask for it pay that.
    const uint8_t gigeFlags = input.U8();
    const bool withGigE = (gigeFlags & 1) != 0;
    const bool withGigEStream = (gigeFlags & 3) == 3;
    // A known model under a serial no test uses: the camera's lock is shared between processes.
    const unsigned char serial[6] = {0x48, 0x11, 0x05, 0x00, 0xF7, 0x5A};
    KovonSimUsb2_Plug(0, serial, 0x1203, 0x0200);
    KovonSimU3VOptions options;
    KovonSimU3V_DefaultOptions(&options);
    options.serial = "FZU3V01";
    options.model = "TK-U3-13M";
    options.width = 64;
    options.height = 32;
    KovonSimU3V_PlugWith(&options);

    // KOVON_FUZZ_TRACE=1 lists every call of a replayed input.
    static const bool trace = std::getenv("KOVON_FUZZ_TRACE") != nullptr;
    Tree tree;
    Build(tree, withGigE, withGigEStream);
    if (trace)
        std::fprintf(stderr, "tree: system, %zu interfaces, %zu devices, %zu streams\n", tree.interfaces.size(),
                     tree.devices.size(), tree.streams.size());
    for (int op = 0; op < 32 && !input.empty(); ++op) {
        const uint8_t object = input.U8();
        const uint8_t selector = input.U8();
        const Call call = static_cast<Call>((selector & 0x7F) % 6);
        const u64 id = (selector & 0x80) ? input.U64() : kKnownIds[input.U8() % std::size(kKnownIds)];
        const bool null = input.U8() % 8 == 0;
        u64 callSize = input.U8() % 8 == 0 ? input.U16() % 1024 : input.U8() % 80;
        std::vector<uint8_t> buffer(null ? 0 : static_cast<size_t>(callSize));
        for (auto& b : buffer) b = input.U8();
        const std::vector<uint8_t> before = buffer;
        const u64 sizeBefore = callSize;
        const int status = Invoke(tree, object, call, id, null ? nullptr : buffer.data(), callSize);
        if (trace)
            std::fprintf(stderr, "object %zu of %zu, call %d, id 0x%llx, size %llu -> %llu, status %d\n",
                         static_cast<size_t>(object) % tree.Count(), tree.Count(), static_cast<int>(call),
                         static_cast<unsigned long long>(id), static_cast<unsigned long long>(sizeBefore),
                         static_cast<unsigned long long>(callSize), status);
        // A call refused for its arguments, an unknown id or a state that does not allow it
        // changes nothing. (Some other failures deliver a cached value with the error status.)
        const bool refused = status == Lumora::GC_ERR_INVALID_PARAMETER || status == Lumora::GC_ERR_NOT_IMPLEMENTED ||
                             status == Lumora::GC_ERR_INVALID_ID;
        if (refused) {
            FUZZ_CHECK(buffer == before);
            if (call != Call::Set && call != Call::SetValue) FUZZ_CHECK(callSize == sizeBefore);
        }
    }
    tree.Release();
    KovonSimU3V_UnplugAll();
    KovonSimUsb2_UnplugAll();
    return 0;
}
