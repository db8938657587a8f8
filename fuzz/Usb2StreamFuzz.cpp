// The stream of a USB 2.0 camera fed hostile bulk data: a simulated camera that sends no frame of
// its own (trigger mode, triggers ignored) carries the transfers the input makes, so the bytes the
// worker reads, the 0xAA55 marker check, the resynchronisation and the image restoration (binning,
// 16-bit formats, colour paths) all see what the input chose. The input also picks the model, the
// firmware (with or without the marker), the geometry and pixel format, lost bytes and a stalled
// pipe, and when the host takes images.
//
// Checked beyond "no fault": GetImage answers only its documented results; the frame count never
// runs ahead of the images delivered; the host buffer is a heap block of exactly the image size,
// so a conversion that writes past it is caught; Freeze and the destructor end the worker.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "KovonSim/SimUsb2.h"
#include "system/System.h"
#include "usb2/DeviceUSBBase.h"
#include "usb2/ModelTable.h"
#include "usb2/image/PixelFormat.h"
#include "usb2/image/StreamUSBBase.h"

using namespace Kovon;

namespace {

constexpr unsigned kInstance = 7;
constexpr uint64_t kWidth = 0x108;
constexpr uint64_t kHeight = 0x10C;
constexpr uint64_t kBinningHorizontal = 0x118;
constexpr uint64_t kPixelFormat = 0x120;
constexpr uint64_t kAcquisitionStart = 0x154;
constexpr uint64_t kTriggerMode = 0x204;
constexpr uint32_t kFormats[] = {0x01080001, 0x01100003, 0x01100005, 0x01100025, 0x0108000B, 0x02180015, 0x02180014};
const char* const kFirmware[] = {"1.2.0.3", "0.0.5.9", "0.0.5.0"};  // the last one has no marker
// Largest frame the input may ask for, so that one input stays cheap.
constexpr uint32_t kMaxWidth = 64;
constexpr uint32_t kMaxHeight = 16;

void NoPause(unsigned) {}

// KOVON_FUZZ_TRACE=1 lists what a replayed input did.
void Trace(const char* what, long long value) {
    static const bool trace = std::getenv("KOVON_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "%s: %lld\n", what, value);
}

int Set(CDeviceUSBBase& device, uint64_t address, uint32_t value) {
    Lumora::u64 size = sizeof value;
    return device.SetParam(address, &value, size);
}

// A raw frame carrying the marker in the least significant bits of its first 16 pixels (pixels of
// two bytes carry it in their low byte), its other bytes from the input.
std::vector<uint8_t> MarkedFrame(KovonFuzz::Input& input, uint64_t payload, uint32_t rawBytesPerPixel) {
    std::vector<uint8_t> frame(payload);
    size_t length = 0;
    const uint8_t* fill = input.Piece(payload, length);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = length == 0 ? static_cast<uint8_t>(i) : fill[i % length];
    for (unsigned i = 0; i < 16 && size_t{i} * rawBytesPerPixel < frame.size(); ++i) {
        uint8_t& low = frame[size_t{i} * rawBytesPerPixel];
        low = static_cast<uint8_t>((low & ~1u) | ((CStreamUSBBase::kFrameMarker >> i) & 1u));
    }
    return frame;
}

bool IsImageResult(int r) {
    return r == 0 || r == CStreamUSBBase::kImageStopped || r == CStreamUSBBase::kImageFailed ||
           r == CStreamUSBBase::kImageRestarted || r == Lumora::GC_ERR_TIMEOUT || r == Lumora::GC_ERR_NOT_AVAILABLE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KovonFuzz::Input input(data, size);
    const UsbModel& model = kUsbModels[input.U8() % kUsbModelCount];
    const char* firmware = kFirmware[input.U8() % std::size(kFirmware)];
    const uint32_t width = input.U8() % kMaxWidth + 1;
    const uint32_t height = input.U8() % kMaxHeight + 1;
    const uint32_t format = kFormats[input.U8() % std::size(kFormats)];
    const uint32_t binning = input.U8() % 3;

    const unsigned char serial[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x07};
    if (KovonSimUsb2_Plug(kInstance, serial, 0x0059, 0x0200) != KOVON_SIM_OK) return 0;
    KovonSimUsb2_IgnoreTriggers(kInstance, 1);

    // The device as the interface makes it; the name carries the process id, since camera names
    // are exclusive machine-wide and fuzzing may run several processes.
    UsbDeviceTexts texts;
    char serialText[32];
    std::snprintf(serialText, sizeof serialText, "%s%05XF", model.serialPrefix, static_cast<unsigned>(getpid()) & 0xFFFFFu);
    texts.firmwareVersion = firmware;
    texts.modelName = model.modelName;
    texts.serialNumber = serialText;
    texts.deviceName = texts.modelName + "_" + texts.serialNumber;
    texts.versionText = kUsbVersionText;
    texts.vendorName = kUsbVendorName;
    texts.vendorInfo = kUsbVendorInfo;
    texts.instanceName = "ZEDIVOXU-" + std::to_string(kInstance);
    {
        CSystem system;
        std::unique_ptr<CDeviceUSBBase> device(model.make(&system, nullptr, texts));
        device->SetPauseFunction(NoPause);
        const int opened = device->OpenDriver();
        Trace("open", opened);
        if (opened == 1) {
            // No Bayer library: the colour paths end in their documented refusal.
            CStreamUSBBase stream(nullptr, nullptr, device.get(), device->Channel(), std::vector<std::string>{});
            Set(*device, kTriggerMode, 1);
            Set(*device, kBinningHorizontal, binning);
            Set(*device, kWidth, width);
            Set(*device, kHeight, height);
            Set(*device, kPixelFormat, format);
            uint32_t timeoutMs = 2;  // an image time-out short enough for many waits per input
            Lumora::u64 timeoutSize = sizeof timeoutMs;
            stream.SetParam(2, &timeoutMs, timeoutSize);
            const int acquired = stream.Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0);
            Trace("acquire", acquired);
            if (acquired == 0) {
                Set(*device, kAcquisitionStart, 1);
                uint64_t payload = 0;
                Lumora::u64 payloadSize = sizeof payload;
                stream.GetParam(4, &payload, payloadSize);
                const uint32_t raw = Usb2Image::RawBytesPerPixel(format) == 2 ? 2 : 1;
                FUZZ_CHECK(payload != 0 && payload <= uint64_t{kMaxWidth} * 2 * kMaxHeight * 2);
                // The host's buffer: exactly the delivered image's size.
                std::vector<uint8_t> image(payload / raw * Usb2Image::HostBytesPerPixel(format));
                uint64_t delivered = 0;
                for (int op = 0; op < 24 && !input.empty(); ++op) {
                    switch (input.U8() % 8) {
                        case 0: case 1: {  // a frame with the marker, maybe cut short or run long
                            std::vector<uint8_t> frame = MarkedFrame(input, payload, raw);
                            const uint8_t cut = input.U8();
                            if (cut % 4 == 1) frame.resize(frame.size() - std::min<size_t>(frame.size(), cut / 4 + 1));
                            if (cut % 4 == 2) frame.resize(frame.size() + cut / 4 + 1, cut);
                            KovonSimUsb2_PushBulk(kInstance, frame.data(), frame.size());
                            break;
                        }
                        case 2: {  // bytes as they come
                            size_t length = 0;
                            const uint8_t* bytes = input.Piece(payload * 2 + 64, length);
                            KovonSimUsb2_PushBulk(kInstance, bytes, length);
                            break;
                        }
                        case 3: case 4: case 5: {
                            const int r = stream.GetImage(image.data(), 0);
                            Trace("image", r);
                            FUZZ_CHECK(IsImageResult(r));
                            if (r == 0) ++delivered;
                            break;
                        }
                        case 6: KovonSimUsb2_LoseBytes(kInstance, input.U8()); break;
                        case 7: KovonSimUsb2_StallPipe(kInstance); break;
                    }
                }
                uint64_t count = 0;
                Lumora::u64 countSize = sizeof count;
                FUZZ_CHECK(stream.GetParam(1, &count, countSize) == 0);
                FUZZ_CHECK(count <= delivered);
                Set(*device, kAcquisitionStart, 0);
                FUZZ_CHECK(stream.Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT) == 0);
                uint8_t one = 0;
                FUZZ_CHECK(stream.GetImage(&one, 0) == CStreamUSBBase::kImageStopped);
            }
        }
    }
    KovonSimUsb2_UnplugAll();
    return 0;
}
