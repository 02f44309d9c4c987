// The oscilloscope: the most recent moment of the playing audio drawn as a
// waveform trace.
//
// Each frame is composed in an off-screen image and only then copied whole to
// the paint box, so the screen never shows a half-drawn frame. The pixels are
// written directly (one clear, at most 257 short lines or pixels, one copy):
// no QPainter and no allocation per frame, and exact pixels whatever the
// platform's antialiasing. UI thread only.
#pragma once

#include <QImage>
#include <array>
#include <cstdint>

class TPaintBox;

// One stereo frame of 16-bit samples per word: the left sample in the low half,
// the right one in the high half, both signed. The render tick fills words 0 to
// 511; the trace reads words 0 to 256 at the default step.
using TWaveData = std::array<uint32_t, 2049>;

namespace tw {

// Pixel format of the scope's images and of the paint box. Every composed
// pixel is opaque; the paint box uses the alpha channel only to stay
// see-through until its first frame.
inline constexpr QImage::Format kScopeImageFormat = QImage::Format_ARGB32_Premultiplied;

// The deflection of one word at vertical scale scopeOff: (left + right) / 131070
// * scopeOff, divided first and truncated toward zero. Positive is below the
// baseline. Called for every column of every frame, hence inline.
inline int ScopeSampleValue(uint32_t word, int scopeOff) {
  const int left = static_cast<int16_t>(word & 0xFFFFu);
  const int right = static_cast<int16_t>(word >> 16);
  // |sum / 131070| is at most 0.50002, so the product stays within about
  // +-2^30 for any scale and the conversion to int is always defined.
  return static_cast<int>((left + right) / 131070.0 * scopeOff);
}

// A 0x00BBGGRR colour as an opaque pixel of kScopeImageFormat. The top byte is
// ignored.
uint32_t ScopePixel(uint32_t colorBgr);

}  // namespace tw

class TOcilloScope {
 public:
  // Both images are made here, once; a size of 0 or less gives an empty
  // picture that draws nothing.
  TOcilloScope(int Width, int Height);
  TOcilloScope(const TOcilloScope&) = delete;
  TOcilloScope& operator=(const TOcilloScope&) = delete;

  // Properties read and write their fields with no further effect. Colours are
  // 0x00BBGGRR.
  uint32_t BackColor() const { return BkgColor; }
  void SetBackColor(uint32_t Value) { BkgColor = Value; }
  int Offset() const { return ScopeOff; }
  void SetOffset(int Value) { ScopeOff = Value; }
  uint32_t Pen() const { return PenColor; }
  void SetPen(uint32_t Value) { PenColor = Value; }
  // 0 polyline, 1 vertical bars from the baseline, 2 single pixels; any other
  // value draws no trace.
  int Mode() const { return DrawType; }
  void SetMode(int Value) { DrawType = Value; }
  // Step between the words of consecutive columns. Column X + i reads word
  // i * Res, held to 0..2048: a step outside 0..8 never reads past the array.
  int Res() const { return DrawRes; }
  void SetRes(int Value) { DrawRes = Value; }
  bool FrameClear() const { return FrmClear; }
  void SetFrameClear(bool Value) { FrmClear = Value; }

  // Active chooses whether a frame is cleared with the background picture or
  // with BackColor. BkgCanvas is drawn over the picture at (0, 0) at its own
  // size, clipped to the scope.
  void SetBackGround(bool Active, const QImage& BkgCanvas);

  // Composes one frame from WaveData, X being the left end of the trace and Y
  // its baseline, then copies it to Target at (0, 0) and schedules its
  // repaint. A null Target composes only.
  void Draw(TPaintBox* Target, const TWaveData& WaveData, int X, int Y);

  // The last composed frame.
  const QImage& Canvas() const { return VisBuff; }

 private:
  QImage VisBuff;  // the frame being composed
  QImage BackBmp;  // the background picture, same size and format
  uint32_t BkgColor = 0;
  int ScopeOff = 50;
  uint32_t PenColor = 0xFFFFFF;
  int DrawType = 0;
  int DrawRes = 1;
  bool FrmClear = true;
  bool UseBkg = false;
};
