#include "vis/osc_vis.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "tests/vis/scope_helpers.h"

using namespace scope_test;

namespace {

QImage Draw(TOcilloScope& scope, const TWaveData& data, int x = 0, int y = kBaseline) {
  scope.Draw(nullptr, data, x, y);
  return scope.Canvas();
}

// A picture that differs in every pixel, to see exactly where it shows.
QImage Pattern(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb(x & 0xFF, y * 3, 0x40 + (x >> 8)));
  }
  return image;
}

// The words used by the mode tests: word 0 far up (only positions the pen),
// then deflections 3, 0, -3 and 1, then silence.
TWaveData ModeWords() {
  TWaveData data = Constant(0);
  data[0] = WordForValue(-25);
  data[1] = WordForValue(3);
  data[2] = WordForValue(0);
  data[3] = WordForValue(-3);
  data[4] = WordForValue(1);
  return data;
}

}  // namespace

// Wrong defaults would change every frame the player draws.
TEST(ScopeProperties, DefaultsAndRoundTrip) {
  TOcilloScope scope(kWidth, kHeight);
  EXPECT_EQ(scope.BackColor(), 0u);
  EXPECT_EQ(scope.Offset(), 50);
  EXPECT_EQ(scope.Pen(), 0xFFFFFFu);
  EXPECT_EQ(scope.Mode(), 0);
  EXPECT_EQ(scope.Res(), 1);
  EXPECT_TRUE(scope.FrameClear());

  // Properties store what they are given, out-of-range values included.
  scope.SetBackColor(0x00123456);
  scope.SetOffset(-7);
  scope.SetPen(0x00ABCDEF);
  scope.SetMode(42);
  scope.SetRes(-3);
  scope.SetFrameClear(false);
  EXPECT_EQ(scope.BackColor(), 0x00123456u);
  EXPECT_EQ(scope.Offset(), -7);
  EXPECT_EQ(scope.Pen(), 0x00ABCDEFu);
  EXPECT_EQ(scope.Mode(), 42);
  EXPECT_EQ(scope.Res(), -3);
  EXPECT_FALSE(scope.FrameClear());
  EXPECT_EQ(scope.Canvas().size(), QSize(kWidth, kHeight));
}

// Mixing up the halves' signs, the divisor (131072), rounding instead of
// truncating, or multiplying before dividing moves the trace.
TEST(ScopeSampleValue, Cases) {
  struct {
    int left, right, scale, value;
  } cases[] = {
      {-32768, -32768, 50, -25},
      {32767, 32767, 50, 24},
      {32767, -32768, 50, 0},
      {0, 0, 50, 0},
      {2621, 0, 50, 0},
      {1311, 1311, 50, 1},
      {-2621, 0, 50, 0},
      {-1311, -1311, 50, -1},
      {0, 2622, 50, 1},
      {-32768, -32768, 100, -50},
      {1311, 1311, -50, -1},
      {32767, 32767, 0, 0},
      {-32768, -32768, INT_MAX, -1073758207},
      {-32768, -32768, INT_MIN, 1073758208},
      {32767, 32767, INT_MAX, 1073725439},
      {32767, 32767, INT_MIN, -1073725439},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tw::ScopeSampleValue(Word(c.left, c.right), c.scale), c.value)
        << "L=" << c.left << " R=" << c.right << " scale " << c.scale;
  }
}

// At the player's scale the floating-point value must equal the integer
// s * 50 / 131070 truncated toward zero for every possible sum.
TEST(ScopeSampleValue, EverySumAtScale50) {
  for (int sum = -65536; sum <= 65534; ++sum) {
    ASSERT_EQ(tw::ScopeSampleValue(WordForSum(sum), 50), sum * 50 / 131070) << "sum " << sum;
  }
}

// Silence is a line on the baseline from column 0 to 255; a line that paints
// its end pixel would reach column 256.
TEST(ScopeDraw, SilenceIsBaselineWithoutEndPixel) {
  TOcilloScope scope(kWidth, kHeight);
  QImage want = Picture();
  Row(want, kBaseline, 0, 255);
  EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), want), "");
}

// Steady signals land on the row of their value: the sign convention
// (positive below), truncation, and clipping of rows past the bottom edge.
TEST(ScopeDraw, SteadySignalRows) {
  struct {
    uint32_t word;
    int row;  // -1: outside the picture
  } cases[] = {
      {Word(-32768, -32768), 25}, {Word(32767, 32767), -1},  // v = 24, row 74
      {WordForValue(23), -1},                                // row 73, one past the last
      {WordForValue(22), 72},     {Word(32767, -32768), 50}, {WordForSum(2621), 50},
      {WordForSum(2622), 51},     {WordForSum(-2621), 50},   {WordForSum(-2622), 49},
  };
  for (const auto& c : cases) {
    TOcilloScope scope(kWidth, kHeight);
    QImage want = Picture();
    if (c.row >= 0) Row(want, c.row, 0, 255);
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(c.word)), want), "") << "word " << std::hex << c.word;
  }
}

