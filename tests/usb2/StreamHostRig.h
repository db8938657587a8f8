// A host's rig for USB 2.0 streams: the module loaded with dlopen, a simulated camera plugged in
// through the exported simulator API, the tree walked from GetSystem down to the opened stream
// "DS0", and the feature writes a host makes. Used by the end-to-end tests and the benchmark.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "support/ModuleLoader.h"

namespace KovonTest::Usb2Stream {

// The simulator API, resolved from the loaded module.
struct SimApi {
#define KOVON_SIM_FN(name) \
    decltype(&KovonSimUsb2_##name) name = Fn<decltype(&KovonSimUsb2_##name)>("KovonSimUsb2_" #name)
    template <typename F>
    static F Fn(const char* symbol) {
        return ModuleLoader::Instance().Function<F>(symbol);
    }
    KOVON_SIM_FN(Plug);
    KOVON_SIM_FN(Unplug);
    KOVON_SIM_FN(UnplugAll);
    KOVON_SIM_FN(PeekRegister);
    KOVON_SIM_FN(SetFrameRate);
    KOVON_SIM_FN(Trigger);
    KOVON_SIM_FN(GetFrame);
    KOVON_SIM_FN(GetFrames);
    KOVON_SIM_FN(LoseBytes);
    KOVON_SIM_FN(StallPipe);
    KOVON_SIM_FN(IgnoreTriggers);
#undef KOVON_SIM_FN

    bool Complete() const {
        return Plug && Unplug && UnplugAll && PeekRegister && SetFrameRate && Trigger && GetFrame &&
               GetFrames && LoseBytes && StallPipe && IgnoreTriggers;
    }
};

// Map addresses a host uses.
namespace Map {
constexpr uint64_t kWidth = 0x108;
constexpr uint64_t kHeight = 0x10C;
constexpr uint64_t kBinningHorizontal = 0x118;
constexpr uint64_t kPixelFormat = 0x120;
constexpr uint64_t kAcquisitionStart = 0x154;
constexpr uint64_t kTriggerSoftware = 0x164;
constexpr uint64_t kTriggerMode = 0x204;
constexpr uint64_t kGainRaw = 0x300;
constexpr uint64_t kExposureTime = 0x30C;
constexpr uint64_t kExposureAuto = 0x340;
constexpr uint64_t kExposureAutoTarget = 0x344;
constexpr uint64_t kAcquisitionFrameRate = 0x348;
constexpr uint64_t kBalanceRatioRed = 0x805;
constexpr uint64_t kBalanceRatioBlue = 0x807;
constexpr uint64_t kBalanceWhiteAuto = 0x4318;
}  // namespace Map

constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono10 = 0x01100003;
constexpr uint32_t kMono12 = 0x01100005;
constexpr uint32_t kMono14 = 0x01100025;
constexpr uint32_t kBayerBG8 = 0x0108000B;
constexpr uint32_t kBGR8Packed = 0x02180015;

// A camera to plug: the model's serial prefix bytes, a firmware register value, and a number that
// tells this camera from the others of the same program. The serial also carries this process's
// id: camera names are exclusive machine-wide, and other test programs may run beside this one.
struct CameraSpec {
    unsigned char prefixHigh;  // 0x48, 0x11 is "4811", RT-GA47E
    unsigned char prefixLow;
    uint16_t firmware;
    unsigned tag;  // 0..15
    const char* model;
};

inline void SerialOf(const CameraSpec& spec, unsigned char (&serial)[6]) {
    const unsigned pid = static_cast<unsigned>(getpid()) & 0xFFFFFFu;
    serial[0] = spec.prefixHigh;
    serial[1] = spec.prefixLow;
    serial[2] = static_cast<unsigned char>(spec.tag & 0x0F);
    serial[3] = static_cast<unsigned char>(pid >> 16);
    serial[4] = static_cast<unsigned char>(pid >> 8);
    serial[5] = static_cast<unsigned char>(pid);
}

// The device name the module gives the camera: model, "_SN_", eleven hexadecimal digits.
inline std::string DeviceNameOf(const CameraSpec& spec) {
    unsigned char s[6];
    SerialOf(spec, s);
    char text[64];
    std::snprintf(text, sizeof text, "%s_SN_%02X%02X%X%02X%02X%02X", spec.model, s[0], s[1], s[2] & 0x0F,
                  s[3], s[4], s[5]);
    return text;
}

// The tree from the system to the opened stream of one camera; releasing the system releases it.
class OpenedCamera {
public:
    OpenedCamera() = default;
    OpenedCamera(const OpenedCamera&) = delete;
    OpenedCamera& operator=(const OpenedCamera&) = delete;
    ~OpenedCamera() { Close(); }

