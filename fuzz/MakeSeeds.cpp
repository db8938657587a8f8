// Writes the seed corpora of the fuzz targets: small valid inputs made by our own encoders, plus
// a few malformed ones. Run from the source tree: kovon_fuzz_seeds <fuzz folder>; the files go to
// <fuzz folder>/corpus/<target>/ and are committed.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/GvspCodec.h"
#include "u3v/tessa/U3vWire.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path gRoot;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::path dir = gRoot / "corpus" / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Sized(const uint8_t* data, size_t n) { return Bytes(data, data + n); }

// Big-endian numbers and 16-bit-length pieces, the way fuzz/FuzzInput.h reads them.
struct Script {
    Bytes b;
    Script& U8(uint8_t v) { return b.push_back(v), *this; }
    Script& U16(uint16_t v) { return U8(static_cast<uint8_t>(v >> 8)).U8(static_cast<uint8_t>(v)); }
    Script& U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)).U16(static_cast<uint16_t>(v)); }
    Script& U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v)); }
    Script& Piece(const Bytes& p) {
        U16(static_cast<uint16_t>(p.size()));
        b.insert(b.end(), p.begin(), p.end());
        return *this;
    }
};

void Gvcp() {
    using namespace Kovon::Pelion::Gvcp;
    uint8_t p[kMaxPacket];
    DeviceInfo info;
    info.ip = 0x7F000015;
    info.mask = 0xFF000000;
    std::strcpy(info.manufacturer, "Tarvek Co., LTD");
    std::strcpy(info.model, "RT-GA47E");
    std::strcpy(info.serial, "48115000001");
    Write("gvcp", "discovery-ack", Sized(p, EncodeDiscoveryAck(p, sizeof p, 1, info)));
    const uint32_t values[3] = {1, 0x12345678, 0xFFFFFFFF};
    Write("gvcp", "readreg-ack-1", Sized(p, EncodeReadRegAck(p, sizeof p, 2, values, 1)));
    Write("gvcp", "readreg-ack-3", Sized(p, EncodeReadRegAck(p, sizeof p, 3, values, 3)));
    Write("gvcp", "writereg-ack", Sized(p, EncodeWriteAck(p, sizeof p, 0, Cmd::WriteRegAck, 4, 1)));
    Write("gvcp", "writereg-ack-refused", Sized(p, EncodeWriteAck(p, sizeof p, DeviceStatus::AccessDenied, Cmd::WriteRegAck, 4, 0)));
    const uint8_t memory[8] = {'L', 'o', 'c', 'a', 'l', ':', 'a', 0};
    Write("gvcp", "readmem-ack", Sized(p, EncodeReadMemAck(p, sizeof p, 5, 0x200, memory, sizeof memory)));
    Write("gvcp", "pending-ack", Sized(p, EncodePendingAck(p, sizeof p, 6, 300)));
    EventItem items[2] = {};
    items[0].eventId = 0x9001;
    items[0].timestamp = 123456789;
    items[1].eventId = 0x9002;
    items[1].blockId = 7;
    Write("gvcp", "event-2", Sized(p, EncodeEventCommand(p, sizeof p, 7, items, 2, true)));
    const uint8_t eventData[6] = {1, 2, 3, 4, 5, 6};
    items[0].data = eventData;
    items[0].dataSize = sizeof eventData;
    Write("gvcp", "eventdata", Sized(p, EncodeEventDataCommand(p, sizeof p, 8, items[0], true)));
    const uint32_t addresses[2] = {0x934, 0xA00};
    Write("gvcp", "readreg-cmd", Sized(p, EncodeReadRegCommand(p, sizeof p, 9, addresses, 2)));
    const RegisterWrite writes[1] = {{0x938, 1000}};
    Write("gvcp", "writereg-cmd", Sized(p, EncodeWriteRegCommand(p, sizeof p, 10, writes, 1)));
    Write("gvcp", "readmem-cmd", Sized(p, EncodeReadMemCommand(p, sizeof p, 11, 0x200, 512)));
    Write("gvcp", "writemem-cmd", Sized(p, EncodeWriteMemCommand(p, sizeof p, 12, 0x10000, memory, 8)));
    ForceIpCommand force;
    force.ip = 0x7F000016;
    Write("gvcp", "forceip-cmd", Sized(p, EncodeForceIpCommand(p, sizeof p, 13, force)));
    PacketResendCommand resend;
    resend.blockId = 5;
    resend.firstPacketId = 2;
    resend.lastPacketId = 9;
    Write("gvcp", "resend-cmd", Sized(p, EncodePacketResendCommand(p, sizeof p, 14, resend)));
    resend.extendedId = true;
    resend.blockId = 0x100000000ull;
    Write("gvcp", "resend-cmd-extended", Sized(p, EncodePacketResendCommand(p, sizeof p, 15, resend)));
    // Malformed: cut short, a length past the datagram, a length not a multiple of 4.
    size_t n = EncodeReadRegAck(p, sizeof p, 2, values, 3);
    Write("gvcp", "bad-truncated", Sized(p, n - 3));
    p[5] = 0x20;
    Write("gvcp", "bad-length-past-end", Sized(p, n));
    p[5] = 0x06;
    Write("gvcp", "bad-length-unaligned", Sized(p, n));
}