// A dip below the bottom edge is cut there: nothing wraps to another row or
// is pulled up to the last row.
TEST(ScopeDraw, DipBelowBottomIsClipped) {
  TOcilloScope scope(kWidth, kHeight);
  TWaveData data = Constant(0);
  data[10] = WordForValue(23);  // row 73
  QImage want = Picture();
  Row(want, kBaseline, 0, 8);
  // (9,50) down to (10,73): rows 50..61 in column 9, the rest in column 10
  // (row 73 is past the edge); back up: rows 72..62 in column 10, then rows
  // 61..51 in column 11, its end (11,50) starting the next segment.
  Column(want, 9, 50, 61);
  Column(want, 10, 62, 72);
  Column(want, 11, 51, 61);
  Row(want, kBaseline, 11, 255);
  EXPECT_EQ(ImageDiff(Draw(scope, data), want), "");
}

// A full-scale positive sample (v = 24, row 74) is cut at the bottom edge.
TEST(ScopeDraw, FullScaleDipReachesBottomRow) {
  TOcilloScope scope(kWidth, kHeight);
  TWaveData data = Constant(0);
  data[10] = Word(32767, 32767);
  const QImage got = Draw(scope, data);
  EXPECT_EQ(got.pixel(10, 72), kWhite);
  for (int y = 51; y < kHeight; ++y) {
    int inTrace = 0;
    for (int x = 0; x < kWidth; ++x) {
      if (got.pixel(x, y) != kWhite) continue;
      EXPECT_TRUE(x >= 9 && x <= 11) << "stray pixel at " << x << "," << y;
      ++inTrace;
    }
    EXPECT_GE(inTrace, 1) << "gap in row " << y;
  }
  for (int y = 0; y < kBaseline; ++y) {
    for (int x = 0; x < kWidth; ++x) ASSERT_EQ(got.pixel(x, y), kBlack) << x << "," << y;
  }
}

// The polyline joins consecutive points with exact one-pixel lines: a 45
// degree ramp is a diagonal, a steep segment splits between its two columns.
TEST(ScopeDraw, PolylineSegments) {
  {
    TOcilloScope scope(kWidth, kHeight);
    TWaveData data = Constant(WordForValue(20));
    for (int i = 0; i < 20; ++i) data[static_cast<size_t>(i)] = WordForValue(i);
    QImage want = Picture();
    for (int i = 0; i < 20; ++i) want.setPixel(i, kBaseline + i, kWhite);
    Row(want, 70, 20, 255);
    EXPECT_EQ(ImageDiff(Draw(scope, data), want), "") << "ramp";
  }
  {
    TOcilloScope scope(kWidth, kHeight);
    TWaveData data = Constant(0);
    data[1] = WordForValue(3);
    QImage want = Picture();
    Column(want, 0, 50, 51);  // (0,50) to (1,53)
    Column(want, 1, 52, 53);
    want.setPixel(2, 51, kWhite);  // (1,53) back to (2,50)
    Row(want, kBaseline, 2, 255);
    EXPECT_EQ(ImageDiff(Draw(scope, data), want), "") << "spike";
  }
}

// Mode 1: bars from the baseline that leave out their end, so a zero sample
// paints nothing; word 0 is not drawn.
TEST(ScopeDraw, BarsMode) {
  TOcilloScope scope(kWidth, kHeight);
  scope.SetMode(1);
  QImage want = Picture();
  Column(want, 1, 50, 52);       // v = 3
  Column(want, 3, 48, 50);       // v = -3
  want.setPixel(4, 50, kWhite);  // v = 1
  EXPECT_EQ(ImageDiff(Draw(scope, ModeWords()), want), "");
}

// Mode 2: one pixel per column at its value, columns 1 to 256, word 0 unused.
TEST(ScopeDraw, PixelsMode) {
  TOcilloScope scope(kWidth, kHeight);
  scope.SetMode(2);
  QImage want = Picture();
  want.setPixel(1, 53, kWhite);
  want.setPixel(2, 50, kWhite);
  want.setPixel(3, 47, kWhite);
  want.setPixel(4, 51, kWhite);
  Row(want, kBaseline, 5, 256);
  EXPECT_EQ(ImageDiff(Draw(scope, ModeWords()), want), "");
}

