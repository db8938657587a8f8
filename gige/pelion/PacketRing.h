#pragma once
// A memory-mapped receive ring (packet socket, TPACKET_V3) for one UDP flow: the kernel writes
// the stream's IPv4 datagrams into shared blocks as they arrive, and the receiver walks a whole
// block per wake-up instead of asking for packets in system calls. A socket filter in the kernel
// keeps only UDP from the camera's address to our address and port, unfragmented. Needs the right
// to open packet sockets (CAP_NET_RAW); Open fails cleanly without it.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace Kovon::Pelion {

// The fields of an IPv4/UDP datagram the stream needs, its payload pointing into the input.
struct UdpDatagram {
    uint32_t sourceIp = 0;  // host order
    uint32_t destinationIp = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// Checks an IPv4 packet (from its IP header on) and returns its UDP datagram: IPv4, header length,
// total length within `size`, no fragment, UDP, UDP length within the IP payload. Pure function.
std::optional<UdpDatagram> ParseUdpDatagram(const uint8_t* packet, size_t size);

class PacketRing {
public:
    PacketRing() = default;
    ~PacketRing() { Close(); }
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Starts capturing UDP datagrams from sourceIp to destinationIp:port (host order; destinationIp
    // 0: any local address). `bytes` of ring, in blocks of 1 MiB. False when packet sockets are not
    // allowed here or the ring cannot be set up; nothing is left open then.
    bool Open(uint32_t sourceIp, uint32_t destinationIp, uint16_t port, size_t bytes);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Waits up to timeoutMs for a block the kernel has handed over.
    bool Wait(int timeoutMs);
    // Calls fn(ipPacket, size) for every packet of the next ready block and gives the block back to
    // the kernel. Returns the number of packets seen, 0 when no block is ready.
    template <typename Fn>
    size_t ConsumeBlock(Fn&& fn) {
        const uint8_t* packet = nullptr;
        size_t size = 0;
        size_t count = 0;
        if (!BeginBlock()) return 0;
        while (NextPacket(packet, size)) {
            ++count;
            fn(packet, size);
        }
        EndBlock();
        return count;
    }
    // True while packets wait in the ring: a ready block, or one the kernel is still filling.
    bool Pending() const;
    // Share of the ring (0..1) the kernel has filled and handed over, not yet consumed.
    double Backlog() const;
    // Packets the kernel had to drop because the ring was full.
    uint64_t Drops();

private:
    bool BeginBlock();
    bool NextPacket(const uint8_t*& packet, size_t& size);
    void EndBlock();

    int fd_ = -1;
    uint8_t* map_ = nullptr;
    size_t mapSize_ = 0;
    size_t blockSize_ = 0;
    size_t blockCount_ = 0;
    size_t current_ = 0;  // the block read next
    // Walk through the current block.
    uint32_t left_ = 0;
    size_t offset_ = 0;
    uint64_t drops_ = 0;
};

}  // namespace Kovon::Pelion
