// What the player's libraries cost before the player does anything of its own:
// every library it links loaded (Qt Widgets and D-Bus, FFmpeg, curl, SDL), none
// set to work, under a window of the main window's size and kind of controls,
// with a box of the oscilloscope's size sent to the screen 30 times a second the
// way the player sends it (a raster window of its own, one copy and one flush a
// frame). player_bench measures it beside the player: the difference is the
// player's own share.
#include <SDL.h>
#include <curl/curl.h>

#include <QApplication>
#include <QBackingStore>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusMessage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

int main(int argc, char** argv) {
  // One call into each library, so that the linker keeps them all.
  SDL_version sdl;
  SDL_GetVersion(&sdl);
  const bool linked =
      curl_version() && avformat_version() && avcodec_version() && swresample_version() &&
      sdl.major > 0 &&
      !QDBusMessage::createSignal("/", "io.github.tunewell", "Floor").isReplyRequired();
  // As the player runs on X11.
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(linked ? "Libraries only" : "");
  window.setFixedSize(575, 440);
  auto place = [&](QWidget* widget, int x, int y, int w, int h) {
    widget->setParent(&window);
    widget->setGeometry(x, y, w, h);
  };
  auto* list = new QListWidget;
  list->addItem("Bench");
  place(list, 40, 48, 329, 201);
  place(new QLabel("Sender:"), 40, 27, 60, 15);
  place(new QPushButton("&Play"), 328, 384, 75, 25);
  place(new QPushButton("&Close"), 473, 235, 75, 25);
  place(new QCheckBox("Start in system tray"), 392, 64, 170, 17);
  auto* devices = new QComboBox;
  devices->addItem("No sound");
  place(devices, 392, 8, 145, 23);
  place(new QScrollBar(Qt::Horizontal), 248, 8, 121, 17);

  auto* box = new QWindow;
  box->setSurfaceType(QSurface::RasterSurface);
  QWidget* container = QWidget::createWindowContainer(box, &window);
  container->setGeometry(40, 367, 265, 73);
  QBackingStore store(box);
  QImage frame(265, 73, QImage::Format_ARGB32_Premultiplied);
  int shift = 0;
  QTimer tick;
  tick.setInterval(33);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    // A moving trace, so every frame differs as the player's do.
    frame.fill(0xff000000);
    for (int x = 0; x < frame.width(); ++x)
      frame.setPixel(x, 36 + (x + shift) % 21 - 10, 0xffffffff);
    ++shift;
    if (!box->isExposed()) return;
    const QRect rect(QPoint(), box->size());
    if (store.size() != box->size()) store.resize(box->size());
    store.beginPaint(rect);
    auto* target = static_cast<QImage*>(store.paintDevice());
    for (int y = 0; y < std::min(target->height(), frame.height()); ++y) {
      std::memcpy(target->scanLine(y), frame.constScanLine(y),
                  static_cast<size_t>(std::min(target->width(), frame.width())) * 4);
    }
    store.endPaint();
    store.flush(rect);
  });
  tick.start();
  window.show();
  return app.exec();
}
