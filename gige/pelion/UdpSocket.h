#pragma once
// A small owning wrapper over one IPv4 UDP socket. Addresses are host order.
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace Kovon::Pelion {

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket() { Close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UdpSocket& operator=(UdpSocket&& other) noexcept;

    // Binds to ip:port (port 0: any). `reuse` sets SO_REUSEADDR.
    bool Open(uint32_t ip, uint16_t port, bool reuse = false);
    void Close();
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint16_t LocalPort() const;
    uint32_t LocalIp() const;

    bool SetBroadcast(bool on);
    // Asks for at least `bytes` of receive buffer (forcing it past the system limit where allowed);
    // returns what the kernel granted.
    int SetReceiveBuffer(int bytes);

    ssize_t SendTo(const void* data, size_t size, uint32_t ip, uint16_t port);
    // Waits up to timeoutMs (0: poll once) for one datagram. Returns its size, 0 on time-out, -1 on error.
    ssize_t ReceiveFrom(void* buffer, size_t capacity, uint32_t& ip, uint16_t& port, int timeoutMs);
    // Waits until the socket is readable; true when it is.
    bool WaitReadable(int timeoutMs);

private:
    int fd_ = -1;
};

}  // namespace Kovon::Pelion
