// A USB configuration descriptor with everything that follows it, as a device reports it; the
// libusb backend decides from it whether the device is a USB3 Vision camera and which endpoints
// its channels use.
#include "FuzzInput.h"
#include "u3v/tessa/transport/U3vDescriptor.h"

using namespace Kovon::Tessa::Transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    U3vConfiguration cfg;
    cfg.control.number = 0x5A;  // marks "not written"
    const DescriptorResult r = ParseU3vConfiguration(data, size, cfg);
    if (r == DescriptorResult::kMalformed) {
        FUZZ_CHECK(cfg.control.number == 0x5A);  // nothing changed
        return 0;
    }
    if (r == DescriptorResult::kU3vDevice) {
        FUZZ_CHECK(cfg.control.present && (cfg.control.bulkIn & 0x80) != 0);
        FUZZ_CHECK(cfg.control.bulkOut != 0 && (cfg.control.bulkOut & 0x80) == 0);
    }
    for (const U3vInterface* i : {&cfg.event, &cfg.stream})
        FUZZ_CHECK(!i->present || (i->bulkIn & 0x80) != 0);
    return 0;
}
