#include "gige/pelion/Discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/GvcpClient.h"
#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/UdpSocket.h"

namespace Kovon::Pelion {

namespace {

using Clock = std::chrono::steady_clock;

struct Route {
    std::string name;
    uint32_t address = 0;  // host order
    uint32_t mask = 0;
    bool loopback = false;
    uint32_t broadcast = 0;
    UdpSocket socket;
};

std::vector<Route> Routes() {
    std::vector<Route> routes;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return routes;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
        Route r;
        r.name = i->ifa_name != nullptr ? i->ifa_name : "";
        r.address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        r.mask = i->ifa_netmask != nullptr ? ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr) : 0;
        r.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        if (!r.loopback) {
            if ((i->ifa_flags & IFF_BROADCAST) == 0 || i->ifa_broadaddr == nullptr) continue;
            r.broadcast = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
        } else if (r.address != kLoopbackFirst) {
            continue;  // one loopback route is enough
        }
        if (!r.socket.Open(r.address, 0)) continue;
        r.socket.SetBroadcast(true);
        routes.push_back(std::move(r));
    }
    ::freeifaddrs(list);
    return routes;
}

// Sends one packet the ways a camera can hear it.
void SendEverywhere(std::vector<Route>& routes, const uint8_t* packet, size_t size) {
    for (Route& r : routes) {
        if (r.loopback) {
            for (uint32_t k = 0; k < kLoopbackCount; ++k) r.socket.SendTo(packet, size, kLoopbackFirst + k, Gvcp::kPort);
        } else {
            r.socket.SendTo(packet, size, r.broadcast, Gvcp::kPort);
        }
    }
}

// Calls `onAck(route, ack, ip)` for every acknowledgement until the deadline or until it returns true.
template <typename F>
void Collect(std::vector<Route>& routes, Clock::time_point deadline, F onAck) {
    std::vector<pollfd> fds(routes.size());
    uint8_t rx[Gvcp::kMaxPacket + 64];
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return;
        for (size_t i = 0; i < routes.size(); ++i) fds[i] = {routes[i].socket.fd(), POLLIN, 0};
        int waitMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
        if (::poll(fds.data(), fds.size(), waitMs) <= 0) continue;
        for (size_t i = 0; i < routes.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            uint32_t ip = 0;
            uint16_t port = 0;
            ssize_t n = routes[i].socket.ReceiveFrom(rx, sizeof rx, ip, port, 0);
            if (n <= 0) continue;
            auto ack = Gvcp::DecodeAck(rx, static_cast<size_t>(n));
            if (ack && onAck(routes[i], *ack, ip)) return;
        }
    }
}

uint16_t NextRequestId() {
    static std::atomic<uint16_t> id{0x4000};
    uint16_t v = ++id;
    return v == 0 ? ++id : v;
}

void CopyText(char* out, size_t size, const char* text) {
    // Record texts keep their NUL: a text as long as the field loses its last character.
    std::memset(out, 0, size);
    std::memcpy(out, text, strnlen(text, size - 1));
}

}  // namespace

Status DiscoverCameras(DiscoveryBuffer& buffer, uint32_t timeoutMs, bool checkAccess) {
    std::memset(&buffer, 0, sizeof buffer);
    std::vector<Route> routes = Routes();
    if (routes.empty()) return St::Error;
    const uint16_t reqId = NextRequestId();
    uint8_t packet[Gvcp::kHeaderSize];
    size_t size = Gvcp::EncodeDiscoveryCommand(packet, sizeof packet, reqId, true);
    SendEverywhere(routes, packet, size);

    Collect(routes, Clock::now() + std::chrono::milliseconds(timeoutMs), [&](Route& r, const Gvcp::AckPacket& ack, uint32_t) {
        if (ack.ackId != reqId) return false;
        auto info = Gvcp::DecodeDiscoveryAck(ack);
        if (!info) return false;
        for (uint32_t i = 0; i < buffer.count; ++i)
            if (std::memcmp(buffer.records[i].mac, info->mac, 6) == 0) return false;  // heard twice
        CameraRecord& rec = buffer.records[buffer.count];
        for (int k = 0; k < 4; ++k) rec.ip[k] = static_cast<uint8_t>(info->ip >> (24 - 8 * k));
        CopyText(rec.manufacturer, sizeof rec.manufacturer, info->manufacturer);
        CopyText(rec.model, sizeof rec.model, info->model);
        CopyText(rec.deviceVersion, sizeof rec.deviceVersion, info->version);
        rec.hostAddress = htonl(r.address);
        rec.hostMask = htonl(r.mask);
        std::memcpy(rec.mac, info->mac, 6);
        rec.cameraMask = htonl(info->mask);
        rec.cameraGateway = htonl(info->gateway);
        CopyText(rec.hostInterface, sizeof rec.hostInterface, r.name.c_str());
        CopyText(rec.serial, sizeof rec.serial, info->serial);
        CopyText(rec.userName, sizeof rec.userName, info->userName);
        const bool sameSubnet = r.loopback ? (info->ip >> 24) == 127 : (info->ip & r.mask) == (r.address & r.mask);
        rec.accessCode = sameSubnet ? Access::Free : Access::Unreachable;
        return ++buffer.count == kMaxDiscoveredCameras;
    });

    if (checkAccess) {
        for (uint32_t i = 0; i < buffer.count; ++i) {
            CameraRecord& rec = buffer.records[i];
            if (rec.accessCode != Access::Free) continue;
            GvcpClient probe;
            uint32_t ip = (uint32_t{rec.ip[0]} << 24) | (uint32_t{rec.ip[1]} << 16) | (uint32_t{rec.ip[2]} << 8) | rec.ip[3];
            if (!probe.Open(ntohl(rec.hostAddress), ip)) continue;
            probe.SetTimeouts(100, 1);
            uint32_t ccp = 0;
            Status st = probe.ReadRegister(Reg::ControlPrivilege, ccp);
            if (st == St::AccessDenied || (st == St::Ok && ccp != 0)) rec.accessCode = Access::Controlled;
        }
    }
    return St::Ok;
}

Status ForceCameraIp(uint32_t address, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t timeoutMs) {
    static const uint8_t zero[6] = {};
    if (mac == nullptr || std::memcmp(mac, zero, 6) == 0) return St::Error;
    std::vector<Route> routes = Routes();
    if (routes.empty()) return St::Error;
    Gvcp::ForceIpCommand cmd;
    std::memcpy(cmd.mac, mac, 6);
    cmd.ip = address;
    cmd.mask = mask;
    cmd.gateway = gateway;
    const uint16_t reqId = NextRequestId();
    uint8_t packet[Gvcp::kMaxPacket];
    size_t size = Gvcp::EncodeForceIpCommand(packet, sizeof packet, reqId, cmd);
    Status result = St::Timeout;
    for (int attempt = 0; attempt < 3 && result == St::Timeout; ++attempt) {
        SendEverywhere(routes, packet, size);
        Collect(routes, Clock::now() + std::chrono::milliseconds(std::max<uint32_t>(timeoutMs / 3, 50)),
                [&](Route&, const Gvcp::AckPacket& ack, uint32_t) {
                    if (ack.ackId != reqId || ack.answer != Gvcp::Cmd::ForceIpAck) return false;
                    result = ack.status == 0 ? St::Ok : St::Error;
                    return true;
                });
    }
    return result;
}

}  // namespace Kovon::Pelion
