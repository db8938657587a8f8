// kovon-grab: the reference host program. Loads the module and shows what it finds.
//
//   kovon-grab [--module PATH] list    interfaces and the cameras under each
//   kovon-grab [--module PATH] demo    the same, on simulated cameras when there are none
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ModuleHost.h"

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kNoModule = 3 };

int Usage() {
    std::fprintf(stderr,
                 "usage: kovon-grab [--module PATH] <command>\n"
                 "commands:\n"
                 "  list   list the interfaces and the cameras under each\n"
                 "  demo   list cameras (simulated ones when there are none)\n");
    return kUsage;
}

int List(Lumora::ISystem* system) {
    unsigned interfaceCount = 0;
    system->GetNumInterfaces(interfaceCount);
    for (unsigned i = 0; i < interfaceCount; ++i) {
        char name[256] = {};
        Lumora::u64 size = sizeof name;
        if (system->GetInterfaceName(i, name, size) != 0) continue;
        Lumora::IInterface* iface = nullptr;
        if (system->OpenInterface(name, iface) != 0 || iface == nullptr) {
            std::printf("%s: cannot open\n", name);
            continue;
        }
        auto param = [iface](Lumora::u64 id, void* b, Lumora::u64& s) { return iface->GetParam(id, b, s); };
        unsigned deviceCount = 0;
        iface->GetNumDevices(deviceCount, 1000);
        std::printf("%s (%s, %s): %u camera%s\n", name, KovonGrab::ReadText(param, 5).c_str(),
                    KovonGrab::ReadText(param, 3).c_str(), deviceCount, deviceCount == 1 ? "" : "s");
        for (unsigned d = 0; d < deviceCount; ++d) {
            char deviceName[256] = {};
            Lumora::u64 deviceSize = sizeof deviceName;
            if (iface->GetDeviceName(d, deviceName, deviceSize) != 0) continue;
            Lumora::IDevice* info = nullptr;
            std::string model, serial;
            if (iface->GetDevice(deviceName, info) == 0 && info != nullptr) {
                auto get = [info](Lumora::u64 id, void* b, Lumora::u64& s) { return info->GetInfo(id, b, s); };
                model = KovonGrab::ReadText(get, 4);
                serial = KovonGrab::ReadText(get, 7);
                info->Release();
            }
            std::printf("  [%u] %s  model %s  serial %s\n", d, deviceName, model.c_str(), serial.c_str());
        }
        iface->Release();
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::string modulePath = KOVON40_MODULE_PATH;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
            modulePath = argv[++i];
        } else {
            args.emplace_back(argv[i]);
        }
    }
    if (args.empty()) return Usage();

    KovonGrab::ModuleHost host(modulePath);
    if (!host.Ok()) {
        std::fprintf(stderr, "kovon-grab: %s\n", host.Error().c_str());
        return kNoModule;
    }
    if (args[0] == "list" || args[0] == "demo") return List(host.System());
    return Usage();
}