// Any other mode still clears the frame but draws no trace.
TEST(ScopeDraw, UnknownModeIsPlainBackground) {
  for (int mode : {3, -1, 100, INT_MIN, INT_MAX}) {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetBackColor(0x00336699);
    scope.SetMode(mode);
    EXPECT_EQ(ImageDiff(Draw(scope, ModeWords()), Picture(0xFF996633)), "") << "mode " << mode;
  }
}

// Without FrameClear each trace is drawn over the earlier ones and nothing is
// cleared, even after the background colour changes; with it, only the last
// trace shows.
TEST(ScopeDraw, FrameClearAccumulates) {
  for (bool frameClear : {false, true}) {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetFrameClear(frameClear);
    Draw(scope, Constant(WordForValue(-25)));
    scope.SetBackColor(0x000000FF);
    QImage want = Picture(frameClear ? 0xFFFF0000 : kBlack);
    if (!frameClear) Row(want, 25, 0, 255);
    Row(want, 60, 0, 255);
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(WordForValue(10))), want), "")
        << "FrameClear " << frameClear;
  }
}

// The clear copies the background picture (drawn at the top-left, at its own
// size) instead of filling with BackColor, and the trace goes on top.
TEST(ScopeBackground, PictureUsedForClear) {
  TOcilloScope scope(kWidth, kHeight);
  scope.SetBackColor(0x0000FF00);  // not used while the picture is on
  const QImage picture = Pattern(120, 60);
  scope.SetBackGround(true, picture);
  QImage want = Picture();
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 120; ++x) want.setPixel(x, y, picture.pixel(x, y));
  }
  Row(want, kBaseline, 0, 255);
  EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), want), "");

  // Switched off, BackColor clears again; switched back on (with no new
  // picture) the stored picture returns.
  scope.SetBackGround(false, QImage());
  QImage plain = Picture(0xFF00FF00);
  Row(plain, kBaseline, 0, 255);
  EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), plain), "");
  scope.SetBackGround(true, QImage());
  EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), want), "");
}

// A second picture is drawn over the first rather than replacing the whole
// background; a picture larger than the scope is cut to it.
TEST(ScopeBackground, PicturesLayerAndClip) {
  {
    TOcilloScope scope(kWidth, kHeight);
    const QImage first = Pattern(120, 60);
    scope.SetBackGround(true, first);
    QImage second(30, 20, QImage::Format_RGB32);
    second.fill(0xFF00FF00);
    scope.SetBackGround(true, second);
    scope.SetMode(3);
    QImage want = Picture();
    for (int y = 0; y < 60; ++y) {
      for (int x = 0; x < 120; ++x)
        want.setPixel(x, y, x < 30 && y < 20 ? 0xFF00FF00 : first.pixel(x, y));
    }
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), want), "") << "layered";
  }
  {
    TOcilloScope scope(kWidth, kHeight);
    const QImage big = Pattern(400, 100);
    scope.SetBackGround(true, big);
    scope.SetMode(3);
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), big.copy(0, 0, kWidth, kHeight)), "")
        << "larger than the scope";
  }
}

// Colours are 0x00BBGGRR: red is the low byte. Swapping the order paints red
// as blue. The top byte carries nothing.
TEST(ScopeColours, ByteOrder) {
  struct {
    uint32_t back, pen;
    QRgb backPixel, penPixel;
  } cases[] = {
      {0x00112233, 0x00445566, 0xFF332211, 0xFF665544},
      {0x000000FF, 0x00FF0000, 0xFFFF0000, 0xFF0000FF},
      {0x0000FF00, 0x00000000, 0xFF00FF00, 0xFF000000},
      {0xFF00FF00, 0x01FFFFFF, 0xFF00FF00, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetBackColor(c.back);
    scope.SetPen(c.pen);
    QImage want = Picture(c.backPixel);
    Row(want, kBaseline, 0, 255, c.penPixel);
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(0)), want), "")
        << std::hex << "back " << c.back << " pen " << c.pen;
  }
}

// Column X + i reads word i * Res held to 0..2048: steps outside 0..8 must
// neither read past the array (ASan) nor overflow (UBSan).
TEST(ScopeDraw, StepBetweenWords) {
  TWaveData data = Constant(0);
  data[0] = WordForValue(5);       // row 55
  data[9] = WordForValue(-10);     // row 40
  data[2048] = WordForValue(-25);  // row 25
  struct Span {
    int x0, x1, row;
  };
  struct {
    int res;
    std::vector<Span> spans;
  } cases[] = {
      {1, {{1, 8, 50}, {9, 9, 40}, {10, 256, 50}}},
      {3, {{1, 2, 50}, {3, 3, 40}, {4, 256, 50}}},
      {8, {{1, 255, 50}, {256, 256, 25}}},
      {0, {{1, 256, 55}}},
      {9, {{1, 1, 40}, {2, 227, 50}, {228, 256, 25}}},
      {-1, {{1, 256, 55}}},
      {INT_MAX, {{1, 256, 25}}},
      {INT_MIN, {{1, 256, 55}}},
  };
  for (const auto& c : cases) {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetMode(2);
    scope.SetRes(c.res);
    QImage want = Picture();
    for (const Span& s : c.spans) Row(want, s.row, s.x0, s.x1);
    EXPECT_EQ(ImageDiff(Draw(scope, data), want), "") << "Res " << c.res;

    // The polyline with the same steps stays unbroken across the columns.
    scope.SetMode(0);
    const QImage line = Draw(scope, data);
    for (int x = 0; x <= 255; ++x) {
      bool lit = false;
      for (int y = 0; y < kHeight; ++y) lit = lit || line.pixel(x, y) == kWhite;
      EXPECT_TRUE(lit) << "Res " << c.res << ": no trace in column " << x;
    }
  }
}

