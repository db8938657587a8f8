// The GigE Vision stream receiver fed with GVSP datagrams over loopback: frame slots, packet
// placement by id, resend requests, completion, giving up and delivery. The input chooses the
// frame buffer size, the packet payload size and the resend settings, then lists the datagrams
// (each with a 16-bit length prefix) that a "camera" at 127.77.0.1 sends to the receiver.
// A fresh receiver serves every input. Resend requests go to 127.77.0.1, where nothing listens.
//
// Checked beyond "no fault": every datagram is accounted for (received or rejected), a delivered
// frame never claims more bytes than the buffer holds, and a frame delivered as complete has no
// missing packets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "FuzzInput.h"
#include "gige/pelion/StreamReceiver.h"

using namespace Kovon::Pelion;

namespace {

constexpr uint32_t kHostIp = 0x7F000001;    // 127.0.0.1
constexpr uint32_t kCameraIp = 0x7F4D0001;  // 127.77.0.1

int CameraSocket() {
    static int fd = [] {
        int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(kCameraIp);
        FUZZ_CHECK(s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        int buffer = 8 << 20;
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        return s;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KovonFuzz::Input input(data, size);
    const uint64_t bufferBytes = 1 + input.U16();
    const uint32_t packetPayload = 1 + input.U16() % 9216;
    SettingsRecord settings{};
    settings.packetTimeoutMs = 1 + input.U8() % 8;
    settings.resendEnabled = input.U8() & 1;
    settings.frameRetentionMs = 5 + input.U8() % 32;
    settings.resendRounds = input.U8() % 4;
    settings.frameWaitTimeoutMs = 0;

    StreamReceiver receiver;
    FUZZ_CHECK(receiver.Open(kHostIp, 0, kCameraIp) == St::Ok);
    FUZZ_CHECK(receiver.SetBufferSize(bufferBytes, packetPayload) == St::Ok);
    receiver.SetSettings(settings);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(kHostIp);
    to.sin_port = htons(receiver.Port());
    uint64_t sent = 0;
    for (int i = 0; i < 256 && !input.empty(); ++i) {
        size_t length = 0;
        const uint8_t* packet = input.Piece(9000, length);
        if (::sendto(CameraSocket(), packet, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(length))
            ++sent;
    }
    // Wait until the receiver has looked at every datagram; bounded, in case the kernel dropped one.
    StreamStatistics stats;
    for (int i = 0; i < 4000; ++i) {
        stats = receiver.Statistics();
        if (stats.packetsReceived + stats.packetsRejected >= sent) break;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    FUZZ_CHECK(stats.packetsReceived + stats.packetsRejected <= sent);

    FrameRecord record{};
    uint64_t delivered = 0;
    for (;;) {
        const Status s = receiver.WaitForFrame(record, 0);
        if (s == St::Timeout) break;
        FUZZ_CHECK(s == St::Ok || s == St::FrameIncomplete || s == St::FrameDamaged);
        FUZZ_CHECK(record.payloadBytes <= receiver.BufferSize());
        if (s == St::Ok) FUZZ_CHECK(record.missingPackets == 0);
        ++delivered;
    }
    stats = receiver.Statistics();
    FUZZ_CHECK(delivered <= stats.framesCompleted + stats.framesIncomplete);
    receiver.Close();
    return 0;
}
