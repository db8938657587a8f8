#include "platform/CameraIndexTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Kovon::Platform {
namespace {

constexpr char kStorageName[] = "kovon40-camera-index";

// Sets (type F_WRLCK), frees (F_UNLCK) or probes (F_OFD_GETLK) the lock of one slot.
bool SlotLock(int fd, int command, short type, std::uint8_t slot, short* conflict = nullptr) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = slot;
    lock.l_len = 1;
    lock.l_pid = 0;  // required to be 0 for open-file-description locks
    if (fcntl(fd, command, &lock) != 0) return false;
    if (conflict != nullptr) *conflict = lock.l_type;
    return true;
}

}  // namespace

CameraIndexTable& CameraIndexTable::Shared() {
    static CameraIndexTable table(DefaultStoragePath());
    return table;
}

std::string CameraIndexTable::DefaultStoragePath() {
    struct stat info {};
    const bool haveShm = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode);
    return std::string(haveShm ? "/dev/shm/" : "/tmp/") + kStorageName;
}

CameraIndexTable::CameraIndexTable(std::string storagePath) : path_(std::move(storagePath)) {}

CameraIndexTable::~CameraIndexTable() {
    // Closing the file description drops every lock it holds.
    if (fd_ >= 0) close(fd_);
}

bool CameraIndexTable::OpenLocked() {
    if (fd_ >= 0) return true;
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    // The umask may have narrowed the mode; widen it so that other users can lock too.
    if (info.st_uid == geteuid() && (info.st_mode & 0666) != 0666) fchmod(fd, 0666);
    fd_ = fd;
    return true;
}

std::uint8_t CameraIndexTable::Claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!OpenLocked()) return 0;
    for (int index = 1; index <= kMaxIndex; ++index) {
        // Our own locks never conflict with our own file description, so skip our indices here.
        if (held_.test(static_cast<std::size_t>(index))) continue;
        if (SlotLock(fd_, F_OFD_SETLK, F_WRLCK, static_cast<std::uint8_t>(index))) {
            held_.set(static_cast<std::size_t>(index));
            return static_cast<std::uint8_t>(index);
        }
        // EAGAIN/EACCES: another holder; anything else is a failure of this slot alone.
    }
    return 0;
}

bool CameraIndexTable::Release(std::uint8_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index == 0 || !held_.test(index) || fd_ < 0) return false;
    SlotLock(fd_, F_OFD_SETLK, F_UNLCK, index);
    held_.reset(index);
    return true;
}

std::bitset<CameraIndexTable::kSlots> CameraIndexTable::InUse() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::bitset<kSlots> used = held_;
    if (!OpenLocked()) return used;
    for (int index = 1; index <= kMaxIndex; ++index) {
        if (used.test(static_cast<std::size_t>(index))) continue;
        short conflict = F_UNLCK;
        if (SlotLock(fd_, F_OFD_GETLK, F_WRLCK, static_cast<std::uint8_t>(index), &conflict) &&
            conflict != F_UNLCK) {
            used.set(static_cast<std::size_t>(index));
        }
    }
    return used;
}

}  // namespace Kovon::Platform
