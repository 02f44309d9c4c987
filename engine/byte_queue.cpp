#include "engine/byte_queue.h"

#include <algorithm>

namespace tw::engine {

bool ByteQueue::Push(std::string_view bytes) {
  std::unique_lock lock(mutex_);
  while (!bytes.empty()) {
    roomCv_.wait(lock, [&] { return aborted_ || RoomLocked() > 0; });
    if (aborted_) return false;
    std::size_t room = std::min(RoomLocked(), bytes.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(room));
    bytes.remove_prefix(room);
    pushed_ += room;
    WakeConsumerLocked();
  }
  return !aborted_;
}

void ByteQueue::WakeConsumerLocked() {
  if (consumerWants_ != 0 && PopReadyLocked(consumerWants_)) dataCv_.notify_all();
}

bool ByteQueue::PushMark(QueueMark mark) {
  const std::size_t cost = mark.tag.size() + kMarkOverhead;
  std::unique_lock lock(mutex_);
  // A mark larger than the whole queue still goes in once the queue is empty.
  roomCv_.wait(lock, [&] {
    return aborted_ || UsedLocked() + cost <= capacity_ || (bytes_.empty() && marks_.empty());
  });
  if (aborted_) return false;
  markBytes_ += cost;
  mark.position = pushed_;
  marks_.push_back(std::move(mark));
  // A section mark ends the consumer's section; other marks only ride along.
  WakeConsumerLocked();
  return true;
}

void ByteQueue::Rest(std::size_t above, std::chrono::milliseconds upTo) {
  std::unique_lock lock(mutex_);
  if (bytes_.size() < above) return;
  roomCv_.wait_for(lock, upTo, [&] { return aborted_ || bytes_.size() < above / 2; });
}

bool ByteQueue::Sleep(std::chrono::milliseconds upTo) {
  std::unique_lock lock(mutex_);
  return abortCv_.wait_for(lock, upTo, [&] { return aborted_; });
}

bool ByteQueue::SleepUnlessNudged(std::chrono::milliseconds upTo, uint64_t* seen) {
  std::unique_lock lock(mutex_);
  const bool aborted = abortCv_.wait_for(lock, upTo, [&] { return aborted_ || nudges_ != *seen; });
  *seen = nudges_;
  return aborted && aborted_;
}

void ByteQueue::Nudge() {
  std::lock_guard lock(mutex_);
  nudges_.fetch_add(1, std::memory_order_acq_rel);
  abortCv_.notify_all();
}

void ByteQueue::Finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  dataCv_.notify_all();
}

std::size_t ByteQueue::SectionBytesLocked() const {
  for (const QueueMark& mark : marks_) {
    if (mark.section) return std::min<uint64_t>(bytes_.size(), mark.position - popped_);
  }
  return bytes_.size();
}

void ByteQueue::TakeMarksLocked(uint64_t upTo, bool end, std::deque<QueueMark>* reached) {
  while (!marks_.empty() && !marks_.front().section && (end || marks_.front().position < upTo)) {
    markBytes_ -= marks_.front().tag.size() + kMarkOverhead;
    if (reached) reached->push_back(std::move(marks_.front()));
    marks_.pop_front();
  }
}

bool ByteQueue::PopReadyLocked(std::size_t wanted) const {
  // Once a section mark is queued, the current section has all its bytes.
  return aborted_ || finished_ || SectionBytesLocked() >= wanted ||
         std::any_of(marks_.begin(), marks_.end(), [](const QueueMark& m) { return m.section; });
}

std::size_t ByteQueue::Pop(char* out, std::size_t size, std::deque<QueueMark>* reached,
                           std::chrono::milliseconds gather) {
  std::unique_lock lock(mutex_);
  if (gather.count() > 0 && size > 1) {
    consumerWants_ = size;
    dataCv_.wait_for(lock, gather, [&] { return PopReadyLocked(size); });
  }
  consumerWants_ = 1;
  dataCv_.wait(lock, [&] { return PopReadyLocked(1); });
  consumerWants_ = 0;
  if (aborted_) return 0;
  std::size_t n = std::min(size, SectionBytesLocked());
  std::copy_n(bytes_.begin(), n, out);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
  popped_ += n;
  // The end of the section: the queue finished and drained, or a section mark
  // comes next.
  const bool end = SectionBytesLocked() == 0 &&
                   ((bytes_.empty() && finished_) ||
                    std::any_of(marks_.begin(), marks_.end(), [&](const QueueMark& m) {
                      return m.section && m.position == popped_;
                    }));
  TakeMarksLocked(popped_, end, reached);
  roomCv_.notify_all();
  return n;
}

std::optional<QueueMark> ByteQueue::NextSection(std::deque<QueueMark>* reached) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (aborted_) return std::nullopt;
    // What the consumer left of the current section is dropped, so that the
    // producer never waits for room behind it.
    const std::size_t skip = SectionBytesLocked();
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(skip));
    popped_ += skip;
    const bool sectionNext = std::any_of(marks_.begin(), marks_.end(), [&](const QueueMark& m) {
      return m.section && m.position == popped_;
    });
    if (skip > 0) roomCv_.notify_all();
    if (sectionNext || (finished_ && bytes_.empty())) {
      TakeMarksLocked(popped_, true, reached);
      if (marks_.empty()) return std::nullopt;
      QueueMark section = std::move(marks_.front());
      marks_.pop_front();
      markBytes_ -= section.tag.size() + kMarkOverhead;
      roomCv_.notify_all();
      return section;
    }
    consumerWants_ = 1;
    dataCv_.wait(lock);
    consumerWants_ = 0;
  }
}

void ByteQueue::Abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  dataCv_.notify_all();
  roomCv_.notify_all();
  abortCv_.notify_all();
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
