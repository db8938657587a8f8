#include "gige/pelion/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Kovon::Pelion {

namespace {
sockaddr_in Address(uint32_t ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}
}  // namespace

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool UdpSocket::Open(uint32_t ip, uint16_t port, bool reuse) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) return false;
    if (reuse) {
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in a = Address(ip, port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Close();
        return false;
    }
    return true;
}

void UdpSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t UdpSocket::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

uint32_t UdpSocket::LocalIp() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohl(a.sin_addr.s_addr);
}

bool UdpSocket::SetBroadcast(bool on) {
    int v = on ? 1 : 0;
    return fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0;
}

int UdpSocket::SetReceiveBuffer(int bytes) {
    if (fd_ < 0) return 0;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t len = sizeof granted;
    ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    return granted;
}

ssize_t UdpSocket::SendTo(const void* data, size_t size, uint32_t ip, uint16_t port) {
    if (fd_ < 0) return -1;
    sockaddr_in a = Address(ip, port);
    return ::sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool UdpSocket::WaitReadable(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN) != 0;
}

ssize_t UdpSocket::ReceiveFrom(void* buffer, size_t capacity, uint32_t& ip, uint16_t& port, int timeoutMs) {
    if (fd_ < 0) return -1;
    if (!WaitReadable(timeoutMs)) return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(fd_, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    ip = ntohl(a.sin_addr.s_addr);
    port = ntohs(a.sin_port);
    return n;
}

}  // namespace Kovon::Pelion
