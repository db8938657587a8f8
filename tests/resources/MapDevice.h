// A GenICam port bound to an in-memory register map: an Aravis device (GenApiPort) whose memory
// reads and writes land in a byte vector, so that a register description can be parsed and exercised by an
// independent GenApi engine without a camera.
#pragma once

#include <arv.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/GenApiPort.h"

namespace Kovon::Test {

class MapDevice {
public:
    explicit MapDevice(size_t mapSize);
    ~MapDevice();
    MapDevice(const MapDevice&) = delete;
    MapDevice& operator=(const MapDevice&) = delete;

    // Parses `xml` bound to this map; false with the reason in `error` when Aravis refuses it.
    bool Load(const std::string& xml, std::string& error) { return port_.Load(xml, error); }
    ArvGc* Gc() const { return port_.Gc(); }
    ArvGcNode* Node(const char* name) const { return port_.Node(name); }

    std::vector<uint8_t>& Memory() { return memory_; }
    uint32_t U32(uint64_t address, bool bigEndian = false) const;
    float F32(uint64_t address) const;
    void SetU32(uint64_t address, uint32_t value, bool bigEndian = false);
    void SetF32(uint64_t address, float value);
    void SetText(uint64_t address, const std::string& text);
    // Requests that fell outside the map (Aravis was told they failed).
    int OutOfRange() const { return outOfRange_; }

private:
    bool Transfer(uint64_t address, uint32_t size, void* buffer, bool write);

    std::vector<uint8_t> memory_;
    int outOfRange_ = 0;
    GenApiPort port_;
};

}  // namespace Kovon::Test
