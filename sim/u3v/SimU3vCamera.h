#pragma once
// A simulated USB3 Vision camera as a pure device model: its register space (bootstrap maps,
// manifest and description file, the maker's camera registers), GenCP command handling, the
// stream as a sequence of transfers from pre-generated frames, events and fault injection. No
// threads and no waiting: the transport adapter decides when things happen.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "KovonSim/SimU3V.h"

namespace Kovon::Sim {

// Grey value of pixel (x, y) in the frame with the given block id (the frames repeat every
// kSimU3vFrameCount block ids).
constexpr uint32_t kSimU3vFrameCount = 4;
inline uint8_t SimU3vPixel(uint32_t x, uint32_t y, uint64_t blockId) {
    return uint8_t(x + 3 * y + 40 * (blockId % kSimU3vFrameCount));
}

// The description text for a model; padded with a trailing comment to 'size' bytes when that
// is larger than its natural size.
std::string SimU3vDescription(const std::string& model, size_t size);

// A zip archive holding one file; false when libzip fails.
bool SimU3vZip(const std::string& name, const std::string& text, std::vector<uint8_t>& out);

class SimU3vCamera {
public:
    // Register layout of the simulated camera.
    static constexpr uint64_t kSbrmAddress = 0x0400;
    static constexpr uint64_t kSirmAddress = 0x0500;
    static constexpr uint64_t kEirmAddress = 0x0600;
    static constexpr uint64_t kManifestAddress = 0x0800;
    static constexpr uint64_t kFileAddress = 0x100000;
    static constexpr uint32_t kMaxEventTransfer = 512;

    explicit SimU3vCamera(const KovonSimU3VOptions& options);

    // One command in, the acknowledgements the camera sends for it out (none, one, or a
    // PENDING_ACK or a stale one first, as injected).
    void HandleCommand(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& acks);

    bool Streaming() const;
    // The next stream transfer. Returns false when none is ready (not streaming). When the
    // transfer is larger than cap, it is consumed and *overflow is set.
    bool NextStreamTransfer(uint8_t* dst, size_t cap, size_t* got, bool* overflow);

    bool EventsEnabled() const;
    // Returns false (and counts a discarded event) when events are disabled.
    bool MakeEvent(uint16_t eventId, const uint8_t* data, uint16_t length, std::vector<uint8_t>& packet);

    void InjectDropped(uint32_t n) { dropPending_ += n; }
    void InjectFailed(uint32_t n) { failPending_ += n; }
    void InjectIncomplete(uint32_t n) { incompletePending_ += n; }
    void InjectControlFaults(uint32_t pending, uint32_t stale, uint32_t lost) {
        pendingAcks_ += pending;
        staleAcks_ += stale;
        lostAcks_ += lost;
    }
    void Poke(uint64_t address, uint32_t value);
    uint32_t Peek(uint64_t address) const;

    KovonSimU3VCounters Counters() const;
    const std::string& Description() const { return description_; }
    const KovonSimU3VOptions& Options() const { return options_; }

private:
    struct Region {
        uint64_t base;
        std::vector<uint8_t> bytes;
    };
    Region* Find(uint64_t address, size_t length);
    const Region* Find(uint64_t address, size_t length) const;
    bool Writable(uint64_t address, size_t length) const;
    uint16_t Read(uint64_t address, uint16_t length, uint8_t* out) const;
    uint16_t Write(uint64_t address, const uint8_t* data, uint16_t length);
    void Put32(uint64_t address, uint32_t v);
    void Put64(uint64_t address, uint64_t v);
    uint32_t Get32(uint64_t address) const;
    void UpdateGeometry();
    void PrepareFrames();
    void StartBlock();

    KovonSimU3VOptions options_;
    std::string serial_, model_;
    std::string description_;
    std::vector<Region> regions_;
    uint32_t pendingAcks_ = 0, staleAcks_ = 0, lostAcks_ = 0;

    // Stream state.
    std::vector<std::vector<uint8_t>> frames_;
    uint64_t framesPayload_ = 0;
    enum class Phase { kLeader, kPayload, kTrailer } phase_ = Phase::kLeader;
    uint64_t blockId_ = 0;
    uint64_t nextBlockId_ = 1;
    uint64_t offset_ = 0;         // payload bytes sent of the current block
    uint64_t transfer_ = 0;       // payload transfers sent of the current block
    uint64_t cutAt_ = 0;          // payload offset where an incomplete frame stops
    bool failing_ = false, cutting_ = false;
    uint32_t dropPending_ = 0, failPending_ = 0, incompletePending_ = 0;
    uint64_t timestamp_ = 0;
    uint16_t eventRequestId_ = 0;

    KovonSimU3VCounters counters_{};
};

}  // namespace Kovon::Sim
