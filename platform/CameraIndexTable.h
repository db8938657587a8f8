#pragma once
// The camera-index table shared by every process of the machine that loads the module: indices
// 1 to 255 (one per opened GigE Vision camera), 0 meaning none.
//
// Storage: 256 one-byte slots kept as byte-range locks on one file, not as bytes. Slot i is held
// while some open file description holds an open-file-description (OFD) write lock on byte i of
// the file; index i is slot i (slot 0 is never handed out). The kernel arbitrates the locks, so:
//   - claiming is atomic across processes: two claimers can never hold the same slot, even when
//     they claim at the same moment;
//   - a slot is freed by Release, by destroying the table object, and by the death of its process
//     in any way (the kernel drops the locks when the process's files close), so no slot stays
//     taken after a crash;
//   - the file holds no data: there is nothing shared that a faulty process could corrupt, and
//     no process ids that could be reused.
// The file lives in /dev/shm (or /tmp where that is missing), is created with mode 0666 so that
// every user's processes share one table, and is never removed.
//
// Two table objects of the same storage path are as separate as two processes; one object never
// hands out an index twice. A child made by fork() without exec shares its parent's slots (the
// lock belongs to the inherited file description) and must not release them; the file is
// close-on-exec.
//
// Thread-safety: every operation may be called from any number of threads at once.
#include <bitset>
#include <cstdint>
#include <mutex>
#include <string>

namespace Kovon::Platform {

class CameraIndexTable {
public:
    static constexpr int kSlots = 256;
    static constexpr std::uint8_t kMaxIndex = 255;

    // The table of the module, shared with every other process.
    static CameraIndexTable& Shared();

    // A table stored at 'storagePath' (tests use a file of their own). The file is opened lazily
    // at the first operation, and again later if that failed.
    explicit CameraIndexTable(std::string storagePath);
    // Releases every index claimed through this object.
    ~CameraIndexTable();
    CameraIndexTable(const CameraIndexTable&) = delete;
    CameraIndexTable& operator=(const CameraIndexTable&) = delete;

    // Claims the lowest index that no one holds and returns it (1..255); 0 when all are taken or
    // the storage cannot be opened.
    std::uint8_t Claim();
    // Frees an index claimed through this object. False (and nothing changes) for an index this
    // object does not hold, including 0.
    bool Release(std::uint8_t index);
    // Bit i is set while index i is held by anyone (this object included); bit 0 is never set.
    // A snapshot: other processes may claim or release right after it is taken.
    std::bitset<kSlots> InUse();

    // Storage path of Shared(): /dev/shm/kovon40-camera-index, or the same name in /tmp.
    static std::string DefaultStoragePath();

private:
    bool OpenLocked();

    const std::string path_;
    std::mutex mutex_;  // guards fd_ and held_
    int fd_ = -1;
    std::bitset<kSlots> held_;  // indices claimed through this object
};

}  // namespace Kovon::Platform
