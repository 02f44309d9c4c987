// Keeping the song, as the main window offers it: the song history (recorded
// from every title the panel shows, kept in the files folder), saving a song
// the engine still keeps, the sleep timer, the "Currently playing" panel's
// context menu and the window's shortcuts (Ctrl+C, Ctrl+S, Ctrl+H). It reaches
// the player only through PlayerControls. UI thread.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/song_history.h"
#include "app/song_history_dialog.h"
#include "engine/engine.h"

class QMenu;
class QWidget;

namespace tw {

class PlayerControls;
class SleepTimerShell;
class SongHistoryWriter;
class SongSaver;

class SongKeeping : public QObject {
 public:
  // window: where the shortcuts live and what boxes belong to; panel: the
  // "Currently playing" group box; folder: the files folder; stream: the stream
  // playing now.
  SongKeeping(PlayerControls& player, QWidget& window, QWidget& panel,
              const std::filesystem::path& folder, std::function<HSTREAM()> stream);
  // Saves under way are finished and the history is written.
  ~SongKeeping() override;

  void CopyTitle();
  // "Save this song": the title shown now.
  void SaveShown();
  // Saves the song of this title (the notification's Save).
  void SaveSong(const QString& title);
  void ShowHistory();

  // The panel's menu as it reads now; the caller owns it.
  QMenu* MakeMenu(QWidget* parent);

  const SongHistory& history() const { return history_; }
  // The Menu key and Shift+F10 on a line of the panel.
  bool eventFilter(QObject* watched, QEvent* event) override;
  SleepTimerShell& sleepTimer() { return *sleep_; }
  SongHistoryDialog* historyDialog() const { return dialog_; }

 private:
  void TitleShown();
  void Saved(bool ok, const QString& title, const QString& message);
  void ShowBox(bool ok, const QString& text);
  void AddSleepMenu(QMenu* menu);
  void PopUpMenu(QPoint globalPos);

  PlayerControls& player_;
  QWidget& window_;
  QWidget& panel_;
  SongHistory history_;
  std::unique_ptr<SongHistoryWriter> writer_;
  std::unique_ptr<SongSaver> saver_;
  std::unique_ptr<SleepTimerShell> sleep_;
  QPointer<SongHistoryDialog> dialog_;
  bool recordedThisStation_ = false;  // the newest entry came from the station playing now
};

}  // namespace tw
