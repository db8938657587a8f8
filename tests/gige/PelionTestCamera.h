#pragma once
// A simulated camera on its own loopback address for library tests, and the connection record
// that reaches it. Each test uses its own address so that tests can run in parallel.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "gige/pelion/Pelion.h"
#include "sim/gige/GigECameraServer.h"

namespace PelionTest {

inline uint32_t Loopback(uint8_t last) { return 0x7F000000u | last; }

inline Kovon::Sim::GigECameraIdentity Identity(uint8_t last, const std::string& serial) {
    Kovon::Sim::GigECameraIdentity id;
    id.ip = Loopback(last);
    id.serial = serial;
    id.mac[5] = last;
    id.mac[4] = 0x77;
    return id;
}

inline Kovon::Pelion::ConnectionRecord Connection(uint32_t cameraIp) {
    Kovon::Pelion::ConnectionRecord c{};
    for (int i = 0; i < 4; ++i) c.cameraIp[i] = static_cast<uint8_t>(cameraIp >> (24 - 8 * i));
    c.hostAddress = htonl(0x7F000001);
    c.hostMask = htonl(0xFF000000);
    std::strcpy(c.hostInterface, "lo");
    return c;
}

// Polls `condition` every 10 ms, at most `tries` times (never a time limit on the test itself).
template <typename F>
bool Eventually(F condition, int tries = 500) {
    for (int i = 0; i < tries; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace PelionTest
