// A bounded byte queue between a producer thread (the network) and a consumer
// thread (the decoder). Both block while it is full or empty; Abort wakes both
// for good. The cap is what keeps a fast server from growing memory. Implemented
// in byte_queue.cpp.
//
// Marks ride in the queue between the bytes: a tag change and a sync that belong
// to a place in the stream (an ICY title, a new Ogg stream, an HLS segment). The
// consumer gets each mark with the bytes after it and applies it when it decodes
// those, so the change comes with the audio around it rather than when the
// network read it, seconds ahead.
//
// A section mark starts a new container: what follows is read by a fresh
// demuxer (a reconnect's new response, an HLS init segment). Pop never hands
// out bytes across one; the consumer takes it with NextSection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tw::engine {

struct QueueMark {
  uint32_t tagType = 0;  // 0: no tag change
  std::string tag;
  uint32_t syncType = 0;  // 0: no sync
  uint64_t position = 0;  // set by PushMark: the bytes pushed before it
  // A section mark: a new container starts here. `tag` is then its format hint
  // (a content type); tagType and syncType stay 0.
  bool section = false;
  // A section that must carry the same audio format as the one before it.
  bool sameFormat = false;
};

class ByteQueue {
 public:
  explicit ByteQueue(std::size_t capacity) : capacity_(capacity) {}

  // Producer: appends all bytes, waiting for room. False once aborted.
  bool Push(std::string_view bytes);
  // Producer: a mark after the bytes pushed so far. It takes room like bytes
  // (its text and a fixed overhead), so a flood of marks waits like a flood of
  // bytes. False once aborted.
  bool PushMark(QueueMark mark);
  // Producer: while at least `above` bytes are queued, waits up to `upTo` (less
  // if the consumer drains it to half that, or on Abort). A producer that reads
  // a socket lets data gather in the kernel meanwhile and then takes it in one
  // read instead of waking for every piece the server sends.
  void Rest(std::size_t above, std::chrono::milliseconds upTo);
  // Producer: waits up to `upTo`, less when aborted; true when aborted. Only
  // Abort ends it early, so the consumer's pops never wake it.
  bool Sleep(std::chrono::milliseconds upTo);
  // Producer: as Sleep, but also ends when Nudge is called after *seen was
  // taken (from nudges()); *seen is then brought up to date. True when aborted.
  bool SleepUnlessNudged(std::chrono::milliseconds upTo, uint64_t* seen);
  // Any thread: wakes a SleepUnlessNudged and counts one more nudge.
  void Nudge();
  uint64_t nudges() const { return nudges_.load(std::memory_order_acquire); }
  // Producer: no more bytes will come.
  void Finish();
  // Consumer: copies up to size bytes of the current section, waiting for at
  // least one. 0 at the end of the section (a section mark is next, or the
  // queue is finished and drained) or when aborted. Marks placed before a byte
  // this call hands out are appended to *reached, in order; at the end of a
  // section, all that are left before it. With `gather`, waits up to that long
  // for `size` bytes first: a consumer with audio in hand takes the network's
  // pieces in one go instead of waking for each.
  std::size_t Pop(char* out, std::size_t size, std::deque<QueueMark>* reached,
                  std::chrono::milliseconds gather = std::chrono::milliseconds(0));
  // Consumer: drops what is left of the current section (marks before the next
  // section still go to *reached) and waits for the next section mark, which it
  // returns. nullopt once finished without another section, or aborted.
  std::optional<QueueMark> NextSection(std::deque<QueueMark>* reached);
  // Either side: wakes every waiter; Push and Pop fail from now on.
  void Abort();

  bool aborted() const;
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }

  // What a mark costs besides its text.
  static constexpr std::size_t kMarkOverhead = 64;

 private:
  std::size_t UsedLocked() const { return bytes_.size() + markBytes_; }
  // Bytes of the current section that may be popped now.
  std::size_t SectionBytesLocked() const;
  // What a waiting Pop may return on: bytes (at least `wanted`), the end of
  // the section or of the queue, or an abort.
  bool PopReadyLocked(std::size_t wanted) const;
  // After bytes or marks went in: wakes the consumer if it can now go on.
  void WakeConsumerLocked();
  // Hands out the marks placed before byte `upTo` of the stream (with `end`:
  // all of them), never past a section mark.
  void TakeMarksLocked(uint64_t upTo, bool end, std::deque<QueueMark>* reached);
  // Room for bytes. Marks alone may fill the queue (Ogg comments with a cover
  // picture); bytes still flow then, or the consumer would wait for bytes and
  // the producer for room.
  std::size_t RoomLocked() const {
    const std::size_t used = UsedLocked();
    if (used < capacity_) return capacity_ - used;
    return bytes_.empty() ? capacity_ : 0;
  }

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  // Three waits, each woken only by what it waits for: the consumer for bytes
  // (dataCv_), the producer for room or a drained queue (roomCv_), a sleeping
  // producer for an abort (abortCv_).
  std::condition_variable dataCv_;
  std::condition_variable roomCv_;
  std::condition_variable abortCv_;
  std::size_t consumerWants_ = 0;    // guarded by mutex_: bytes a waiting Pop wants; 0: none waits
  std::deque<char> bytes_;           // guarded by mutex_
  std::deque<QueueMark> marks_;      // guarded by mutex_, by position
  std::size_t markBytes_ = 0;        // guarded by mutex_: room the marks take
  uint64_t pushed_ = 0;              // guarded by mutex_: bytes ever pushed
  uint64_t popped_ = 0;              // guarded by mutex_: bytes ever popped
  bool finished_ = false;            // guarded by mutex_
  bool aborted_ = false;             // guarded by mutex_
  std::atomic<uint64_t> nudges_{0};  // changed under mutex_, read anywhere
};

}  // namespace tw::engine
