// The exported C API of the simulated USB3 Vision cameras.
#include "KovonSim/SimU3V.h"

#include "Lumora/Status.h"
#include "sim/u3v/SimU3vTransport.h"

using Kovon::Sim::SimU3vBus;
using Kovon::Sim::SimU3vCamera;

namespace {
bool Named(const char* serial) { return serial != nullptr && serial[0] != '\0'; }
}  // namespace

extern "C" {

KOVON_API void KovonSimU3V_DefaultOptions(KovonSimU3VOptions* o) {
    if (o == nullptr) return;
    *o = KovonSimU3VOptions{};
    o->width = 1280;
    o->height = 1024;
    o->pixelFormat = 0x01080001;
    o->deviceLevel = 8;
    o->maxTransferSize = 0x200000;
    o->maxCommandLength = 1024;
    o->maxAckLength = 1024;
    o->responseTimeMs = 200;
}

KOVON_API int KovonSimU3V_Plug(const char* serial, const char* model) {
    KovonSimU3VOptions o;
    KovonSimU3V_DefaultOptions(&o);
    o.serial = serial;
    o.model = model;
    return SimU3vBus::Instance().Plug(o);
}

KOVON_API int KovonSimU3V_PlugWith(const KovonSimU3VOptions* options) {
    if (options == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().Plug(*options);
}

KOVON_API int KovonSimU3V_Unplug(const char* serial) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().Unplug(serial);
}

KOVON_API int KovonSimU3V_UnplugCounted(const char* serial, KovonSimU3VCounters* counters) {
    if (!Named(serial) || counters == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().Unplug(serial, counters);
}

KOVON_API int KovonSimU3V_UnplugAll(void) { return SimU3vBus::Instance().UnplugAll(); }

KOVON_API int KovonSimU3V_InjectDroppedFrames(const char* serial, uint32_t count) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(serial, [&](SimU3vCamera& c) { c.InjectDropped(count); });
}

KOVON_API int KovonSimU3V_InjectFailedFrames(const char* serial, uint32_t count) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(serial, [&](SimU3vCamera& c) { c.InjectFailed(count); });
}

KOVON_API int KovonSimU3V_InjectIncompleteFrames(const char* serial, uint32_t count) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(serial, [&](SimU3vCamera& c) { c.InjectIncomplete(count); });
}

KOVON_API int KovonSimU3V_InjectControlFaults(const char* serial, uint32_t pendingAcks, uint32_t staleAcks,
                                              uint32_t lostAcks) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(
        serial, [&](SimU3vCamera& c) { c.InjectControlFaults(pendingAcks, staleAcks, lostAcks); });
}

KOVON_API int KovonSimU3V_FireEvent(const char* serial, uint16_t eventId, const void* data, uint16_t length) {
    if (!Named(serial) || (length != 0 && data == nullptr)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().FireEvent(serial, eventId, static_cast<const uint8_t*>(data), length);
}

KOVON_API int KovonSimU3V_GetCounters(const char* serial, KovonSimU3VCounters* counters) {
    if (!Named(serial) || counters == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(serial, [&](SimU3vCamera& c) { *counters = c.Counters(); });
}

KOVON_API int KovonSimU3V_PokeRegister(const char* serial, uint64_t address, uint32_t value) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().WithCamera(serial, [&](SimU3vCamera& c) { c.Poke(address, value); });
}

KOVON_API int KovonSimU3V_SetStreamRate(const char* serial, uint64_t bytesPerSecond) {
    if (!Named(serial)) return Lumora::GC_ERR_INVALID_PARAMETER;
    return SimU3vBus::Instance().SetStreamRate(serial, bytesPerSecond);
}

}  // extern "C"
