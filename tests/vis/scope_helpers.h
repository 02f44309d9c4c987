// Building sample words and expected pictures for the oscilloscope tests.
#pragma once

#include <QImage>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vis/osc_vis.h"

namespace scope_test {

// The player's paint box and trace position.
constexpr int kWidth = 265;
constexpr int kHeight = 73;
constexpr int kBaseline = 50;

constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kWhite = 0xFFFFFFFF;

inline uint32_t Word(int left, int right) {
  return static_cast<uint32_t>(static_cast<uint16_t>(left)) |
         (static_cast<uint32_t>(static_cast<uint16_t>(right)) << 16);
}

// A word whose two samples add up to sum (-65536 to 65534).
inline uint32_t WordForSum(int sum) {
  const int left = sum / 2;
  return Word(left, sum - left);
}

// A word whose deflection at the default scale 50 is v (-25 to 24): the
// smallest sum that reaches it, worked out in integers.
inline uint32_t WordForValue(int v) {
  const int magnitude = (std::abs(v) * 131070 + 49) / 50;
  return WordForSum(v < 0 ? -magnitude : magnitude);
}

inline TWaveData Constant(uint32_t word) {
  TWaveData data;
  data.fill(word);
  return data;
}

// A picture of the scope's size in one colour, to paint the expected trace on.
inline QImage Picture(QRgb color = kBlack, int width = kWidth, int height = kHeight) {
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(color);
  return image;
}

// Paints columns x0..x1 (inclusive) of row y.
inline void Row(QImage& image, int y, int x0, int x1, QRgb color = kWhite) {
  for (int x = x0; x <= x1; ++x) image.setPixel(x, y, color);
}

// Paints rows y0..y1 (inclusive) of column x.
inline void Column(QImage& image, int x, int y0, int y1, QRgb color = kWhite) {
  for (int y = y0; y <= y1; ++y) image.setPixel(x, y, color);
}

// Empty when the pictures match pixel for pixel; otherwise says where they
// differ, for the failure message.
inline std::string ImageDiff(const QImage& got, const QImage& want) {
  if (got.size() != want.size()) {
    return "size " + std::to_string(got.width()) + "x" + std::to_string(got.height()) +
           ", expected " + std::to_string(want.width()) + "x" + std::to_string(want.height());
  }
  std::string out;
  int count = 0;
  for (int y = 0; y < got.height(); ++y) {
    for (int x = 0; x < got.width(); ++x) {
      const QRgb g = got.pixel(x, y);
      const QRgb w = want.pixel(x, y);
      if (g == w) continue;
      if (count < 12) {
        char line[80];
        std::snprintf(line, sizeof line, "(%d,%d) is %08X, expected %08X\n", x, y, g, w);
        out += line;
      }
      ++count;
    }
  }
  if (count > 0) out += std::to_string(count) + " pixels differ";
  return out;
}

}  // namespace scope_test
