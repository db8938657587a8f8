#pragma once
// Reads a PNG file back with libpng for the tests: header fields, the sBIT chunk and the samples
// exactly as stored (16-bit samples big-endian, colour as red, green, blue).
#include <cstdint>
#include <string>
#include <vector>

namespace KovonGrabTest {

struct PngFile {
    bool ok = false;
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = 0, significantBits = 0;  // significantBits: 0 without sBIT
    std::vector<uint8_t> pixels;                           // rows as stored in the file

    // Sample `channel` of pixel (x, y).
    unsigned Sample(uint32_t x, uint32_t y, int channel = 0) const;
};

PngFile ReadPng(const std::string& path);

}  // namespace KovonGrabTest
