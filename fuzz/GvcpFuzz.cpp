// GVCP datagrams as they arrive from a camera: acknowledgements of the host's commands (discovery,
// registers, memory, pending) and event commands on the message channel; also the command
// decoders the simulated camera runs on what a host sends. The whole input is one datagram.
//
// Beyond "no fault": every view a decoder returns lies inside the datagram, and what decodes
// encodes again to bytes that decode to the same fields.
#include <cstring>

#include "FuzzInput.h"
#include "gige/pelion/GvcpCodec.h"

using namespace Kovon::Pelion::Gvcp;

namespace {

const uint8_t* gBegin;
const uint8_t* gEnd;

bool Inside(const uint8_t* p, size_t n) {
    if (n == 0) return true;
    return p != nullptr && p >= gBegin && n <= static_cast<size_t>(gEnd - p);
}

void CheckText(const char* text, size_t field) { FUZZ_CHECK(strnlen(text, field) < field); }

void Acknowledgement(const uint8_t* data, size_t size) {
    auto ack = DecodeAck(data, size);
    if (!ack) return;
    FUZZ_CHECK(ack->payloadSize <= kMaxPayload && ack->payloadSize % 4 == 0);
    FUZZ_CHECK(Inside(ack->payload, ack->payloadSize));
    FUZZ_CHECK(kHeaderSize + ack->payloadSize <= size);

    if (auto info = DecodeDiscoveryAck(*ack)) {
        CheckText(info->manufacturer, sizeof info->manufacturer);
        CheckText(info->model, sizeof info->model);
        CheckText(info->version, sizeof info->version);
        CheckText(info->manufacturerInfo, sizeof info->manufacturerInfo);
        CheckText(info->serial, sizeof info->serial);
        CheckText(info->userName, sizeof info->userName);
        uint8_t again[kMaxPacket];
        size_t n = EncodeDiscoveryAck(again, sizeof again, ack->ackId, *info);
        FUZZ_CHECK(n == kHeaderSize + kDiscoveryAckSize);
        auto ack2 = DecodeAck(again, n);
        FUZZ_CHECK(ack2.has_value());
        auto info2 = DecodeDiscoveryAck(*ack2);
        FUZZ_CHECK(info2.has_value());
        FUZZ_CHECK(info2->ip == info->ip && info2->mask == info->mask && info2->gateway == info->gateway);
        FUZZ_CHECK(std::memcmp(info2->mac, info->mac, 6) == 0);
        // The encoder keeps one NUL in each field, so a text that fills its field loses its last
        // character on the way back.
        FUZZ_CHECK(std::strncmp(info2->serial, info->serial, 15) == 0);
        FUZZ_CHECK(std::strncmp(info2->manufacturerInfo, info->manufacturerInfo, 47) == 0);
    }

    // The host asks for a known count; try the count the answer claims and its neighbours.
    uint32_t values[kMaxReadRegisters + 1];
    const size_t claimed = ack->payloadSize / 4u;
    for (size_t count : {claimed, claimed + 1, size_t{1}}) {
        if (count > kMaxReadRegisters) continue;
        bool ok = DecodeReadRegAck(*ack, values, count);
        FUZZ_CHECK(!ok || ack->payloadSize == count * 4);
    }

    if (auto index = DecodeWriteAckIndex(*ack)) {
        uint8_t again[kMaxPacket];
        size_t n = EncodeWriteAck(again, sizeof again, ack->status, ack->answer, ack->ackId, *index);
        auto ack2 = DecodeAck(again, n);
        FUZZ_CHECK(ack2 && DecodeWriteAckIndex(*ack2) == index);
    }

    uint8_t memory[kMaxMemoryBlock + 4];
    if (ack->payloadSize >= 4) {
        const uint32_t address = static_cast<uint32_t>(ack->payload[0]) << 24 | ack->payload[1] << 16 |
                                 ack->payload[2] << 8 | ack->payload[3];
        const size_t count = ack->payloadSize - 4;
        if (count <= kMaxMemoryBlock && DecodeReadMemAck(*ack, address, memory, count))
            FUZZ_CHECK(std::memcmp(memory, ack->payload + 4, count) == 0);
        // An answer for another address or another length is refused.
        FUZZ_CHECK(!DecodeReadMemAck(*ack, address ^ 4, memory, count <= kMaxMemoryBlock ? count : 0));
        if (count >= 4) FUZZ_CHECK(!DecodeReadMemAck(*ack, address, memory, count - 4));
    }

    if (auto ms = DecodePendingAck(*ack)) {
        uint8_t again[kMaxPacket];
        size_t n = EncodePendingAck(again, sizeof again, ack->ackId, *ms);
        auto ack2 = DecodeAck(again, n);
        FUZZ_CHECK(ack2 && DecodePendingAck(*ack2) == ms);
    }
}

void Command(const uint8_t* data, size_t size) {
    auto cmd = DecodeCommand(data, size);
    if (!cmd) return;
    FUZZ_CHECK(cmd->payloadSize <= kMaxPayload && cmd->payloadSize % 4 == 0);
    FUZZ_CHECK(Inside(cmd->payload, cmd->payloadSize));

    // Events: what the camera sends on the message channel.
    EventItem items[kMaxPayload / kEventItemSize + 1];
    size_t count = 0;
    if (DecodeEventCommand(*cmd, items, kMaxPayload / kEventItemSize, count)) {
        FUZZ_CHECK(count >= 1 && count * kEventItemSize == cmd->payloadSize);
        uint8_t again[kMaxPacket];
        size_t n = EncodeEventCommand(again, sizeof again, cmd->reqId, items, count, true);
        FUZZ_CHECK(n == kHeaderSize + cmd->payloadSize);
        auto cmd2 = DecodeCommand(again, n);
        EventItem items2[kMaxPayload / kEventItemSize];
        size_t count2 = 0;
        FUZZ_CHECK(cmd2 && DecodeEventCommand(*cmd2, items2, count, count2) && count2 == count);
        for (size_t i = 0; i < count; ++i)
            FUZZ_CHECK(items2[i].eventId == items[i].eventId && items2[i].timestamp == items[i].timestamp &&
                       items2[i].blockId == items[i].blockId && items2[i].channel == items[i].channel);
    }
    // Fewer item slots than items: refused, nothing written past them.
    if (cmd->payloadSize >= 2 * kEventItemSize) {
        EventItem one[1];
        FUZZ_CHECK(!DecodeEventCommand(*cmd, one, 1, count) && count == 0);
    }
    if (auto e = DecodeEventDataCommand(*cmd)) {
        FUZZ_CHECK(Inside(e->data, e->dataSize));
        FUZZ_CHECK(kEventItemSize + e->dataSize == cmd->payloadSize);
        uint8_t again[kMaxPacket];
        size_t n = EncodeEventDataCommand(again, sizeof again, cmd->reqId, *e, true);
        auto cmd2 = DecodeCommand(again, n);
        auto e2 = cmd2 ? DecodeEventDataCommand(*cmd2) : std::nullopt;
        FUZZ_CHECK(e2 && e2->eventId == e->eventId && e2->timestamp == e->timestamp && e2->dataSize == e->dataSize);
        FUZZ_CHECK(e->dataSize == 0 || std::memcmp(e2->data, e->data, e->dataSize) == 0);
    }

    // What the simulated camera decodes from a host.
    uint32_t addresses[kMaxReadRegisters];
    if (DecodeReadRegCommand(*cmd, addresses, kMaxReadRegisters, count)) FUZZ_CHECK(count * 4 == cmd->payloadSize);
    RegisterWrite writes[kMaxWriteRegisters];
    if (DecodeWriteRegCommand(*cmd, writes, kMaxWriteRegisters, count)) FUZZ_CHECK(count * 8 == cmd->payloadSize);
    if (auto m = DecodeReadMemCommand(*cmd)) FUZZ_CHECK(m->count > 0 && m->count <= kMaxMemoryBlock);
    if (auto m = DecodeWriteMemCommand(*cmd)) {
        FUZZ_CHECK(m->size <= kMaxMemoryBlock && Inside(m->data, m->size));
    }
    if (auto f = DecodeForceIpCommand(*cmd)) {
        uint8_t again[kMaxPacket];
        size_t n = EncodeForceIpCommand(again, sizeof again, cmd->reqId, *f);
        auto cmd2 = DecodeCommand(again, n);
        auto f2 = cmd2 ? DecodeForceIpCommand(*cmd2) : std::nullopt;
        FUZZ_CHECK(f2 && f2->ip == f->ip && f2->mask == f->mask && std::memcmp(f2->mac, f->mac, 6) == 0);
    }
    if (auto r = DecodePacketResendCommand(*cmd)) {
        FUZZ_CHECK(r->firstPacketId <= r->lastPacketId);
        uint8_t again[kMaxPacket];
        size_t n = EncodePacketResendCommand(again, sizeof again, cmd->reqId, *r);
        auto cmd2 = DecodeCommand(again, n);
        auto r2 = cmd2 ? DecodePacketResendCommand(*cmd2) : std::nullopt;
        FUZZ_CHECK(r2 && r2->blockId == r->blockId && r2->firstPacketId == r->firstPacketId &&
                   r2->lastPacketId == r->lastPacketId && r2->extendedId == r->extendedId);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gBegin = data;
    gEnd = data + size;
    Acknowledgement(data, size);
    Command(data, size);
    return 0;
}
