#include "gige/pelion/PacketRing.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "gige/pelion/ByteCodec.h"

namespace Kovon::Pelion {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;
constexpr size_t kMaxBlocks = 64;    // a reader keeps which blocks it references in 64 bits
constexpr size_t kFrameSize = 2048;  // the ring's accounting unit; packets may be longer in TPACKET_V3
constexpr unsigned kRetireMs = 2;    // a partly filled block is handed over after this long
constexpr uint8_t kProtocolUdp = 17;

// The interface that holds `ip` (exactly, else by subnet); 0 (every interface) when none does.
unsigned InterfaceFor(uint32_t ip) {
    if (ip == 0) return 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    unsigned exact = 0, subnet = 0;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_netmask == nullptr)
            continue;
        const uint32_t addr = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
        if (addr == ip && exact == 0) exact = ::if_nametoindex(a->ifa_name);
        if ((addr & mask) == (ip & mask) && subnet == 0) subnet = ::if_nametoindex(a->ifa_name);
    }
    ::freeifaddrs(list);
    return exact != 0 ? exact : subnet;
}

// Classic BPF over the IP header (the socket delivers from the network header on): UDP, unfragmented,
// from sourceIp, to destinationIp (unless 0) and port.
std::vector<sock_filter> FlowFilter(uint32_t sourceIp, uint32_t destinationIp, uint16_t port) {
    std::vector<sock_filter> f;
    std::vector<size_t> toDrop;  // conditional jumps whose false branch drops
    auto checkEq = [&](uint32_t k) {
        toDrop.push_back(f.size());
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, 0, 0));
    };
    f.push_back(BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9));  // protocol
    checkEq(kProtocolUdp);
    f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 12));  // source address
    checkEq(sourceIp);
    if (destinationIp != 0) {
        f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16));
        checkEq(destinationIp);
    }
    f.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6));  // flags and fragment offset
    const size_t fragmentJump = f.size();
    f.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 0, 0));  // more fragments or an offset: drop
    f.push_back(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));              // X = IP header length
    f.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2));               // UDP destination port
    checkEq(port);
    f.push_back(BPF_STMT(BPF_RET | BPF_K, 0x40000));  // keep the whole packet
    const size_t drop = f.size();
    f.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (size_t i : toDrop) f[i].jf = static_cast<uint8_t>(drop - i - 1);
    f[fragmentJump].jt = static_cast<uint8_t>(drop - fragmentJump - 1);
    return f;
}

}  // namespace

std::optional<UdpDatagram> ParseUdpDatagram(const uint8_t* packet, size_t size) {
    ByteReader r(packet, size);
    const uint8_t versionIhl = r.U8();
    r.U8();
    const uint16_t totalLength = r.U16();
    r.U16();
    const uint16_t fragment = r.U16();
    r.U8();
    const uint8_t protocol = r.U8();
    r.U16();
    UdpDatagram d;
    d.sourceIp = r.U32();
    d.destinationIp = r.U32();
    if (!r.ok() || (versionIhl >> 4) != 4) return std::nullopt;
    const size_t headerLength = size_t{versionIhl & 0x0Fu} * 4;
    if (headerLength < 20 || totalLength < headerLength + 8 || totalLength > size) return std::nullopt;
    if ((fragment & 0x3FFF) != 0 || protocol != kProtocolUdp) return std::nullopt;
    ByteReader u(packet + headerLength, totalLength - headerLength);
    d.sourcePort = u.U16();
    d.destinationPort = u.U16();
    const uint16_t udpLength = u.U16();
    u.U16();
    if (!u.ok() || udpLength < 8 || udpLength > totalLength - headerLength) return std::nullopt;
    d.payload = packet + headerLength + 8;
    d.payloadSize = udpLength - 8u;
    return d;
}

