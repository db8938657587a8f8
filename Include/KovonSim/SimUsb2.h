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
 * number (0x0200 for USB 2.0). The serial's model decides whether the sensor is monochrome or
 * colour. The image registers start at 640 x 480 Mono8, 1 ms exposure (39300 ticks), no gain, unit ratios. */
KOVON_API int KovonSimUsb2_Plug(unsigned instance, const unsigned char serial[6], unsigned short firmware,
                                unsigned short usbRelease);
/* Unplugs the camera: open handles fail with error 1167 from now on, blocked reads wake and the
 * frame generator stops. */
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

/* The frame generator.
 *
 * Every plugged camera has one. While the camera acquires (0x452 written, 0x454 not since) it
 * sends frames of the camera's present image registers into the bulk pipe as one continuous byte
 * stream: width 0x434 (doubled on the wire under horizontal binning, 0x43C high byte 1), height
 * 0x436, pixel format code 0x43E, exposure ticks 0x482/0x484, gain 0x408, balance ratios
 * 0x324/0x326/0x328. Monochrome models send a diagonal ramp, colour models BayerBG data with a
 * colour cast (red 0.8, green 1.0, blue 1.25 before the balance ratios); the mean level follows
 * exposure x gain (10 ms at 39.3 MHz without gain: mean 100 in 8-bit scale). Firmware above
 * 0.0.5.0 writes the frame marker 0xAA55 into the least significant bits of the first 16 pixels.
 * After each frame the frame counter 0x3E0 advances and, unless latched through 0x3C6, the
 * statistics registers take the frame's values (0x3E2 sum and 0x3E6 count of the pixels in 8-bit
 * scale; 0x3D0 green, 0x3D4 red, 0x3D8 blue sums and 0x3DC count of the 2x2 cells). Frames come
 * in KOVON_SIM_USB2_FRAME_PHASES phases, the chart moving from one to the next; the first frame
 * after an acquisition start is phase 0.
 *
 * Free-running, frames leave at the configured rate (100 frames/s after plugging; 0: as fast as
 * the host reads them); at most two frames wait in the pipe, and a frame that finds no room is
 * dropped. In trigger mode (0x462 not 0) each software trigger (0x460) or line trigger sends one
 * frame. An acquisition start empties the pipe. */
enum { KOVON_SIM_USB2_FRAME_PHASES = 4 };

typedef struct KovonSimUsb2Frames {
    uint64_t sent;    /* frames put into the pipe */
    uint64_t dropped; /* free-running frames that found the pipe full */
    uint64_t lost;    /* bytes removed by KovonSimUsb2_LoseBytes */
} KovonSimUsb2Frames;

/* Frames per second of the free-running camera; 0: as fast as the host reads. */
KOVON_API int KovonSimUsb2_SetFrameRate(unsigned instance, double framesPerSecond);
/* A pulse on the camera's trigger line: one frame in trigger mode. */
KOVON_API int KovonSimUsb2_Trigger(unsigned instance);
/* Copies the frame of 'phase' (modulo KOVON_SIM_USB2_FRAME_PHASES) as the camera sends it with its
 * present settings. *size holds the buffer's size and receives the frame's; a null buffer asks for
 * the size; a buffer too small is refused (nothing copied). KOVON_SIM_NO_CAMERA also when the
 * settings make no frame. */
KOVON_API int KovonSimUsb2_GetFrame(unsigned instance, unsigned phase, void* buffer, uint64_t* size);
KOVON_API int KovonSimUsb2_GetFrames(unsigned instance, KovonSimUsb2Frames* frames);

/* Stream faults. */
/* The next 'count' bytes of the frame stream never arrive (taken from the start of the next
 * frame): from then on every frame boundary is out of place until the camera is started again. */
KOVON_API int KovonSimUsb2_LoseBytes(unsigned instance, uint64_t count);
/* The bulk pipe stalls: every bulk read fails with error 31 until the pipe is aborted. */
KOVON_API int KovonSimUsb2_StallPipe(unsigned instance);
/* While 'ignore' is non-zero the camera ignores software and line triggers. */
KOVON_API int KovonSimUsb2_IgnoreTriggers(unsigned instance, int ignore);

/* Counters. */
KOVON_API int KovonSimUsb2_GetCounters(unsigned instance, KovonSimUsb2Counters* counters);
KOVON_API int KovonSimUsb2_ResetCounters(unsigned instance);
KOVON_API int KovonSimUsb2_GetTraffic(KovonSimUsb2Traffic* traffic);
KOVON_API int KovonSimUsb2_ResetTraffic(void);

#ifdef __cplusplus
}
#endif
