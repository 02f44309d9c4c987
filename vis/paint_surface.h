// The native window an opaque oscilloscope trace goes to the screen through:
// each frame is one copy into the window's backing store and one flush, with
// no widget repaint and no painter on the way.
#pragma once

#include <QBackingStore>
#include <QImage>
#include <QWindow>

class TPaintSurface : public QWindow {
 public:
  // Shows Image, which must outlive the surface.
  explicit TPaintSurface(const QImage& Image);

  // Puts Rect of the image on screen now. Does nothing while the window cannot
  // be seen (hidden, minimised, not yet mapped): its expose shows it then.
  void Present(const QRect& Rect);

 protected:
  void exposeEvent(QExposeEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  const QImage& image_;
  QBackingStore store_;
};
