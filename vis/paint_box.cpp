#include "vis/paint_box.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <utility>

#include "vis/osc_vis.h"
#include "vis/paint_surface.h"

namespace {

QImage TransparentImage(QSize size) {
  if (size.isEmpty()) return {};
  QImage image(size, tw::kScopeImageFormat);
  if (!image.isNull()) image.fill(Qt::transparent);
  return image;
}

// Copies the top-left w by h pixels of src over those of dst. Both images hold
// at least that many pixels.
void CopyPixels(QImage& dst, const QImage& src, int w, int h) {
  if (w <= 0 || h <= 0) return;
  if (src.format() == dst.format()) {
    const size_t rowBytes = static_cast<size_t>(w) * static_cast<size_t>(dst.depth() / 8);
    uchar* to = dst.bits();
    const uchar* from = src.constBits();
    for (int y = 0; y < h; ++y) {
      std::memcpy(to + y * dst.bytesPerLine(), from + y * src.bytesPerLine(), rowBytes);
    }
  } else {
    QPainter painter(&dst);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, src, 0, 0, w, h);
  }
}

}  // namespace

TPaintBox::TPaintBox(QWidget* parent)
    : QWidget(parent),
      image_(TransparentImage(size())),
      surface_(new TPaintSurface(image_)),
      container_(QWidget::createWindowContainer(surface_, this)) {
  container_->setFocusPolicy(Qt::NoFocus);
  container_->hide();
}

// The surface shows image_: it goes first.
TPaintBox::~TPaintBox() { delete container_; }

const QWindow* TPaintBox::Surface() const { return surface_; }

void TPaintBox::SetFrame(const QImage& Frame, bool Opaque) {
  FitImage();
  const int w = std::min(Frame.width(), image_.width());
  const int h = std::min(Frame.height(), image_.height());
  if (w <= 0 || h <= 0) return;
  CopyPixels(image_, Frame, w, h);
  const bool whole = w == image_.width() && h == image_.height();
  SetOpaque(Opaque && (opaque_ || whole));
  if (opaque_) {
    surface_->Present(QRect(0, 0, w, h));
  } else {
    update(0, 0, w, h);
  }
}

void TPaintBox::paintEvent(QPaintEvent* event) {
  FitImage();
  if (image_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(event->rect(), image_, event->rect());
}

void TPaintBox::resizeEvent(QResizeEvent* event) {
  FitImage();
  QWidget::resizeEvent(event);
}

// A hidden widget hears of a new size only when it is shown, and frames may
// arrive before that, so every entry point checks the size itself.
void TPaintBox::FitImage() {
  if (image_.size() == size() || (image_.isNull() && size().isEmpty())) return;
  QImage next = TransparentImage(size());
  if (!next.isNull() && !image_.isNull()) {
    CopyPixels(next, image_, std::min(next.width(), image_.width()),
               std::min(next.height(), image_.height()));
  }
  image_ = std::move(next);
  // Pixels the last frames did not reach are see-through again.
  SetOpaque(false);
}

// An opaque box spares Qt painting the window's background under it, and its
// frames go to the surface; a see-through one must be painted over that
// background, so the surface steps aside.
void TPaintBox::SetOpaque(bool Value) {
  if (Value == opaque_) return;
  opaque_ = Value;
  setAttribute(Qt::WA_OpaquePaintEvent, Value);
  container_->setGeometry(rect());
  container_->setVisible(Value);
  if (!Value) update();
}
