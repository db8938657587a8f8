#pragma once
/* Simulated USB3 Vision cameras. A host program plugs them through this API; the module's USB3
 * Vision library then finds them like cameras on the USB bus. Every function returns 0 on success
 * or a negative status: -1007 no simulated camera with that serial, -1009 invalid argument,
 * -1004 a camera with that serial is already plugged. */
#include <stdint.h>

#include "Lumora/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KovonSimU3VOptions {
    const char* serial;          /* required, 1 to 60 characters */
    const char* model;           /* required, 1 to 60 characters */
    uint32_t width;              /* pixels, default 1280 */
    uint32_t height;             /* lines, default 1024 */
    uint32_t pixelFormat;        /* Mono8 0x01080001 (default) or Mono16 0x01100007 */
    uint32_t deviceLevel;        /* value of register 0x10040, default 8 */
    uint32_t maxTransferSize;    /* value of register 0x80010, default 0x200000 */
    uint32_t maxCommandLength;   /* SBRM, default 1024 */
    uint32_t maxAckLength;       /* SBRM, default 1024 */
    uint32_t descriptionSize;    /* 0: natural size; else the description is padded to this size */
    int32_t zipDescription;      /* non-zero: the manifest holds the description zipped */
    uint32_t alignmentShift;     /* stream payload alignment 2^n bytes, default 0 */
    uint32_t responseTimeMs;     /* ABRM maximum device response time, default 200 */
} KovonSimU3VOptions;

typedef struct KovonSimU3VCounters {
    uint64_t commands;          /* control commands answered */
    uint64_t framesSent;        /* complete frames sent */
    uint64_t framesDropped;     /* block ids skipped by injection */
    uint64_t framesFailed;      /* frames sent with a failed trailer status */
    uint64_t framesIncomplete;  /* frames cut off before their trailer */
    uint64_t eventsSent;
    uint64_t eventsDiscarded;   /* fired while the camera's events were disabled */
    uint64_t nextBlockId;
} KovonSimU3VCounters;

KOVON_API void KovonSimU3V_DefaultOptions(KovonSimU3VOptions* options);
KOVON_API int KovonSimU3V_Plug(const char* serial, const char* model);
KOVON_API int KovonSimU3V_PlugWith(const KovonSimU3VOptions* options);
/* Removal: transfers in progress fail, the removal notice carries the camera's instance id. */
KOVON_API int KovonSimU3V_Unplug(const char* serial);
/* The same removal, also giving the camera's counters as they stood at that moment: every frame
 * it sent is in them, none can follow. */
KOVON_API int KovonSimU3V_UnplugCounted(const char* serial, KovonSimU3VCounters* counters);
KOVON_API int KovonSimU3V_UnplugAll(void);
/* The next count frames: block ids skipped / trailer status 0xA101 / cut off after half the payload. */
KOVON_API int KovonSimU3V_InjectDroppedFrames(const char* serial, uint32_t count);
KOVON_API int KovonSimU3V_InjectFailedFrames(const char* serial, uint32_t count);
KOVON_API int KovonSimU3V_InjectIncompleteFrames(const char* serial, uint32_t count);
/* The next commands: answered after a PENDING_ACK / preceded by a stale acknowledgement / not answered. */
KOVON_API int KovonSimU3V_InjectControlFaults(const char* serial, uint32_t pendingAcks, uint32_t staleAcks,
                                              uint32_t lostAcks);
KOVON_API int KovonSimU3V_FireEvent(const char* serial, uint16_t eventId, const void* data, uint16_t length);
KOVON_API int KovonSimU3V_GetCounters(const char* serial, KovonSimU3VCounters* counters);
/* Direct access to a 4-byte camera register, bypassing access rights (test set-up). */
KOVON_API int KovonSimU3V_PokeRegister(const char* serial, uint64_t address, uint32_t value);
/* Paces the camera's stream as a link that carries bytesPerSecond: a stream transfer of n bytes
 * reaches the reader n / bytesPerSecond after it was asked for, or after the previous transfer
 * arrived, whichever is later. 0 (the default) hands transfers out as fast as they are read. */
KOVON_API int KovonSimU3V_SetStreamRate(const char* serial, uint64_t bytesPerSecond);

#ifdef __cplusplus
}
#endif
