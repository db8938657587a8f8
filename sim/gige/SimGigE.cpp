// The exported C API of the simulated GigE Vision camera.
#include "KovonSim/SimGigE.h"

#include <arpa/inet.h>

#include <memory>
#include <new>

#include "sim/gige/GigECameraServer.h"

struct KovonSimGigE {
    explicit KovonSimGigE(Kovon::Sim::GigECameraIdentity identity) : server(std::move(identity)) {}
    Kovon::Sim::GigECameraServer server;
};

extern "C" {

KOVON_API int KovonSimGigE_Plug(const char* address, const char* model, const char* serial, const uint8_t* mac,
                                KovonSimGigE** camera) {
    if (camera == nullptr) return -1;
    *camera = nullptr;
    in_addr a{};
    if (address == nullptr || inet_pton(AF_INET, address, &a) != 1) return -1;
    Kovon::Sim::GigECameraIdentity id;
    id.ip = ntohl(a.s_addr);
    id.mask = (id.ip >> 24) == 127 ? 0xFF000000u : 0xFFFFFF00u;
    if (model != nullptr) id.model = model;
    if (serial != nullptr) id.serial = serial;
    if (mac != nullptr) {
        for (int i = 0; i < 6; ++i) id.mac[i] = mac[i];
    } else {
        id.mac[2] = static_cast<uint8_t>(id.ip >> 24);
        id.mac[3] = static_cast<uint8_t>(id.ip >> 16);
        id.mac[4] = static_cast<uint8_t>(id.ip >> 8);
        id.mac[5] = static_cast<uint8_t>(id.ip);
    }
    auto cam = std::unique_ptr<KovonSimGigE>(new (std::nothrow) KovonSimGigE(std::move(id)));
    if (!cam) return -1;
    if (!cam->server.Start()) return -2;
    *camera = cam.release();
    return 0;
}

KOVON_API int KovonSimGigE_Unplug(KovonSimGigE* camera) {
    if (camera == nullptr) return -1;
    delete camera;
    return 0;
}

KOVON_API int KovonSimGigE_SetPacketLoss(KovonSimGigE* camera, double fraction) {
    if (camera == nullptr || !(fraction >= 0.0 && fraction <= 1.0)) return -1;
    camera->server.SetPacketLoss(fraction);
    return 0;
}

KOVON_API int KovonSimGigE_SetLink(KovonSimGigE* camera, int up) {
    if (camera == nullptr) return -1;
    camera->server.SetLinkUp(up != 0);
    return 0;
}

KOVON_API int KovonSimGigE_SetLinkSpeed(KovonSimGigE* camera, uint64_t bitsPerSecond) {
    if (camera == nullptr) return -1;
    camera->server.SetLinkSpeed(bitsPerSecond);
    return 0;
}

KOVON_API int KovonSimGigE_SetLongCommandDuration(KovonSimGigE* camera, uint32_t milliseconds) {
    if (camera == nullptr) return -1;
    camera->server.SetLongCommandDuration(milliseconds);
    return 0;
}

KOVON_API int KovonSimGigE_FireEvent(KovonSimGigE* camera, uint16_t eventId, const void* data, uint32_t size) {
    if (camera == nullptr || (size != 0 && data == nullptr)) return -1;
    return camera->server.FireEvent(eventId, static_cast<const uint8_t*>(data), size) ? 0 : -3;
}

KOVON_API int KovonSimGigE_GetCounters(KovonSimGigE* camera, KovonSimGigECounters* counters) {
    if (camera == nullptr || counters == nullptr) return -1;
    auto c = camera->server.Counters();
    counters->commands = c.commands;
    counters->framesSent = c.framesSent;
    counters->packetsSent = c.packetsSent;
    counters->packetsDropped = c.packetsDropped;
    counters->resendRequests = c.resendRequests;
    counters->packetsResent = c.packetsResent;
    counters->eventsSent = c.eventsSent;
    counters->heartbeatExpiries = c.heartbeatExpiries;
    return 0;
}

KOVON_API uint32_t KovonSimGigE_GetAddress(KovonSimGigE* camera) {
    return camera != nullptr ? camera->server.Ip() : 0;
}

}  // extern "C"
