#include "resources/MapDevice.h"

#include <cstring>

namespace Kovon::Test {

MapDevice::MapDevice(size_t mapSize)
    : memory_(mapSize, 0), port_([this](uint64_t address, uint32_t size, void* buffer, bool write) {
          return Transfer(address, size, buffer, write);
      }) {}

MapDevice::~MapDevice() = default;

bool MapDevice::Transfer(uint64_t address, uint32_t size, void* buffer, bool write) {
    if (address > memory_.size() || size > memory_.size() - address) {
        ++outOfRange_;
        return false;
    }
    if (write)
        std::memcpy(memory_.data() + address, buffer, size);
    else
        std::memcpy(buffer, memory_.data() + address, size);
    return true;
}

uint32_t MapDevice::U32(uint64_t address, bool bigEndian) const {
    const uint8_t* p = memory_.data() + address;
    return bigEndian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                     : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

float MapDevice::F32(uint64_t address) const {
    const uint32_t bits = U32(address);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void MapDevice::SetU32(uint64_t address, uint32_t value, bool bigEndian) {
    uint8_t* p = memory_.data() + address;
    for (int i = 0; i < 4; ++i) p[bigEndian ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

void MapDevice::SetF32(uint64_t address, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    SetU32(address, bits);
}

void MapDevice::SetText(uint64_t address, const std::string& text) {
    std::memcpy(memory_.data() + address, text.c_str(), text.size() + 1);
}

}  // namespace Kovon::Test
