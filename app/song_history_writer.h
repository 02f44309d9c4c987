// Writes the song history file on a thread of its own, so the UI thread never
// waits on the disk: Post hands over the newest entries and returns; the writer
// takes whatever is newest when it wakes (posts that come in between are
// coalesced) and writes it whole with an atomic replace, so a crash or a kill at
// any moment leaves the old file or the new one, never a torn one.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/song_history.h"

namespace tw {

class SongHistoryWriter {
 public:
  // delayMs: how long the writer waits after a post for more to coalesce.
  explicit SongHistoryWriter(std::filesystem::path path, int delayMs = 500);
  // Writes what is still pending, then ends the thread.
  ~SongHistoryWriter();
  SongHistoryWriter(const SongHistoryWriter&) = delete;
  SongHistoryWriter& operator=(const SongHistoryWriter&) = delete;

  // Any thread.
  void Post(std::vector<SongEntry> entries);
  // The last write's failure ("" after a success).
  std::string LastError() const;

 private:
  void Run();

  const std::filesystem::path path_;
  const int delayMs_;
  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::optional<std::vector<SongEntry>> pending_;
  bool stopping_ = false;
  std::string lastError_;
  std::thread thread_;  // last: starts once the fields above exist
};

}  // namespace tw