namespace {

// The one's complement sum of n bytes taken as 16-bit big-endian words (a last odd byte padded
// with zero), folded to 16 bits. Adds 8 bytes at a time in host order: a one's complement sum
// does not depend on byte order except for a swap at the end, and carries gather in the upper
// half of a 64-bit sum of 32-bit words (which cannot overflow for any datagram size).
uint32_t OnesComplementSum(const uint8_t* p, size_t n) {
    uint64_t sum = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        sum += (w & 0xFFFFFFFFu) + (w >> 32);
    }
    for (; n >= 2; p += 2, n -= 2) {
        uint16_t w;
        std::memcpy(&w, p, sizeof w);
        sum += w;
    }
    if (n != 0) {
        const uint8_t last[2] = {p[0], 0};
        uint16_t w;
        std::memcpy(&w, last, sizeof w);
        sum += w;
    }
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    sum = ((sum & 0xFF) << 8) | (sum >> 8);
#endif
    return static_cast<uint32_t>(sum);
}

}  // namespace

bool UdpChecksumValid(const uint8_t* packet, size_t size) {
    auto d = ParseUdpDatagram(packet, size);
    if (!d) return false;
    const uint8_t* udp = d->payload - 8;
    const size_t length = d->payloadSize + 8;
    if (udp[6] == 0 && udp[7] == 0) return true;  // the sender computed none
    // Over the pseudo header (addresses, protocol, length) and the datagram.
    uint64_t sum = (d->sourceIp >> 16) + (d->sourceIp & 0xFFFF) + (d->destinationIp >> 16) +
                   (d->destinationIp & 0xFFFF) + kProtocolUdp + length + OnesComplementSum(udp, length);
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

bool PacketRing::Open(uint32_t sourceIp, uint32_t destinationIp, uint16_t port, size_t bytes) {
    Close();
    Unmap();
    // Protocol 0: nothing arrives before the filter and the ring are in place and the socket is bound.
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    auto fail = [this] {
        Close();
        return false;
    };
    std::vector<sock_filter> code = FlowFilter(sourceIp, destinationIp, port);
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) return fail();
    int version = TPACKET_V3;
    if (::setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return fail();

    blockSize_ = kBlockSize;
    blockCount_ = std::clamp<size_t>((bytes + kBlockSize - 1) / kBlockSize, 4, kMaxBlocks);
    tpacket_req3 req{};
    req.tp_block_size = static_cast<unsigned>(blockSize_);
    req.tp_block_nr = static_cast<unsigned>(blockCount_);
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = static_cast<unsigned>(blockSize_ / kFrameSize * blockCount_);
    req.tp_retire_blk_tov = kRetireMs;
    if (::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return fail();
    mapSize_ = blockSize_ * blockCount_;
    void* map = ::mmap(nullptr, mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        mapSize_ = 0;
        return fail();
    }
    map_ = static_cast<uint8_t*>(map);

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_IP);
    address.sll_ifindex = static_cast<int>(InterfaceFor(destinationIp));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail();
    // The kernel signals the socket when it hands a block over (filled or timed out); an
    // edge-triggered watch turns each signal into one wake-up. The kernel moves on to its next
    // block under the queue lock that its poll takes too, so a signal is never judged against
    // the block before.
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLERR | EPOLLET;
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &watch) != 0) return fail();
    current_ = 0;
    read_ = 0;
    left_ = 0;
    drops_ = 0;
    refs_.assign(blockCount_, 0);
    kept_.assign(blockCount_, 0);
    keptCount_ = 0;
    return true;
}

