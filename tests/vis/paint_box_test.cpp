#include "vis/paint_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QScreen>
#include <QWindow>

#include "tests/vis/scope_helpers.h"
#include "vis/osc_vis.h"

using namespace scope_test;

namespace {

// What the widget puts on screen, read back through Qt's own rendering.
QImage OnScreen(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// What a shown box puts on screen: its surface's pixels once frames cover it,
// its own painting before.
QImage BoxOnScreen(TPaintBox& box) {
  const QWindow* surface = box.Surface();
  if (!surface->isVisible()) return OnScreen(box);
  return surface->screen()
      ->grabWindow(surface->winId())
      .toImage()
      .convertToFormat(QImage::Format_ARGB32);
}

QImage Opaque(const QImage& image) { return image.convertToFormat(QImage::Format_ARGB32); }

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

TWaveData Spike() {
  TWaveData data = Constant(0);
  data[40] = WordForValue(-20);
  data[41] = WordForValue(15);
  return data;
}

}  // namespace

// The box must show exactly the composed frame, not a scaled, blended or
// partial copy.
TEST(PaintBox, ShowsTheComposedFrame) {
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);
  scope.SetBackColor(0x00203040);
  scope.Draw(&box, Spike(), 0, kBaseline);
  EXPECT_EQ(ImageDiff(Opaque(box.Image()), Opaque(scope.Canvas())), "");
  EXPECT_EQ(ImageDiff(OnScreen(box), Opaque(scope.Canvas())), "");
}

// After the last frame (Stop, a stall) repaints keep showing it.
TEST(PaintBox, KeepsLastFrameAcrossRepaints) {
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);
  box.show();
  scope.Draw(&box, Spike(), 0, kBaseline);
  const QImage frame = Opaque(scope.Canvas());
  for (int i = 0; i < 3; ++i) {
    box.update();
    box.repaint();
    QApplication::processEvents();
    EXPECT_EQ(ImageDiff(OnScreen(box), frame), "") << "repaint " << i;
    EXPECT_EQ(ImageDiff(BoxOnScreen(box), frame), "") << "repaint " << i;
  }
  box.hide();
  box.show();
  QApplication::processEvents();
  EXPECT_EQ(ImageDiff(BoxOnScreen(box), frame), "") << "hidden and shown again";
}

// A frame that is copied but never put on screen would not show until something
// else repainted the box: see-through frames through a repaint, opaque ones
// straight on the surface, each as it comes.
TEST(PaintBox, FrameReachesTheScreen) {
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);
  box.show();
  QApplication::processEvents();
  PaintCounter counter;
  box.installEventFilter(&counter);
  QApplication::processEvents();
  ASSERT_EQ(counter.paints, 0) << "the box was still repainting without a frame";
  QImage clear(kWidth, kHeight, tw::kScopeImageFormat);
  clear.fill(Qt::transparent);
  box.SetFrame(clear);
  QApplication::processEvents();
  EXPECT_GE(counter.paints, 1);
  EXPECT_FALSE(box.Surface()->isVisible());

  scope.Draw(&box, Spike(), 0, kBaseline);
  QApplication::processEvents();
  EXPECT_TRUE(box.Surface()->isVisible());
  EXPECT_EQ(ImageDiff(BoxOnScreen(box), Opaque(scope.Canvas())), "");
  // Later frames reach the surface without waiting for the event loop.
  counter.paints = 0;
  for (int frame = 0; frame < 3; ++frame) {
    scope.Draw(&box, Constant(WordForValue(frame * 10)), 0, kBaseline);
    EXPECT_EQ(ImageDiff(BoxOnScreen(box), Opaque(scope.Canvas())), "") << "frame " << frame;
  }
  EXPECT_EQ(counter.paints, 0) << "an opaque frame repainted the widget";
}

// A new frame replaces the old pixels rather than drawing over them.
TEST(PaintBox, NewFrameReplacesOld) {
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);
  scope.Draw(&box, Spike(), 0, kBaseline);
  scope.Draw(&box, Constant(0), 0, kBaseline);
  QImage want = Picture();
  Row(want, kBaseline, 0, 255);
  EXPECT_EQ(ImageDiff(OnScreen(box), want), "");
}

