#pragma once
// Bounds-checked big-endian reader and writer over caller-owned bytes. Every access checks the
// remaining room first; a failed access leaves the cursor where it was and latches ok() to false,
// so a codec can run a whole sequence of reads and test once at the end.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Kovon::Pelion {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data != nullptr ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    const uint8_t* current() const { return data_ + pos_; }

    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
    uint64_t U64() {
        if (!Need(8)) return 0;
        uint64_t high = Take(4);
        return (high << 32) | Take(4);
    }
    // Copies n bytes out; on failure the destination is zeroed.
    void Bytes(void* out, size_t n) {
        if (!Need(n)) {
            std::memset(out, 0, n);
            return;
        }
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
    }
    // Returns a view of the next n bytes, or nullptr when they are not there.
    const uint8_t* View(size_t n) {
        if (!Need(n)) return nullptr;
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    void Skip(size_t n) {
        if (Need(n)) pos_ += n;
    }

private:
    bool Need(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }
    uint64_t Take(size_t n) {
        if (!Need(n)) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | data_[pos_ + i];
        pos_ += n;
        return v;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    ByteWriter(uint8_t* data, size_t capacity) : data_(data), cap_(data != nullptr ? capacity : 0) {}

    bool ok() const { return ok_; }
    size_t size() const { return pos_; }
    uint8_t* at(size_t offset) { return data_ + offset; }

    void U8(uint8_t v) { Put(v, 1); }
    void U16(uint16_t v) { Put(v, 2); }
    void U32(uint32_t v) { Put(v, 4); }
    void U64(uint64_t v) {
        if (!Need(8)) return;
        Put(v >> 32, 4);
        Put(v & 0xFFFFFFFFu, 4);
    }
    void Bytes(const void* src, size_t n) {
        if (!Need(n)) return;
        if (n != 0) std::memcpy(data_ + pos_, src, n);
        pos_ += n;
    }
    void Zeros(size_t n) {
        if (!Need(n)) return;
        std::memset(data_ + pos_, 0, n);
        pos_ += n;
    }
    // A text in a fixed field: truncated to leave at least one NUL, zero-padded.
    void FixedText(const char* text, size_t field) {
        if (!Need(field)) return;
        size_t n = text != nullptr ? strnlen(text, field - 1) : 0;
        std::memcpy(data_ + pos_, text, n);
        std::memset(data_ + pos_ + n, 0, field - n);
        pos_ += field;
    }

private:
    bool Need(size_t n) {
        if (!ok_ || n > cap_ - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }
    void Put(uint64_t v, size_t n) {
        if (!Need(n)) return;
        for (size_t i = 0; i < n; ++i) data_[pos_ + i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
        pos_ += n;
    }

    uint8_t* data_;
    size_t cap_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Reads a NUL-padded text field that may lack its NUL: at most `field` characters are taken.
inline void CopyFixedText(char* out, size_t outSize, const uint8_t* field, size_t fieldSize) {
    if (outSize == 0) return;
    size_t n = 0;
    while (n < fieldSize && n + 1 < outSize && field[n] != 0) ++n;
    std::memcpy(out, field, n);
    out[n] = 0;
}

}  // namespace Kovon::Pelion
