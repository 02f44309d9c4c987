// What any remote control (media keys and the sound menu over MPRIS, the tray,
// timers, inhibitors) may do to the player and read from it. Remote controls talk
// to this and never to the window's widgets; the main window implements it. All
// calls are made on the UI thread.
#pragma once

#include <QObject>
#include <QString>

namespace tw {

// The player's announcements. A remote control connects to these to learn when
// to read again.
class PlayerSignals : public QObject {
  Q_OBJECT

 signals:
  // Something a remote control reads may have changed: playback, the song or
  // station shown, the volume, the list or its selection.
  void StateChanged();
  // The panel has shown a title (status code 7), the same one again included;
  // SongTitle() reads it.
  void TitleShown();
  // The stream stops (Stop, or it ended or failed by itself). Sent before the
  // stream is freed, so what it keeps can still be read.
  void PlaybackStopping();
  // A station is being started (Play, a new station).
  void StationStarting();
};

class PlayerControls {
 public:
  virtual ~PlayerControls() = default;

  // Commands: each does what the matching button or control of the window does.
  // Play as the Play button does when nothing plays.
  virtual void PlayCommand() = 0;
  // Stop as the Stop button does; a connect under way stops once it has a stream.
  virtual void StopCommand() = 0;
  // Selects the station `delta` rows away and plays it; false at the list's end.
  virtual bool StepStation(int delta) = 0;
  // Shows the window, normal state, in front (the station editor in front of it
  // when it is open).
  virtual void RestoreWindow() = 0;
  // Ends the program as "&Close" does (settings written, icon removed), whatever
  // the window's state: hidden in the tray, minimised, or under a box or the
  // editor, which close. On a later turn of the event loop, so that a remote
  // control's answer leaves before the window goes.
  virtual void Quit() = 0;
  // Moves the volume bar to percent (0 to 100), as a drag does.
  virtual void SetVolume(int percent) = 0;
  // The sound's level against the volume bar, 0 to 1 (1: as the bar says), for
  // a fade; the bar does not move.
  virtual void SetFadeLevel(double level) = 0;

  // Readings.
  // A stream plays or buffers, or a connect is under way (and not asked to stop).
  virtual bool PlaybackActive() const = 0;
  // The station name as shown while playing; the list's name while connecting.
  virtual QString StationShown() const = 0;
  // The song title as shown.
  virtual QString SongTitle() const = 0;
  // The volume bar, 0 to 100.
  virtual int Volume() const = 0;
  virtual int StationCount() const = 0;
  // The selected row of the station list, -1 for none.
  virtual int CurrentStation() const = 0;
  // A connect is under way; its end does not always announce itself.
  virtual bool ConnectPending() const = 0;
  // A box or the station editor waits for the user: the window's buttons are
  // out of reach, and so are their remote twins.
  virtual bool DialogOpen() const = 0;

  // Where the player's announcements come from.
  virtual PlayerSignals& Signals() = 0;
};

}  // namespace tw
