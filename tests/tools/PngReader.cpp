#include "PngReader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

namespace KovonGrabTest {
namespace {

// Plain data only between setjmp and longjmp.
bool ReadRaw(std::FILE* file, PngFile* out, std::vector<uint8_t>* pixels) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->bitDepth = png_get_bit_depth(png, info);
    out->colorType = png_get_color_type(png, info);
    png_color_8p bits = nullptr;
    if (png_get_sBIT(png, info, &bits) != 0 && bits != nullptr) out->significantBits = bits->gray;
    const size_t rowBytes = png_get_rowbytes(png, info);
    pixels->resize(rowBytes * out->height);
    for (uint32_t y = 0; y < out->height; ++y) png_read_row(png, pixels->data() + rowBytes * y, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

unsigned PngFile::Sample(uint32_t x, uint32_t y, int channel) const {
    const int channels = colorType == PNG_COLOR_TYPE_RGB ? 3 : 1;
    const size_t bytes = bitDepth == 16 ? 2 : 1;
    const size_t at = ((size_t{y} * width + x) * channels + static_cast<size_t>(channel)) * bytes;
    return bytes == 2 ? unsigned{pixels[at]} << 8 | pixels[at + 1] : pixels[at];
}

PngFile ReadPng(const std::string& path) {
    PngFile result;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return result;
    result.ok = ReadRaw(file, &result, &result.pixels);
    std::fclose(file);
    return result;
}

}  // namespace KovonGrabTest
