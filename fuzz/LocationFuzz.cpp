// The register-description location a camera reports ("Local:<file>;<address>;<length>", with an
// optional "?SchemaVersion=..." tail), as kovon-grab parses it before reading the description.
// A text that parses names a non-empty file without separators, and the numbers read back from
// their hex digits.
#include <string>

#include "FuzzInput.h"
#include "Features.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    KovonGrab::DescriptionLocation location;
    location.fileName = "unchanged";
    if (!KovonGrab::ParseDescriptionLocation(text, location)) {
        FUZZ_CHECK(location.fileName == "unchanged" && location.address == 0 && location.length == 0);
        return 0;
    }
    FUZZ_CHECK(!location.fileName.empty());
    FUZZ_CHECK(location.fileName.find(';') == std::string::npos && location.fileName.find('?') == std::string::npos);
    // The same location written the way the module writes it parses to the same values.
    char again[64];
    std::snprintf(again, sizeof again, ";%llx;%llx", static_cast<unsigned long long>(location.address),
                  static_cast<unsigned long long>(location.length));
    KovonGrab::DescriptionLocation second;
    FUZZ_CHECK(KovonGrab::ParseDescriptionLocation("Local:" + location.fileName + again, second));
    FUZZ_CHECK(second.fileName == location.fileName && second.address == location.address &&
               second.length == location.length);
    return 0;
}
