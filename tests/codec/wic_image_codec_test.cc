#include "codec/wic_image_codec.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <climits>
#include <string>
#include <thread>

namespace stv::agent {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

// 3 x 2 RGBA: (255,0,0,255) (0,255,0,128) (0,0,255,0) / (10,20,30,40) (50,60,70,80) (90,100,110,255).
const Bytes kPng = FromHex(
    "89504E470D0A1A0A0000000D49484452000000030000000208060000009D74661A0000001E4944415478DA63F8CFC0F01F081B40140397889C"
    "86918D5B40544ADE7F006987081045751E320000000049454E44AE426082");
// 16 x 8, 4:4:4, quality 100: the left half RGB (200,100,40), the right half (30,160,220).
const Bytes kJpeg = FromHex(
    "FFD8FFE000104A46494600010100000100010000FFDB00430001010101010101010101010101010101010101010101010101010101010101"
    "010101010101010101010101010101010101010101010101010101010101010101FFDB004301010101010101010101010101010101010101"
    "01010101010101010101010101010101010101010101010101010101010101010101010101010101010101010101FFC00011080008001003"
    "011100021101031101FFC40014000100000000000000000000000000000006FFC40014100100000000000000000000000000000000FFC400"
    "150101010000000000000000000000000000090AFFC40014110100000000000000000000000000000000FFDA000C03010002110311003F00"
    "2E21CDC142C6102EFFD9");

// A 24-bit BMP (rows bottom-up, padded to 4 bytes) and its BGRA: B = 40x, G = 50y, R = 200.
std::pair<Bytes, Bytes> Bmp(int w, int h) {
  const uint32_t stride = (w * 3 + 3) & ~3;
  Bytes bmp = {'B', 'M'}, bgra;
  for (uint32_t v :
       {54 + stride * h, 0u, 54u, 40u, uint32_t(w), uint32_t(h), 1u | 24u << 16, 0u, stride * h, 0u, 0u, 0u, 0u}) {
    for (int i = 0; i < 4; ++i) bmp.push_back(uint8_t(v >> 8 * i));
  }
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) bmp.insert(bmp.end(), {uint8_t(40 * x), uint8_t(50 * y), 200});
    bmp.resize(bmp.size() + stride - w * 3);
  }
  for (int i = 0; i < w * h; ++i) bgra.insert(bgra.end(), {uint8_t(40 * (i % w)), uint8_t(50 * (i / w)), 200, 255});
  return {bmp, bgra};
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WicImageCodecTest, DecodesEachContainerToBgraAndLargerOnesToTheirTopLeft) {
  WicImageCodec codec;
  ASSERT_TRUE(codec.HasFactory());
  TilePixels out;
  // Bottom-up BMP rows must come out top first, also when only the corner is asked for.
  const Bytes bmp = Bmp(5, 3).first;
  ASSERT_TRUE(codec.Decode(bmp, 5, 3, out));
  EXPECT_EQ(Bytes(out.begin(), out.end()), Bmp(5, 3).second);
  ASSERT_TRUE(codec.Decode(bmp, 2, 2, out));
  EXPECT_EQ(Bytes(out.begin(), out.end()), Bmp(2, 2).second);
  EXPECT_FALSE(codec.Decode(bmp, 6, 3, out));
  EXPECT_FALSE(codec.Decode(bmp, 5, 4, out));
  EXPECT_TRUE(out.empty());

  ASSERT_TRUE(codec.Decode(kPng, 3, 2, out));
  EXPECT_EQ(Bytes(out.begin(), out.end()),
            Bytes({0, 0, 255, 255, 0, 255, 0, 128, 255, 0, 0, 0, 30, 20, 10, 40, 70, 60, 50, 80, 110, 100, 90, 255}));

  ASSERT_TRUE(codec.Decode(kJpeg, 16, 8, out));
  ASSERT_EQ(out.size(), 16u * 8 * 4);
  const uint8_t halves[2][3] = {{40, 100, 200}, {220, 160, 30}};
  for (size_t i = 0; i < out.size(); i += 4) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[i + c], halves[i / 4 % 16 / 8][c], 2) << "byte " << i + c;
    EXPECT_EQ(out[i + 3], 255);
  }
  ASSERT_TRUE(codec.Decode(kJpeg, 8, 8, out));
  EXPECT_NEAR(out[out.size() - 2], 200, 2);

  // WebP goes to libwebp and admits only its own size.
  Bytes pixels;
  for (int i = 0; i < 64 * 64; ++i) pixels.insert(pixels.end(), {40, 100, 200, 255});
  const auto webp = codec.EncodeWebp(pixels, 64, 64, 90);
  ASSERT_TRUE(webp.has_value());
  EXPECT_FALSE(codec.Decode(*webp, 64, 32, out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(codec.Decode(*webp, 64, 64, out));
  ASSERT_EQ(out.size(), pixels.size());
  for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], pixels[i], 3) << i;
}

TEST(WicImageCodecTest, HostileInputsFailWithAnEmptyOutput) {
  WicImageCodec codec;
  const Bytes bmp = Bmp(4, 4).first;
  Bytes huge = bmp;  // claims 30000 x 30000 pixels and carries 4 x 4
  huge[18] = huge[22] = 0x30, huge[19] = huge[23] = 0x75;
  // Each as it is and followed by junk; the 11-byte RIFF is too short for WebP, so WIC gets it.
  std::vector<Bytes> inputs = {huge, {0x42}, {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B'}};
  inputs.push_back(Join(inputs.back(), {'P', 'V', 'P', '8', ' '}));
  for (auto [image, size] : {std::pair{&kPng, 60}, {&kPng, 16}, {&kJpeg, 200}, {&kJpeg, 3}, {&bmp, 30}}) {
    inputs.emplace_back(image->begin(), image->begin() + size);
  }
  Bytes junk(997);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 7919 >> 3);
  for (size_t i = 0; i < inputs.size() * 2; ++i) {
    TilePixels out(16, 1);
    EXPECT_FALSE(codec.Decode(i % 2 ? Join(inputs[i / 2], junk) : inputs[i / 2], 2, 2, out)) << "input " << i;
    EXPECT_TRUE(out.empty()) << "input " << i;
  }
  TilePixels out(16, 1);
  for (auto [w, h] : {std::pair{0, 2}, {2, -1}, {INT_MAX, 2}, {2, INT_MIN}}) {
    EXPECT_FALSE(codec.Decode(bmp, w, h, out)) << w << "x" << h;
    EXPECT_TRUE(out.empty());
  }
}

// The codec leaves a thread's apartment as it found it: it leaves the multithreaded one it
// joined, and keeps out of (but still works in) a single-threaded one it found.
TEST(WicImageCodecTest, LeavesTheThreadsApartmentAsItFoundIt) {
  std::thread([] {
    { EXPECT_TRUE(WicImageCodec().HasFactory()); }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    TilePixels out;
    EXPECT_TRUE(WicImageCodec().Decode(Bmp(2, 2).first, 2, 2, out));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
  }).join();
}

}  // namespace
}  // namespace stv::agent
