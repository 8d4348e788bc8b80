// Arbitrary bytes as a picture held in memory. Besides the sanitizers it
// checks what a decode gives: either nothing, or a bottom-up bitmap whose
// header, row size and pixel count agree and stay within the side limit.
//
// Each input is decoded twice: as it is, and with the checksums of its chunks
// made right, so that mutations reach past the CRC check into the image data.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/stream.h"
#include "core/ximage.h"

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Rewrites the CRC of every whole chunk after the signature.
std::vector<uint8_t> withGoodCrcs(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> out(data, data + size);
    size_t pos = 8;
    while (pos + 12 <= out.size()) {
        const uint32_t length = be32(&out[pos]);
        if (length > out.size() - pos - 12) break;
        const uint32_t crc = uint32_t(crc32(0, &out[pos + 4], uInt(length + 4)));
        uint8_t* at = &out[pos + 8 + length];
        at[0] = uint8_t(crc >> 24), at[1] = uint8_t(crc >> 16), at[2] = uint8_t(crc >> 8), at[3] = uint8_t(crc);
        pos += 12 + size_t(length);
    }
    return out;
}

void decodeAndCheck(const uint8_t* data, size_t size)
{
    ZR_Stream* stream = ZR_Stream_openMemory(size ? data : reinterpret_cast<const uint8_t*>(""), uint32_t(size));
    ZR_Ximage* image = ZR_Ximage_create(ZR_XIMAGE_FORMAT_PNG);
    if (!stream || !image) std::abort();
    const int ok = ZR_Ximage_decode(image, stream);
    const ZR_BitmapInfoHeader& h = image->header;
    if (ok) {
        const uint32_t stride = ZR_Ximage_stride(image);
        if (h.width <= 0 || h.height <= 0 || uint32_t(h.width) > ZR_XIMAGE_MAX_SIDE ||
            uint32_t(h.height) > ZR_XIMAGE_MAX_SIDE)
            std::abort();
        if ((h.bitCount != 24 && h.bitCount != 32) || stride % 4 != 0 || stride < uint32_t(h.width) * h.bitCount / 8)
            std::abort();
        if (image->pixels.size() != size_t(stride) * uint32_t(h.height) || h.sizeImage != image->pixels.size())
            std::abort();
    } else if (!image->pixels.empty() || h.width != 0 || h.height != 0) {
        std::abort();
    }
    ZR_Ximage_release(image);
    ZR_Stream_release(stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > ZR_XIMAGE_MAX_INPUT) return 0;
    decodeAndCheck(data, size);
    const std::vector<uint8_t> fixed = withGoodCrcs(data, size);
    decodeAndCheck(fixed.data(), fixed.size());
    return 0;
}
