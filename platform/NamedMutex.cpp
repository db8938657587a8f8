#include "platform/NamedMutex.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cerrno>
#include <cstring>

namespace Kovon::Platform {
namespace {

// Every address starts with this prefix, then 'n' + the name itself, or 'h' + the digest text.
constexpr char kPrefix[] = "kovon40/mutex/";

// Fixed namespace of the name digests (any constant value works; it only has to stay the same).
constexpr boost::uuids::uuid kDigestNamespace = {{0x6b, 0x6f, 0x76, 0x6f, 0x6e, 0x34, 0x30, 0x2d, 0x6d,
                                                  0x75, 0x74, 0x65, 0x78, 0x00, 0x00, 0x01}};

std::string AbstractAddress(const std::string& name) {
    std::string address(kPrefix);
    if (name.size() <= NamedMutex::kMaxRawName) {
        address += 'n';
        address += name;
    } else {
        const boost::uuids::name_generator_sha1 digest(kDigestNamespace);
        address += 'h';
        address += boost::uuids::to_string(digest(name.data(), name.size()));
    }
    return address;
}

}  // namespace

static_assert(sizeof(kPrefix) + 1 + NamedMutex::kMaxRawName < sizeof(sockaddr_un::sun_path),
              "a raw name must fit an abstract socket address");

NamedMutex::Result NamedMutex::Create(const std::string& name) {
    if (fd_ >= 0) return Result::Failed;

    const std::string address = AbstractAddress(name);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    // A leading NUL selects the abstract namespace; the address length, not a terminator, ends it.
    sa.sun_path[0] = '\0';
    std::memcpy(sa.sun_path + 1, address.data(), address.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Result::Failed;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), length) != 0) {
        const int error = errno;
        close(fd);
        return error == EADDRINUSE ? Result::AlreadyExists : Result::Failed;
    }
    // The socket only marks the name: refuse datagrams, so that no one can queue data on it.
    shutdown(fd, SHUT_RDWR);
    fd_ = fd;
    return Result::Created;
}

void NamedMutex::Close() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

}  // namespace Kovon::Platform
