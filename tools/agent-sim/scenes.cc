#include "scenes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace stv::sim {
namespace {

constexpr std::array<std::string_view, 3> kSceneNames = {"testcard", "desktop", "motion"};

struct Colour {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

uint32_t Hash(uint32_t value) {
  value ^= value >> 16;
  value *= 0x7feb352dU;
  value ^= value >> 15;
  value *= 0x846ca68bU;
  value ^= value >> 16;
  return value;
}

void Put(Image& image, int x, int y, Colour c) {
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return;
  uint8_t* p = image.At(x, y);
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
  p[3] = 255;
}

void Fill(Image& image, int x0, int y0, int w, int h, Colour c) {
  const int x1 = std::min(image.width, x0 + w);
  const int y1 = std::min(image.height, y0 + h);
  x0 = std::max(0, x0);
  y0 = std::max(0, y0);
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) Put(image, x, y, c);
  }
}

// Text-like marks: 5x7 glyphs drawn from a hash of the character position, in words of
// three to eight letters. Not readable, but it compresses and blurs like text does.
void DrawText(Image& image, int x0, int y0, int width, uint32_t seed, int letters, Colour ink) {
  int x = x0;
  int y = y0;
  for (int i = 0; i < letters; ++i) {
    const uint32_t h = Hash(seed * 7919 + static_cast<uint32_t>(i));
    if (h % 6 == 0) {  // a space between words
      x += 6;
    } else {
      for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
          if ((Hash(h + static_cast<uint32_t>(row * 5 + col)) & 3) == 0) Put(image, x + col, y + row, ink);
        }
      }
      x += 6;
    }
    if (x + 6 > x0 + width) {
      x = x0;
      y += 10;
    }
  }
}

// A smooth, noisy, photo-like patch whose content depends on `phase`.
void DrawPhoto(Image& image, int x0, int y0, int w, int h, int phase) {
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double fx = (x + phase) * 0.045;
      const double fy = y * 0.06;
      const double v = std::sin(fx) + std::sin(fy + fx * 0.5) + std::sin(std::hypot(x - w / 2.0, y - h / 2.0) * 0.08);
      const int noise = static_cast<int>(Hash(static_cast<uint32_t>((y * 977 + x) ^ phase)) % 17) - 8;
      auto channel = [&](double scale, int offset) {
        return static_cast<uint8_t>(std::clamp(static_cast<int>(128 + 40 * v * scale) + offset + noise, 0, 255));
      };
      Put(image, x0 + x, y0 + y, {channel(1.0, 20), channel(0.8, 0), channel(-0.6, -10)});
    }
  }
}

class TestCard final : public Scene {
 public:
  void Render(int, Image& image) override {
    const int w = image.width;
    const int h = image.height;
    Fill(image, 0, 0, w, h, {40, 40, 40});
    // Colour bars across the top third.
    static constexpr Colour kBars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                       {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    const int barHeight = h / 3;
    for (int i = 0; i < 8; ++i) Fill(image, i * w / 8, 0, (i + 1) * w / 8 - i * w / 8, barHeight, kBars[i]);
    // Ramps: gray, red, green, blue.
    const int rampTop = barHeight;
    const int rampHeight = std::max(1, h / 16);
    for (int x = 0; x < w; ++x) {
      const uint8_t v = static_cast<uint8_t>(x * 255 / std::max(1, w - 1));
      Fill(image, x, rampTop, 1, rampHeight, {v, v, v});
      Fill(image, x, rampTop + rampHeight, 1, rampHeight, {v, 0, 0});
      Fill(image, x, rampTop + 2 * rampHeight, 1, rampHeight, {0, v, 0});
      Fill(image, x, rampTop + 3 * rampHeight, 1, rampHeight, {0, 0, v});
    }
    const int lowerTop = rampTop + 4 * rampHeight;
    const int lowerHeight = h - lowerTop;
    // Fine lines: alternating 1-pixel columns, rows and a checkerboard.
    const int blockWidth = w / 4;
    for (int y = lowerTop; y < h; ++y) {
      for (int x = 0; x < blockWidth; ++x) {
        const bool on = x < blockWidth / 3 ? x % 2 : (x < 2 * blockWidth / 3 ? y % 2 : (x + y) % 2);
        Put(image, x, y, on ? Colour{255, 255, 255} : Colour{0, 0, 0});
      }
    }
    // Text on paper.
    Fill(image, blockWidth, lowerTop, blockWidth, lowerHeight, {250, 250, 245});
    DrawText(image, blockWidth + 4, lowerTop + 4, blockWidth - 8, 17, (blockWidth / 6) * (lowerHeight / 10),
             {20, 20, 30});
    // A colour sweep in 2x2 cells: many colours, but every colour repeats once.
    for (int y = lowerTop; y < h; ++y) {
      for (int x = 2 * blockWidth; x < 3 * blockWidth; ++x) {
        const int cx = (x - 2 * blockWidth) / 2;
        const int cy = (y - lowerTop) / 2;
        Put(image, x, y,
            {static_cast<uint8_t>(cx * 7), static_cast<uint8_t>(cy * 5), static_cast<uint8_t>(cx + cy * 3)});
      }
    }
    DrawPhoto(image, 3 * blockWidth, lowerTop, w - 3 * blockWidth, lowerHeight, 0);
    // A grid of 1-pixel lines every 32 pixels over everything.
    for (int x = 0; x < w; x += 32) Fill(image, x, 0, 1, h, {128, 128, 128});
    for (int y = 0; y < h; y += 32) Fill(image, 0, y, w, 1, {128, 128, 128});
    // A one-pixel frame marks the picture's edges.
    Fill(image, 0, 0, w, 1, {255, 0, 0});
    Fill(image, 0, h - 1, w, 1, {255, 0, 0});
    Fill(image, 0, 0, 1, h, {255, 0, 0});
    Fill(image, w - 1, 0, 1, h, {255, 0, 0});
  }
  bool IsStatic() const override { return true; }
};

// Bounces `value` between 0 and `range` as it grows.
int Bounce(int value, int range) {
  if (range <= 0) return 0;
  const int period = 2 * range;
  const int v = value % period;
  return v <= range ? v : period - v;
}

class Desktop final : public Scene {
 public:
  void Render(int frame, Image& image) override {
    const int w = image.width;
    const int h = image.height;
    // Wallpaper: a banded vertical gradient.
    for (int y = 0; y < h; ++y) {
      const uint8_t v = static_cast<uint8_t>(40 + (y * 8 / std::max(1, h)) * 12);
      Fill(image, 0, y, w, 1, {0, static_cast<uint8_t>(v / 2), v});
    }
    DrawWindow(image, w / 16, h / 12, w / 2, h / 2, 1, frame / 3);
    DrawWindow(image, w / 3, h / 3, w / 2, h / 2, 2, 400 + frame / 5);
    // The "video": a photo-like region gliding over the windows.
    const int photoWidth = std::min(w, 160);
    const int photoHeight = std::min(h, 120);
    const int px = Bounce(frame * 3, w - photoWidth);
    const int py = Bounce(frame * 2, h - photoHeight - 24);
    DrawPhoto(image, px, py, photoWidth, photoHeight, frame * 2);
    // Taskbar with a clock that ticks once a second at 30 frames per second.
    const int barHeight = std::min(h, 24);
    Fill(image, 0, h - barHeight, w, barHeight, {30, 30, 36});
    DrawText(image, w - 60, h - barHeight + 8, 54, 1000 + static_cast<uint32_t>(frame / 30), 8, {230, 230, 230});
  }
  bool IsStatic() const override { return false; }

