#include "vis/osc_vis.h"

#include <QPainter>
#include <algorithm>
#include <cstring>

#include "vis/paint_box.h"

namespace tw {

uint32_t ScopePixel(uint32_t colorBgr) {
  const uint32_t red = colorBgr & 0xFFu;
  const uint32_t green = (colorBgr >> 8) & 0xFFu;
  const uint32_t blue = (colorBgr >> 16) & 0xFFu;
  return 0xFF000000u | (red << 16) | (green << 8) | blue;
}

}  // namespace tw

namespace {

// Points of a trace can lie far outside the picture (a large scale or baseline
// puts them up to about 2^32 away), so positions are 64-bit and the first step
// of a clipped line is found with a 128-bit product.
__extension__ typedef __int128 Wide;

constexpr int kLastColumn = 256;
constexpr int64_t kLastWord = std::tuple_size_v<TWaveData> - 1;

struct Surface {
  uint32_t* bits;
  int64_t stride;  // in pixels
  int64_t width;
  int64_t height;
};

void Plot(const Surface& s, int64_t x, int64_t y, uint32_t pixel) {
  if (x >= 0 && x < s.width && y >= 0 && y < s.height) s.bits[y * s.stride + x] = pixel;
}

// Paints from (x0, y0) towards (x1, y1), the start pixel included and the end
// pixel left out: the polyline's joints are painted once, by the segment that
// starts there, and a bar of length 0 paints nothing. Steps whose pixel falls
// outside the picture are skipped without being walked, so a line thousands of
// rows long costs no more than one across the picture.
void Line(const Surface& s, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t pixel) {
  const int64_t dx = x1 - x0;
  const int64_t dy = y1 - y0;
  const int64_t adx = dx < 0 ? -dx : dx;
  const int64_t ady = dy < 0 ? -dy : dy;
  if (adx == 0 && ady == 0) return;

  // One pixel per step along the major axis a; the minor axis b follows.
  const bool xMajor = adx >= ady;
  const int64_t a0 = xMajor ? x0 : y0;
  const int64_t b0 = xMajor ? y0 : x0;
  const int64_t len = xMajor ? adx : ady;
  const int64_t rise = xMajor ? ady : adx;
  const int64_t sa = (xMajor ? dx : dy) < 0 ? -1 : 1;
  const int64_t sb = (xMajor ? dy : dx) < 0 ? -1 : 1;
  const int64_t aLimit = xMajor ? s.width : s.height;
  const int64_t bLimit = xMajor ? s.height : s.width;

  // Steps 0 .. len - 1 whose major position lies in the picture.
  int64_t kFirst;
  int64_t kLast;
  if (sa > 0) {
    kFirst = std::max<int64_t>(0, -a0);
    kLast = std::min(len - 1, aLimit - 1 - a0);
  } else {
    kFirst = std::max<int64_t>(0, a0 - (aLimit - 1));
    kLast = std::min(len - 1, a0);
  }
  if (kFirst > kLast) return;

  // Minor offset of step k: k * rise / len to the nearest integer, an exact
  // half rounding toward the start (the classic Bresenham choice). Kept as
  // quotient m and remainder r of (2 k rise + len - 1) / (2 len); lines that
  // start inside the picture (nearly all) begin at k = 0 and need no division.
  const int64_t twoLen = 2 * len;
  int64_t m = 0;
  int64_t r = len - 1;
  if (kFirst > 0) {
    const Wide first = Wide{2} * kFirst * rise + (len - 1);
    m = static_cast<int64_t>(first / twoLen);
    r = static_cast<int64_t>(first % twoLen);
  }
  for (int64_t k = kFirst; k <= kLast; ++k) {
    const int64_t a = a0 + sa * k;
    const int64_t b = b0 + sb * m;
    if (b >= 0 && b < bLimit) {
      if (xMajor) {
        s.bits[b * s.stride + a] = pixel;
      } else {
        s.bits[a * s.stride + b] = pixel;
      }
    }
    r += 2 * rise;
    if (r >= twoLen) {
      r -= twoLen;
      ++m;
    }
  }
}

QImage MakeBitmap(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  QImage image(width, height, tw::kScopeImageFormat);
  // A failed allocation leaves a null image, which draws nothing.
  if (!image.isNull()) image.fill(tw::ScopePixel(0));
  return image;
}

}  // namespace

TOcilloScope::TOcilloScope(int Width, int Height)
    : VisBuff(MakeBitmap(Width, Height)), BackBmp(MakeBitmap(Width, Height)) {}

void TOcilloScope::SetBackGround(bool Active, const QImage& BkgCanvas) {
  UseBkg = Active;
  if (BackBmp.isNull() || BkgCanvas.isNull()) return;
  QPainter painter(&BackBmp);
  painter.drawImage(0, 0, BkgCanvas);
}

void TOcilloScope::Draw(TPaintBox* Target, const TWaveData& WaveData, int X, int Y) {
  if (!VisBuff.isNull()) {
    const Surface s{reinterpret_cast<uint32_t*>(VisBuff.bits()), VisBuff.bytesPerLine() / 4,
                    VisBuff.width(), VisBuff.height()};

    if (FrmClear) {
      if (UseBkg) {
        // Both pictures have the same size and format, hence the same layout.
        std::memcpy(s.bits, BackBmp.constBits(), static_cast<size_t>(BackBmp.sizeInBytes()));
      } else {
        const uint32_t fill = tw::ScopePixel(BkgColor);
        for (int64_t y = 0; y < s.height; ++y) std::fill_n(s.bits + y * s.stride, s.width, fill);
      }
    }

    if (DrawType >= 0 && DrawType <= 2) {
      const uint32_t pen = tw::ScopePixel(PenColor);
      const int64_t baseline = Y;
      int64_t penX = X;
      int64_t penY = baseline + tw::ScopeSampleValue(WaveData[0], ScopeOff);
      for (int i = 1; i <= kLastColumn; ++i) {
        const int64_t word = std::clamp(int64_t{i} * DrawRes, int64_t{0}, kLastWord);
        const int64_t x = int64_t{X} + i;
        const int64_t y =
            baseline + tw::ScopeSampleValue(WaveData[static_cast<size_t>(word)], ScopeOff);
        switch (DrawType) {
          case 0:
            Line(s, penX, penY, x, y, pen);
            break;
          case 1:
            Line(s, x, baseline, x, y, pen);
            break;
          default:
            Plot(s, x, y, pen);
            break;
        }
        penX = x;
        penY = y;
      }
    }
  }
  // Every pixel composed here is opaque (ScopePixel, or the background
  // picture drawn over an opaque fill).
  if (Target) Target->SetFrame(VisBuff, true);
}
