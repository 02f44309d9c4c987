// The surface the oscilloscope's frames are shown on.
#pragma once

#include <QImage>
#include <QWidget>

class TPaintSurface;
class QWindow;

class TPaintBox : public QWidget {
  Q_OBJECT

 public:
  explicit TPaintBox(QWidget* parent = nullptr);
  ~TPaintBox() override;

  // Replaces the box's pixels from the top-left corner with Frame's, clipped to
  // the smaller of the two, and puts them on screen. With a frame in the box's
  // own format and no other holder of the box's image this copies rows and
  // allocates nothing. Opaque says every pixel of Frame is opaque: once such
  // frames cover the whole box, they go straight to the surface below; until
  // then the box schedules a repaint over the window's background.
  void SetFrame(const QImage& Frame, bool Opaque = false);

  // What the box shows: the last frame, kept across repaints so the trace stays
  // on screen after Stop or while a stream stalls. Transparent (the window's
  // background shows through) where no frame has been put yet.
  const QImage& Image() const { return image_; }

  // Where frames go once they cover the box: a native window of its own over
  // it, which each frame reaches without a widget repaint. Shown only while
  // the box is opaque; until then the box paints as any widget does, so the
  // window's background shows through. Tests read what it shows.
  const QWindow* Surface() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Gives the image the widget's size, keeping the overlapping pixels.
  void FitImage();
  void SetOpaque(bool Value);

  QImage image_;
  bool opaque_ = false;     // every pixel of image_ is opaque
  TPaintSurface* surface_;  // owned by container_
  QWidget* container_;      // a child of the box, covering it
};
