#pragma once
// Splits one fuzz input into the values a target needs: numbers from the front, length-prefixed
// pieces, the rest. Reading past the end yields zeros and empty pieces, never an error, so every
// input is a valid script.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KovonFuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(data != nullptr ? size : 0) {}

    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return size_ - pos_; }

    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
    uint64_t U64() { return Take(8); }
    bool Bool() { return (U8() & 1) != 0; }

    // A piece of up to maxSize bytes whose length comes from a 16-bit prefix.
    const uint8_t* Piece(size_t maxSize, size_t& length) {
        const size_t wanted = U16();  // read before remaining(): argument order is unspecified
        length = std::min(wanted, std::min(maxSize, remaining()));
        const uint8_t* p = data_ + pos_;
        pos_ += length;
        return p;
    }
    const uint8_t* Rest(size_t& length) {
        length = remaining();
        const uint8_t* p = data_ + pos_;
        pos_ = size_;
        return p;
    }

private:
    uint64_t Take(size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | (pos_ < size_ ? data_[pos_++] : 0);
        return v;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A broken invariant of the code under test: reported like a sanitizer finding.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", what, file, line);
    std::abort();
}

}  // namespace KovonFuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::KovonFuzz::Fail(#cond, __FILE__, __LINE__))
