#include "engine/stream.h"

#include <algorithm>
#include <cstdint>
#include <thread>

#include "engine/internal.h"
#include "engine/stream_table.h"
#include "engine/stream_title.h"

namespace tw::engine {

namespace {

// Old tag texts kept readable after a change.
constexpr std::size_t kTagVersionsKept = 32;
// Callback events queued beyond this are dropped: a hostile server sending
// metadata without pause must not grow memory while a callback blocks.
constexpr std::size_t kMaxPending = 256;
std::atomic<HSYNC> g_nextSync{1};

int TagSlot(DWORD type) {
  switch (type) {
    case BASS_TAG_OGG:
      return 0;
    case BASS_TAG_HTTP:
      return 1;
    case BASS_TAG_ICY:
      return 2;
    case BASS_TAG_META:
      return 3;
    case BASS_TAG_HLS_EXTINF:
      return 4;
    default:
      return -1;
  }
}

std::size_t BufferFrames(int freq) {
  // The playback buffer, at least a quarter second so a slow machine keeps up.
  const std::size_t ms = std::max<DWORD>(ConfigBufferMs(), 250);
  return static_cast<std::size_t>(freq) * ms / 1000;
}

}  // namespace

Stream::Stream(HSTREAM h, std::string u, DWORD f, DOWNLOADPROC* status, void* user, int rate)
    : handle(h),
      url(std::move(u)),
      flags(f),
      statusProc(status),
      statusUser(user),
      freq(rate),
      network(kNetworkBufferBytes),
      pcm(BufferFrames(rate)) {
  restartFrames = std::min(pcm.capacity() / 2, static_cast<std::size_t>(rate / 2));
}

Stream::~Stream() = default;

void Stream::Settle(int error) {
  std::lock_guard lock(mutex);
  if (settled) return;
  settled = true;
  createError = error;
  changed.notify_all();
}

bool Stream::WaitCreated(std::chrono::milliseconds upTo) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, upTo, [&] { return settled; });
  return settled && createError == BASS_OK;
}

bool Stream::BeginAudio(std::string formatHint, bool sameFormat) {
  QueueMark mark;
  mark.section = true;
  mark.sameFormat = sameFormat;
  kept.BeginSection(formatHint);
  mark.tag = std::move(formatHint);
  return network.PushMark(std::move(mark));
}

bool Stream::PushAudio(std::string_view bytes) {
  kept.Append(bytes);
  lastAudioNanos.store(SteadyNanos(), std::memory_order_relaxed);
  const bool pushed = network.Push(bytes);
  lastAudioNanos.store(SteadyNanos(), std::memory_order_relaxed);
  return pushed;
}

bool Stream::Connected() const {
  constexpr int64_t kRecentNanos = 1'000'000'000;
  const int64_t last = lastAudioNanos.load(std::memory_order_relaxed);
  // A full queue: audio came and waits for the decoder, which is behind.
  return (last != 0 && SteadyNanos() - last < kRecentNanos) ||
         network.size() >= network.capacity() / 2;
}

bool Stream::PushMark(QueueMark mark) {
  if (std::optional<std::string> title = TitleOfTag(mark.tagType, mark.tag)) kept.Title(*title);
  return network.PushMark(std::move(mark));
}

void Stream::EndWith(int error) {
  if (!endKnown_.exchange(true)) endError = error;
}

void Stream::Kill() {
  {
    std::lock_guard gate(gate_);
    freed = true;
  }
  phase = Phase::kEnded;
  network.Abort();
  kept.Drop();
  {
    std::lock_guard lock(callbackMutex_);
    callbackStopped_ = true;
    pending_.clear();
  }
  audioEvents_.fetch_or(kEventPosted);
  audioEvents_.notify_all();
  Settle(BASS_ERROR_HANDLE);
}

void Stream::SetTag(DWORD type, std::string text) {
  const int slot = TagSlot(type);
  if (slot < 0) return;
  std::lock_guard lock(tagMutex_);
  auto& versions = tags_[static_cast<std::size_t>(slot)];
  versions.push_back(std::move(text));
  if (versions.size() > kTagVersionsKept) versions.pop_front();
}

const char* Stream::Tag(DWORD type) {
  const int slot = TagSlot(type);
  if (slot < 0) return nullptr;
  std::lock_guard lock(tagMutex_);
  auto& versions = tags_[static_cast<std::size_t>(slot)];
  return versions.empty() ? nullptr : versions.back().c_str();
}

