// Saving a song the engine still keeps, from the window: finds the kept title
// for a title shown (or a history entry), writes it on a thread of its own (a
// save reads megabytes and writes a file: never on the UI thread), and tells
// the window how it went. The song still playing is saved when it ends: as
// soon as the next title is shown, or with what was heard when the station
// stops. UI thread, apart from the writer thread.
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/engine_keep.h"

namespace tw {

class PlayerControls;

// What saving a title would do.
struct SongOffer {
  bool kept = false;        // its audio is kept: it can be saved
  bool whenItEnds = false;  // it still plays: saved when it ends
  int64_t fromMs = -1;      // its start is no longer kept: what is kept begins here (ms since 1970)
};

class SongSaver : public QObject {
  Q_OBJECT

 public:
  // stream: the stream playing now (0 for none).
  SongSaver(PlayerControls& player, std::function<HSTREAM()> stream, QObject* parent = nullptr);
  // Saves under way are finished first.
  ~SongSaver() override;

  // The newest kept title that reads `title`; with shownAtMs (ms since 1970) the
  // one that played around then.
  SongOffer OfferFor(const QString& title, int64_t shownAtMs = -1) const;
  // Saves it: now when it has ended, else when it ends. False when it is not
  // kept (nothing happens).
  bool Save(const QString& title, int64_t shownAtMs = -1);
  // A save waits for the song playing now to end.
  bool Waiting() const { return waiting_.has_value(); }

 signals:
  // A save ended: the file's path, or what went wrong.
  void Finished(bool ok, const QString& title, const QString& message);

 private:
  struct Found {
    HKEPT kept = 0;  // the snapshot, owned by whoever holds the Found
    DWORD index = 0;
    BASS_KEPTINFO info{};
  };
  struct PendingSave {
    HSTREAM stream = 0;
    DWORD id = 0;
    QString title;
    QString station;
  };
  std::optional<Found> Find(const QString& title, int64_t shownAtMs) const;
  void SongMayHaveEnded(bool stopping);
  void Launch(HKEPT kept, DWORD index, QString title, QString station);
  void RunJobs();

  PlayerControls& player_;
  std::function<HSTREAM()> stream_;
  std::optional<PendingSave> waiting_;

  // The writer thread and its queue.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
  std::thread thread_;
};

}  // namespace tw
