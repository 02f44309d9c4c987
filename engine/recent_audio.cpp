#include "engine/recent_audio.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tw::engine {

namespace {

std::mutex g_boundsMutex;
KeepBounds g_bounds;  // guarded by g_boundsMutex

int64_t WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Chunks are the unit of eviction: small against the bound, large enough that
// a station appends to one for seconds.
std::size_t ChunkBytesFor(const KeepBounds& bounds) {
  return std::clamp<std::size_t>(bounds.bytes / 16, 1024, 64 * 1024);
}

// At most kMaxKeptTitleBytes, cut at a UTF-8 character boundary when it is UTF-8.
std::string_view CutTitle(std::string_view title) {
  if (title.size() <= kMaxKeptTitleBytes) return title;
  std::size_t end = kMaxKeptTitleBytes;
  while (end > 0 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80) --end;
  return title.substr(0, end);
}

}  // namespace

KeepBounds CurrentKeepBounds() {
  std::lock_guard lock(g_boundsMutex);
  return g_bounds;
}

void SetKeepBounds(const KeepBounds& bounds) {
  std::lock_guard lock(g_boundsMutex);
  g_bounds = bounds;
}

std::vector<std::string_view> KeptAudio::Views(uint64_t from, uint64_t to) const {
  from = std::max(from, start);
  to = std::min(to, end);
  std::vector<std::string_view> views;
  for (const Piece& piece : pieces) {
    const uint64_t pieceEnd = piece.start + piece.size;
    if (pieceEnd <= from || piece.start >= to) continue;
    const uint64_t a = std::max(from, piece.start);
    const uint64_t b = std::min(to, pieceEnd);
    views.emplace_back(piece.bytes.get() + (a - piece.start), b - a);
  }
  return views;
}

std::string KeptAudio::Bytes(uint64_t from, uint64_t to) const {
  std::string out;
  for (const std::string_view view : Views(from, to)) out.append(view);
  return out;
}

RecentAudio::RecentAudio(KeepBounds bounds) : bounds_(bounds), chunkBytes_(ChunkBytesFor(bounds)) {}

void RecentAudio::BeginSection(std::string_view formatHint) {
  std::lock_guard lock(mutex_);
  if (dropped_) return;
  heads_.Begin(end_, formatHint);
  sections_.push_back({end_, std::string(formatHint), {}});
}

void RecentAudio::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  // Heads are found outside the lock: only this thread touches the finder.
  found_.clear();
  heads_.Feed(bytes, &found_);
  const int64_t wall = WallMillis();
  const int64_t steady = SteadyMillis();
  std::lock_guard lock(mutex_);
  if (dropped_) return;
  if (!found_.empty() && !sections_.empty()) {
    auto& heads = sections_.back().heads;
    heads.insert(heads.end(), found_.begin(), found_.end());
  }
  while (!bytes.empty()) {
    if (chunks_.empty() || chunks_.back().size == chunkBytes_) {
      // A chunk is written once and only read after: snapshots share it.
      chunks_.push_back({std::shared_ptr<char[]>(new char[chunkBytes_]), end_, 0, wall, steady});
    }
    Chunk& chunk = chunks_.back();
    const std::size_t n = std::min(bytes.size(), chunkBytes_ - chunk.size);
    std::memcpy(chunk.bytes.get() + chunk.size, bytes.data(), n);
    chunk.size += n;
    keptBytes_ += n;
    end_ += n;
    bytes.remove_prefix(n);
  }
  lastMillis_ = wall;
  EvictLocked(steady);
}

void RecentAudio::Title(std::string_view title) {
  title = CutTitle(title);
  if (anyTitle_ && title == lastTitle_) return;
  const bool joined = !anyTitle_;
  anyTitle_ = true;
  lastTitle_ = std::string(title);
  std::lock_guard lock(mutex_);
  if (dropped_) return;
  // The first title names the song that was playing when the station was
  // tuned in: it covers everything before it.
  const uint64_t position = joined ? 0 : end_;
  marks_.push_back({nextId_++, position, lastTitle_, WallMillis(), joined});
  if (marks_.size() > bounds_.titles) marks_.erase(marks_.begin());
}

void RecentAudio::EvictLocked(int64_t steadyNow) {
  while (chunks_.size() > 1 &&
         (keptBytes_ > bounds_.bytes || chunks_[1].firstSteadyMs <= steadyNow - bounds_.millis)) {
    keptBytes_ -= chunks_.front().size;
    chunks_.pop_front();
  }
  const uint64_t start = chunks_.empty() ? end_ : chunks_.front().start;
  // A section or mark is kept while any of its bytes are.
  while (sections_.size() > 1 && sections_[1].start <= start) sections_.erase(sections_.begin());
  while (marks_.size() > 1 && marks_[1].position <= start) marks_.erase(marks_.begin());
  if (!sections_.empty()) {
    auto& heads = sections_.front().heads;
    // Only the head in force at the kept start is still needed from before it.
    while (heads.size() > 1 && heads[1].start <= start) heads.erase(heads.begin());
  }
}

void RecentAudio::Drop() {
  std::lock_guard lock(mutex_);
  dropped_ = true;
  chunks_.clear();
  keptBytes_ = 0;
  sections_.clear();
  marks_.clear();
}

std::size_t RecentAudio::KeptBytes() const {
  std::lock_guard lock(mutex_);
  return keptBytes_;
}

std::shared_ptr<const KeptAudio> RecentAudio::Snapshot() const {
  auto kept = std::make_shared<KeptAudio>();
  std::vector<Mark> marks;
  int64_t startMillis, lastMillis;
  {
    std::lock_guard lock(mutex_);
    kept->pieces.reserve(chunks_.size());
    for (const Chunk& chunk : chunks_)
      kept->pieces.push_back({chunk.bytes, chunk.start, chunk.size});
    kept->sections = sections_;
    marks = marks_;
    kept->start = chunks_.empty() ? end_ : chunks_.front().start;
    kept->end = end_;
    startMillis = chunks_.empty() ? lastMillis_ : chunks_.front().firstMillis;
    lastMillis = lastMillis_;
  }
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const Mark& mark = marks[i];
    KeptTitle title;
    title.id = mark.id;
    title.title = mark.title;
    title.cut = mark.joined || mark.position < kept->start;
    title.start = std::max(mark.position, kept->start);
    title.startMillis = mark.position < kept->start || mark.joined ? startMillis : mark.millis;
    const bool last = i + 1 == marks.size();
    title.end = last ? kept->end : std::max(title.start, marks[i + 1].position);
    title.endMillis = last ? lastMillis : marks[i + 1].millis;
    title.open = last;
    if (title.end > title.start) kept->titles.push_back(std::move(title));
  }
  return kept;
}

}  // namespace tw::engine
