#include "ui/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tw {

namespace {

QPixmap Canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QList<QIcon> MakeButtonGlyphs() {
  const QColor ink(0x2E, 0x7D, 0x32);
  QPixmap play = Canvas(16);
  {
    QPainter p(&play);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(4, 2);
    triangle.lineTo(13, 8);
    triangle.lineTo(4, 14);
    triangle.closeSubpath();
    p.fillPath(triangle, ink);
  }
  QPixmap stop = Canvas(16);
  {
    QPainter p(&stop);
    p.fillRect(QRect(4, 4, 8, 8), QColor(0xC6, 0x28, 0x28));
  }
  return {QIcon(play), QIcon(stop)};
}

void PaintAppIcon(QPainter& p, int size) {
  // Drawn on a 256 by 256 grid; data/io.github.tunewell.Tunewell.svg is the same
  // drawing for the icon theme.
  p.save();
  p.scale(size / 256.0, size / 256.0);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1E, 0x3A, 0x5F));
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);
  // A wave over a radio dial: the oscilloscope the player draws.
  QPen wave(QColor(0x7F, 0xDB, 0xFF), 14, Qt::SolidLine, Qt::RoundCap);
  p.setPen(wave);
  QPainterPath path;
  path.moveTo(40, 128);
  path.cubicTo(80, 40, 100, 40, 128, 128);
  path.cubicTo(156, 216, 176, 216, 216, 128);
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
  p.restore();
}

QIcon MakeAppIcon() {
  QPixmap pixmap = Canvas(256);
  QPainter p(&pixmap);
  PaintAppIcon(p, 256);
  return QIcon(pixmap);
}

}  // namespace tw
