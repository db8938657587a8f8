// What the USB 2.0 libusb backend parses from a device and a host: a configuration descriptor
// (pipe n = endpoint n of interface 0 in the setting of the first input byte), and, read as
// text, the vendor:product list of the interface parameter.
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "usb2/driver/PipeLayout.h"
#include "usb2/driver/UsbIdList.h"

using namespace Kovon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KovonFuzz::Input in(data, size);
    const uint8_t setting = in.U8();
    size_t length = 0;
    const uint8_t* config = in.Rest(length);
    std::vector<UsbPipe> pipes;
    const PipeLayoutResult r = ParsePipeLayout(config, length, setting, pipes);
    if (r == PipeLayoutResult::kOk) FUZZ_CHECK(pipes.size() >= 2 && pipes[kImagePipe].IsBulkIn());
    FUZZ_CHECK(pipes.size() * 7 <= length);  // every pipe came from a whole endpoint descriptor

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto ids = ParseUsbIdList(text)) {
        const auto again = ParseUsbIdList(FormatUsbIdList(*ids));
        FUZZ_CHECK(again && *again == *ids);
    }
    return 0;
}
