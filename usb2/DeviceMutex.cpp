#include "usb2/DeviceMutex.h"

#ifndef KOVON_USB2_PLATFORM_MUTEX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#endif

namespace Kovon {

#ifdef KOVON_USB2_PLATFORM_MUTEX

DeviceMutex::Result DeviceMutex::Create(const std::string& name) {
    switch (mutex_.Create(name)) {
        case Platform::NamedMutex::Result::Created: return Result::Created;
        case Platform::NamedMutex::Result::AlreadyExists: return Result::AlreadyExists;
        default: return Result::Failed;
    }
}

void DeviceMutex::Close() { mutex_.Close(); }

bool DeviceMutex::IsHeld() const { return mutex_.IsHeld(); }

#else

DeviceMutex::Result DeviceMutex::Create(const std::string& name) {
    if (fd_ >= 0) return Result::Failed;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name (device names are far shorter than the
    // address field; a longer one is refused rather than cut into another name).
    if (name.empty() || name.size() > sizeof(address.sun_path) - 1) return Result::Failed;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Result::Failed;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EADDRINUSE ? Result::AlreadyExists : Result::Failed;
    }
    fd_ = fd;
    return Result::Created;
}

void DeviceMutex::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool DeviceMutex::IsHeld() const { return fd_ >= 0; }

#endif

}  // namespace Kovon
