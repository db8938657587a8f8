#pragma once
/* Simulated GigE Vision cameras, exported by the module for host programs, tests and demos.
 * Each camera is a real GVCP/GVSP server on its own IPv4 address (a loopback address such as
 * 127.0.0.5, one camera per address) on UDP port 3956. Functions return 0 on success and a
 * negative value on failure: -1 bad argument, -2 the address is taken or cannot be bound. */
#include <stdint.h>

#include "Lumora/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KovonSimGigE KovonSimGigE;

typedef struct KovonSimGigECounters {
    uint64_t commands;          /* control commands answered */
    uint64_t framesSent;
    uint64_t packetsSent;       /* stream packets sent, resent ones included */
    uint64_t packetsDropped;    /* stream packets dropped by injected loss */
    uint64_t resendRequests;    /* packet resend requests received */
    uint64_t packetsResent;
    uint64_t eventsSent;
    uint64_t heartbeatExpiries; /* times a controller lost control by silence */
} KovonSimGigECounters;

/* Plugs a camera at `address` (dotted IPv4 text) with the given model and serial texts and MAC
 * (6 bytes). A null model or serial takes a default; a null MAC is derived from the address. */
KOVON_API int KovonSimGigE_Plug(const char* address, const char* model, const char* serial,
                                const uint8_t* mac, KovonSimGigE** camera);
/* Stops the camera and frees it; the handle is invalid afterwards. */
KOVON_API int KovonSimGigE_Unplug(KovonSimGigE* camera);
/* Drops this fraction (0 to 1) of stream packets. */
KOVON_API int KovonSimGigE_SetPacketLoss(KovonSimGigE* camera, double fraction);
/* 0: the link is down (nothing is answered or sent); 1: up. */
KOVON_API int KovonSimGigE_SetLink(KovonSimGigE* camera, int up);
/* Stream bandwidth in bits per second (default 1000000000); 0: unlimited. */
KOVON_API int KovonSimGigE_SetLinkSpeed(KovonSimGigE* camera, uint64_t bitsPerSecond);
/* How long the camera's long command (self test) runs, in milliseconds (default 300). */
KOVON_API int KovonSimGigE_SetLongCommandDuration(KovonSimGigE* camera, uint32_t milliseconds);
/* Sends an event on the message channel the host opened; -3 when none is open or the link is down. */
KOVON_API int KovonSimGigE_FireEvent(KovonSimGigE* camera, uint16_t eventId, const void* data, uint32_t size);
KOVON_API int KovonSimGigE_GetCounters(KovonSimGigE* camera, KovonSimGigECounters* counters);
/* The camera's current address (host order); it changes after a force-IP. 0 for a null handle. */
KOVON_API uint32_t KovonSimGigE_GetAddress(KovonSimGigE* camera);

#ifdef __cplusplus
}
#endif
