// The last minutes of a stream's compressed audio (recent_audio.cpp), kept
// exactly as it arrived (ICY metadata already taken out, HLS segments as
// fetched), with a mark where each title began, so that a song just heard can
// be saved. Bounded by time and bytes, whichever comes first; marks are
// bounded by count.
//
// The network thread appends; any thread takes a snapshot, which shares the
// kept chunks instead of copying them, so the lock is held for a few pointer
// copies and never while a save reads the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/stream_heads.h"

namespace tw::engine {

// How much is kept: about ten minutes, at most 32 MB (a 320 kbps station
// reaches the time first, at 24 MB), and the titles within.
struct KeepBounds {
  int64_t millis = 10 * 60 * 1000;
  std::size_t bytes = 32 * 1024 * 1024;
  std::size_t titles = 1000;  // a title changing every 100 ms keeps the newest 1000
};
// The bounds streams created from now on use (tests make them smaller).
KeepBounds CurrentKeepBounds();
void SetKeepBounds(const KeepBounds& bounds);

// Titles longer than this are kept cut (ICY blocks hold 4080 bytes at most).
inline constexpr std::size_t kMaxKeptTitleBytes = 4096;

// One title as a snapshot lists it.
struct KeptTitle {
  uint32_t id = 0;     // 1 for the stream's first title, counting on
  std::string title;   // 8-bit, as the player's panel shows it
  uint64_t start = 0;  // stream positions of the kept span, end exclusive
  uint64_t end = 0;
  int64_t startMillis = 0;  // when its first kept byte arrived (ms since 1970, UTC)
  int64_t endMillis = 0;    // when its last byte arrived (or the next title's first)
  bool cut = false;         // its start is not kept: evicted, or it began before the tune-in
  bool open = false;        // no later title began yet: it still plays
};

struct KeptSection {
  uint64_t start = 0;  // stream position where a new container begins
  std::string formatHint;
  std::vector<StreamHead> heads;  // by position
};

// What a snapshot holds: immutable, shared with the stream's own keep.
class KeptAudio {
 public:
  struct Piece {
    std::shared_ptr<const char[]> bytes;
    uint64_t start = 0;
    std::size_t size = 0;
  };
  std::vector<Piece> pieces;  // contiguous, oldest first
  std::vector<KeptSection> sections;
  std::vector<KeptTitle> titles;
  uint64_t start = 0;  // the kept bytes' positions, end exclusive
  uint64_t end = 0;

  // The bytes of [from, to), clamped to what is kept: copied, or as views
  // into the pieces (valid while the snapshot lives).
  std::string Bytes(uint64_t from, uint64_t to) const;
  std::vector<std::string_view> Views(uint64_t from, uint64_t to) const;
};

class RecentAudio {
 public:
  explicit RecentAudio(KeepBounds bounds);

  // --- Network thread -----------------------------------------------------------
  // A new container starts here (a response, a reconnect, an HLS init segment).
  void BeginSection(std::string_view formatHint);
  void Append(std::string_view bytes);
  // A title (8-bit, as shown) begins at the current end. A repeat of the
  // current title is no new title.
  void Title(std::string_view title);

  // --- Any thread ---------------------------------------------------------------
  // Forgets everything and keeps nothing more (the stream stopped).
  void Drop();
  std::shared_ptr<const KeptAudio> Snapshot() const;
  // Bytes kept now, for tests and benchmarks.
  std::size_t KeptBytes() const;

 private:
  struct Chunk {
    std::shared_ptr<char[]> bytes;
    uint64_t start = 0;
    std::size_t size = 0;       // guarded by mutex_
    int64_t firstMillis = 0;    // when its first byte arrived, wall clock
    int64_t firstSteadyMs = 0;  // the same on the steady clock, for the time bound
  };
  struct Mark {
    uint32_t id;
    uint64_t position;
    std::string title;
    int64_t millis;
    bool joined;  // the first title after the tune-in: the song began before it
  };
  void EvictLocked(int64_t steadyNow);

  const KeepBounds bounds_;
  const std::size_t chunkBytes_;

  // Producer state: the network thread only.
  HeadFinder heads_;
  std::vector<StreamHead> found_;
  std::string lastTitle_;
  bool anyTitle_ = false;

  // Shared state, protected by mutex_.
  mutable std::mutex mutex_;
  bool dropped_ = false;
  std::deque<Chunk> chunks_;
  std::size_t keptBytes_ = 0;
  uint64_t end_ = 0;  // bytes ever appended
  int64_t lastMillis_ = 0;
  std::vector<KeptSection> sections_;
  std::vector<Mark> marks_;
  uint32_t nextId_ = 1;
};

}  // namespace tw::engine
