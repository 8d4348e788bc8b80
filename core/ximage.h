// The picture module's PNG part: a picture held in memory (a ZR_Stream over
// bytes embedded in the program) decoded into a device-independent bitmap,
// the form the windows draw stretched.
//
// The bitmap is bottom-up: row 0 of `pixels` is the picture's last line. A
// pixel is blue, green, red (24 bits), followed by alpha when the picture has
// one (32 bits); each row is padded to a multiple of 4 bytes.
//
// Pictures are untrusted input: the decoder never allocates more than the
// input can describe, refuses pictures larger than ZR_XIMAGE_MAX_SIDE on a
// side, and a corrupt or truncated picture is a failed decode, never a crash.
#pragma once

#include <cstdint>
#include <vector>

#include "core/stream.h"

inline constexpr int ZR_XIMAGE_FORMAT_PNG = 1;
inline constexpr uint32_t ZR_XIMAGE_MAX_SIDE = 4096;
// The most a stream may hold for one picture.
inline constexpr uint32_t ZR_XIMAGE_MAX_INPUT = 32u << 20;

// The header of a device-independent bitmap (40 bytes as stored), uncompressed.
struct ZR_BitmapInfoHeader {
    uint32_t size = 40;
    int32_t width = 0;
    int32_t height = 0; // positive: rows bottom-up
    uint16_t planes = 1;
    uint16_t bitCount = 0; // 24 or 32
    uint32_t compression = 0; // BI_RGB
    uint32_t sizeImage = 0;   // bytes of pixels: stride × height
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
};

struct ZR_Ximage {
    int refCount = 1;
    int format = 0;
    ZR_BitmapInfoHeader header;
    std::vector<uint8_t> pixels; // empty until a decode succeeds
};

// A new image object for format (only ZR_XIMAGE_FORMAT_PNG is known), or null.
ZR_Ximage* ZR_Ximage_create(int format);

// Decodes the picture that the stream holds from its current position to its
// end. 1 on success (header and pixels set); 0 on failure, the image then
// holding no picture.
int ZR_Ximage_decode(ZR_Ximage* image, ZR_Stream* stream);

// Bytes of one row of pixels (padded), 0 without a picture.
uint32_t ZR_Ximage_stride(const ZR_Ximage* image);

void ZR_Ximage_addRef(ZR_Ximage* image);
// Drops one reference; the last frees pixels and object. Null is ignored.
void ZR_Ximage_release(ZR_Ximage* image);

struct ZR_XimageReleaser {
    void operator()(ZR_Ximage* image) const { ZR_Ximage_release(image); }
};
