#pragma once
// Finding cameras: DISCOVERY_CMD to the broadcast address of every IPv4 interface, and directly
// to the loopback addresses 127.0.0.1 to 127.0.0.32, since loopback has no broadcast and
// simulated cameras live there, one per address. FORCEIP_CMD travels the same ways.
#include <cstdint>

#include "gige/pelion/Records.h"
#include "gige/pelion/Status.h"

namespace Kovon::Pelion {

constexpr uint32_t kLoopbackFirst = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kLoopbackCount = 32;          // up to 127.0.0.32

// Fills `buffer` with up to 20 cameras that answer within timeoutMs. When `checkAccess` is set,
// each reachable camera's control register is read to fill its access code.
Status DiscoverCameras(DiscoveryBuffer& buffer, uint32_t timeoutMs, bool checkAccess);

// Sends FORCEIP for `mac` (addresses host order, first octet high) and waits for the answer.
Status ForceCameraIp(uint32_t address, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t timeoutMs);

}  // namespace Kovon::Pelion
