#include "app/song_saver.h"

#include <QMetaObject>

#include "app/player_controls.h"

namespace tw {

namespace {

constexpr std::size_t kResultBytes = 4096;
// A history entry is shown a few seconds after its title's first bytes came
// (the playback buffer), and a cut title began before what is kept.
constexpr int64_t kShownSlackMs = 60 * 1000;

}  // namespace

SongSaver::SongSaver(PlayerControls& player, std::function<HSTREAM()> stream, QObject* parent)
    : QObject(parent), player_(player), stream_(std::move(stream)), thread_([this] { RunJobs(); }) {
  PlayerSignals& announced = player_.Signals();
  connect(&announced, &PlayerSignals::TitleShown, this, [this] { SongMayHaveEnded(false); });
  connect(&announced, &PlayerSignals::PlaybackStopping, this, [this] { SongMayHaveEnded(true); });
}

SongSaver::~SongSaver() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

std::optional<SongSaver::Found> SongSaver::Find(const QString& title, int64_t shownAtMs) const {
  const HSTREAM stream = stream_();
  if (!stream || title.isEmpty()) return std::nullopt;
  const HKEPT kept = BASS_KeptTake(stream);
  if (!kept) return std::nullopt;
  const DWORD count = BASS_KeptCount(kept);
  for (DWORD i = count; i-- > 0;) {
    BASS_KEPTINFO info{};
    if (!BASS_KeptGetInfo(kept, i, &info) || QString::fromUtf8(info.title) != title) continue;
    if (shownAtMs >= 0) {
      const auto start = static_cast<int64_t>(info.startTime);
      const auto end = static_cast<int64_t>(info.endTime);
      const bool open = info.flags & BASS_KEPT_OPEN;
      const bool cut = info.flags & BASS_KEPT_CUT;
      if (!open && shownAtMs > end + kShownSlackMs) continue;
      if (!cut && shownAtMs < start - kShownSlackMs) continue;
    }
    return Found{kept, i, info};
  }
  BASS_KeptFree(kept);
  return std::nullopt;
}

SongOffer SongSaver::OfferFor(const QString& title, int64_t shownAtMs) const {
  const std::optional<Found> found = Find(title, shownAtMs);
  if (!found) return {};
  BASS_KeptFree(found->kept);
  SongOffer offer;
  offer.kept = true;
  offer.whenItEnds = found->info.flags & BASS_KEPT_OPEN;
  if (found->info.flags & BASS_KEPT_CUT) offer.fromMs = static_cast<int64_t>(found->info.startTime);
  return offer;
}

bool SongSaver::Save(const QString& title, int64_t shownAtMs) {
  const std::optional<Found> found = Find(title, shownAtMs);
  if (!found) return false;
  if (found->info.flags & BASS_KEPT_OPEN) {
    // Written once it has ended; the snapshot taken then holds all of it.
    waiting_ = PendingSave{stream_(), found->info.id, title, player_.StationShown()};
    BASS_KeptFree(found->kept);
    return true;
  }
  Launch(found->kept, found->index, title, player_.StationShown());
  return true;
}

void SongSaver::SongMayHaveEnded(bool stopping) {
  if (!waiting_) return;
  const HKEPT kept = BASS_KeptTake(waiting_->stream);
  if (!kept) {
    // Gone without a Stop we heard of: nothing of it is left to save.
    emit Finished(false, waiting_->title, "This song is no longer kept.");
    waiting_.reset();
    return;
  }
  const DWORD count = BASS_KeptCount(kept);
  for (DWORD i = 0; i < count; ++i) {
    BASS_KEPTINFO info{};
    if (!BASS_KeptGetInfo(kept, i, &info) || info.id != waiting_->id) continue;
    // The same title shown again (after a stall) is not its end.
    if ((info.flags & BASS_KEPT_OPEN) && !stopping) break;
    const PendingSave song = *std::exchange(waiting_, std::nullopt);
    Launch(kept, i, song.title, song.station);
    return;
  }
  BASS_KeptFree(kept);
  if (waiting_ && (stopping || count == 0)) {
    emit Finished(false, waiting_->title, "This song is no longer kept.");
    waiting_.reset();
  }
}

void SongSaver::Launch(HKEPT kept, DWORD index, QString title, QString station) {
  std::lock_guard lock(mutex_);
  jobs_.push_back([this, kept, index, title = std::move(title), station = station.toUtf8()] {
    char result[kResultBytes];
    const bool ok = BASS_KeptSave(kept, index, nullptr, station.constData(), result, sizeof result);
    BASS_KeptFree(kept);
    const QString message = QString::fromUtf8(result);
    QMetaObject::invokeMethod(
        this, [this, ok, title, message] { emit Finished(ok, title, message); },
        Qt::QueuedConnection);
  });
  wake_.notify_one();
}

void SongSaver::RunJobs() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
    if (jobs_.empty()) return;  // stopping, all saved
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace tw