void PacketRing::Close() {
    if (epoll_ >= 0) ::close(epoll_);
    epoll_ = -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void PacketRing::Unmap() {
    Close();
    if (map_ != nullptr) ::munmap(map_, mapSize_);
    map_ = nullptr;
    mapSize_ = 0;
    blockCount_ = 0;
    refs_.clear();
    kept_.clear();
    keptCount_ = 0;
}

namespace {
tpacket_block_desc* Block(uint8_t* map, size_t blockSize, size_t index) {
    return reinterpret_cast<tpacket_block_desc*>(map + index * blockSize);
}
bool Ready(const tpacket_block_desc* block) {
    return (__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0;
}
}  // namespace

bool PacketRing::Wait(int timeoutMs) {
    if (epoll_ < 0) return false;
    epoll_event event{};
    int n;
    while ((n = ::epoll_wait(epoll_, &event, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

bool PacketRing::Fresh() const {
    return blockCount_ != 0 && kept_[current_] == 0 && Ready(Block(map_, blockSize_, current_));
}

bool PacketRing::Pending() const {
    if (fd_ < 0 || kept_[current_] != 0) return false;
    const tpacket_block_desc* b = Block(map_, blockSize_, current_);
    return Ready(b) || __atomic_load_n(&b->hdr.bh1.num_pkts, __ATOMIC_RELAXED) != 0;
}

size_t PacketRing::FreshCount() const {
    size_t fresh = 0;
    while (fresh < blockCount_) {
        const size_t b = (current_ + fresh) % blockCount_;
        if (kept_[b] != 0 || !Ready(Block(map_, blockSize_, b))) break;
        ++fresh;
    }
    return fresh;
}

double PacketRing::Backlog() const {
    if (blockCount_ == 0) return 0;
    return static_cast<double>(FreshCount()) / static_cast<double>(blockCount_);
}

void PacketRing::Reference(size_t block) {
    if (block < refs_.size()) ++refs_[block];
}

void PacketRing::Unreference(size_t block) {
    if (block >= refs_.size() || refs_[block] == 0) return;
    if (--refs_[block] == 0 && kept_[block] != 0) {
        kept_[block] = 0;
        --keptCount_;
        GiveBack(block);
    }
}

void PacketRing::GiveBack(size_t block) {
    __atomic_store_n(&Block(map_, blockSize_, block)->hdr.bh1.block_status, TP_STATUS_KERNEL,
                     __ATOMIC_RELEASE);
}

bool PacketRing::BeginBlock() {
    if (!Fresh()) return false;
    const tpacket_block_desc* b = Block(map_, blockSize_, current_);
    left_ = b->hdr.bh1.num_pkts;
    offset_ = b->hdr.bh1.offset_to_first_pkt;
    return true;
}

bool PacketRing::NextPacket(const uint8_t*& packet, size_t& size, bool& checksumChecked) {
    // The kernel lays the block out, but its offsets are still checked against the block's bounds.
    while (left_ != 0) {
        if (offset_ < sizeof(tpacket_block_desc) || offset_ + sizeof(tpacket3_hdr) > blockSize_) {
            left_ = 0;
            return false;
        }
        uint8_t* block = map_ + current_ * blockSize_;
        const auto* h = reinterpret_cast<const tpacket3_hdr*>(block + offset_);
        --left_;
        const size_t start = offset_ + h->tp_net;
        const size_t next = h->tp_next_offset;
        const bool whole = h->tp_snaplen == h->tp_len && start + h->tp_snaplen <= blockSize_;
        if (next == 0) left_ = 0;
        offset_ += next;
        // The kernel wrote the packets on another CPU, most likely: start fetching the headers of
        // the next one and of the one four ahead while this one is handled (the packets of a
        // stream are mostly of one size, so the stride repeats; the ones in between were asked
        // for on the previous calls).
        if (left_ != 0 && offset_ + 128 <= blockSize_) {
            __builtin_prefetch(block + offset_);
            __builtin_prefetch(block + offset_ + 64);
            if (offset_ + 3 * next + 128 <= blockSize_) {
                __builtin_prefetch(block + offset_ + 3 * next);
                __builtin_prefetch(block + offset_ + 3 * next + 64);
            }
        }
        if (!whole) continue;  // truncated by the ring: useless
        packet = block + start;
        size = h->tp_snaplen;
        checksumChecked = (h->tp_status & (TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY)) != 0;
        return true;
    }
    return false;
}

void PacketRing::EndBlock() {
    if (refs_[current_] == 0) {
        GiveBack(current_);
    } else {
        kept_[current_] = 1;
        ++keptCount_;
    }
    current_ = (current_ + 1) % blockCount_;
    ++read_;
    left_ = 0;
}

uint64_t PacketRing::Drops() {
    if (fd_ < 0) return drops_;
    tpacket_stats_v3 s{};
    socklen_t len = sizeof s;
    if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &s, &len) == 0) drops_ += s.tp_drops;
    return drops_;
}

}  // namespace Kovon::Pelion
