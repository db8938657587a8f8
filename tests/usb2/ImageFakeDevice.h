#pragma once
// A stand-in for the USB 2.0 device's parameter map, for the image-path tests: a cache of 4-byte
// values per map address, a "camera" side that GetParam reads from, and a log of every write.
// Addresses can be made to fail their camera read the way the device does (status 0, nothing
// copied).
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "usb2/image/MsClock.h"
#include "usb2/image/ParamAccess.h"

namespace Kovon::Usb2Image::Testing {

class FakeUsbDevice : public IUsbParamAccess {
public:
    using Word = std::array<std::uint8_t, 4>;
    struct Write {
        std::uint64_t address;
        Word value;
        bool toCamera;  // SetParam (cache and camera) rather than SetValue (cache only)
        std::uint32_t U32() const { return FromWord<std::uint32_t>(value); }
        float Float() const { return FromWord<float>(value); }
    };

    template <class T>
    static Word ToWord(T v) {
        static_assert(sizeof(T) == 4);
        Word w;
        std::memcpy(w.data(), &v, 4);
        return w;
    }
    template <class T>
    static T FromWord(const Word& w) {
        T v;
        std::memcpy(&v, w.data(), 4);
        return v;
    }

    // The value GetValue answers with.
    template <class T>
    void Cache(std::uint64_t address, T v) {
        cache_[address] = ToWord(v);
    }
    // The value a camera read (GetParam) finds; it is cached by the read.
    template <class T>
    void Camera(std::uint64_t address, T v) {
        camera_[address] = ToWord(v);
        cache_.try_emplace(address, Word{});  // the slot exists, empty until a read fills it
    }
    void FailCameraRead(std::uint64_t address) { failingReads_.insert(address); }

    template <class T = std::uint32_t>
    T Cached(std::uint64_t address) const {
        const auto it = cache_.find(address);
        return it == cache_.end() ? T{} : FromWord<T>(it->second);
    }

    const std::vector<Write>& Writes() const { return writes_; }
    std::vector<Write> WritesTo(std::uint64_t address) const {
        std::vector<Write> out;
        for (const auto& w : writes_) {
            if (w.address == address) out.push_back(w);
        }
        return out;
    }
    void ClearWrites() { writes_.clear(); }
    // Reserve room so that tests which count allocations see none from the fake itself.
    void Reserve(std::size_t writes) { writes_.reserve(writes); }
    int GetParamCalls() const { return getParamCalls_; }

    int GetValue(std::uint64_t address, void* buffer, std::uint64_t& size) override {
        if (size < 4) return -1009;
        const auto it = cache_.find(address);
        const Word w = it == cache_.end() ? Word{} : it->second;
        std::memcpy(buffer, w.data(), 4);
        size = 4;
        return 0;
    }
    int GetParam(std::uint64_t address, void* buffer, std::uint64_t& size) override {
        ++getParamCalls_;
        if (size < 4) return -1009;
        if (failingReads_.count(address) != 0) return 0;  // failed camera read: nothing copied
        const auto it = camera_.find(address);
        if (it != camera_.end()) cache_[address] = it->second;
        return GetValue(address, buffer, size);
    }
    int SetValue(std::uint64_t address, void* buffer, std::uint64_t& size) override {
        return Store(address, buffer, size, false);
    }
    int SetParam(std::uint64_t address, void* buffer, std::uint64_t& size) override {
        return Store(address, buffer, size, true);
    }

private:
    int Store(std::uint64_t address, const void* buffer, std::uint64_t size, bool toCamera) {
        if (size != 4) return -1009;
        Word w;
        std::memcpy(w.data(), buffer, 4);
        cache_[address] = w;
        // A camera value the test gave follows the write; without one, reads answer from the cache,
        // which now holds the written value (and no node is allocated here).
        if (const auto it = camera_.find(address); toCamera && it != camera_.end()) it->second = w;
        writes_.push_back({address, w, toCamera});
        return 0;
    }

    std::map<std::uint64_t, Word> cache_;
    std::map<std::uint64_t, Word> camera_;
    std::set<std::uint64_t> failingReads_;
    std::vector<Write> writes_;
    int getParamCalls_ = 0;
};

// A clock the test moves by hand.
struct ManualClock {
    std::uint32_t now = 1000;
    MsClock Function() {
        return [this] { return now; };
    }
};

}  // namespace Kovon::Usb2Image::Testing