Bytes GvspFrame(std::vector<Bytes>& packets, uint64_t block, bool extended, uint32_t width, uint32_t height,
                uint32_t payloadPerPacket) {
    using namespace Kovon::Pelion::Gvsp;
    uint8_t p[9000];
    Leader l;
    l.pixelFormat = 0x01080001;  // Mono8
    l.width = width;
    l.height = height;
    l.timestamp = 42;
    packets.push_back(Sized(p, EncodeImageLeader(p, sizeof p, block, extended, l)));
    const uint32_t bytes = width * height;
    uint32_t id = 1;
    for (uint32_t done = 0; done < bytes; done += payloadPerPacket, ++id) {
        const uint32_t n = std::min(payloadPerPacket, bytes - done);
        size_t h = EncodeHeader(p, sizeof p, 0, block, Format::Payload, id, extended);
        std::memset(p + h, static_cast<int>(id), n);
        packets.push_back(Sized(p, h + n));
    }
    packets.push_back(Sized(p, EncodeImageTrailer(p, sizeof p, block, id, extended, height)));
    return packets.front();
}

void Gvsp() {
    std::vector<Bytes> packets;
    GvspFrame(packets, 1, false, 16, 8, 64);
    const char* names[] = {"leader", "payload", "payload-last", "trailer"};
    for (size_t i = 0; i < packets.size() && i < 4; ++i) Write("gvsp", names[i], packets[i]);
    std::vector<Bytes> extended;
    GvspFrame(extended, 0x123456789ull, true, 16, 8, 64);
    Write("gvsp", "leader-extended", extended.front());
    Write("gvsp", "trailer-extended", extended.back());
    Bytes bad = packets[0];
    bad[2] = bad[3] = 0;  // block 0
    Write("gvsp", "bad-block-zero", bad);
    bad = packets[1];
    bad.resize(8);  // payload without data
    Write("gvsp", "bad-empty-payload", bad);

    // The stream receiver: settings, then whole frames as datagrams.
    auto stream = [](const std::string& name, uint16_t buffer, uint16_t payload, bool resend,
                     const std::vector<Bytes>& datagrams) {
        Script s;
        s.U16(static_cast<uint16_t>(buffer - 1)).U16(static_cast<uint16_t>(payload - 1));
        s.U8(2).U8(resend ? 1 : 0).U8(10).U8(2);
        for (const auto& d : datagrams) s.Piece(d);
        Write("gvsp_stream", name, s.b);
    };
    std::vector<Bytes> frames;
    GvspFrame(frames, 1, false, 16, 8, 64);
    GvspFrame(frames, 2, false, 16, 8, 64);
    stream("two-frames", 256, 64, true, frames);
    std::vector<Bytes> lossy = frames;
    lossy.erase(lossy.begin() + 2);  // frame 1 misses its second payload packet
    stream("lost-packet-resend", 256, 64, true, lossy);
    stream("lost-packet-no-resend", 256, 64, false, lossy);
    std::vector<Bytes> reordered = frames;
    std::swap(reordered[1], reordered[3]);
    reordered.push_back(reordered[1]);  // and a duplicate
    stream("reordered-duplicate", 256, 64, true, reordered);
    std::vector<Bytes> big;
    GvspFrame(big, 0x100000001ull, true, 64, 64, 1024);
    stream("extended-ids", 4096, 1024, true, big);
    stream("frame-larger-than-buffer", 64, 64, true, frames);
}

