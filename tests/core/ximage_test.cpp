#include "core/ximage.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void chunk(Bytes& out, const char* type, const Bytes& data)
{
    put32(out, uint32_t(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put32(out, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

// A small PNG: rows are given raw (without their filter byte).
Bytes png(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType, const std::vector<Bytes>& rows,
          const Bytes& palette = {})
{
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colorType, 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    if (!palette.empty()) chunk(out, "PLTE", palette);
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    Bytes packed(compressBound(uLong(raw.size())));
    uLongf packedSize = uLongf(packed.size());
    compress(packed.data(), &packedSize, raw.data(), uLong(raw.size()));
    packed.resize(packedSize);
    chunk(out, "IDAT", packed);
    chunk(out, "IEND", {});
    return out;
}

struct Decoded {
    int ok = 0;
    ZR_BitmapInfoHeader header;
    Bytes pixels;
    uint32_t stride = 0;
};

Decoded decode(const Bytes& bytes)
{
    ZR_Stream* stream = ZR_Stream_openMemory(bytes.empty() ? "" : static_cast<const void*>(bytes.data()),
                                             uint32_t(bytes.size()));
    std::unique_ptr<ZR_Ximage, ZR_XimageReleaser> image(ZR_Ximage_create(ZR_XIMAGE_FORMAT_PNG));
    Decoded d;
    d.ok = ZR_Ximage_decode(image.get(), stream);
    d.header = image->header;
    d.pixels = image->pixels;
    d.stride = ZR_Ximage_stride(image.get());
    ZR_Stream_release(stream);
    return d;
}

Bytes flipped(Bytes bytes, size_t at, uint8_t mask)
{
    if (at < bytes.size()) bytes[at] = uint8_t(bytes[at] ^ mask);
    return bytes;
}

// 2 × 2 RGB: red, green / blue, white.
const Bytes kRgb = png(2, 2, 8, 2, {{255, 0, 0, 0, 255, 0}, {0, 0, 255, 255, 255, 255}});

TEST(Ximage, DecodesIntoBottomUpBgrRowsPaddedToFourBytes)
{
    struct Case {
        const char* name;
        Bytes png;
        uint16_t bitCount;
        uint32_t stride;
        Bytes pixels; // bottom row first
    };
    const Case cases[] = {
        {"rgb", kRgb, 24, 8, {255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0}},
        {"rgba", png(1, 2, 8, 6, {{1, 2, 3, 4}, {5, 6, 7, 8}}), 32, 4, {7, 6, 5, 8, 3, 2, 1, 4}},
        {"grey, 1 bit", png(3, 1, 1, 0, {{0xA0}}), 24, 12, {255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0}},
        {"palette", png(1, 1, 8, 3, {{1}}, {9, 9, 9, 10, 20, 30}), 24, 4, {30, 20, 10, 0}},
        {"16-bit grey", png(1, 1, 16, 0, {{0x80, 0x01}}), 24, 4, {0x80, 0x80, 0x80, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d = decode(c.png);
        ASSERT_EQ(d.ok, 1);
        EXPECT_EQ(d.header.size, 40u);
        EXPECT_EQ(d.header.height, int32_t(c.pixels.size() / c.stride));
        EXPECT_EQ(d.header.bitCount, c.bitCount);
        EXPECT_EQ(d.stride, c.stride);
        EXPECT_EQ(d.header.sizeImage, c.pixels.size());
        EXPECT_EQ(d.pixels, c.pixels);
    }
}

TEST(Ximage, DamagedOrOversizedPicturesFailAndHoldNothing)
{
    Bytes truncated(kRgb.begin(), kRgb.end() - 30);
    const Bytes badCrc = flipped(kRgb, 20, 0x01);               // inside IHDR
    const Bytes badData = flipped(kRgb, kRgb.size() - 20, 0xFF); // inside the compressed rows
    const Bytes notPng = flipped(kRgb, 1, 0x40);
    // Claims 4096 × 4096 with a few bytes of data: refused before allocating.
    Bytes huge = png(4096, 4096, 8, 6, {{0, 0, 0, 0}});
    Bytes tooWide = png(4097, 1, 8, 2, {Bytes(4097 * 3, 0)});
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}},         {"signature only", Bytes(kRgb.begin(), kRgb.begin() + 8)},
        {"truncated", truncated}, {"bad header CRC", badCrc},
        {"bad data", badData}, {"not a PNG", notPng},
        {"huge claim", huge},  {"wider than the limit", tooWide},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        Decoded d = decode(bytes);
        EXPECT_EQ(d.ok, 0);
        EXPECT_TRUE(d.pixels.empty());
        EXPECT_EQ(d.header.width, 0);
        EXPECT_EQ(d.stride, 0u);
    }
}

TEST(Ximage, OnlyPngIsKnownAndReleaseCountsReferences)
{
    EXPECT_EQ(ZR_Ximage_create(0), nullptr);
    EXPECT_EQ(ZR_Ximage_create(2), nullptr);
    ZR_Ximage* image = ZR_Ximage_create(ZR_XIMAGE_FORMAT_PNG);
    ZR_Ximage_addRef(image);
    ZR_Ximage_release(image);
    EXPECT_EQ(image->refCount, 1);
    EXPECT_EQ(ZR_Ximage_decode(image, nullptr), 0);
    ZR_Ximage_release(image);
    ZR_Ximage_release(nullptr);
}

} // namespace
