#include "vis/paint_surface.h"

#include <QPainter>
#include <QResizeEvent>
#include <cstring>

TPaintSurface::TPaintSurface(const QImage& Image) : image_(Image), store_(this) {
  setSurfaceType(QSurface::RasterSurface);
  // Clicks and the wheel go to the window beneath, as over any other widget.
  setFlag(Qt::WindowTransparentForInput);
}

void TPaintSurface::Present(const QRect& Rect) {
  if (!isExposed()) return;
  const QRect rect = Rect & QRect(QPoint(), size()) & image_.rect();
  if (rect.isEmpty()) return;
  if (store_.size() != size()) store_.resize(size());
  store_.beginPaint(rect);
  QPaintDevice* device = store_.paintDevice();
  QImage* target =
      device && device->devType() == QInternal::Image ? static_cast<QImage*>(device) : nullptr;
  // The box hands over only opaque pixels, so 32-bit rows copy as they are;
  // another depth or a scaled screen takes the painter.
  if (target && target->size() == size() && target->depth() == 32 && image_.depth() == 32) {
    const auto rowBytes = static_cast<size_t>(rect.width()) * 4;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
      std::memcpy(target->scanLine(y) + rect.left() * 4, image_.constScanLine(y) + rect.left() * 4,
                  rowBytes);
    }
  } else if (device) {
    QPainter painter(device);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(rect, image_, rect);
  }
  store_.endPaint();
  store_.flush(rect);
}

void TPaintSurface::exposeEvent(QExposeEvent*) {
  // Mapped, or uncovered again: all the picture, as it is now.
  Present(QRect(QPoint(), size()));
}

void TPaintSurface::resizeEvent(QResizeEvent* event) { store_.resize(event->size()); }
