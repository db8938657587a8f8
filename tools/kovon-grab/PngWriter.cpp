#include "PngWriter.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace KovonGrab {
namespace {

struct FormatEntry {
    uint32_t format;
    const char* name;
    PngLayout layout;
};

const FormatEntry kFormats[] = {
    {PixelFormat::Mono8, "Mono8", {1, 8, 8, false, 1, false}},
    {PixelFormat::Mono10, "Mono10", {1, 16, 10, false, 2, false}},
    {PixelFormat::Mono12, "Mono12", {1, 16, 12, false, 2, false}},
    {PixelFormat::Mono14, "Mono14", {1, 16, 14, false, 2, false}},
    {PixelFormat::Mono16, "Mono16", {1, 16, 16, false, 2, false}},
    {PixelFormat::Mono10Packed, "Mono10Packed", {1, 16, 10, false, 0, true}},
    {PixelFormat::Mono12Packed, "Mono12Packed", {1, 16, 12, false, 0, true}},
    {0x010C0026, "BayerGR10Packed", {1, 16, 10, false, 0, true}},
    {0x010C0027, "BayerRG10Packed", {1, 16, 10, false, 0, true}},
    {0x010C0028, "BayerGB10Packed", {1, 16, 10, false, 0, true}},
    {0x010C0029, "BayerBG10Packed", {1, 16, 10, false, 0, true}},
    {0x010C002A, "BayerGR12Packed", {1, 16, 12, false, 0, true}},
    {0x010C002B, "BayerRG12Packed", {1, 16, 12, false, 0, true}},
    {0x010C002C, "BayerGB12Packed", {1, 16, 12, false, 0, true}},
    {0x010C002D, "BayerBG12Packed", {1, 16, 12, false, 0, true}},
    {0x01080008, "BayerGR8", {1, 8, 8, false, 1, false}},
    {0x01080009, "BayerRG8", {1, 8, 8, false, 1, false}},
    {0x0108000A, "BayerGB8", {1, 8, 8, false, 1, false}},
    {0x0108000B, "BayerBG8", {1, 8, 8, false, 1, false}},
    {0x0110000C, "BayerGR10", {1, 16, 10, false, 2, false}},
    {0x0110000D, "BayerRG10", {1, 16, 10, false, 2, false}},
    {0x0110000E, "BayerGB10", {1, 16, 10, false, 2, false}},
    {0x0110000F, "BayerBG10", {1, 16, 10, false, 2, false}},
    {0x01100010, "BayerGR12", {1, 16, 12, false, 2, false}},
    {0x01100011, "BayerRG12", {1, 16, 12, false, 2, false}},
    {0x01100012, "BayerGB12", {1, 16, 12, false, 2, false}},
    {0x01100013, "BayerBG12", {1, 16, 12, false, 2, false}},
    {0x0110002E, "BayerGR16", {1, 16, 16, false, 2, false}},
    {0x0110002F, "BayerRG16", {1, 16, 16, false, 2, false}},
    {0x01100030, "BayerGB16", {1, 16, 16, false, 2, false}},
    {0x01100031, "BayerBG16", {1, 16, 16, false, 2, false}},
    {PixelFormat::RGB8Packed, "RGB8Packed", {3, 8, 8, false, 3, false}},
    {PixelFormat::BGR8Packed, "BGR8Packed", {3, 8, 8, true, 3, false}},
};

const FormatEntry* FindFormat(uint32_t pixelFormat) {
    for (const FormatEntry& entry : kFormats)
        if (entry.format == pixelFormat) return &entry;
    return nullptr;
}

struct WriteErrorState {
    char message[256];
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<WriteErrorState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message != nullptr ? message : "libpng error");
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Unpacks a packed frame into 16-bit little-endian samples, the frame layout WritePng takes.
std::vector<uint8_t> Unpack(const uint8_t* data, uint64_t pixels, int significantBits) {
    std::vector<uint8_t> out(static_cast<size_t>(pixels * 2));
    const int low = significantBits - 8;
    const unsigned lowMask = (1u << low) - 1u;
    for (uint64_t i = 0; i < pixels; ++i) {
        const uint8_t* group = data + (i / 2) * 3;
        const unsigned high = group[(i % 2) * 2];
        const unsigned lowBits = (i % 2 == 0 ? group[1] : group[1] >> 4) & lowMask;
        const unsigned sample = high << low | lowBits;
        out[2 * i] = static_cast<uint8_t>(sample);
        out[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    return out;
}

// Everything between setjmp and the end of this function is plain data, so that libpng's longjmp
// skips no destructor. Returns false with state->message set on failure.
bool Encode(std::FILE* file, uint32_t width, uint32_t height, const PngLayout& layout, png_bytepp rows,
            WriteErrorState* state) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, OnPngError, OnPngWarning);
    if (png == nullptr) {
        std::snprintf(state->message, sizeof state->message, "libpng cannot start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(state->message, sizeof state->message, "libpng cannot start");
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, layout.bitDepth,
                 layout.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (layout.significantBits != layout.bitDepth) {
        png_color_8 bits;
        std::memset(&bits, 0, sizeof bits);
        bits.gray = static_cast<png_byte>(layout.significantBits);
        png_set_sBIT(png, info, &bits);
    }
    // Fast filters: frames are large and written while the camera streams.
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool PngLayoutFor(uint32_t pixelFormat, PngLayout& layout) {
    const FormatEntry* entry = FindFormat(pixelFormat);
    if (entry == nullptr) return false;
    layout = entry->layout;
    return true;
}

std::string PixelFormatName(uint32_t pixelFormat) {
    const FormatEntry* entry = FindFormat(pixelFormat);
    if (entry != nullptr) return entry->name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", pixelFormat);
    return text;
}

uint64_t FrameBytes(const PngLayout& layout, uint32_t width, uint32_t height) {
    const uint64_t pixels = uint64_t{width} * height;
    return layout.packed ? (pixels + 1) / 2 * 3 : pixels * layout.bytesPerPixel;
}

bool WritePng(const std::string& path, uint32_t width, uint32_t height, uint32_t pixelFormat,
              const uint8_t* data, size_t size, std::string& error) {
    PngLayout layout;
    if (!PngLayoutFor(pixelFormat, layout)) {
        error = "pixel format " + PixelFormatName(pixelFormat) + " cannot be stored as PNG";
        return false;
    }
    // PNG allows 2^31 - 1 pixels per side; the frame must hold every pixel.
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu || data == nullptr) {
        error = "the frame has no pixels";
        return false;
    }
    // Both sides are below 2^31, so the byte counts fit in 64 bits.
    if (FrameBytes(layout, width, height) > size) {
        error = "the frame is smaller than " + std::to_string(width) + " x " + std::to_string(height) + " " +
                PixelFormatName(pixelFormat) + " pixels";
        return false;
    }
    std::vector<uint8_t> unpacked;
    if (layout.packed) {
        unpacked = Unpack(data, uint64_t{width} * height, layout.significantBits);
        data = unpacked.data();
        layout.bytesPerPixel = 2;
    }
    const uint64_t rowBytes = uint64_t{width} * layout.bytesPerPixel;

    // Rows in the file's sample order: 16-bit samples big-endian and scaled to the full range,
    // colour as red, green, blue.
    const uint64_t fileRowBytes = uint64_t{width} * layout.channels * (layout.bitDepth / 8);
    std::vector<uint8_t> image(static_cast<size_t>(fileRowBytes * height));
    const int shift = 16 - layout.significantBits;
    const uint32_t mask = (1u << layout.significantBits) - 1u;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = data + rowBytes * y;
        uint8_t* out = image.data() + fileRowBytes * y;
        if (layout.bitDepth == 16) {
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t sample = ((uint32_t{in[2 * x + 1]} << 8 | in[2 * x]) & mask) << shift;
                out[2 * x] = static_cast<uint8_t>(sample >> 8);
                out[2 * x + 1] = static_cast<uint8_t>(sample);
            }
        } else if (layout.bgr) {
            for (uint32_t x = 0; x < width; ++x) {
                out[3 * x] = in[3 * x + 2];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x];
            }
        } else {
            std::memcpy(out, in, static_cast<size_t>(rowBytes));
        }
    }
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = image.data() + fileRowBytes * y;

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    WriteErrorState state;
    state.message[0] = '\0';
    const bool encoded = Encode(file, width, height, layout, rows.data(), &state);
    const bool closed = std::fclose(file) == 0;
    if (!encoded || !closed) {
        error = "cannot write " + path + ": " + (encoded ? std::string(std::strerror(errno)) : state.message);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

}  // namespace KovonGrab
