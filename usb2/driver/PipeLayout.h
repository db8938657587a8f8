#pragma once
// The pipes of a USB 2.0 family camera as the EZ-USB general-purpose driver numbers them: pipe n
// is the endpoint at position n (from 0) of interface 0 in its current alternate setting. Pure
// codec over a raw configuration descriptor (the configuration header followed by its interface,
// endpoint and class descriptors), every length checked.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Kovon {

struct UsbPipe {
    uint8_t endpointAddress = 0;  // bit 7 set: IN
    uint8_t transferType = 0;     // bmAttributes & 3: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 0;

    static constexpr uint8_t kBulk = 2;
    bool IsBulkIn() const { return transferType == kBulk && (endpointAddress & 0x80) != 0; }
};

enum class PipeLayoutResult {
    kOk,
    kMalformed,      // too short, a descriptor running past the end, a length below its minimum
    kNoInterface,    // no interface 0 in the alternate setting asked for
    kNoImagePipe,    // fewer than two endpoints: no pipe 1
    kImagePipeNotBulkIn,
};

constexpr uint32_t kImagePipe = 1;  // the bulk IN pipe the frames arrive on

// Fills 'pipes' with interface 0's endpoints in 'alternateSetting', in descriptor order. The
// result is kOk only when pipe 1 exists and is a bulk IN endpoint; 'pipes' holds what was found
// in every case.
PipeLayoutResult ParsePipeLayout(const uint8_t* config, size_t size, uint8_t alternateSetting,
                                 std::vector<UsbPipe>& pipes);

}  // namespace Kovon
