#pragma once
// A camera object of the host interfaces that serves a GenApi description and a register map
// from memory, so that the feature layer of kovon-grab can be exercised without the module.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"

namespace KovonGrabTest {

class FakeCamera : public Lumora::IDevice {
public:
    static constexpr uint64_t kDescriptionAddress = 0x10000;

    FakeCamera(std::string location, std::string description, size_t memorySize = 0x400)
        : location_(std::move(location)), description_(std::move(description)), memory_(memorySize, 0) {}

    std::vector<uint8_t>& Memory() { return memory_; }
    uint32_t U32(size_t at) const {
        uint32_t v;
        std::memcpy(&v, memory_.data() + at, 4);
        return v;
    }
    void SetU32(size_t at, uint32_t v) { std::memcpy(memory_.data() + at, &v, 4); }
    float F32(size_t at) const {
        float v;
        std::memcpy(&v, memory_.data() + at, 4);
        return v;
    }
    // Every register access fails with this status from now on (0: none fails).
    void FailRegistersWith(int status) { failWith_ = status; }
    // Only accesses of 4, 8, 16, 32 or 64 bytes are served; others are refused with -1009.
    void OnlyRegisterSizes(bool only) { onlyRegisterSizes_ = only; }
    int Accesses() const { return accesses_; }
    int Writes() const { return writes_; }

    int GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) override {
        if (id != 8) return Lumora::GC_ERR_NOT_IMPLEMENTED;
        if (buffer == nullptr) {
            size = location_.size() + 1;
            return 0;
        }
        if (size < location_.size() + 1) return Lumora::GC_ERR_INVALID_PARAMETER;
        std::memcpy(buffer, location_.c_str(), location_.size() + 1);
        size = location_.size() + 1;
        return 0;
    }
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override {
        if (id == kDescriptionAddress) {
            if (size < description_.size()) return Lumora::GC_ERR_INVALID_PARAMETER;
            std::memcpy(buffer, description_.data(), description_.size());
            size = description_.size();
            return 0;
        }
        return Register(id, buffer, size, false);
    }
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override {
        return Register(id, buffer, size, true);
    }

    int GetNumStreams(unsigned& count) override {
        count = 0;
        return 0;
    }
    int GetStreamName(unsigned, char*, Lumora::u64&) override { return Lumora::GC_ERR_INVALID_PARAMETER; }
    int GetStream(unsigned, Lumora::IStream*&) override { return Lumora::GC_ERR_INVALID_PARAMETER; }
    int OpenStream(unsigned index, Lumora::IStream*& out) override {
        if (index != 0 || stream_ == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
        out = stream_;
        return 0;
    }
    // The stream OpenStream(0) hands out; the test owns it.
    void SetStream(Lumora::IStream* stream) { stream_ = stream; }
    int SetValue(Lumora::u64, void*, Lumora::u64&) override { return Lumora::GC_ERR_NOT_IMPLEMENTED; }
    int GetValue(Lumora::u64, void*, Lumora::u64&) override { return Lumora::GC_ERR_NOT_IMPLEMENTED; }
    int RegisterEventCallBack(Lumora::EventCallBack, void*) override { return 0; }
    unsigned Release() override { return 0; }
    unsigned Share() override { return 0; }

private:
    int Register(Lumora::u64 id, void* buffer, Lumora::u64& size, bool write) {
        ++accesses_;
        if (failWith_ != 0) return failWith_;
        if (onlyRegisterSizes_ && size != 4 && size != 8 && size != 16 && size != 32 && size != 64)
            return Lumora::GC_ERR_INVALID_PARAMETER;
        if (buffer == nullptr || id > memory_.size() || size > memory_.size() - id)
            return Lumora::GC_ERR_INVALID_PARAMETER;
        if (write) {
            ++writes_;
            std::memcpy(memory_.data() + id, buffer, size);
        } else {
            std::memcpy(buffer, memory_.data() + id, size);
        }
        return 0;
    }

    Lumora::IStream* stream_ = nullptr;
    std::string location_;
    std::string description_;
    std::vector<uint8_t> memory_;
    int failWith_ = 0;
    bool onlyRegisterSizes_ = false;
    int accesses_ = 0;
    int writes_ = 0;
};

}  // namespace KovonGrabTest
