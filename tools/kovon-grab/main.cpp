// kovon-grab: the reference host program. It loads the module as any host does (dlopen,
// GetSystem, the Lumora interfaces), lists cameras, shows and sets their features by GenICam name
// and grabs frames to PNG files; with --simulate on simulated cameras plugged through the
// module's simulator API.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "Cameras.h"
#include "ExitCodes.h"
#include "Features.h"
#include "Grab.h"
#include "ModuleHost.h"
#include "PngWriter.h"
#include "Simulator.h"

namespace {

using namespace KovonGrab;

const char kUsage[] =
    "usage: kovon-grab [options] <command> [arguments]\n"
    "commands:\n"
    "  list                              cameras on every interface\n"
    "  info <camera>                     identity of one camera and where its description is\n"
    "  features <camera>                 every feature with its type, access, value and range\n"
    "  get <camera> <feature>            one feature's value (and its range or entries)\n"
    "  set <camera> <feature> <value>    writes a feature (enumerations by entry name;\n"
    "                                    commands with the value \"execute\")\n"
    "  grab <camera> [-n N] [-o DIR] [-s FEATURE=VALUE]...\n"
    "                                    grabs N frames (default 10), writing PNG files to DIR,\n"
    "                                    after setting the features given with -s, in order\n"
    "  demo [-o DIR]                     plugs simulated cameras, lists them, shows each one's\n"
    "                                    information and features and grabs a few frames\n"
    "                                    (files in DIR, default kovon-grab-demo)\n"
    "<camera> is a device name, a serial number or the camera's number in the list.\n"
    "options:\n"
    "  --simulate          plug simulated cameras of every transport first\n"
    "  --timeout MS        discovery and frame time-out in milliseconds (default 5000)\n"
    "  --module PATH       the module to load (default: the one built beside this program)\n"
    "  --usb-ids LIST      vendor:product pairs of USB 2.0 cameras on the bus, as\n"
    "                      vvvv:pppp[,vvvv:pppp...] in hexadecimal\n"
    "exit codes: 0 success, 1 other failure, 2 usage, 3 module not loaded, 4 unknown camera,\n"
    "  5 camera cannot be opened, 6 unknown feature, 7 invalid value, 8 value out of range,\n"
    "  9 feature locked, 10 feature not readable, writable or available, 11 time-out,\n"
    "  12 camera lost\n";

int Usage(const char* problem = nullptr) {
    if (problem != nullptr) std::fprintf(stderr, "kovon-grab: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// Hands the host's vendor:product pairs to the USB 2.0 interface; false when it refuses them.
bool SetUsbIds(Lumora::ISystem* system, const std::string& ids) {
    Lumora::IInterface* usb = nullptr;
    if (system->OpenInterface("Interface_USB", usb) != 0 || usb == nullptr) return false;
    std::string text = ids;
    Lumora::u64 size = text.size() + 1;
    const bool ok = usb->SetParam(0x10000001, text.data(), size) == 0;
    usb->Release();
    return ok;
}

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "kovon-grab: %s\n", message.c_str());
    return code;
}

// Discovery time-out for interfaces: GigE Vision answers come within a second on any network we
// serve; the frame time-out can be longer.
constexpr unsigned kDiscoveryMs = 1000;

struct Session {
    ModuleHost& host;
    unsigned timeoutMs;
    std::unique_ptr<Cameras> cameras;

    const CameraEntry* Camera(const std::string& key, int& code) {
        cameras->Discover(std::min(timeoutMs, kDiscoveryMs));
        const CameraEntry* camera = cameras->Find(key);
        if (camera == nullptr)
            code = Fail(kExitUnknownCamera, "no camera \"" + key + "\" (see kovon-grab list)");
        return camera;
    }

    // Exit code for a failed module call on a camera: a time-out, a camera that is gone, or
    // another failure.
    int DeviceFailure(const CameraEntry& camera, int status, const std::string& message) {
        if (status == Lumora::GC_ERR_TIMEOUT)
            return Fail(kExitTimeout, message + ": the camera did not answer in time");
        if (!cameras->StillPresent(camera, std::min(timeoutMs, kDiscoveryMs)))
            return Fail(kExitCameraLost, message + ": camera " + camera.deviceName + " is gone");
        return Fail(kExitFailure, message);
    }

