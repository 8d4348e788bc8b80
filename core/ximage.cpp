#include "core/ximage.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace {

// Deflate expands by at most 1032:1; a picture claiming more raw bytes than
// its compressed rest could hold is a lie, refused before anything is allocated.
constexpr uint64_t kInflateRatio = 1032;
// Room for the filter bytes of interlaced passes and small pictures.
constexpr uint64_t kRawSlack = 64 * 1024;
// Ancillary chunks (text, profiles) are read but never needed.
constexpr png_alloc_size_t kChunkMax = 1u << 20;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

void readInput(png_structp png, png_bytep out, size_t count)
{
    auto* in = static_cast<Input*>(png_get_io_ptr(png));
    if (count > in->size - in->pos) png_error(png, "truncated");
    std::memcpy(out, in->data + in->pos, count);
    in->pos += count;
}

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

int channelsOf(int colorType)
{
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY: return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    case PNG_COLOR_TYPE_PALETTE: return 1;
    default: return 0;
    }
}

// Everything the decode touches lives here, outside the frame that calls
// setjmp, so nothing is lost or left half-built when libpng jumps back.
struct Decoding {
    Input input{};
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<uint8_t> pixels;
    std::vector<png_bytep> rows;
    uint32_t width = 0, height = 0, channels = 0, stride = 0;
};

int decodePng(Decoding* d)
{
    if (setjmp(png_jmpbuf(d->png))) return 0;
    png_set_read_fn(d->png, &d->input, readInput);
    png_set_user_limits(d->png, ZR_XIMAGE_MAX_SIDE, ZR_XIMAGE_MAX_SIDE);
    png_set_chunk_cache_max(d->png, 128);
    png_set_chunk_malloc_max(d->png, kChunkMax);
    png_read_info(d->png, d->info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    if (!png_get_IHDR(d->png, d->info, &width, &height, &depth, &colorType, &interlace, nullptr, nullptr)) return 0;
    if (width == 0 || height == 0 || width > ZR_XIMAGE_MAX_SIDE || height > ZR_XIMAGE_MAX_SIDE) return 0;
    const uint64_t rawRow = (uint64_t(width) * uint64_t(depth) * uint64_t(channelsOf(colorType)) + 7) / 8 + 1;
    const uint64_t rest = d->input.size - d->input.pos;
    if (rawRow * height > rest * kInflateRatio + kRawSlack) return 0;

    png_set_expand(d->png); // palette and small grey to 8 bits, transparency to alpha
    png_set_strip_16(d->png);
    png_set_gray_to_rgb(d->png);
    png_set_bgr(d->png);
    png_set_interlace_handling(d->png);
    png_read_update_info(d->png, d->info);

    const uint32_t channels = png_get_channels(d->png, d->info);
    if (channels != 3 && channels != 4) return 0;
    if (png_get_rowbytes(d->png, d->info) != size_t(width) * channels) return 0;

    const uint32_t stride = (width * channels + 3) & ~3u;
    d->pixels.assign(size_t(stride) * height, 0);
    d->rows.resize(height);
    for (uint32_t y = 0; y < height; ++y) d->rows[y] = d->pixels.data() + size_t(height - 1 - y) * stride;
    png_read_image(d->png, d->rows.data());
    png_read_end(d->png, nullptr);

    d->width = width;
    d->height = height;
    d->channels = channels;
    d->stride = stride;
    return 1;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// libpng sizes some buffers by a chunk's declared length before reading it:
// every chunk up to IEND must lie whole within the input.
bool chunksWithinInput(const std::vector<uint8_t>& bytes)
{
    size_t pos = 8;
    while (bytes.size() - pos >= 12) {
        const uint32_t length = be32(&bytes[pos]);
        if (length > bytes.size() - pos - 12) return false;
        if (std::memcmp(&bytes[pos + 4], "IEND", 4) == 0) return true;
        pos += 12 + size_t(length);
    }
    return false;
}

// The stream's bytes from its position to its end; false past the input cap.
bool readAll(ZR_Stream* stream, std::vector<uint8_t>* out)
{
    uint8_t chunk[64 * 1024];
    for (;;) {
        int32_t n = ZR_Stream_readBytes(stream, sizeof chunk, chunk);
        if (n <= 0) return true;
        if (out->size() + size_t(n) > ZR_XIMAGE_MAX_INPUT) return false;
        out->insert(out->end(), chunk, chunk + n);
    }
}

} // namespace

ZR_Ximage* ZR_Ximage_create(int format)
{
    if (format != ZR_XIMAGE_FORMAT_PNG) return nullptr;
    auto* image = new ZR_Ximage;
    image->format = format;
    return image;
}

int ZR_Ximage_decode(ZR_Ximage* image, ZR_Stream* stream)
{
    if (!image) return 0;
    image->header = ZR_BitmapInfoHeader{};
    image->pixels.clear();
    image->pixels.shrink_to_fit();
    if (!stream || image->format != ZR_XIMAGE_FORMAT_PNG) return 0;

    std::vector<uint8_t> bytes;
    if (!readAll(stream, &bytes) || bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0 ||
        !chunksWithinInput(bytes))
        return 0;

    Decoding d;
    d.input = Input{bytes.data(), bytes.size(), 0};
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!d.png) return 0;
    d.info = png_create_info_struct(d.png);
    int ok = d.info ? decodePng(&d) : 0;
    png_destroy_read_struct(&d.png, d.info ? &d.info : nullptr, nullptr);
    if (!ok) return 0;

    ZR_BitmapInfoHeader& h = image->header;
    h.width = int32_t(d.width);
    h.height = int32_t(d.height);
    h.bitCount = uint16_t(d.channels * 8);
    h.sizeImage = d.stride * d.height;
    image->pixels = std::move(d.pixels);
    return 1;
}

uint32_t ZR_Ximage_stride(const ZR_Ximage* image)
{
    if (!image || image->pixels.empty()) return 0;
    return (uint32_t(image->header.width) * image->header.bitCount / 8 + 3) & ~3u;
}

void ZR_Ximage_addRef(ZR_Ximage* image)
{
    if (image) image->refCount++;
}

void ZR_Ximage_release(ZR_Ximage* image)
{
    if (image && --image->refCount <= 0) delete image;
}