    // Plugs the camera at 'instance', enumerates, opens the device, fetches its description and
    // opens its stream. An empty text on success, otherwise what failed.
    std::string Open(const SimApi& sim, unsigned instance, const CameraSpec& spec) {
        unsigned char serial[6];
        SerialOf(spec, serial);
        if (sim.Plug(instance, serial, spec.firmware, 0x0200) != KOVON_SIM_OK) return "plug";
        instance_ = instance;
        system_ = ModuleLoader::Instance().NewSystem();
        if (system_ == nullptr) return "GetSystem";
        if (system_->OpenInterface("Interface_USB", usb_) != 0 || usb_ == nullptr) return "OpenInterface";
        unsigned count = 0;
        if (usb_->GetNumDevices(count, 0) != 0 || count == 0) return "GetNumDevices";
        const std::string name = DeviceNameOf(spec);
        bool listed = false;
        for (unsigned i = 0; i < count; ++i) {
            char text[128] = {};
            Lumora::u64 size = sizeof text;
            if (usb_->GetDeviceName(i, text, size) == 0 && name == text) listed = true;
        }
        if (!listed) return "not listed: " + name;
        if (usb_->OpenDevice(name.c_str(), device_) != 0 || device_ == nullptr) return "OpenDevice " + name;
        char location[256] = {};
        Lumora::u64 size = sizeof location;
        if (device_->GetInfo(8, location, size) != 0) return "GetInfo(8)";
        const std::string prefix = std::string("Local:") + spec.model + ".xml;";
        unsigned address = 0, length = 0;
        if (std::strncmp(location, prefix.c_str(), prefix.size()) != 0 ||
            std::sscanf(location + prefix.size(), "%x;%x", &address, &length) != 2)
            return std::string("location ") + location;
        description_.assign(length, '\0');
        Lumora::u64 descriptionSize = length;
        if (length != 0 && device_->GetParam(address, description_.data(), descriptionSize) != 0)
            return "description";
        if (device_->OpenStream(0, stream_) != 0 || stream_ == nullptr) return "OpenStream";
        return std::string();
    }

    void Close() {
        if (system_ != nullptr) system_->Release();
        system_ = nullptr;
        usb_ = nullptr;
        device_ = nullptr;
        stream_ = nullptr;
    }

    int SetU32(uint64_t address, uint32_t value) {
        Lumora::u64 size = sizeof value;
        return device_->SetParam(address, &value, size);
    }
    int SetF32(uint64_t address, float value) {
        Lumora::u64 size = sizeof value;
        return device_->SetParam(address, &value, size);
    }
    uint32_t GetU32(uint64_t address) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        device_->GetParam(address, &value, size);
        return value;
    }
    float GetF32(uint64_t address) {
        float value = 0;
        Lumora::u64 size = sizeof value;
        device_->GetParam(address, &value, size);
        return value;
    }

    // Geometry and format, written as a host writes the features.
    bool Configure(uint32_t width, uint32_t height, uint32_t pixelFormat) {
        return SetU32(Map::kWidth, width) == 0 && SetU32(Map::kHeight, height) == 0 &&
               SetU32(Map::kPixelFormat, pixelFormat) == 0;
    }
    // Acquire, then AcquisitionStart.
    bool Start() {
        return stream_->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0) == 0 &&
               SetU32(Map::kAcquisitionStart, 1) == 0;
    }
    // AcquisitionStop, then Freeze.
    int Stop() {
        SetU32(Map::kAcquisitionStart, 0);
        return stream_->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    }

    // Waits for a frame with GetParam 3 as a host does, then takes it with GetImage. The result
    // of GetImage, or kNoFrame when none arrived within the stream's image time-out.
    static constexpr int kNoFrame = 1;
    int NextFrame(void* buffer) {
        uint32_t ready = 0;
        Lumora::u64 size = sizeof ready;
        if (stream_->GetParam(3, &ready, size) != 0 || ready == 0) return kNoFrame;
        return stream_->GetImage(buffer, 0);
    }
    uint64_t FrameCount() {
        uint64_t count = 0;
        Lumora::u64 size = sizeof count;
        stream_->GetParam(1, &count, size);
        return count;
    }

    // The raw frames the camera sends in each phase with its present settings.
    std::vector<std::vector<uint8_t>> Templates(const SimApi& sim) const {
        std::vector<std::vector<uint8_t>> frames;
        for (unsigned phase = 0; phase < KOVON_SIM_USB2_FRAME_PHASES; ++phase) {
            uint64_t size = 0;
            if (sim.GetFrame(instance_, phase, nullptr, &size) != KOVON_SIM_OK) return {};
            std::vector<uint8_t> frame(size);
            if (sim.GetFrame(instance_, phase, frame.data(), &size) != KOVON_SIM_OK) return {};
            frames.push_back(std::move(frame));
        }
        return frames;
    }

    Lumora::IDevice* Device() const { return device_; }
    Lumora::IStream* Stream() const { return stream_; }
    unsigned Instance() const { return instance_; }
    const std::string& Description() const { return description_; }

private:
    unsigned instance_ = 0;
    Lumora::ISystem* system_ = nullptr;
    Lumora::IInterface* usb_ = nullptr;
    Lumora::IDevice* device_ = nullptr;
    Lumora::IStream* stream_ = nullptr;
    std::string description_;
};

}  // namespace KovonTest::Usb2Stream
