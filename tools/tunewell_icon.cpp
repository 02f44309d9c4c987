// Writes the program icon as a PNG of the given size, for the icon theme:
// tunewell-icon SIZE FILE. Drawn by the same code as the window's icon.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/glyphs.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tunewell-icon SIZE FILE\n");
    return 2;
  }
  int size = 0;
  const char* end = argv[1] + std::strlen(argv[1]);
  const auto [stop, error] = std::from_chars(argv[1], end, size);
  if (error != std::errc() || stop != end || size < 16 || size > 1024) {
    std::fprintf(stderr, "tunewell-icon: size %s is not 16 to 1024\n", argv[1]);
    return 2;
  }
  // Painting needs no screen; the build machine may have none.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    tw::PaintAppIcon(painter, size);
  }
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "tunewell-icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
