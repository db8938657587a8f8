#pragma once
// A memory-mapped receive ring (packet socket, TPACKET_V3) for one UDP flow: the kernel writes
// the stream's IPv4 datagrams into shared blocks as they arrive, and the receiver walks a whole
// block per wake-up instead of asking for packets in system calls. A socket filter in the kernel
// keeps only UDP from the camera's address to our address and port, unfragmented. Needs the right
// to open packet sockets (CAP_NET_RAW); Open fails cleanly without it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
// The UDP checksum of a datagram ParseUdpDatagram accepted: true when it matches or is absent (0).
bool UdpChecksumValid(const uint8_t* packet, size_t size);

class PacketRing {
public:
    PacketRing() = default;
    ~PacketRing() { Unmap(); }
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Starts capturing UDP datagrams from sourceIp to destinationIp:port (host order; destinationIp
    // 0: any local address). `bytes` of ring (64 MiB at most), in blocks of 1 MiB. False when packet
    // sockets are not allowed here or the ring cannot be set up; nothing is left open then. Any
    // earlier ring is unmapped: packets of it must no longer be referenced.
    bool Open(uint32_t sourceIp, uint32_t destinationIp, uint16_t port, size_t bytes);
    // Stops capturing. The mapping stays, so that packets still referenced remain readable, until
    // the next Open or the destructor.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // The kernel fills the blocks in turn; the reader takes them in the same order. A block whose
    // packets the reader still references (Reference) is kept from the kernel after it was read,
    // until its last reference goes (Unreference). The caller serialises every call below except
    // Wait and ConsumeBlock's callback work, which run on the reader's thread.

    // Waits up to timeoutMs for the kernel to hand the next block over; true when it did (or
    // handed one over since the last Wait). Edge-triggered: a block the reader keeps does not
    // make it return at once, as poll() would (poll() reports the block handed over last for as
    // long as the kernel does not own it).
    bool Wait(int timeoutMs);
    // The next block to read is handed over and not yet read.
    bool Fresh() const;
    // Calls fn(ipPacket, size, checksumChecked) for every packet of the next fresh block, then gives
    // the block back unless referenced. checksumChecked: the network card verified the checksum,
    // or the packet was sent on this host and has none yet. Returns the number of packets seen, 0 when no
    // block is fresh.
    template <typename Fn>
    size_t ConsumeBlock(Fn&& fn) {
        const uint8_t* packet = nullptr;
        size_t size = 0;
        bool checked = false;
        size_t count = 0;
        if (!BeginBlock()) return 0;
        while (NextPacket(packet, size, checked)) {
            ++count;
            fn(packet, size, checked);
        }
        EndBlock();
        return count;
    }
    // The block ConsumeBlock is reading (valid inside its callback).
    size_t CurrentBlock() const { return current_; }
    void Reference(size_t block);
    void Unreference(size_t block);
    // True while packets wait in the ring: a fresh block, or one the kernel is still filling.
    bool Pending() const;
    // Share of the ring (0..1) handed over and not yet read.
    double Backlog() const;
    // Share of the ring (0..1) read but kept for references.
    double Kept() const {
        return blockCount_ == 0 ? 0 : static_cast<double>(keptCount_) / static_cast<double>(blockCount_);
    }
    // Blocks read since Open; the block ConsumeBlock is reading has this number.
    uint64_t ReadCount() const { return read_; }
    // The number of the first block that holds only packets arriving after this call: the blocks
    // handed over but not yet read, and the one the kernel is filling, come before it.
    uint64_t AfterNowMark() const { return read_ + FreshCount() + 1; }
    // Packets the kernel had to drop because the ring was full.
    uint64_t Drops();

private:
    bool BeginBlock();
    bool NextPacket(const uint8_t*& packet, size_t& size, bool& checksumChecked);
    void EndBlock();
    void GiveBack(size_t block);
    size_t FreshCount() const;
    void Unmap();

    int fd_ = -1;
    int epoll_ = -1;  // watches fd_ edge-triggered: one wake-up per block handed over
    uint8_t* map_ = nullptr;
    size_t mapSize_ = 0;
    size_t blockSize_ = 0;
    size_t blockCount_ = 0;
    size_t current_ = 0;          // the block read next
    uint64_t read_ = 0;           // blocks read since Open
    std::vector<uint32_t> refs_;  // per block: references to its packets
    std::vector<uint8_t> kept_;   // per block: read, but kept from the kernel for its references
    size_t keptCount_ = 0;
    // Walk through the current block.
    uint32_t left_ = 0;
    size_t offset_ = 0;
    uint64_t drops_ = 0;
};

}  // namespace Kovon::Pelion