// The frame goes to the top-left corner, cut to a smaller box; a larger box
// stays see-through outside the frame, so the window shows there.
TEST(PaintBox, FrameClippedToBox) {
  TOcilloScope scope(kWidth, kHeight);
  {
    TPaintBox box;
    box.resize(100, 60);
    scope.Draw(&box, Spike(), 0, kBaseline);
    EXPECT_EQ(ImageDiff(Opaque(box.Image()), Opaque(scope.Canvas()).copy(0, 0, 100, 60)), "");
  }
  {
    TPaintBox box;
    box.resize(300, 90);
    scope.Draw(&box, Spike(), 0, kBaseline);
    QImage want(300, 90, QImage::Format_ARGB32);
    want.fill(Qt::transparent);
    const QImage frame = Opaque(scope.Canvas());
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) want.setPixel(x, y, frame.pixel(x, y));
    }
    EXPECT_EQ(ImageDiff(Opaque(box.Image()), want), "");
  }
}

// Until the first frame the window's background shows where the box is;
// afterwards the frame does.
TEST(PaintBox, WindowShowsThroughBeforeFirstFrame) {
  QWidget window;
  window.resize(320, 120);
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  auto* box = new TPaintBox(&window);
  box->setGeometry(40, 20, kWidth, kHeight);

  const QImage before = OnScreen(window);
  EXPECT_EQ(before.pixel(40 + 100, 20 + kBaseline), qRgb(0x12, 0x34, 0x56));

  TOcilloScope scope(kWidth, kHeight);
  scope.Draw(box, Constant(0), 0, kBaseline);
  const QImage after = OnScreen(window);
  EXPECT_EQ(after.pixel(40 + 100, 20 + kBaseline), kWhite);
  EXPECT_EQ(after.pixel(40 + 100, 20 + 10), kBlack);
  EXPECT_EQ(after.pixel(10, 10), qRgb(0x12, 0x34, 0x56));
}

// A box covered by opaque frames lets Qt skip the background beneath it; once
// it grows, or a see-through frame lands, the background must show again.
TEST(PaintBox, OpaqueOnlyWhileFramesCoverIt) {
  QWidget window;
  window.resize(320, 120);
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  auto* box = new TPaintBox(&window);
  box->setGeometry(0, 0, kWidth, kHeight);
  TOcilloScope scope(kWidth, kHeight);
  scope.Draw(box, Constant(0), 0, kBaseline);
  EXPECT_TRUE(box->testAttribute(Qt::WA_OpaquePaintEvent));
  window.show();
  QApplication::processEvents();
  EXPECT_TRUE(box->Surface()->isVisible());

  box->resize(kWidth + 20, kHeight);
  scope.Draw(box, Constant(0), 0, kBaseline);
  EXPECT_FALSE(box->testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_FALSE(box->Surface()->isVisible()) << "the surface would hide the window's background";
  EXPECT_EQ(OnScreen(window).pixel(kWidth + 10, 10), qRgb(0x12, 0x34, 0x56));

  box->resize(kWidth, kHeight);
  scope.Draw(box, Constant(0), 0, kBaseline);
  EXPECT_TRUE(box->testAttribute(Qt::WA_OpaquePaintEvent));
  QImage clear(kWidth, kHeight, tw::kScopeImageFormat);
  clear.fill(Qt::transparent);
  box->SetFrame(clear);
  EXPECT_FALSE(box->testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_FALSE(box->Surface()->isVisible());
  EXPECT_EQ(OnScreen(window).pixel(10, 10), qRgb(0x12, 0x34, 0x56));
}

// A box sized before it is ever shown still takes frames at its new size.
TEST(PaintBox, SizedWhileHidden) {
  QWidget window;
  auto* box = new TPaintBox(&window);
  box->setGeometry(0, 0, kWidth, kHeight);
  TOcilloScope scope(kWidth, kHeight);
  scope.Draw(box, Spike(), 0, kBaseline);
  EXPECT_EQ(ImageDiff(Opaque(box->Image()), Opaque(scope.Canvas())), "");
}

// A frame in another pixel format is still copied exactly.
TEST(PaintBox, OtherFormatCopied) {
  TPaintBox box;
  box.resize(8, 4);
  QImage frame(8, 4, QImage::Format_RGB888);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) frame.setPixel(x, y, qRgb(x * 30, y * 60, 7));
  }
  box.SetFrame(frame);
  EXPECT_EQ(ImageDiff(Opaque(box.Image()), Opaque(frame)), "");
}

// Frames are copied into the same pixels every time: no image per frame.
TEST(PaintBox, CopiesInPlace) {
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);
  scope.Draw(&box, Constant(0), 0, kBaseline);
  const uchar* pixels = box.Image().constBits();
  for (int frame = 0; frame < 3; ++frame) {
    scope.Draw(&box, Constant(WordForValue(frame)), 0, kBaseline);
    EXPECT_EQ(box.Image().constBits(), pixels);
  }
}