 private:
  // A window with a title bar and a page of text that grows by one letter per step, with a
  // blinking caret after it.
  static void DrawWindow(Image& image, int x, int y, int w, int h, uint32_t seed, int letters) {
    Fill(image, x - 1, y - 1, w + 2, h + 2, {10, 10, 10});
    Fill(image, x, y, w, 20, {50, 90, 160});
    DrawText(image, x + 6, y + 6, w / 3, seed * 31, 12, {255, 255, 255});
    Fill(image, x, y + 20, w, h - 20, {252, 252, 252});
    const int perLine = std::max(1, (w - 12) / 6);
    const int lines = std::max(1, (h - 32) / 10);
    const int shown = letters % (perLine * lines);
    DrawText(image, x + 6, y + 26, w - 12, seed, shown, {25, 25, 25});
    if (letters % 2 == 0) Fill(image, x + 6 + (shown % perLine) * 6, y + 26 + (shown / perLine) * 10, 1, 8, {0, 0, 0});
  }
};

class Motion final : public Scene {
 public:
  Motion() {
    for (int i = 0; i < 256; ++i) wave_[i] = static_cast<uint8_t>(127.5 + 127.5 * std::sin(i * 2 * M_PI / 256));
  }
  void Render(int frame, Image& image) override {
    // Blue advances by 7 every frame, so no pixel ever keeps its value.
    for (int y = 0; y < image.height; ++y) {
      uint8_t* p = image.At(0, y);
      for (int x = 0; x < image.width; ++x, p += 4) {
        p[0] = static_cast<uint8_t>(x + y * 3 + frame * 7);
        p[1] = wave_[static_cast<uint8_t>(x / 3 + wave_[static_cast<uint8_t>(y / 2 + frame)] / 4)];
        p[2] = wave_[static_cast<uint8_t>((x + y) / 4 - frame * 3)];
        p[3] = 255;
      }
    }
  }
  bool IsStatic() const override { return false; }

 private:
  uint8_t wave_[256];
};

}  // namespace

std::unique_ptr<Scene> MakeScene(std::string_view name) {
  if (name == "testcard") return std::make_unique<TestCard>();
  if (name == "desktop") return std::make_unique<Desktop>();
  if (name == "motion") return std::make_unique<Motion>();
  return nullptr;
}

std::span<const std::string_view> SceneNames() { return kSceneNames; }

void ConvertToGray(Image& image) {
  for (size_t i = 0; i + 3 < image.pixels.size(); i += 4) {
    uint8_t* p = &image.pixels[i];
    const uint8_t luma = static_cast<uint8_t>((p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8);
    p[0] = p[1] = p[2] = luma;
  }
}

}  // namespace stv::sim
