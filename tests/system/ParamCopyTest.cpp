#include "system/ParamCopy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "system/ParamCall.h"

namespace Kovon {
namespace {

struct CopyCase {
    const char* label;
    bool nullBuffer;
    uint64_t sizeIn;
    bool throws;
    uint64_t sizeOut;
    bool written;
};

// "Interface_GigEVision" is 20 characters, 21 bytes with its NUL.
const CopyCase kStringCases[] = {
    {"size query", true, 0, false, 21, false},
    {"size query ignores the caller size", true, 7, false, 21, false},
    {"exact fit", false, 21, false, 21, true},
    {"larger buffer reports bytes written", false, 64, false, 21, true},
    {"one byte short", false, 20, true, 20, false},
    {"non-null buffer with size 0 is refused", false, 0, true, 0, false},
};

TEST(CopyParamString, BufferAndSizeRules) {
    for (const CopyCase& c : kStringCases) {
        SCOPED_TRACE(c.label);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        uint64_t size = c.sizeIn;
        auto call = [&] { CopyParamString(c.nullBuffer ? nullptr : buffer, &size, "Interface_GigEVision"); };
        if (c.throws) {
            EXPECT_THROW(call(), std::invalid_argument);
        } else {
            EXPECT_NO_THROW(call());
        }
        EXPECT_EQ(size, c.sizeOut);
        if (c.written) {
            EXPECT_STREQ(buffer, "Interface_GigEVision");
        } else {
            EXPECT_EQ(buffer[0], 'x') << "buffer must stay untouched";
        }
    }
}

TEST(CopyParamString, NullSizeIsRefusedAndGuardedCallMapsToInvalidParameter) {
    char buffer[8] = {};
    EXPECT_THROW(CopyParamString(buffer, nullptr, "abc"), std::invalid_argument);
    const int status = GuardedCall([&] {
        CopyParamString(buffer, nullptr, "abc");
        return 0;
    });
    EXPECT_EQ(status, Lumora::GC_ERR_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(GuardedCall([]() -> int { throw std::invalid_argument("x"); }, Lumora::GC_ERR_INVALID_BUFFER),
              Lumora::GC_ERR_INVALID_BUFFER);
    EXPECT_EQ(GuardedCall([]() -> int { throw std::runtime_error("x"); }), Lumora::GC_ERR_ERROR);
}

TEST(CopyParamBytes, CopiesExactlyCountBytes) {
    const uint8_t source[4] = {1, 2, 3, 4};
    uint8_t destination[6] = {9, 9, 9, 9, 9, 9};
    uint64_t size = sizeof destination;
    CopyParamBytes(destination, &size, source, 4);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(destination[3], 4);
    EXPECT_EQ(destination[4], 9);
}

TEST(CopyParamIn, FieldWidthBoundsTheCallerSize) {
    uint32_t field = 0xAAAAAAAA;
    const uint8_t value[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    uint64_t tooLarge = 8;
    EXPECT_THROW(CopyParamIn(&field, sizeof field, value, &tooLarge), std::invalid_argument);
    EXPECT_EQ(field, 0xAAAAAAAAu) << "a refused Set changes nothing";
    uint64_t two = 2;
    CopyParamIn(&field, sizeof field, value, &two);
    EXPECT_EQ(field & 0xFFFFu, 0x2211u);
    EXPECT_THROW(CopyParamIn(&field, sizeof field, nullptr, &two), std::invalid_argument);
    EXPECT_THROW(CopyParamIn(&field, sizeof field, value, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace Kovon
