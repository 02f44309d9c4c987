#include "app/song_history_writer.h"

#include <chrono>

#include "platform/atomic_file.h"

namespace tw {

SongHistoryWriter::SongHistoryWriter(std::filesystem::path path, int delayMs)
    : path_(std::move(path)), delayMs_(delayMs), thread_([this] { Run(); }) {}

SongHistoryWriter::~SongHistoryWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void SongHistoryWriter::Post(std::vector<SongEntry> entries) {
  {
    std::lock_guard lock(mutex_);
    pending_ = std::move(entries);
  }
  wake_.notify_one();
}

std::string SongHistoryWriter::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void SongHistoryWriter::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;  // stopping with nothing left to write
    // More titles may follow at once (a station flooding titles): wait a little
    // and write only the newest state.
    if (!stopping_) {
      wake_.wait_for(lock, std::chrono::milliseconds(delayMs_), [this] { return stopping_; });
    }
    std::vector<SongEntry> entries = std::move(*pending_);
    pending_.reset();
    lock.unlock();
    std::string error;
    WriteFileAtomically(path_, SongHistoryText(entries), &error);
    lock.lock();
    lastError_ = std::move(error);
  }
}

}  // namespace tw
