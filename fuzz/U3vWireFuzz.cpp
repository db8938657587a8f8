// One USB3 Vision transfer as the library receives it: a control acknowledgement (read, write,
// pending), an event command, a stream leader or trailer, a manifest entry. The whole input is
// the transfer. Views lie inside it, decoders agree with each other (DecodeEvents delivers exactly
// the events CheckEvents counts), and decoded fields encode back to the same fields.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "u3v/tessa/U3vWire.h"

using namespace Kovon::Tessa::Wire;

namespace {

const uint8_t* gBegin;
const uint8_t* gEnd;

bool Inside(const uint8_t* p, size_t n) {
    if (n == 0) return true;
    return p != nullptr && p >= gBegin && n <= static_cast<size_t>(gEnd - p);
}

void Control(const uint8_t* data, size_t size) {
    Acknowledge ack;
    if (DecodeAcknowledge(data, size, ack) == DecodeError::kOk) {
        FUZZ_CHECK(kControlHeaderSize + ack.scdLength == size);
        FUZZ_CHECK(Inside(ack.scd, ack.scdLength));
        uint16_t written = 0;
        if (DecodeWriteMemAck(ack, written) == DecodeError::kOk && ack.scdLength != 0) {
            std::vector<uint8_t> again(64);
            size_t n = EncodeWriteMemAck(again.data(), again.size(), ack.status, ack.requestId, written);
            Acknowledge ack2;
            uint16_t written2 = 0;
            FUZZ_CHECK(DecodeAcknowledge(again.data(), n, ack2) == DecodeError::kOk &&
                       DecodeWriteMemAck(ack2, written2) == DecodeError::kOk && written2 == written);
        }
        uint16_t ms = 0;
        if (DecodePendingAck(ack, ms) == DecodeError::kOk) {
            uint8_t again[32];
            size_t n = EncodePendingAck(again, sizeof again, ack.requestId, ms);
            Acknowledge ack2;
            uint16_t ms2 = 0;
            FUZZ_CHECK(DecodeAcknowledge(again, n, ack2) == DecodeError::kOk &&
                       DecodePendingAck(ack2, ms2) == DecodeError::kOk && ms2 == ms);
        }
        // A read answer carries the data after the header; the engine copies scdLength bytes.
        std::vector<uint8_t> again(kControlHeaderSize + ack.scdLength);
        size_t n = EncodeAck(again.data(), again.size(), ack.status, ack.commandId, ack.requestId, ack.scd,
                             ack.scdLength);
        FUZZ_CHECK(n == size && std::memcmp(again.data(), data, size) == 0);
    }
    Command cmd;
    if (DecodeCommand(data, size, cmd) == DecodeError::kOk) {
        FUZZ_CHECK(Inside(cmd.scd, cmd.scdLength));
        ReadMemRequest read;
        if (DecodeReadMemRequest(cmd, read) == DecodeError::kOk) FUZZ_CHECK(cmd.scdLength == kReadMemCmdScdSize);
        WriteMemRequest write;
        if (DecodeWriteMemRequest(cmd, write) == DecodeError::kOk) {
            FUZZ_CHECK(Inside(write.data, write.length));
            FUZZ_CHECK(write.length + kWriteMemAddrSize == cmd.scdLength);
        }
    }
}

void Events(const uint8_t* data, size_t size) {
    size_t count = 0;
    DecodeError e = CheckEvents(data, size, &count);
    size_t delivered = 0;
    size_t bytes = 0;
    DecodeError e2 = DecodeEvents(data, size, [&](const Event& ev) {
        FUZZ_CHECK(Inside(ev.data, ev.dataLength));
        bytes += kEventHeaderSize + ev.dataLength;
        ++delivered;
    });
    FUZZ_CHECK(e == e2);
    if (e != DecodeError::kOk) {
        FUZZ_CHECK(delivered == 0);
        return;
    }
    FUZZ_CHECK(delivered == count && count > 0);
    FUZZ_CHECK(kControlHeaderSize + bytes == size);
    Event ev;
    FUZZ_CHECK(EventAt(data, size, count, ev) == DecodeError::kUnexpected);
    FUZZ_CHECK(EventAt(data, size, 0, ev) == DecodeError::kOk);
    if (count == 1) {
        std::vector<uint8_t> again(size);
        size_t n = EncodeEvent(again.data(), again.size(), 0, ev.eventId, ev.timestamp, ev.data, ev.dataLength);
        Event ev2;
        FUZZ_CHECK(n == size && EventAt(again.data(), n, 0, ev2) == DecodeError::kOk);
        FUZZ_CHECK(ev2.eventId == ev.eventId && ev2.timestamp == ev.timestamp && ev2.dataLength == ev.dataLength);
    }
}

void Stream(const uint8_t* data, size_t size) {
    Leader l;
    if (DecodeLeader(data, size, l) == DecodeError::kOk) {
        FUZZ_CHECK(l.leaderSize == size && size >= kLeaderHeaderSize);
        if (l.payloadType == kPayloadImage) {
            uint8_t again[kImageLeaderSize];
            size_t n = EncodeImageLeader(again, sizeof again, l);
            Leader l2;
            FUZZ_CHECK(n == kImageLeaderSize && DecodeLeader(again, n, l2) == DecodeError::kOk);
            FUZZ_CHECK(l2.blockId == l.blockId && l2.sizeX == l.sizeX && l2.sizeY == l.sizeY &&
                       l2.pixelFormat == l.pixelFormat && l2.paddingX == l.paddingX);
        }
    }
    Trailer t;
    if (DecodeTrailer(data, size, t) == DecodeError::kOk) {
        FUZZ_CHECK(t.trailerSize == size && size >= kTrailerHeaderSize);
        uint8_t again[kImageTrailerSize];
        size_t n = EncodeImageTrailer(again, sizeof again, t);
        Trailer t2;
        FUZZ_CHECK(n == kImageTrailerSize && DecodeTrailer(again, n, t2) == DecodeError::kOk);
        FUZZ_CHECK(t2.blockId == t.blockId && t2.status == t.status && t2.validPayloadSize == t.validPayloadSize);
    }
    ManifestEntry m;
    if (DecodeManifestEntry(data, size, m) == DecodeError::kOk) {
        uint8_t again[kManifestEntrySize];
        FUZZ_CHECK(EncodeManifestEntry(again, sizeof again, m) == kManifestEntrySize);
        FUZZ_CHECK(std::memcmp(again, data, 44) == 0);
    }
    // The transfer layout of a stream interface whose registers the camera reported.
    if (size >= 16) {
        uint64_t payload = 0;
        std::memcpy(&payload, data, 8);
        uint32_t transfer = 0, alignment = 0;
        std::memcpy(&transfer, data + 8, 4);
        std::memcpy(&alignment, data + 12, 4);
        TransferLayout layout;
        if (ComputeTransferLayout(payload, transfer, alignment, layout)) {
            const uint64_t covered = uint64_t{layout.transferSize} * layout.transferCount + layout.finalTransfer1 +
                                     layout.finalTransfer2;
            FUZZ_CHECK(covered >= payload && covered - payload < alignment);
            FUZZ_CHECK(layout.transferSize != 0 && layout.transferSize % alignment == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gBegin = data;
    gEnd = data + size;
    Control(data, size);
    Events(data, size);
    Stream(data, size);
    return 0;
}
