// The player's pictures, drawn at start instead of shipped as image files.
#pragma once

#include <QIcon>
#include <QList>

class QPainter;

namespace tw {

// ImageList1: 16 by 16, image 0 "play", image 1 "stop".
QList<QIcon> MakeButtonGlyphs();
// The window icon: one 256 by 256 picture (also the tray icon's).
QIcon MakeAppIcon();
// The program icon's drawing, into a square of size by size pixels at the origin.
void PaintAppIcon(QPainter& painter, int size);

}  // namespace tw
