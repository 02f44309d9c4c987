// One network stream: what its threads share (stream.cpp).
//
// Threads of a stream: the network thread (HTTP, playlists, HLS, ICY metadata),
// the decoder thread (FFmpeg into the PCM ring), the callback thread (syncs, in
// order), plus API callers and the output thread (which only reads the PCM ring
// and flips atomics). Each thread holds a shared_ptr, so the object lives until
// the last of them lets go; a free marks it dead and returns without waiting.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_queue.h"
#include "engine/engine.h"
#include "engine/history.h"
#include "engine/pcm_ring.h"
#include "engine/recent_audio.h"

namespace tw::engine {

enum class Phase : int {
  kConnecting,  // BASS_StreamCreateURL has not returned yet
  kReady,       // created, not started
  kPlaying,     // mixed into the output
  kStalled,     // started, but the decoded audio ran out; waiting to refill
  kEnded,       // played out, failed or freed
};

// Event bits the output thread raises without locking.
enum AudioEvent : uint32_t {
  kEventStall = 1,
  kEventResume = 2,
  kEventEnd = 4,
  kEventPosted = 0x40000000,  // a queued sync or a kill: only wakes the callback thread
};

struct SyncEntry {
  HSYNC id;
  DWORD type;
  SYNCPROC* proc;
  void* user;
};

class Stream {
 public:
  Stream(HSTREAM handle, std::string url, DWORD flags, DOWNLOADPROC* status, void* user, int freq);
  ~Stream();

  const HSTREAM handle;
  const std::string url;
  const DWORD flags;
  DOWNLOADPROC* const statusProc;
  void* const statusUser;
  const int freq;  // output rate the decoder resamples to

  // --- Shared between the network and decoder threads --------------------------
  ByteQueue network;
  PcmRing pcm;
  PlayedHistory history;  // what the output took from this stream
  // The last minutes of compressed audio as they arrived, for saving a song.
  RecentAudio kept{CurrentKeepBounds()};
  // Decoded audio not yet played, in milliseconds. Either thread.
  std::size_t DecodedAheadMs() const {
    return pcm.available() * 1000 / static_cast<std::size_t>(freq > 0 ? freq : 1);
  }
  // With this much decoded audio ahead, the network and decoder threads may
  // wait a little to take the network's pieces in larger steps.
  static constexpr std::size_t kAudioInHandMs = 1000;

  // --- Producer side: the network thread only ----------------------------------
  // Starts a section of audio: a new container from here on (the first
  // response, a reconnect's, an HLS init segment), which the decoder reads with
  // a fresh demuxer. formatHint is a content type (the response's, or one made
  // from a file name); with sameFormat the section must decode to the codec of
  // the one before it, else the stream ends. False once the stream is dead.
  bool BeginAudio(std::string formatHint, bool sameFormat = false);
  bool PushAudio(std::string_view bytes);
  // A tag change and sync at this place in the audio.
  bool PushMark(QueueMark mark);
  // Why the stream ends (the end sync's error). The first reason given wins: a
  // decoder that fails ends the network side, whose own error is then moot.
  void EndWith(int error);

  // --- Life -------------------------------------------------------------------
  std::atomic<bool> freed{false};
  std::atomic<Phase> phase{Phase::kConnecting};
  std::atomic<float> volume{1.0f};
  std::atomic<bool> decodeFinished{false};      // the decoder wrote its last frame
  std::atomic<int> endError{BASS_ERROR_ENDED};  // set through EndWith
  // Frames the output needs buffered before it resumes after a stall.
  std::atomic<std::size_t> restartFrames{0};
  // When the output first took decoded frames from this stream: steady clock
  // nanoseconds, 0 until then. Stored once by the output thread.
  std::atomic<int64_t> firstMixedNanos{0};
  // Decoder thread: when it last put audio into the ring (steady clock
  // nanoseconds), and the most output frames one decoded frame has given. The
  // output starts a stream by them (see Mixer).
  std::atomic<int64_t> lastWriteNanos{0};
  std::atomic<uint32_t> largestFrame{0};
  // Network thread: when audio last came from the server (steady clock
  // nanoseconds), for BASS_FILEPOS_CONNECTED.
  std::atomic<int64_t> lastAudioNanos{0};
  // Whether the connection delivers audio now: some came within the last second.
  bool Connected() const;

  std::mutex mutex;
  std::condition_variable changed;
  // Creation result, guarded by mutex: the decoder (or a failing network thread)
  // settles it once.
  bool settled = false;
  int createError = BASS_OK;

  // Settles creation: ok, or failed with error. Later calls do nothing.
  void Settle(int error);
  // Waits up to `upTo` for creation to settle: whether it succeeded.
  bool WaitCreated(std::chrono::milliseconds upTo);

  // Marks the stream dead: no callback starts after this returns, its threads stop
  // on their own. Safe from any thread, also from the stream's own callbacks.
  void Kill();

  // --- Tags ---------------------------------------------------------------------
  // Replaces a tag. Old texts stay allocated for a while, because a caller of
  // BASS_ChannelGetTags on another thread may still be reading them.
  void SetTag(DWORD type, std::string text);
  const char* Tag(DWORD type);

  // Decoder thread: a mark of the network queue was read past; applies its tag
  // change and queues its sync.
  void Reach(QueueMark mark);

  // --- Callbacks ----------------------------------------------------------------
  HSYNC AddSync(DWORD type, SYNCPROC* proc, void* user);
  // Any thread but the output's: queues the syncs of this type with data. Only
  // syncs set before the event get it.
  void Post(DWORD type, DWORD data);
  // Output thread: raises an event without locking.
  void PostFromAudio(AudioEvent event);
  // Network thread: a status line or data for the creator's DOWNLOADPROC; runs it
  // at once on the calling thread unless the stream is dead.
  void Status(const void* buffer, DWORD length);
  // Starts the callback thread.
  void StartCallbacks(std::shared_ptr<Stream> self);

 private:
  struct Pending {
    DWORD type;
    DWORD data;
    std::size_t syncCount;  // syncs_ set when it happened; later ones do not get it
  };
  void RunCallbacks();
  bool RunGuarded(SYNCPROC* proc, HSYNC id, DWORD data, void* user);

  std::atomic<bool> endKnown_{false};

  std::mutex callbackMutex_;  // guards syncs_, pending_, callbackStopped_
  std::vector<SyncEntry> syncs_;
  std::deque<Pending> pending_;
  std::atomic<uint32_t> audioEvents_{0};
  bool callbackStopped_ = false;
  // Stalls and resumes so far, counted by the output thread (odd: stalled now).
  // A count rather than event bits, so that the syncs keep their order even
  // when several happen while a callback blocks.
  std::atomic<uint32_t> stallFlips_{0};
  uint32_t stallFlipsDone_ = 0;  // callback thread only

  // Held only to decide whether a callback may start, never while it runs.
  std::mutex gate_;

  std::mutex tagMutex_;
  std::array<std::deque<std::string>, 5> tags_;  // by TagSlot(); newest last
};

// Bytes the network may run ahead of the decoder. Small, because the decoded
// buffer does the buffering, and metadata read from the network leads what is
// heard by everything queued in between.
inline constexpr std::size_t kNetworkBufferBytes = 64 * 1024;

}  // namespace tw::engine
