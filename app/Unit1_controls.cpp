// Playback as the window runs it: the Play and Stop steps, the status handler
// and monitor that a connect reports through, and the commands and readings that
// remote controls reach through tw::PlayerControls.
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

#include "app/Unit1.h"
#include "app/mpris_state.h"
#include "app/playback.h"
#include "app/quit_player.h"
#include "app/status_display.h"
#include "engine/engine.h"
#include "ui/window_helpers.h"

using tw::ui::FromUtf8;

void TForm1::Button1Click() {
  if (BASS_ChannelIsActive(tw::CurrentStream) == BASS_ACTIVE_PLAYING) {
    StopPlayback();
    return;
  }
  if (tw::ConnectInProgress) {
    QApplication::beep();
    return;
  }
  StartSelected();
}

void TForm1::StartSelected() {
  const int row = ListBox1->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= text.size()) return;
  stopWhenConnected_ = false;
  connectFailed_ = false;
  Button1->setText("&Stop");
  Button1->setIcon(ImageList1[1]);
  // A row without a URL only turns the button into Stop.
  if (text[static_cast<std::size_t>(row)].empty()) return;
  playingName_ = ListBox1->item(row)->text();
  emit playerSignals_.StationStarting();
  // A connect still under way is superseded: its worker frees what it made.
  tw::StartConnectWorker(text[static_cast<std::size_t>(row)]);
  NotifyRemoteControls();
}

void TForm1::StopPlayback() {
  emit playerSignals_.PlaybackStopping();
  BASS_StreamFree(tw::CurrentStream);
  Label4->clear();
  Label3->clear();
  Label5->clear();
  stationShown_.clear();
  Button1->setText("&Play");
  Button1->setIcon(ImageList1[0]);
  NotifyRemoteControls();
}

namespace {

bool StreamRunning() {
  const DWORD active = BASS_ChannelIsActive(tw::CurrentStream);
  return active == BASS_ACTIVE_PLAYING || active == BASS_ACTIVE_STALLED;
}

}  // namespace

bool TForm1::PlaybackActive() const {
  if (tw::ConnectInProgress) return !stopWhenConnected_ && !connectFailed_;
  return StreamRunning();
}

void TForm1::PlayCommand() {
  if (tw::ConnectInProgress) {
    // A Stop that waits for the connect is taken back; the connect goes on.
    if (stopWhenConnected_) {
      stopWhenConnected_ = false;
      NotifyRemoteControls();
    }
    return;
  }
  if (!StreamRunning()) Button1Click();
}

void TForm1::StopCommand() {
  if (tw::ConnectInProgress) {
    // The stream does not exist yet: the monitor stops it as soon as it does.
    stopWhenConnected_ = true;
    NotifyRemoteControls();
    return;
  }
  if (StreamRunning()) StopPlayback();
}

bool TForm1::StepStation(int delta) {
  const int row = tw::StepRow(ListBox1->currentRow(), ListBox1->count(), delta);
  if (row < 0) return false;
  ListBox1->setCurrentRow(row);
  if (!tw::ConnectInProgress && StreamRunning()) StopPlayback();
  StartSelected();
  return true;
}

QString TForm1::StationShown() const {
  return stationShown_.isEmpty() ? playingName_ : stationShown_;
}

QString TForm1::SongTitle() const { return Label3->text(); }

int TForm1::Volume() const { return ScrollBar1->value(); }

// Moves the bar, which sets the stream's volume and the label as a drag does.
void TForm1::SetVolume(int percent) { ScrollBar1->setValue(percent); }

void TForm1::SetFadeLevel(double level) {
  fadeLevel_ = std::clamp(level, 0.0, 1.0);
  BASS_ChannelSetAttribute(tw::CurrentStream, BASS_ATTRIB_VOL, StreamVolume());
}

float TForm1::StreamVolume() const {
  return static_cast<float>(ScrollBar1->value() * fadeLevel_ / 100);
}

int TForm1::StationCount() const { return ListBox1->count(); }

int TForm1::CurrentStation() const { return ListBox1->currentRow(); }

bool TForm1::ConnectPending() const { return tw::ConnectInProgress; }

bool TForm1::DialogOpen() const { return QApplication::activeModalWidget() != nullptr; }

void TForm1::Quit() {
  QMetaObject::invokeMethod(
      this, [this] { tw::QuitPlayer(*this); }, Qt::QueuedConnection);
}

void TForm1::StartMonitor(int periodMs) {
  MonitorTimer->start(periodMs);
  // A connect is about to play: the render tick runs again (its phase kept when
  // it still runs).
  if (!destroyed_ && !TimerRender->isActive()) TimerRender->start();
}

void TForm1::StopMonitor() { MonitorTimer->stop(); }

void TForm1::MonitorTick() {
  const HSTREAM stream = tw::CurrentStream;
  if (stopWhenConnected_) {
    // A remote Stop waits for the connect to hand over its stream; the worker
    // starts this timer once the stream exists and keeps it until then.
    if (tw::ConnectInProgress) return;
    stopWhenConnected_ = false;
    MonitorTimer->stop();
    StopPlayback();
    return;
  }
  if (BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING) {
    MonitorTimer->stop();
    // Servers without an "icy-name" (HLS, plain HTTP) would leave "connecting..."
    // or "buffering..." on screen while the stream plays: show the station's
    // name from the list instead.
    if (!tw::SendHeaderWalk()) {
      Label4->setText(playingName_);
      stationShown_ = playingName_;
    }
    tw::UpdateTitle();
    NotifyRemoteControls();
    return;
  }
  if (tw::IsReconnecting(BASS_ChannelIsActive(stream),
                         BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CONNECTED))) {
    // Shown once; the tick goes on until the audio is back.
    if (Label4->text() != "reconnecting...") {
      RadioStatus(tw::kStatusReconnecting, 0, BASS_ErrorGetCode());
    }
    return;
  }
  if (tw::IsShownBufferingReading(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFERING))) {
    // Read again: the value shown is the newer one.
    const QWORD left = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFERING);
    RadioStatus(tw::kStatusBuffering, tw::BufferingPercent(left), BASS_ErrorGetCode());
  }
}

void TForm1::RadioStatus(int code, intptr_t value, int senderError) {
  tw::StatusUpdate update = tw::StatusUpdateFor(code, value);
  if (update.title) Label3->setText(FromUtf8(*update.title));
  if (update.state) Label4->setText(FromUtf8(*update.state));
  if (update.bottom) Label5->setText(FromUtf8(*update.bottom));
  if (code == tw::kStatusStationName) stationShown_ = Label4->text();
  if (code == tw::kStatusConnecting || code == tw::kStatusNotPlaying) stationShown_.clear();
  if (code == tw::kStatusNotPlaying) {
    emit playerSignals_.PlaybackStopping();
    // The connect is over even while its worker still waits on the box below.
    stopWhenConnected_ = false;
    connectFailed_ = true;
  }
  NotifyRemoteControls();
  if (code == tw::kStatusTitle) {
    AnnounceTitle();
    emit playerSignals_.TitleShown();
  }
  if (update.showPlayError) ShowEngineError("Can't play the stream", senderError);
}
