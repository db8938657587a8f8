#include "usb2/driver/PipeLayout.h"

namespace Kovon {
namespace {

constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr size_t kConfigurationLength = 9;
constexpr size_t kInterfaceLength = 9;
constexpr size_t kEndpointLength = 7;

}  // namespace

PipeLayoutResult ParsePipeLayout(const uint8_t* config, size_t size, uint8_t alternateSetting,
                                 std::vector<UsbPipe>& pipes) {
    pipes.clear();
    if (config == nullptr || size < kConfigurationLength || config[0] < kConfigurationLength ||
        config[1] != kConfigurationType)
        return PipeLayoutResult::kMalformed;
    // wTotalLength bounds the walk; a device that claims more than it sent is malformed.
    const size_t total = size_t(config[2]) | (size_t(config[3]) << 8);
    if (total < kConfigurationLength || total > size) return PipeLayoutResult::kMalformed;

    bool inInterface = false;
    bool found = false;
    unsigned endpointsLeft = 0;
    for (size_t at = config[0]; at < total;) {
        const size_t length = config[at];
        if (length < 2 || at + length > total) return PipeLayoutResult::kMalformed;
        const uint8_t type = config[at + 1];
        if (type == kInterfaceType) {
            if (length < kInterfaceLength) return PipeLayoutResult::kMalformed;
            if (found) break;  // the next interface or setting ends ours
            inInterface = config[at + 2] == 0 && config[at + 3] == alternateSetting;
            if (inInterface) {
                found = true;
                endpointsLeft = config[at + 4];
            }
        } else if (type == kEndpointType && inInterface && endpointsLeft > 0) {
            if (length < kEndpointLength) return PipeLayoutResult::kMalformed;
            UsbPipe pipe;
            pipe.endpointAddress = config[at + 2];
            pipe.transferType = config[at + 3] & 3;
            pipe.maxPacketSize = static_cast<uint16_t>((config[at + 4] | (config[at + 5] << 8)) & 0x7FF);
            pipes.push_back(pipe);
            --endpointsLeft;
        }
        at += length;
    }
    if (!found) return PipeLayoutResult::kNoInterface;
    if (pipes.size() <= kImagePipe) return PipeLayoutResult::kNoImagePipe;
    if (!pipes[kImagePipe].IsBulkIn()) return PipeLayoutResult::kImagePipeNotBulkIn;
    return PipeLayoutResult::kOk;
}

}  // namespace Kovon