// The trace is placed at X, Y and cut at every edge; extreme positions draw
// nothing and do not overflow.
TEST(ScopeDraw, PositionAndClipping) {
  struct {
    int x, y;
    int x0, x1, row;  // painted columns of row; none when x0 > x1
  } cases[] = {
      {0, 0, 0, 255, 0},      {0, 72, 0, 255, 72},         {0, 73, 1, 0, 0},
      {0, -1, 1, 0, 0},       {-100, 50, 0, 155, 50},      {-255, 50, 0, 0, 50},
      {-256, 50, 1, 0, 0},    {200, 50, 200, 264, 50},     {264, 50, 264, 264, 50},
      {265, 50, 1, 0, 0},     {INT_MAX, INT_MAX, 1, 0, 0}, {INT_MIN, INT_MIN, 1, 0, 0},
      {INT_MIN, 50, 1, 0, 0}, {0, INT_MAX, 1, 0, 0},
  };
  for (const auto& c : cases) {
    TOcilloScope scope(kWidth, kHeight);
    QImage want = Picture();
    if (c.x0 <= c.x1) Row(want, c.row, c.x0, c.x1);
    EXPECT_EQ(ImageDiff(Draw(scope, Constant(WordForSum(-1)), c.x, c.y), want), "")
        << "X " << c.x << " Y " << c.y;
  }
}

// At a huge scale the lines run far outside the picture; the visible part is
// exact and is found without walking the invisible billion pixels.
TEST(ScopeDraw, HugeScale) {
  {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetOffset(INT_MAX);
    scope.SetMode(1);
    TWaveData data = Constant(0);
    data[1] = WordForSum(65534);   // about 2^30 down
    data[2] = WordForSum(-65536);  // about 2^30 up
    data[3] = WordForSum(1);       // 16384 down
    QImage want = Picture();
    Column(want, 1, 50, 72);
    Column(want, 2, 0, 50);
    Column(want, 3, 50, 72);
    EXPECT_EQ(ImageDiff(Draw(scope, data), want), "") << "bars";
  }
  {
    TOcilloScope scope(kWidth, kHeight);
    scope.SetOffset(INT_MAX);
    TWaveData data = Constant(0);
    data[1] = WordForSum(65534);
    QImage want = Picture();
    Column(want, 0, 50, 72);  // the first half of the way down stays in column 0
    Column(want, 2, 51, 72);  // the last half of the way back up is in column 2
    Row(want, kBaseline, 2, 255);
    EXPECT_EQ(ImageDiff(Draw(scope, data), want), "") << "polyline";
  }
}

// Empty or tiny scopes must not write outside their pixels.
TEST(ScopeDraw, DegenerateSizes) {
  for (auto [w, h] : {std::pair{0, 0}, std::pair{-5, 10}, std::pair{10, -5}, std::pair{0, 73}}) {
    TOcilloScope scope(w, h);
    scope.SetBackGround(true, Pattern(4, 4));
    Draw(scope, Constant(0), 0, 0);
    EXPECT_TRUE(scope.Canvas().isNull()) << w << "x" << h;
  }
  TOcilloScope one(1, 1);
  QImage want = Picture(kBlack, 1, 1);
  want.setPixel(0, 0, kWhite);
  EXPECT_EQ(ImageDiff(Draw(one, Constant(0), 0, 0), want), "");
}

// Frames are composed in the same pixels every time: a new image per frame
// would mean an allocation per frame.
TEST(ScopeDraw, ComposesInPlace) {
  TOcilloScope scope(kWidth, kHeight);
  const uchar* pixels = scope.Canvas().constBits();
  scope.SetBackGround(true, Pattern(20, 20));
  for (int frame = 0; frame < 3; ++frame) {
    scope.Draw(nullptr, Constant(WordForValue(frame)), 0, kBaseline);
    EXPECT_EQ(scope.Canvas().constBits(), pixels);
  }
}
