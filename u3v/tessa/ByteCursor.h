#pragma once
// Bounds-checked little-endian reader and writer over a caller's byte range. A read or write that
// would leave the range fails, leaves the range untouched and makes the cursor fail for good, so a
// codec can read a whole structure and test ok() once at the end.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Kovon::Tessa {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }

    uint8_t U8() { return static_cast<uint8_t>(Read(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Read(4)); }
    uint64_t U64() { return Read(8); }

    // Returns a pointer to the next n bytes and moves past them, or null (and fails) when fewer
    // remain.
    const uint8_t* Bytes(size_t n) {
        if (!Take(n)) return nullptr;
        return data_ + pos_ - n;
    }
    bool Skip(size_t n) { return Take(n); }

private:
    bool Take(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    uint64_t Read(size_t n) {
        if (!Take(n)) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ - n + i]) << (8 * i);
        return v;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    ByteWriter(uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }

    void U8(uint8_t v) { Write(v, 1); }
    void U16(uint16_t v) { Write(v, 2); }
    void U32(uint32_t v) { Write(v, 4); }
    void U64(uint64_t v) { Write(v, 8); }
    void Bytes(const void* src, size_t n) {
        if (!Reserve(n)) return;
        if (n != 0) std::memcpy(data_ + pos_ - n, src, n);
    }
    void Zeros(size_t n) {
        if (!Reserve(n)) return;
        if (n != 0) std::memset(data_ + pos_ - n, 0, n);
    }

private:
    bool Reserve(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    void Write(uint64_t v, size_t n) {
        if (!Reserve(n)) return;
        for (size_t i = 0; i < n; ++i) data_[pos_ - n + i] = static_cast<uint8_t>(v >> (8 * i));
    }

    uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace Kovon::Tessa
