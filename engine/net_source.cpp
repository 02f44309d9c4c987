// The network thread of a stream: fetches the URL, follows playlists, takes ICY
// metadata and Ogg comments out as tags, and queues the audio bytes for the
// decoder.
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/ascii.h"
#include "engine/http.h"
#include "engine/icy.h"
#include "engine/internal.h"
#include "engine/ogg_comments.h"
#include "engine/playlists.h"
#include "engine/streams.h"

namespace tw::engine {

namespace {

using ascii::Lowered;

// Playlists inside playlists, at most this deep (a playlist naming itself ends here).
constexpr int kMaxPlaylistDepth = 4;
// Responses one stream may fetch while it looks for audio among playlist
// entries: more mirrors than any station lists, few enough that a playlist of
// dead hosts ends in bounded time.
constexpr int kMaxFetches = 20;
constexpr std::size_t kSniffBytes = 4096;
// When a station's reads may wait: 16 KiB is a second of 128 kbps, and the
// decoded buffer holds more on top.
constexpr std::size_t kRestAbove = 16 * 1024;
constexpr std::chrono::milliseconds kRestFor{250};

// "Name: value" -> value, when the name matches in any case.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  if (Lowered(line.substr(0, name.size())) != name) return std::nullopt;
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  return value;
}

// A NUL-separated list ended by an empty string, as the tag types 2 to 4 are.
std::string TagList(const std::vector<std::string>& entries) {
  std::string list;
  for (const std::string& entry : entries) {
    list.append(entry);
    list.push_back('\0');
  }
  return list;  // c_str() adds the final NUL: the empty string that ends the list
}

enum class Mode { kUndecided, kAudio, kPlaylist };

// One response being read.
struct Fetch {
  Fetch(Stream& s, std::string u) : stream(s), url(std::move(u)) {}

  Stream& stream;
  std::vector<std::string> headers;  // of the latest response
  bool icy = false;
  std::optional<std::size_t> metaint;
  std::string contentType;
  Mode mode = Mode::kUndecided;
  std::string sniff;  // body bytes read before deciding
  std::string playlist;
  PlaylistKind kind = PlaylistKind::kNone;
  std::unique_ptr<IcySplitter> icySplitter;
  std::unique_ptr<OggCommentWatcher> ogg;
  std::string audio;
  uint64_t audioBytes = 0;  // audio queued so far, metadata not counted
  std::vector<std::string> blocks;
  std::vector<std::vector<std::string>> comments;
  const std::string url;

  bool OnHeader(std::string_view line) {
    if (line.starts_with("HTTP/") || line.starts_with("ICY ")) {
      headers.clear();
      icy = line.starts_with("ICY ");
      metaint.reset();
      contentType.clear();
    }
    if (!line.empty()) {
      headers.emplace_back(line);
      if (auto value = HeaderValue(line, "icy-metaint")) metaint = ParseMetaint(*value);
      if (auto value = HeaderValue(line, "content-type")) contentType = Lowered(*value);
    }
    // The creator sees each header line as it comes, the status line first.
    const std::string text(line);
    if (!line.empty()) stream.Status(text.c_str(), 0);
    return true;
  }

  bool OnBody(std::string_view data) {
    if (mode == Mode::kUndecided) {
      sniff.append(data);
      // A media type decides at once; generic types need a look at the body.
      const bool generic = contentType.empty() || contentType.starts_with("text/") ||
                           contentType.starts_with("application/octet-stream");
      if (generic && sniff.size() < kSniffBytes) return true;
      return Decide();
    }
    if (mode == Mode::kPlaylist) {
      playlist.append(data);
      return playlist.size() <= kMaxPlaylistBytes;
    }
    return Queue(data);
  }

  // Called with the first body bytes (or at the end of a short body).
  bool Decide() {
    kind = DetectPlaylist(contentType, url, sniff);
    // HLS is a stream format; other playlists are followed only when asked to.
    if (kind != PlaylistKind::kHls && !ConfigNetPlaylist()) kind = PlaylistKind::kNone;
    std::string first = std::move(sniff);
    sniff.clear();
    if (kind != PlaylistKind::kNone) {
      mode = Mode::kPlaylist;
      playlist = std::move(first);
      return playlist.size() <= kMaxPlaylistBytes;
    }
    mode = Mode::kAudio;
    stream.SetTag(icy ? BASS_TAG_ICY : BASS_TAG_HTTP, TagList(headers));
    if (metaint) icySplitter = std::make_unique<IcySplitter>(*metaint);
    if (contentType.find("ogg") != std::string::npos || first.starts_with("OggS")) {
      ogg = std::make_unique<OggCommentWatcher>();
    }
    {
      std::lock_guard lock(stream.mutex);
      stream.contentType = contentType;
      stream.headersKnown = true;
    }
    stream.changed.notify_all();
    return Queue(first);
  }

