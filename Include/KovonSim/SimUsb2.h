#pragma once
/* Simulated USB 2.0 cameras of libkovon40.so.
 *
 * A host program (test, benchmark, demonstration) plugs simulated cameras in at driver instances
 * 0 to 63 (ZEDIVOXU-0 ... ZEDIVOXU-63) of its own process; the module then finds them as it finds
 * real cameras, through the same driver seam. This API is the only way simulated cameras appear.
 * All functions are thread-safe and return KOVON_SIM_OK (0) or one of the negative statuses
 * below; nothing is changed when a call fails.
 */
#include <stdint.h>

#include "Lumora/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KOVON_SIM_OK = 0,
    KOVON_SIM_BAD_INSTANCE = -1, /* instance number beyond 63 */
    KOVON_SIM_NO_CAMERA = -2,    /* no simulated camera at that instance */
    KOVON_SIM_OCCUPIED = -3,     /* a camera is plugged in there already */
    KOVON_SIM_BAD_ARGUMENT = -4  /* null pointer or a value out of range */
};

enum { KOVON_SIM_USB2_INSTANCES = 64 };

/* Requests that reached one simulated camera since it was plugged in or its counters reset. */
typedef struct KovonSimUsb2Counters {
    uint64_t opens;              /* handles opened on the camera's driver instance */
    uint64_t descriptorRequests; /* device descriptor requests */
    uint64_t registerRequests;   /* vendor requests (one per 16-bit register word) */
    uint64_t bulkReads;          /* bulk read requests */
} KovonSimUsb2Counters;

/* Everything that went through the module's driver seam since the last reset, whether a camera
 * answered or not: open attempts on all instance names (also those with no camera), successful
 * opens and the control requests by kind. */
typedef struct KovonSimUsb2Traffic {
    uint64_t openAttempts;
    uint64_t opens;
    uint64_t descriptorRequests;
    uint64_t registerRequests;
    uint64_t bulkReads;
    uint64_t aborts;
} KovonSimUsb2Traffic;

/* Plugs in a camera at 'instance' whose serial registers 0x206..0x20A hold serial[0..5] (each
 * register word low byte first: 0x206 = serial[1] << 8 | serial[0]), whose firmware register
 * 0x20C holds 'firmware' and whose device descriptor reports 'usbRelease' as its USB release
 * number (0x0200 for USB 2.0). */
KOVON_API int KovonSimUsb2_Plug(unsigned instance, const unsigned char serial[6], unsigned short firmware,
                                unsigned short usbRelease);
/* Unplugs the camera: open handles fail with error 1167 from now on and blocked reads wake. */
KOVON_API int KovonSimUsb2_Unplug(unsigned instance);
/* Unplugs every simulated camera; returns how many there were. */
KOVON_API int KovonSimUsb2_UnplugAll(void);

/* Faults. */
/* The next 'count' register requests fail with error 31 (the device is not functioning). */
KOVON_API int KovonSimUsb2_FailRequests(unsigned instance, unsigned count);
/* The next 'count' requests (reads or writes) of register 'address' fail with error 31; requests
 * of other registers are answered. The channel tries a request five times before it gives up. */
KOVON_API int KovonSimUsb2_FailRegister(unsigned instance, unsigned short address, unsigned count);
/* While 'disconnected' is non-zero every request fails with error 1167 and opens fail. */
KOVON_API int KovonSimUsb2_SetDisconnected(unsigned instance, int disconnected);
/* The next register request is answered with the echo of the following register's address. */
KOVON_API int KovonSimUsb2_WrongEchoOnNextRequest(unsigned instance);
/* The acquisition busy register 0x45A reads 1 for the next 'reads' reads; 0xFFFFFFFF: never idle. */
KOVON_API int KovonSimUsb2_SetAcquisitionBusyReads(unsigned instance, unsigned reads);
/* After each software trigger (0x460) its busy register 0x46C reads 1 for 'reads' reads. */
KOVON_API int KovonSimUsb2_SetTriggerBusyReads(unsigned instance, unsigned reads);

/* The register file, without side effects and without counting. Addresses are even byte
 * addresses below 0x8000. */
KOVON_API int KovonSimUsb2_PeekRegister(unsigned instance, unsigned short address, unsigned short* value);
KOVON_API int KovonSimUsb2_PokeRegister(unsigned instance, unsigned short address, unsigned short value);
/* 1 while acquisition is started (0x452 written, 0x454 not since), 0 otherwise. */
KOVON_API int KovonSimUsb2_IsAcquiring(unsigned instance, int* acquiring);

/* Puts bytes into the camera's bulk-in pipe as one transfer ending with a short packet. */
KOVON_API int KovonSimUsb2_PushBulk(unsigned instance, const void* data, uint64_t size);

/* Counters. */
KOVON_API int KovonSimUsb2_GetCounters(unsigned instance, KovonSimUsb2Counters* counters);
KOVON_API int KovonSimUsb2_ResetCounters(unsigned instance);
KOVON_API int KovonSimUsb2_GetTraffic(KovonSimUsb2Traffic* traffic);
KOVON_API int KovonSimUsb2_ResetTraffic(void);

#ifdef __cplusplus
}
#endif