HSYNC Stream::AddSync(DWORD type, SYNCPROC* proc, void* user) {
  HSYNC id = g_nextSync.fetch_add(1);
  std::lock_guard lock(callbackMutex_);
  syncs_.push_back({id, type, proc, user});
  return id;
}

void Stream::Reach(QueueMark mark) {
  if (mark.tagType != 0) SetTag(mark.tagType, std::move(mark.tag));
  if (mark.syncType != 0) Post(mark.syncType, 0);
}

void Stream::Post(DWORD type, DWORD data) {
  {
    std::lock_guard lock(callbackMutex_);
    if (callbackStopped_ || pending_.size() >= kMaxPending) return;
    pending_.push_back({type, data, syncs_.size()});
  }
  audioEvents_.fetch_or(kEventPosted, std::memory_order_acq_rel);
  audioEvents_.notify_all();
}

void Stream::PostFromAudio(AudioEvent event) {
  // Lock-free: a futex wake, never a mutex, on the output thread.
  if (event == kEventStall || event == kEventResume) {
    stallFlips_.fetch_add(1, std::memory_order_acq_rel);
  }
  audioEvents_.fetch_or(event, std::memory_order_acq_rel);
  audioEvents_.notify_all();
}

bool Stream::RunGuarded(SYNCPROC* proc, HSYNC id, DWORD data, void* user) {
  {
    std::lock_guard gate(gate_);
    if (freed) return false;
  }
  proc(id, handle, data, user);
  return true;
}

void Stream::Status(const void* buffer, DWORD length) {
  if (!statusProc) return;
  {
    std::lock_guard gate(gate_);
    if (freed) return;
  }
  statusProc(buffer, length, statusUser);
}

void Stream::StartCallbacks(std::shared_ptr<Stream> self) {
  std::thread([self = std::move(self)] { self->RunCallbacks(); }).detach();
}

void Stream::RunCallbacks() {
  NameThread("tw-callbacks");
  for (;;) {
    // Audio events first (they are the time-critical ones), then queued syncs.
    uint32_t events = audioEvents_.exchange(0, std::memory_order_acq_rel);
    std::vector<Pending> batch;
    // Output events go to every sync set by now.
    constexpr std::size_t kAllSyncs = SIZE_MAX;
    const uint32_t flips = stallFlips_.load(std::memory_order_acquire);
    if (flips != stallFlipsDone_) {
      // Behind by more than a stall and its resume (a callback blocked): only the
      // last one or two, so the syncs still alternate and the last one is the
      // state now.
      const uint32_t behind = flips - stallFlipsDone_;
      uint32_t flip = behind > 2 ? flips - (behind % 2 == 0 ? 2 : 1) : stallFlipsDone_;
      while (flip != flips) {
        ++flip;
        batch.push_back({BASS_SYNC_STALL, flip % 2 == 0 ? 1u : 0u, kAllSyncs});
      }
      stallFlipsDone_ = flips;
    }
    std::vector<SyncEntry> syncs;
    {
      std::lock_guard lock(callbackMutex_);
      if (callbackStopped_ || freed) return;
      batch.insert(batch.end(), pending_.begin(), pending_.end());
      pending_.clear();
      syncs = syncs_;
    }
    if (events & kEventEnd) batch.push_back({BASS_SYNC_END, 0, kAllSyncs});
    for (const Pending& event : batch) {
      // An end sync finds why the stream ended as its thread's engine error.
      SetError(event.type == BASS_SYNC_END ? endError.load() : BASS_OK);
      const std::size_t count = std::min(event.syncCount, syncs.size());
      for (std::size_t i = 0; i < count; ++i) {
        const SyncEntry& sync = syncs[i];
        if (sync.type != event.type) continue;
        if (!RunGuarded(sync.proc, sync.id, event.data, sync.user)) return;
      }
      if (event.type == BASS_SYNC_END && (flags & BASS_STREAM_AUTOFREE)) {
        FreeStream(handle);
        return;
      }
    }
    if (batch.empty() && events == 0) {
      std::unique_lock lock(callbackMutex_);
      if (callbackStopped_) return;
      if (!pending_.empty()) continue;
      lock.unlock();
      // Sleeps until an event bit or a post arrives.
      audioEvents_.wait(0, std::memory_order_acquire);
    }
  }
}

}  // namespace tw::engine