  // Body bytes of an audio response: ICY metadata taken out, titles and Ogg
  // comment changes queued as marks at their place in the audio.
  bool Queue(std::string_view data) {
    stream.Status(data.data(), static_cast<DWORD>(data.size()));
    if (!QueueBody(data)) return false;
    // A second or more of a typical station is queued: read the socket a few
    // times a second rather than for each piece the server sends.
    stream.network.Rest(kRestAbove, kRestFor);
    return true;
  }

  bool QueueBody(std::string_view data) {
    if (!icySplitter) return QueueAudio(data);
    // Pieces of at most metaint bytes hold at most one metadata block, and that
    // block sits where the audio count reaches a multiple of metaint.
    const std::size_t interval = icySplitter->metaint();
    while (!data.empty()) {
      const std::string_view piece = data.substr(0, interval);
      data.remove_prefix(piece.size());
      audio.clear();
      blocks.clear();
      icySplitter->Feed(piece, &audio, &blocks);
      std::string_view rest = audio;
      if (!blocks.empty()) {
        const uint64_t boundary = (audioBytes + audio.size()) / interval * interval;
        const std::string_view before = rest.substr(0, boundary - audioBytes);
        rest.remove_prefix(before.size());
        if (!QueueAudio(before)) return false;
        if (!stream.network.PushMark({BASS_TAG_META, std::move(blocks.front()), BASS_SYNC_META})) {
          return false;
        }
      }
      if (!QueueAudio(rest)) return false;
    }
    return true;
  }

  bool QueueAudio(std::string_view data) {
    audioBytes += data.size();
    if (!ogg) return stream.network.Push(data);
    // In small pieces, so a new stream's comments are marked close to where it
    // begins.
    constexpr std::size_t kOggPiece = 4096;
    while (!data.empty()) {
      const std::string_view piece = data.substr(0, kOggPiece);
      data.remove_prefix(piece.size());
      comments.clear();
      ogg->Feed(piece, &comments);
      for (const auto& list : comments) {
        if (!stream.network.PushMark({BASS_TAG_OGG, TagList(list), BASS_SYNC_OGG_CHANGE})) {
          return false;
        }
      }
      if (!stream.network.Push(piece)) return false;
    }
    return true;
  }
};

// What one stream's playlist walk has fetched so far. A playlist that lists
// itself, or playlists that list each other, would otherwise be read again for
// every entry at every depth: a hundred entries four deep are a hundred million
// requests.
struct Walk {
  std::set<std::string> tried;  // each URL is fetched once per stream
  int fetches = 0;
};

// Fetches url: plays it when it is audio, tries its entries when it is a
// playlist. Returns how it ended: BASS_ERROR_ENDED after audio was played,
// another error when nothing could be.
int Play(Stream& stream, const std::string& url, int depth, Walk& walk, bool* gotAudio) {
  if (!IsAllowedScheme(url)) return BASS_ERROR_PROTOCOL;
  if (!walk.tried.insert(url).second || ++walk.fetches > kMaxFetches) return BASS_ERROR_PLAYLIST;
  Fetch fetch(stream, url);
  HttpHandlers handlers;
  handlers.header = [&](std::string_view line) { return fetch.OnHeader(line); };
  handlers.body = [&](std::string_view data) { return fetch.OnBody(data); };
  HttpResult result = HttpGet(url, handlers, stream.freed, BASS_ERROR_LIMIT);
  if (stream.freed) return BASS_ERROR_HANDLE;
  if (result.error == BASS_OK && fetch.mode == Mode::kUndecided) {
    // A body shorter than the sniffing window.
    fetch.Decide();
  }
  if (fetch.mode == Mode::kAudio) {
    *gotAudio = true;
    // The server closed the stream, or the connection broke.
    return result.error == BASS_OK ? BASS_ERROR_ENDED : result.error;
  }
  if (result.error != BASS_OK) return result.error;
  if (fetch.mode != Mode::kPlaylist) return BASS_ERROR_FILEFORM;
  const std::string base = result.finalUrl.empty() ? url : result.finalUrl;
  if (fetch.kind == PlaylistKind::kHls) return PlayHls(stream, fetch.playlist, base, gotAudio);
  if (depth >= kMaxPlaylistDepth) return BASS_ERROR_PLAYLIST;
  int error = BASS_ERROR_PLAYLIST;
  for (const std::string& entry : ParsePlaylist(fetch.kind, fetch.playlist, base)) {
    error = Play(stream, entry, depth + 1, walk, gotAudio);
    if (*gotAudio || stream.freed) return error;
  }
  return error == BASS_ERROR_PLAYLIST || error == BASS_ERROR_FILEFORM ? BASS_ERROR_PLAYLIST : error;
}

}  // namespace

void RunNetwork(std::shared_ptr<Stream> stream) {
  bool gotAudio = false;
  Walk walk;
  const int error = Play(*stream, stream->url, 0, walk, &gotAudio);
  if (!gotAudio) {
    stream->Settle(error);
    stream->network.Abort();
    return;
  }
  stream->endError = error;
  stream->network.Finish();
}

}  // namespace tw::engine
