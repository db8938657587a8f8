// The EZ-USB channel of a USB 2.0 camera against a driver whose every answer comes from the fuzz
// input: error numbers (31, 1167, others), the byte count it claims to have returned, the register
// answer words with right or wrong echoes, the device descriptor. The input is a script of channel
// operations (open, reopen, close, register reads and writes of any size, bulk reads, aborts).
//
// Checked beyond "no fault": a register write that reports success had every word echoed with
// its own address; results are always one of the documented statuses; a read never writes
// outside the caller's buffer (the buffers are heap blocks of exactly the requested size).
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "usb2/Ezusb.h"
#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/EzusbRecords.h"

using namespace Kovon;

namespace {

constexpr const char* kInstance = "KOVONFUZZ-0";

KovonFuzz::Input* gInput = nullptr;

// What the driver did during one channel operation.
struct Trace {
    unsigned vendorRequests = 0;
    bool allClean = true;  // every vendor request: no error, 4 bytes, its own echo
};
Trace gTrace;

uint32_t PickError(uint8_t selector) {
    switch (selector % 16) {
        case 0: return kDriverGenFailure;
        case 1: return kDriverNotConnected;
        case 2: return kDriverInvalidParameter;
        case 3: return kDriverOperationAborted;
        default: return kDriverOk;
    }
}

class FuzzHandle final : public IDriverHandle {
public:
    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned) override {
        returned = 0;
        KovonFuzz::Input& input = *gInput;
        const uint32_t error = PickError(input.U8());
        const uint8_t claim = input.U8();
        if (code == kVendorRequestCode) {
            ++gTrace.vendorRequests;
            VendorRequest request;
            FUZZ_CHECK(DecodeVendorRequest(in, inSize, request));
            FUZZ_CHECK(outSize == kVendorAnswerSize && out != nullptr);
            const uint16_t address = SwapBytes16(request.value);
            auto* answer = static_cast<uint8_t*>(out);
            const uint8_t mode = input.U8();
            answer[2] = input.U8();
            answer[3] = input.U8();
            if (mode % 4 != 0) {  // mostly the right echo, so that multi-word transfers go deep
                answer[0] = static_cast<uint8_t>(address >> 8);
                answer[1] = static_cast<uint8_t>(address);
            } else {
                answer[0] = input.U8();
                answer[1] = input.U8();
            }
            // A driver may claim any count; only what fits the buffer was written.
            returned = claim % 8 == 0 ? claim : kVendorAnswerSize;
            const bool clean = error == kDriverOk && returned == kVendorAnswerSize &&
                               static_cast<uint16_t>(answer[0] << 8 | answer[1]) == address;
            if (!clean) gTrace.allClean = false;
            // Error 31 makes the channel start the transfer again from its first word.
            if (error == kDriverGenFailure) gTrace = Trace{};
        } else if (code == kGetDeviceDescriptorCode) {
            FUZZ_CHECK(out != nullptr && outSize == kDeviceDescriptorSize);
            auto* d = static_cast<uint8_t*>(out);
            for (size_t i = 0; i < outSize; ++i) d[i] = input.U8();
            returned = claim % 4 == 0 ? claim : outSize;
        } else if (code == kBulkReadCode) {
            FUZZ_CHECK(inSize == sizeof(uint32_t));
            if (out != nullptr && outSize != 0) static_cast<uint8_t*>(out)[outSize - 1] = claim;
            returned = claim % 2 == 0 ? claim : outSize;
        } else if (code == kAbortPipeCode) {
            FUZZ_CHECK(inSize == sizeof(uint32_t));
        }
        if (error != kDriverOk) returned = 0;
        return error;
    }
};

class FuzzInstance final : public IDriverInstance {
public:
    DriverHandle Open(uint32_t& error) override {
        error = gInput != nullptr && gInput->U8() % 8 == 0 ? kDriverNotConnected : kDriverOk;
        if (error != kDriverOk) return nullptr;
        return std::make_unique<FuzzHandle>();
    }
};

void NoSleep(unsigned) {}

bool IsStatus(int s, bool write) {
    return s == kEzusbOk || s == kEzusbFailed || (write && (s == kEzusbNotFunctioning || s == kEzusbNotConnected ||
                                                            s == kEzusbNoHandle));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = [] {
        DriverRegistry::Register(kInstance, std::make_shared<FuzzInstance>());
        return true;
    }();
    (void)registered;
    KovonFuzz::Input input(data, size);
    gInput = &input;
    {
        CEzusb channel(NoSleep);
        channel.Open(kInstance);
        for (int op = 0; op < 64 && !input.empty(); ++op) {
            gTrace = Trace{};
            const uint8_t kind = input.U8();
            const uint16_t address = input.U16();
            const int count = static_cast<int>(input.U8() % 40) - 2;  // some negative, some odd
            std::vector<uint8_t> buffer(count > 0 ? static_cast<size_t>(count) : 0);
            uint8_t* bytes = buffer.empty() ? nullptr : buffer.data();
            switch (kind % 8) {
                case 0: {
                    const int s = channel.ReadRegister(bytes, address, count);
                    FUZZ_CHECK(IsStatus(s, false));
                    break;
                }
                case 1: {
                    const int s = channel.WriteRegister(bytes, address, count);
                    FUZZ_CHECK(IsStatus(s, true));
                    if (s == kEzusbOk) FUZZ_CHECK(gTrace.allClean && gTrace.vendorRequests == static_cast<unsigned>(count / 2));
                    break;
                }
                case 2: {
                    const int v = channel.GetUsbVersion();
                    FUZZ_CHECK(v >= 0 && v <= 2);
                    break;
                }
                case 3: {
                    const int s = channel.BulkRead(bytes, static_cast<uint32_t>(buffer.size()));
                    FUZZ_CHECK(s <= 0 && s >= kEzusbNoHandle);
                    break;
                }
                case 4: channel.Reopen(); break;
                case 5: channel.Close(); break;
                case 6: channel.AbortPipe(); break;
                case 7: channel.Open(kind & 0x80 ? kInstance : "KOVONFUZZ-UNKNOWN"); break;
            }
        }
    }
    gInput = nullptr;
    return 0;
}
