#include "camera/simulator/scene.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace krv_sim {
namespace {

// 5x7 bitmaps of the digits, one byte per row, bit 4 = leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
};

void FillRect(RgbImage* img, int x0, int y0, int x1, int y1, const uint8_t rgb[3]) {
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, img->width);
  y1 = std::min(y1, img->height);
  for (int y = y0; y < y1; ++y) {
    uint8_t* p = img->pixels.data() + (static_cast<size_t>(y) * img->width + x0) * 3;
    for (int x = x0; x < x1; ++x, p += 3) std::memcpy(p, rgb, 3);
  }
}

// The blue of the background (and of the disc), set by the capture number.
uint8_t CaptureBlue(unsigned captureNumber) {
  return static_cast<uint8_t>((captureNumber * 53u) & 0xFF);
}

// Horizontal red ramp, vertical green ramp, blue by the capture number. One
// row of the red ramp is computed once and reused.
void FillBackground(RgbImage* img, unsigned captureNumber) {
  const int width = img->width, height = img->height;
  const uint8_t blue = CaptureBlue(captureNumber);
  std::vector<uint8_t> red(width);
  for (int x = 0; x < width; ++x) {
    red[x] = static_cast<uint8_t>((static_cast<uint64_t>(x) * 255) / std::max(width - 1, 1));
  }
  for (int y = 0; y < height; ++y) {
    const uint8_t green =
        static_cast<uint8_t>((static_cast<uint64_t>(y) * 255) / std::max(height - 1, 1));
    uint8_t* p = img->pixels.data() + static_cast<size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x, p += 3) {
      p[0] = red[x];
      p[1] = green;
      p[2] = blue;
    }
  }
}

// A disc whose centre walks across the frame by a prime step per capture.
void DrawDisc(RgbImage* img, unsigned captureNumber) {
  const int width = img->width, height = img->height;
  const uint8_t blue = CaptureBlue(captureNumber);
  const int64_t radius = std::max(1, std::min(width, height) / 6);
  const int64_t cx = radius + (static_cast<int64_t>(captureNumber) * 37 % 100) *
                                  std::max<int64_t>(width - 2 * radius, 1) / 100;
  const int64_t cy = radius + (static_cast<int64_t>(captureNumber) * 61 % 100) *
                                  std::max<int64_t>(height - 2 * radius, 1) / 100;
  const uint8_t disc[3] = {static_cast<uint8_t>(255 - blue), 240, blue};
  for (int64_t y = std::max<int64_t>(cy - radius, 0); y < std::min<int64_t>(cy + radius, height);
       ++y) {
    const int64_t dy = y - cy;
    // Half-width of the disc on this row, by integer search from the edge.
    int64_t half = radius;
    while (half > 0 && half * half + dy * dy > radius * radius) --half;
    FillRect(img, static_cast<int>(cx - half), static_cast<int>(y), static_cast<int>(cx + half + 1),
             static_cast<int>(y + 1), disc);
  }
}

// The capture number, top left, on a dark plate so it reads on any colour.
void DrawNumber(RgbImage* img, unsigned captureNumber) {
  char digits[16];
  const int count = std::snprintf(digits, sizeof(digits), "%u", captureNumber);
  const int cell = std::max(1, img->height / 40);  // one font pixel
  const int margin = 2 * cell;
  const uint8_t plate[3] = {16, 16, 16};
  const uint8_t ink[3] = {255, 255, 255};
  FillRect(img, margin - cell, margin - cell, margin + count * 6 * cell, margin + 8 * cell, plate);
  for (int i = 0; i < count; ++i) {
    const uint8_t* glyph = kDigits[digits[i] - '0'];
    const int gx = margin + i * 6 * cell;
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if (glyph[row] & (0x10 >> col)) {
          FillRect(img, gx + col * cell, margin + row * cell, gx + (col + 1) * cell,
                   margin + (row + 1) * cell, ink);
        }
      }
    }
  }
}

}  // namespace

RgbImage RenderScene(int width, int height, unsigned captureNumber) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.pixels.resize(static_cast<size_t>(width) * height * 3);
  FillBackground(&img, captureNumber);
  DrawDisc(&img, captureNumber);
  DrawNumber(&img, captureNumber);
  return img;
}

}  // namespace krv_sim