    int FeatureFailure(const CameraEntry& camera, const FeatureStatus& status) {
        if (status.outcome == FeatureOutcome::DeviceFailure ||
            status.outcome == FeatureOutcome::NoDescription) {
            if (status.moduleStatus != 0 || status.outcome == FeatureOutcome::DeviceFailure)
                return DeviceFailure(camera, status.moduleStatus, status.message);
        }
        return Fail(ExitCodeFor(status.outcome), status.message);
    }
};

struct OpenCamera {
    Lumora::IDevice* device = nullptr;
    ~OpenCamera() {
        if (device != nullptr) device->Release();
    }
};

int OpenByKey(Session& s, const std::string& key, const CameraEntry*& camera, OpenCamera& open) {
    int code = kExitOk;
    camera = s.Camera(key, code);
    if (camera == nullptr) return code;
    const int rc = s.cameras->Open(*camera, open.device);
    if (rc == 0) return kExitOk;
    if (!s.cameras->StillPresent(*camera, std::min(s.timeoutMs, kDiscoveryMs)))
        return Fail(kExitCameraLost, "camera " + camera->deviceName + " is gone");
    // The module answers a camera that another object or process holds with a generic error
    // (USB 2.0), "resource in use" or "access denied" (GigE Vision control access).
    const bool busy = rc == Lumora::GC_ERR_ERROR || rc == Lumora::GC_ERR_RESOURCE_IN_USE ||
                      rc == Lumora::GC_ERR_ACCESS_DENIED;
    return Fail(kExitCannotOpen, "camera " + camera->deviceName + " cannot be opened: OpenDevice returned " +
                                     std::to_string(rc) + (busy ? " (another program may be using it)" : ""));
}

int LoadFeatures(Session& s, const CameraEntry& camera, Features& features) {
    const FeatureStatus status = features.Load();
    if (status.Ok()) return kExitOk;
    return s.FeatureFailure(camera, status);
}

int List(Session& s) {
    const auto& cameras = s.cameras->Discover(std::min(s.timeoutMs, kDiscoveryMs));
    if (cameras.empty()) {
        std::printf("no cameras found\n");
        return kExitOk;
    }
    std::printf("%-3s %-9s %-28s %-14s %-16s %s\n", "#", "transport", "device name", "model", "serial",
                "address");
    for (const CameraEntry& c : cameras)
        std::printf("%-3u %-9s %-28s %-14s %-16s %s\n", c.number, TransportLabel(c.transport).c_str(),
                    Printable(c.deviceName).c_str(), c.model.c_str(), c.serial.c_str(), c.address.c_str());
    return kExitOk;
}

int Info(Session& s, const std::string& key) {
    const CameraEntry* camera = nullptr;
    OpenCamera open;
    if (const int code = OpenByKey(s, key, camera, open); code != kExitOk) return code;
    auto get = [&open](Lumora::u64 id, void* b, Lumora::u64& size) {
        return open.device->GetInfo(id, b, size);
    };
    const struct {
        const char* label;
        Lumora::u64 id;
    } rows[] = {{"device name", 1}, {"vendor", 3},  {"model", 4},       {"serial", 7},
                {"identity", 0},    {"version", 2}, {"vendor info", 5}, {"address", 10}};
    std::printf("%-13s %s (%s)\n", "transport", TransportLabel(camera->transport).c_str(),
                camera->interfaceName.c_str());
    for (const auto& row : rows) {
        // A GigE Vision camera's id 10 is a binary transport record; its addresses follow below.
        if (row.id == 10 && camera->transport == "GEV") continue;
        const std::string text = ReadText(get, row.id);
        if (!text.empty()) std::printf("%-13s %s\n", row.label, text.c_str());
    }
    if (camera->transport == "GEV") {
        std::printf("%-13s %s\n", "IP address", ReadText(get, 14).c_str());
        std::printf("%-13s %s\n", "MAC address", ReadText(get, 15).c_str());
    }
    const std::string location = ReadText(get, 8);
    std::printf("%-13s %s\n", "description", location.empty() ? "(none)" : location.c_str());
    return kExitOk;
}

int ListFeatures(Session& s, const std::string& key) {
    const CameraEntry* camera = nullptr;
    OpenCamera open;
    if (const int code = OpenByKey(s, key, camera, open); code != kExitOk) return code;
    Features features(open.device);
    if (const int code = LoadFeatures(s, *camera, features); code != kExitOk) return code;
    for (const FeatureLine& line : features.List()) {
        const std::string indent(static_cast<size_t>(line.depth) * 2, ' ');
        if (line.category) {
            std::printf("%s%s\n", indent.c_str(), line.name.c_str());
            continue;
        }
        std::printf("%s%-*s %-12s %-9s %s%s\n", indent.c_str(), 34 - line.depth * 2, line.name.c_str(),
                    line.type.c_str(), line.access.c_str(), line.value.c_str(),
                    line.range.empty() ? "" : ("  [" + line.range + "]").c_str());
    }
    return kExitOk;
}

int GetFeature(Session& s, const std::string& key, const std::string& name) {
    const CameraEntry* camera = nullptr;
    OpenCamera open;
    if (const int code = OpenByKey(s, key, camera, open); code != kExitOk) return code;
    Features features(open.device);
    if (const int code = LoadFeatures(s, *camera, features); code != kExitOk) return code;
    std::string value;
    const FeatureStatus status = features.Get(name, value);
    if (!status.Ok()) return s.FeatureFailure(*camera, status);
    const std::string limits = features.Limits(name);
    std::printf("%s = %s%s\n", name.c_str(), value.c_str(),
                limits.empty() ? "" : ("  [" + limits + "]").c_str());
    return kExitOk;
}

int SetFeature(Session& s, const std::string& key, const std::string& name, const std::string& value) {
    const CameraEntry* camera = nullptr;
    OpenCamera open;
    if (const int code = OpenByKey(s, key, camera, open); code != kExitOk) return code;
    Features features(open.device);
    if (const int code = LoadFeatures(s, *camera, features); code != kExitOk) return code;
    const FeatureStatus status = features.Set(name, value);
    if (!status.Ok()) return s.FeatureFailure(*camera, status);
    std::string now;
    if (features.Get(name, now).Ok())
        std::printf("%s = %s\n", name.c_str(), now.c_str());
    else
        std::printf("%s: done\n", name.c_str());
    return kExitOk;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

int GrabFrames(Session& s, const CameraEntry& camera, Lumora::IDevice* device, uint64_t count,
               const std::string& outputDir, const Settings& settings) {
    Features features(device);
    if (const int code = LoadFeatures(s, camera, features); code != kExitOk) return code;
    for (const auto& [name, value] : settings) {
        const FeatureStatus status = features.Set(name, value);
        if (!status.Ok()) return s.FeatureFailure(camera, status);
    }
    GrabOptions options;
    options.frames = count;
    options.outputDir = outputDir;
    options.filePrefix = camera.deviceName;
    options.timeoutMs = s.timeoutMs;
    options.progress = stderr;
    options.progressInPlace = isatty(fileno(stderr)) != 0;
    const GrabResult result = Grab(device, features, options);
    switch (result.outcome) {
        case GrabOutcome::Ok:
            std::printf("%llu frames of %u x %u %s in %.2f s, %llu errors",
                        static_cast<unsigned long long>(result.frames), result.width, result.height,
                        PixelFormatName(result.pixelFormat).c_str(), result.seconds,
                        static_cast<unsigned long long>(result.errors));
            if (result.written > 0) std::printf("; first file %s", result.firstFile.c_str());
            std::printf("\n");
            return kExitOk;
        case GrabOutcome::NoGeometry:
        case GrabOutcome::StartFailed:
            if (!result.featureStatus.Ok()) return s.FeatureFailure(camera, result.featureStatus);
            return Fail(kExitFailure, result.message);
        case GrabOutcome::Stalled:
        case GrabOutcome::Failing:
            if (!s.cameras->StillPresent(camera, std::min(s.timeoutMs, kDiscoveryMs)))
                return Fail(kExitCameraLost, "camera " + camera.deviceName + " is gone after " +
                                                 std::to_string(result.frames) + " frames");
            return Fail(result.outcome == GrabOutcome::Stalled ? kExitTimeout : kExitFailure,
                        result.message + " (" + std::to_string(result.frames) + " frames, " +
                            std::to_string(result.errors) + " errors)");
        default:
            return Fail(kExitFailure, result.message);
    }
}

int GrabCommand(Session& s, const std::string& key, uint64_t count, const std::string& outputDir,
                const Settings& settings) {
    const CameraEntry* camera = nullptr;
    OpenCamera open;
    if (const int code = OpenByKey(s, key, camera, open); code != kExitOk) return code;
    return GrabFrames(s, *camera, open.device, count, outputDir, settings);
}

int Demo(Session& s, const std::string& outputDir) {
    std::printf("== cameras\n");
    List(s);
    const std::vector<CameraEntry> cameras = s.cameras->Discover(std::min(s.timeoutMs, kDiscoveryMs));
    unsigned grabbed = 0;
    for (const CameraEntry& camera : cameras) {
        std::printf("\n== %s (%s)\n", camera.deviceName.c_str(), TransportLabel(camera.transport).c_str());
        std::fflush(stdout);
        if (Info(s, camera.deviceName) != kExitOk) continue;
        OpenCamera open;
        if (s.cameras->Open(camera, open.device) != 0) continue;
        Features features(open.device);
        const FeatureStatus loaded = features.Load();
        if (!loaded.Ok()) {
            std::printf("features: %s\n", loaded.message.c_str());
            continue;
        }
        for (const char* name :
             {"DeviceModelName", "Width", "Height", "PixelFormat", "ExposureTime", "Gain"}) {
            std::string value;
            if (!features.Has(name) || !features.Get(name, value).Ok()) continue;
            const std::string limits = features.Limits(name);
            std::printf("%-13s %s%s\n", name, value.c_str(),
                        limits.empty() ? "" : ("  [" + limits + "]").c_str());
        }
        std::fflush(stdout);
        if (GrabFrames(s, camera, open.device, 3, outputDir, {}) == kExitOk) ++grabbed;
        std::fflush(stdout);
    }
    std::printf("\n%u of %zu cameras grabbed%s%s\n", grabbed, cameras.size(),
                grabbed > 0 ? "; images in " : "", grabbed > 0 ? outputDir.c_str() : "");
    return kExitOk;
}

bool ParseCount(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value > 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string modulePath = KOVON40_MODULE_PATH;
    bool simulate = false;
    uint64_t timeoutMs = 5000;
    uint64_t count = 10;
    std::string outputDir;
    std::string usbIds;
    Settings settings;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--module" && hasValue) {
            modulePath = argv[++i];
        } else if (a == "--usb-ids" && hasValue) {
            usbIds = argv[++i];
        } else if (a == "--simulate") {
            simulate = true;
        } else if (a == "--timeout" && hasValue) {
            if (!ParseCount(argv[++i], timeoutMs) || timeoutMs > 3600000)
                return Usage("--timeout takes 1 to 3600000 ms");
        } else if (a == "-n" && hasValue) {
            if (!ParseCount(argv[++i], count)) return Usage("-n takes a frame count of at least 1");
        } else if (a == "-o" && hasValue) {
            outputDir = argv[++i];
        } else if ((a == "-s" || a == "--set") && hasValue) {
            const std::string setting = argv[++i];
            const size_t equals = setting.find('=');
            if (equals == 0 || equals == std::string::npos) return Usage("-s takes FEATURE=VALUE");
            settings.emplace_back(setting.substr(0, equals), setting.substr(equals + 1));
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a.size() > 1 && a[0] == '-' && args.size() < 3) {
            return Usage(("unknown option " + a).c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) return Usage();
    const std::string& command = args[0];
    const size_t expected = command == "list" || command == "demo"                            ? 1
                            : command == "info" || command == "features" || command == "grab" ? 2
                            : command == "get"                                                ? 3
                            : command == "set"                                                ? 4
                                                                                              : 0;
    if (expected == 0) return Usage(("unknown command " + command).c_str());
    if (args.size() != expected) return Usage(("wrong number of arguments for " + command).c_str());
    if (!settings.empty() && command != "grab") return Usage("-s applies to grab only");

    ModuleHost host(modulePath);
    if (!host.Ok()) return Fail(kExitNoModule, host.Error());
    if (!usbIds.empty() && !SetUsbIds(host.System(), usbIds))
        return Usage("--usb-ids takes vvvv:pppp[,vvvv:pppp...] (hexadecimal vendor and product ids)");
    Simulator simulator(host);
    if (simulate || command == "demo") {
        std::vector<std::string> warnings;
        const std::vector<SimulatedCamera> plugged = simulator.PlugAll(warnings);
        for (const std::string& w : warnings) std::fprintf(stderr, "kovon-grab: %s\n", w.c_str());
        if (command == "demo") {
            std::printf("== simulated cameras plugged\n");
            for (const SimulatedCamera& camera : plugged)
                std::printf("%-9s %s\n", camera.transport.c_str(), camera.what.c_str());
            std::printf("\n");
        }
    }
    int code;
    {
        Session session{host, static_cast<unsigned>(timeoutMs), std::make_unique<Cameras>(host.System())};
        if (command == "list")
            code = List(session);
        else if (command == "demo")
            code = Demo(session, outputDir.empty() ? "kovon-grab-demo" : outputDir);
        else if (command == "info")
            code = Info(session, args[1]);
        else if (command == "features")
            code = ListFeatures(session, args[1]);
        else if (command == "get")
            code = GetFeature(session, args[1], args[2]);
        else if (command == "set")
            code = SetFeature(session, args[1], args[2], args[3]);
        else
            code = GrabCommand(session, args[1], count, outputDir, settings);
    }
    return code;
}
