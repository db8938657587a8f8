#include "u3v/tessa/transport/U3vDescriptor.h"

#include "u3v/tessa/ByteCursor.h"

namespace Kovon::Tessa::Transport {

namespace {
constexpr uint8_t kConfigType = 0x02;
constexpr uint8_t kInterfaceType = 0x04;
constexpr uint8_t kEndpointType = 0x05;
constexpr uint8_t kTransferTypeBulk = 0x02;
}  // namespace

DescriptorResult ParseU3vConfiguration(const uint8_t* data, size_t size, U3vConfiguration& out) {
    if (data == nullptr || size < 9 || data[0] < 9 || data[1] != kConfigType) return DescriptorResult::kMalformed;
    const size_t total = size_t(data[2]) | (size_t(data[3]) << 8);
    if (total > size || total < data[0]) return DescriptorResult::kMalformed;

    U3vConfiguration cfg;
    U3vInterface* current = nullptr;  // the USB3 Vision interface whose descriptors follow
    bool afterControl = false;
    size_t pos = data[0];
    while (pos < total) {
        if (total - pos < 2) return DescriptorResult::kMalformed;
        const uint8_t length = data[pos];
        const uint8_t type = data[pos + 1];
        if (length < 2 || length > total - pos) return DescriptorResult::kMalformed;
        ByteReader r(data + pos, length);
        r.Skip(2);
        if (type == kInterfaceType && length >= 9) {
            const uint8_t number = r.U8();
            const uint8_t alt = r.U8();
            r.U8();  // bNumEndpoints: counted from the endpoint descriptors themselves
            const uint8_t cls = r.U8();
            const uint8_t sub = r.U8();
            const uint8_t proto = r.U8();
            current = nullptr;
            afterControl = false;
            if (alt == 0 && cls == kU3vInterfaceClass && sub == kU3vInterfaceSubclass) {
                U3vInterface* target = proto == kU3vProtocolControl ? &cfg.control
                                       : proto == kU3vProtocolEvent ? &cfg.event
                                       : proto == kU3vProtocolStream ? &cfg.stream
                                                                     : nullptr;
                if (target != nullptr && !target->present) {
                    *target = U3vInterface{};
                    target->present = true;
                    target->number = number;
                    current = target;
                    afterControl = target == &cfg.control;
                }
            }
        } else if (type == kEndpointType && length >= 7 && current != nullptr) {
            const uint8_t address = r.U8();
            const uint8_t attributes = r.U8();
            const uint16_t maxPacket = r.U16();
            if ((attributes & 0x03) == kTransferTypeBulk) {
                if (address & 0x80) {
                    if (current->bulkIn == 0) {
                        current->bulkIn = address;
                        current->maxPacketIn = maxPacket;
                    }
                } else if (current->bulkOut == 0) {
                    current->bulkOut = address;
                }
            }
        } else if (type == kU3vDescriptorType && afterControl && length >= kU3vDeviceInfoMinLength &&
                   !cfg.info.present) {
            U3vDeviceInfoDescriptor& i = cfg.info;
            if (r.U8() == kU3vDeviceInfoSubtype) {
                i.present = true;
                i.genCpVersion = r.U32();
                i.u3vVersion = r.U32();
                i.guidIndex = r.U8();
                i.vendorNameIndex = r.U8();
                i.modelNameIndex = r.U8();
                i.familyNameIndex = r.U8();
                i.deviceVersionIndex = r.U8();
                i.manufacturerInfoIndex = r.U8();
                i.serialNumberIndex = r.U8();
                i.userDefinedNameIndex = r.U8();
                i.speedSupport = r.U8();
            }
        }
        pos += length;
    }
    // An interface without the endpoints its role needs is not usable.
    if (cfg.event.present && cfg.event.bulkIn == 0) cfg.event = U3vInterface{};
    if (cfg.stream.present && cfg.stream.bulkIn == 0) cfg.stream = U3vInterface{};
    out = cfg;
    if (!cfg.control.present || cfg.control.bulkIn == 0 || cfg.control.bulkOut == 0) return DescriptorResult::kNotU3v;
    return DescriptorResult::kU3vDevice;
}

}  // namespace Kovon::Tessa::Transport
