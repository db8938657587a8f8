// A GenICam port for tests: an Aravis device whose memory reads and writes go to a function, so
// that a register description can be parsed and exercised by an independent GenApi engine
// against any backing store (an in-memory map, a device's parameter calls).
#pragma once

#include <arv.h>

#include <cstdint>
#include <functional>
#include <string>

namespace Kovon::Test {

class GenApiPort {
public:
    // Carries one access of 'size' bytes at 'address'; false makes the engine see a failed
    // transfer.
    using Transfer = std::function<bool(uint64_t address, uint32_t size, void* buffer, bool write)>;

    explicit GenApiPort(Transfer transfer);
    ~GenApiPort();
    GenApiPort(const GenApiPort&) = delete;
    GenApiPort& operator=(const GenApiPort&) = delete;

    // Parses `xml` bound to this port, with range and access checks on; false with the reason
    // in `error` when Aravis refuses it.
    bool Load(const std::string& xml, std::string& error);
    ArvGc* Gc() const { return gc_; }
    ArvGcNode* Node(const char* name) const;

private:
    friend struct GenApiPortAccess;
    Transfer transfer_;
    ArvDevice* device_ = nullptr;
    ArvGc* gc_ = nullptr;
};

}  // namespace Kovon::Test