void U3v() {
    using namespace Kovon::Tessa::Wire;
    uint8_t p[1024];
    const uint8_t data[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    Write("u3v_wire", "readmem-ack", Sized(p, EncodeAck(p, sizeof p, 0, kReadMemAck, 1, data, sizeof data)));
    Write("u3v_wire", "writemem-ack", Sized(p, EncodeWriteMemAck(p, sizeof p, 0, 2, 4)));
    Write("u3v_wire", "writemem-ack-refused", Sized(p, EncodeAck(p, sizeof p, Status::kAccessDenied, kWriteMemAck, 3, nullptr, 0)));
    Write("u3v_wire", "pending-ack", Sized(p, EncodePendingAck(p, sizeof p, 4, 500)));
    Write("u3v_wire", "readmem-cmd", Sized(p, EncodeReadMem(p, sizeof p, 5, 0x10000, 64)));
    Write("u3v_wire", "writemem-cmd", Sized(p, EncodeWriteMem(p, sizeof p, 6, 0x184, data, sizeof data)));
    size_t n = EncodeEvent(p, sizeof p, 7, 0x9001, 1234, data, 4);
    Write("u3v_wire", "event", Sized(p, n));
    // Two events in one command: the first event's bytes twice, with the length adjusted.
    Bytes two(p, p + n);
    two.insert(two.end(), p + kControlHeaderSize, p + n);
    two[8] = static_cast<uint8_t>(2 * (n - kControlHeaderSize));
    Write("u3v_wire", "event-2", two);
    Leader l;
    l.blockId = 9;
    l.pixelFormat = 0x01080001;
    l.sizeX = 320;
    l.sizeY = 240;
    Write("u3v_wire", "leader", Sized(p, EncodeImageLeader(p, sizeof p, l)));
    Trailer t;
    t.blockId = 9;
    t.validPayloadSize = 320 * 240;
    t.sizeY = 240;
    Write("u3v_wire", "trailer", Sized(p, EncodeImageTrailer(p, sizeof p, t)));
    ManifestEntry m;
    m.fileVersion = 0x01000000;
    m.formatInfo = ManifestEntry::MakeFormatInfo(kManifestTypeDeviceXml, kManifestFormatZip, 1, 1);
    m.address = 0x100000;
    m.size = 4096;
    Write("u3v_wire", "manifest-entry", Sized(p, EncodeManifestEntry(p, sizeof p, m)));
    n = EncodeAck(p, sizeof p, 0, kReadMemAck, 1, data, sizeof data);
    p[8] = 200;  // length past the transfer
    Write("u3v_wire", "bad-ack-length", Sized(p, n));
    n = EncodeEvent(p, sizeof p, 7, 0x9001, 1234, data, 4);
    p[12] = 3;  // event size below its header
    Write("u3v_wire", "bad-event-size", Sized(p, n));

    // A configuration descriptor: control interface (bulk in and out) with its device-info
    // descriptor, event interface (bulk in), stream interface (bulk in).
    Bytes cfg = {9, 2, 0, 0, 3, 1, 0, 0x80, 50};
    auto iface = [&](uint8_t number, uint8_t protocol, uint8_t endpoints) {
        Bytes i = {9, 4, number, 0, endpoints, 0xEF, 0x05, protocol, 0};
        cfg.insert(cfg.end(), i.begin(), i.end());
    };
    auto endpoint = [&](uint8_t address) {
        Bytes e = {7, 5, address, 2, 0x00, 0x04, 0};
        cfg.insert(cfg.end(), e.begin(), e.end());
    };
    iface(0, 0, 2);
    endpoint(0x81);
    endpoint(0x01);
    Bytes info = {20, 0x24, 0x01, 0, 1, 0, 0, 0, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0x0F};
    cfg.insert(cfg.end(), info.begin(), info.end());
    iface(1, 1, 1);
    endpoint(0x82);
    iface(2, 2, 1);
    endpoint(0x83);
    cfg[2] = static_cast<uint8_t>(cfg.size());
    cfg[3] = static_cast<uint8_t>(cfg.size() >> 8);
    Write("u3v_descriptor", "camera", cfg);
    Bytes plain = {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 2, 0, 2, 0};
    Write("u3v_descriptor", "not-u3v", plain);
    Bytes broken = cfg;
    broken[9] = 0;  // a descriptor of length 0
    Write("u3v_descriptor", "bad-zero-length", broken);

    // USB 2.0 camera: setting byte 0, then interface 0 with bulk OUT 0x01 and bulk IN 0x82.
    Bytes usb2 = {0, 9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                  7, 5, 0x01, 2, 0, 2, 0, 7, 5, 0x82, 2, 0, 2, 0};
    Write("usb2_descriptor", "camera", usb2);
    Bytes usb2Out = usb2;
    usb2Out[28] = 0x02;  // pipe 1 is an OUT endpoint
    Write("usb2_descriptor", "pipe1-out", usb2Out);
    const std::string ids = "04b4:8613,1a2b:00ff";
    Write("usb2_descriptor", "ids", Bytes(ids.begin(), ids.end()));
}

void Scripts() {
    // EZ-USB: open, then register reads and writes with clean answers, then error answers.
    Script e;
    e.U8(0).U8(0).U8(0).U8(1);  // open: the instance opens, the descriptor says USB 2.0 ...
    Bytes descriptor = {18, 1, 0x00, 0x02};
    descriptor.resize(18);
    for (uint8_t b : descriptor) e.U8(b);
    e.U8(0).U16(0x0200).U8(2 + 4);  // read 4 bytes from 0x200
    for (int w = 0; w < 2; ++w) e.U8(4).U8(1).U8(1).U8(0x12).U8(0x34);
    e.U8(1).U16(0x0452).U8(2 + 2);  // write one word
    e.U8(4).U8(1).U8(1).U8(0).U8(0);
    e.U8(1).U16(0x0452).U8(2 + 2);  // the same write failing with error 31 once
    e.U8(0).U8(1).U8(4).U8(1).U8(1).U8(0).U8(0);
    Write("ezusb", "open-read-write", e.b);

    const char* texts[] = {"Local:RT-GA47E.xml;700;ed40", "Local:U3V.xml;700;1234?SchemaVersion=1.1.0",
                           "local:KovonSimGigE.zip;10000;3fa", "Local:cam.xml;700", "Local:;700;10",
                           "File:cam.xml", "Local:cam.xml;1;2;3", "Local:cam.xml;11112222333344445;10"};
    for (size_t i = 0; i < std::size(texts); ++i)
        Write("location", "text-" + std::to_string(i), Bytes(texts[i], texts[i] + std::strlen(texts[i])));

    // Parameter calls: reads of known ids on every object, then a few writes. The first byte says
    // whether the GigE Vision camera takes part (0: no, 1: its device, 3: its device and stream).
    Script s;
    s.U8(0);
    for (uint8_t object = 0; object < 16; ++object) s.U8(object).U8(0).U8(static_cast<uint8_t>(object)).U8(1).U8(1).U8(64);
    for (uint8_t b = 0; b < 64; ++b) s.U8(0);
    Write("params", "reads", s.b);
    s.b[0] = 3;
    Write("params", "reads-gige", s.b);
    Script w;
    w.U8(1);
    for (uint8_t object = 0; object < 16; ++object) w.U8(object).U8(1).U8(17).U8(1).U8(1).U8(4).U32(0x01000000);
    Write("params", "writes", w.b);
    Script info;
    info.U8(0);
    for (uint8_t id = 0; id < 14; ++id) info.U8(7).U8(2).U8(id).U8(1).U8(1).U8(40);
    Write("params", "device-info", info.b);

    // USB 2.0 stream: model, firmware, width - 1, height - 1, format, binning; then frames with
    // the marker (0, fill piece, cut), bytes as they come (2, piece), images (3), lost bytes (6),
    // a stalled pipe (7).
    const auto frame = [](Script& x, const Bytes& fill, uint8_t cut) { x.U8(0).Piece(fill).U8(cut); };
    Script mono8;
    mono8.U8(0).U8(0).U8(63).U8(15).U8(0).U8(0);
    frame(mono8, {}, 0);
    mono8.U8(3);
    frame(mono8, {0x10, 0x20, 0x30}, 0);
    mono8.U8(3).U8(2).Piece(Bytes(100, 0x55)).U8(3).U8(3);
    Write("usb2_stream", "mono8-frames", mono8.b);
    Script mono12;
    mono12.U8(0).U8(1).U8(31).U8(7).U8(2).U8(0);
    frame(mono12, {}, 0);
    mono12.U8(3).U8(6).U8(5);
    frame(mono12, {}, 0);
    mono12.U8(3);
    frame(mono12, {}, 0);
    mono12.U8(3).U8(3);
    Write("usb2_stream", "mono12-lost-bytes", mono12.b);
    Script bayer;
    bayer.U8(3).U8(0).U8(31).U8(7).U8(4).U8(1);
    frame(bayer, {}, 0);
    bayer.U8(3);
    frame(bayer, {}, 1 + 4 * 10);  // cut short
    bayer.U8(3);
    frame(bayer, {}, 2 + 4 * 3);  // too long
    bayer.U8(3);
    Write("usb2_stream", "bayer-binning", bayer.b);
    Script bgr;
    bgr.U8(8).U8(0).U8(15).U8(3).U8(5).U8(0);
    frame(bgr, {}, 0);
    bgr.U8(3).U8(7).U8(3).U8(3);
    frame(bgr, {}, 0);
    bgr.U8(3);
    Write("usb2_stream", "bgr-stall", bgr.b);
    Script old;
    old.U8(1).U8(2).U8(20).U8(5).U8(1).U8(2);
    Bytes ramp(200);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
    old.U8(2).Piece(ramp).U8(3);
    frame(old, {}, 0);
    old.U8(3);
    Write("usb2_stream", "old-firmware", old.b);

    // USB3 Vision library: four pieces (host calls, control, event and stream alterations). The
    // host piece: width - 1, height - 1, Mono16, alignment shift, zipped description, small
    // transfers; then calls (address index, kind, arguments); then the stream's transfer size,
    // buffer count and frame count. An alteration is an operation byte (8 one byte changed,
    // 9 cut, 10 replaced, 11 a 32-bit field, 12 lost, 13 error, 14 overflow, 15 stale answer;
    // others leave the transfer) with its arguments.
    const auto engine = [](const Bytes& host, const Bytes& control, const Bytes& event, const Bytes& stream) {
        Script x;
        x.Piece(host).Piece(control).Piece(event);
        x.b.insert(x.b.end(), stream.begin(), stream.end());
        return x.b;
    };
    const Bytes calls = {14, 0, 4, 0, 2, 0, 3, 0, 3, 0, 1, 4, 0, 4};
    Bytes clean = {63, 31, 0, 0, 0, 0};
    clean.insert(clean.end(), calls.begin(), calls.end());
    clean.insert(clean.end(), {0, 0, 2});
    Write("u3v_engine", "clean", engine(clean, {}, {}, {}));
    Write("u3v_engine", "control-faults",
          engine({63, 31, 0, 0, 0, 0, 11, 0, 4, 13, 1, 0, 0, 0, 8, 0, 2, 0, 0, 1},
                 {8, 0, 3, 1, 0, 9, 0, 5, 0, 15, 0, 12, 0, 11, 0, 1, 0, 0, 0, 0, 0, 14, 10, 0, 4, 1, 2, 3, 4}, {}, {}));
    Write("u3v_engine", "stream-faults",
          engine({63, 31, 0, 0, 0, 0, 0, 2, 1, 0x10, 0x00, 1, 3, 3}, {}, {},
                 {8, 0, 2, 4, 0, 0, 11, 0, 0, 0, 0, 0, 1, 9, 0, 3, 15, 0, 12, 0, 0, 0, 13, 10, 0, 8, 0x55, 0x33,
                  0x56, 0x4C, 0, 0, 0, 0}));
    Write("u3v_engine", "events",
          engine({63, 31, 0, 0, 0, 0, 0, 3, 0, 3, 0, 1, 8, 0, 3, 0x90, 0x01, 4, 0, 4, 0, 0, 1}, {},
                 {8, 0, 4, 2, 9, 0, 6, 11, 0, 1, 0xff, 0xff, 0, 0, 10, 0, 3, 1, 2, 3}, {}));
    Write("u3v_engine", "mono16-aligned", engine({16, 8, 1, 2, 1, 1, 0, 2, 0, 0, 3}, {}, {}, {}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kovon_fuzz_seeds <fuzz source folder>\n");
        return 2;
    }
    gRoot = argv[1];
    Gvcp();
    Gvsp();
    U3v();
    Scripts();
    return 0;
}
