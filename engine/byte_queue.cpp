#include "engine/byte_queue.h"

#include <algorithm>

namespace tw::engine {

bool ByteQueue::Push(std::string_view bytes) {
  std::unique_lock lock(mutex_);
  while (!bytes.empty()) {
    changed_.wait(lock, [&] { return aborted_ || RoomLocked() > 0; });
    if (aborted_) return false;
    std::size_t room = std::min(RoomLocked(), bytes.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(room));
    bytes.remove_prefix(room);
    pushed_ += room;
    changed_.notify_all();
  }
  return !aborted_;
}

bool ByteQueue::PushMark(QueueMark mark) {
  const std::size_t cost = mark.tag.size() + kMarkOverhead;
  std::unique_lock lock(mutex_);
  // A mark larger than the whole queue still goes in once the queue is empty.
  changed_.wait(lock, [&] {
    return aborted_ || UsedLocked() + cost <= capacity_ || (bytes_.empty() && marks_.empty());
  });
  if (aborted_) return false;
  markBytes_ += cost;
  mark.position = pushed_;
  marks_.push_back(std::move(mark));
  changed_.notify_all();
  return true;
}

void ByteQueue::Rest(std::size_t above, std::chrono::milliseconds upTo) {
  std::unique_lock lock(mutex_);
  if (bytes_.size() < above) return;
  changed_.wait_for(lock, upTo, [&] { return aborted_ || bytes_.size() < above / 2; });
}

void ByteQueue::Finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

std::size_t ByteQueue::Pop(char* out, std::size_t size, std::deque<QueueMark>* reached) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return aborted_ || finished_ || !bytes_.empty(); });
  if (aborted_) return 0;
  std::size_t n = std::min(size, bytes_.size());
  std::copy_n(bytes_.begin(), n, out);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
  popped_ += n;
  const bool end = bytes_.empty() && finished_;
  while (!marks_.empty() && (end || marks_.front().position < popped_)) {
    markBytes_ -= marks_.front().tag.size() + kMarkOverhead;
    if (reached) reached->push_back(std::move(marks_.front()));
    marks_.pop_front();
  }
  changed_.notify_all();
  return n;
}

void ByteQueue::Abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  changed_.notify_all();
}

bool ByteQueue::aborted() const {
  std::lock_guard lock(mutex_);
  return aborted_;
}

std::size_t ByteQueue::size() const {
  std::lock_guard lock(mutex_);
  return bytes_.size();
}

}  // namespace tw::engine
