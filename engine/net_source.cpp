// The network thread of a stream: fetches the URL, follows playlists, takes ICY
// metadata and Ogg comments out as tags, queues the audio bytes for the decoder
// through the stream's producer side, and reconnects a stream that drops.
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/http.h"
#include "engine/icy.h"
#include "engine/internal.h"
#include "engine/ogg_comments.h"
#include "engine/playlists.h"
#include "engine/stream_threads.h"
#include "platform/text.h"

namespace tw::engine {

namespace {

using Clock = std::chrono::steady_clock;

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
// How long a connection that dropped during creation waits for the decoder to
// decide on what came before it is reconnected or the creation fails.
constexpr std::chrono::milliseconds kCreateWait{2000};

enum class Mode { kUndecided, kAudio, kPlaylist, kRefused };

// One response being read; for a finite body, its resumed responses too.
struct Fetch {
  Fetch(Stream& s, std::string u, bool again) : stream(s), url(std::move(u)), reconnect(again) {}

  Stream& stream;
  const std::string url;
  // A reconnect after a drop: its audio is a new section of the same stream,
  // its headers a tag change at that place.
  const bool reconnect;
  ResponseHead head;  // of the latest response
  Mode mode = Mode::kUndecided;
  std::string sniff;  // body bytes read before deciding
  std::string playlist;
  PlaylistKind kind = PlaylistKind::kNone;
  std::unique_ptr<IcySplitter> icySplitter;
  std::unique_ptr<OggCommentWatcher> ogg;
  std::vector<std::vector<std::string>> comments;
  uint64_t bodyBytes = 0;      // body bytes received, metadata included
  int64_t contentLength = -1;  // of the whole body, when the first response said
  std::chrono::steady_clock::time_point audioSince;  // when its audio began
  std::chrono::steady_clock::time_point firstBody;   // when its first body byte came
  bool started = false;                              // the stream was created meanwhile
  int limitError = BASS_OK;                          // Tick ended the transfer with it
  // BASS_NetReconnectNow calls seen, and the check of a connection's life it
  // starts: the body bytes when it began.
  uint64_t nudgesSeen = stream.network.nudges();
  std::optional<std::pair<Clock::time_point, uint64_t>> probe;

  bool OnHeader(std::string_view line) {
    head.Add(line);
    // The creator sees each header line of the first connect as it comes, the
    // status line first. A reconnect's go to the tags only: a player showing
    // them would show them over a station that plays on.
    const std::string text(line);
    if (!line.empty() && !reconnect) stream.Status(text.c_str(), 0);
    return true;
  }

  // Until the stream has started, its first playable audio (or the whole
  // playlist) must come within the read time-out of the first body byte,
  // however the server paces it: junk that trickles in is refused (11), a
  // trickle too thin to tell as one that did not come (10).
  int Tick() {
    if (const int error = Nudged(); error != BASS_OK) return error;
    if (reconnect || started || bodyBytes == 0) return BASS_OK;
    if (mode == Mode::kAudio && stream.WaitCreated(std::chrono::milliseconds(0))) {
      started = true;
      return BASS_OK;
    }
    if (Clock::now() - firstBody <= std::chrono::milliseconds(ConfigNetReadTimeoutMs())) {
      return BASS_OK;
    }
    limitError = bodyBytes > kSniffBytes ? BASS_ERROR_FILEFORM : BASS_ERROR_TIMEOUT;
    return limitError;
  }

  // The network is back, or the computer woke up: an attempt still waiting for
  // an unanswered connect gives way to a new one at once, and a connection that
  // plays gets a second to show it is alive (one that died while the computer
  // slept would otherwise hold on for the whole read time-out).
  int Nudged() {
    constexpr auto kProbeFor = std::chrono::seconds(1);
    const uint64_t nudges = stream.network.nudges();
    const Clock::time_point now = Clock::now();
    if (nudges != nudgesSeen) {
      nudgesSeen = nudges;
      if (reconnect && head.lines.empty()) return BASS_ERROR_TIMEOUT;
      if (mode == Mode::kAudio && (reconnect || stream.WaitCreated(std::chrono::milliseconds(0)))) {
        probe.emplace(now, bodyBytes);
      }
    }
    if (probe && now - probe->first >= kProbeFor) {
      const bool silent = bodyBytes == probe->second;
      probe.reset();
      if (silent) return BASS_ERROR_TIMEOUT;
    }
    return BASS_OK;
  }

  bool OnBody(std::string_view data) {
    if (bodyBytes == 0) firstBody = Clock::now();
    bodyBytes += data.size();
    if (mode == Mode::kUndecided) {
      sniff.append(data);
      // A media type decides at once; generic types need a look at the body.
      const std::string& type = head.contentType;
      const bool generic =
          type.empty() || type.starts_with("text/") || type.starts_with("application/octet-stream");
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
    kind = DetectPlaylist(head.contentType, url, sniff);
    // HLS is a stream format; other playlists are followed only when asked to.
    if (kind != PlaylistKind::kHls && !ConfigNetPlaylist()) kind = PlaylistKind::kNone;
    std::string first = std::move(sniff);
    sniff.clear();
    // A station that comes back as a web page or a playlist is not the station
    // it was.
    if (reconnect && (kind != PlaylistKind::kNone || head.contentType.starts_with("text/html"))) {
      mode = Mode::kRefused;
      return false;
    }
    if (kind != PlaylistKind::kNone) {
      mode = Mode::kPlaylist;
      playlist = std::move(first);
      return playlist.size() <= kMaxPlaylistBytes;
    }
    mode = Mode::kAudio;
    audioSince = std::chrono::steady_clock::now();
    const DWORD tagType = head.icy ? BASS_TAG_ICY : BASS_TAG_HTTP;
    if (!reconnect) {
      stream.SetTag(tagType, JoinListEntries(head.lines));
      if (!stream.BeginAudio(head.contentType)) return false;
    } else if (!stream.BeginAudio(head.contentType, true) ||
               !stream.PushMark({tagType, JoinListEntries(head.lines), 0})) {
      return false;
    }
    if (auto value = head.Value("icy-metaint")) {
      if (auto metaint = ParseMetaint(*value))
        icySplitter = std::make_unique<IcySplitter>(*metaint);
    }
    if (head.contentType.find("ogg") != std::string::npos || first.starts_with("OggS")) {
      ogg = std::make_unique<OggCommentWatcher>();
    }
    return Queue(first);
  }

  // Body bytes of an audio response: ICY metadata taken out, titles and Ogg
  // comment changes queued as marks at their place in the audio.
  bool Queue(std::string_view data) {
    stream.Status(data.data(), static_cast<DWORD>(data.size()));
    const bool queued =
        icySplitter
            ? icySplitter->Feed(
                  data, [&](std::string_view audio) { return QueueAudio(audio); },
                  [&](std::string block) {
                    return stream.PushMark({BASS_TAG_META, std::move(block), BASS_SYNC_META});
                  })
            : QueueAudio(data);
    if (!queued) return false;
    // A second or more of a typical station is queued, or decoded ahead: read
    // the socket a few times a second rather than for each piece the server
    // sends. The kernel keeps what arrives meanwhile.
    if (stream.DecodedAheadMs() >= Stream::kAudioInHandMs) return !stream.network.Sleep(kRestFor);
    stream.network.Rest(kRestAbove, kRestFor);
    return true;
  }

  bool QueueAudio(std::string_view data) {
    if (!ogg) return stream.PushAudio(data);
    // In small pieces, so a new stream's comments are marked close to where it
    // begins.
    constexpr std::size_t kOggPiece = 4096;
    while (!data.empty()) {
      const std::string_view piece = data.substr(0, kOggPiece);
      data.remove_prefix(piece.size());
      comments.clear();
      ogg->Feed(piece, &comments);
      for (const auto& list : comments) {
        if (!stream.PushMark({BASS_TAG_OGG, JoinListEntries(list), BASS_SYNC_OGG_CHANGE}))
          return false;
      }
      if (!stream.PushAudio(piece)) return false;
    }
    return true;
  }
};

HttpResult Get(Stream& stream, Fetch& fetch, int64_t resumeFrom = 0, long connectTimeoutMs = 0) {
  HttpHandlers handlers;
  handlers.header = [&](std::string_view line) { return fetch.OnHeader(line); };
  handlers.body = [&](std::string_view data) { return fetch.OnBody(data); };
  handlers.tick = [&] { return fetch.Tick(); };
  HttpResult result =
      HttpGet(fetch.url, handlers, stream.freed, BASS_ERROR_LIMIT, resumeFrom, connectTimeoutMs);
  if (resumeFrom == 0) fetch.contentLength = result.contentLength;
  return result;
}

// The body of a response that said how long it was has all arrived: a file
// that really ended, not a connection that broke.
bool Complete(const Fetch& fetch) {
  return fetch.contentLength >= 0 && fetch.bodyBytes >= static_cast<uint64_t>(fetch.contentLength);
}

// The wait before the next reconnect after the server answered (refused,
// reset, closed, 5xx): 0.5, 1, 2, 4, 8, then 15 s, each up to a tenth longer
// so that the listeners of a station that restarts do not all come back in
// the same instant.
Clock::duration Backoff(std::size_t step, std::minstd_rand& random) {
  constexpr std::chrono::milliseconds kSteps[] = {
      std::chrono::milliseconds(500), std::chrono::seconds(1), std::chrono::seconds(2),
      std::chrono::seconds(4),        std::chrono::seconds(8), std::chrono::seconds(15)};
  const std::chrono::milliseconds base = kSteps[std::min(step, std::size(kSteps) - 1)];
  std::uniform_int_distribution<int64_t> jitter(0, base.count() / 10);
  return base + std::chrono::milliseconds(jitter(random));
}

// A stream that began playing and whose connection closed, broke or went
// silent (`error`): reopened while what is buffered plays on, until the
// reconnect budget since the drop is spent (or for ever). Attempts the server
// answers back off (see Backoff); attempts nothing answers (the network is
// down) cost the server nothing: they use a short connect time-out and follow
// one another, one every kNoAnswerSlot, so that the first one after the
// network returns gets through. A connection that then carries audio long
// enough renews the budget and the back-off; one the server drops at once does
// not, so a server that accepts and drops every reconnect gets no storm. With
// mirrors (the entries of the playlist the station came from), each failed
// attempt goes on to the next entry. Returns how the stream ends.
int Reconnect(Stream& stream, Fetch& dropped, int error, const std::vector<std::string>& mirrors) {
  constexpr auto kSteady = std::chrono::seconds(10);
  constexpr auto kNoAnswerSlot = std::chrono::seconds(2);
  const DWORD configured = ConfigNetReconnectMs();
  const bool forever = configured == BASS_NET_RECONNECT_FOREVER;
  const std::chrono::milliseconds budget(forever ? 0 : configured);
  const long connectMs = std::min<long>(static_cast<long>(ConfigNetTimeoutMs()),
                                        std::chrono::milliseconds(kNoAnswerSlot).count());
  std::minstd_rand random(static_cast<uint32_t>(stream.handle ^ SteadyNanos()));
  int last = error == BASS_OK ? BASS_ERROR_ENDED : error;
  Clock::time_point since = Clock::now();
  std::size_t step = 0;
  // A finite body goes on where it broke, in the same section, so nothing plays
  // twice; a live stream goes on with what the station sends now.
  const bool resume = dropped.contentLength >= 0;
  const bool useMirrors = !resume && mirrors.size() > 1;
  std::size_t mirror = 0;
  if (useMirrors) {
    mirror = static_cast<std::size_t>(std::find(mirrors.begin(), mirrors.end(), dropped.url) -
                                      mirrors.begin()) %
             mirrors.size();
  }
  // Entries in a row that answered "not this station" (an HTTP error, a page).
  std::size_t refusals = 0;
  // A connection that went silent got no answer: the first attempt goes at once.
  bool answered = error != BASS_ERROR_TIMEOUT;
  Clock::time_point attempted = Clock::now() - kNoAnswerSlot;
  uint64_t nudges = stream.network.nudges();
  for (;;) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    if (!forever && spent >= budget) return last;
    Clock::duration delay =
        answered ? Backoff(step++, random)
                 : std::max<Clock::duration>(Clock::duration::zero(),
                                             kNoAnswerSlot - (Clock::now() - attempted));
    if (!forever) delay = std::min<Clock::duration>(delay, budget - spent);
    // A nudge (the network is back) skips what is left of the wait.
    if (stream.network.SleepUnlessNudged(
            std::chrono::duration_cast<std::chrono::milliseconds>(delay), &nudges)) {
      return BASS_ERROR_HANDLE;  // freed, or the decoder ended
    }
    std::optional<Fetch> fresh;
    if (!resume) fresh.emplace(stream, useMirrors ? mirrors[mirror] : dropped.url, true);
    Fetch& fetch = resume ? dropped : *fresh;
    const uint64_t before = fetch.bodyBytes;
    attempted = Clock::now();
    const HttpResult result =
        Get(stream, fetch, resume ? static_cast<int64_t>(before) : 0, connectMs);
    if (stream.freed) return BASS_ERROR_HANDLE;
    // From the start again it would play twice: the stream ends where it broke.
    if (result.resumeRefused) return BASS_ERROR_ENDED;
    if (result.error == BASS_OK && fetch.mode == Mode::kUndecided && fetch.bodyBytes > 0) {
      fetch.Decide();
    }
    // The station's source has gone (Icecast answers 404 once it has), or the
    // address now serves something else. A server error (5xx) is a server
    // that restarts or is overloaded: it is tried again.
    int refused = BASS_OK;
    if (fetch.mode == Mode::kRefused) refused = BASS_ERROR_FILEFORM;
    if (result.error == BASS_ERROR_HTTP && !(result.status >= 500 && result.status <= 599)) {
      refused = BASS_ERROR_ENDED;
    }
    if (refused != BASS_OK) {
      // Another mirror may still carry the station.
      if (!useMirrors || ++refusals >= mirrors.size()) return refused;
      mirror = (mirror + 1) % mirrors.size();
      answered = true;
      last = refused;
      continue;
    }
    if (resume ? fetch.bodyBytes > before : fetch.mode == Mode::kAudio) {
      refusals = 0;
      if (Complete(fetch) && result.error == BASS_OK) return BASS_ERROR_ENDED;
      if (Clock::now() - attempted >= kSteady) {
        since = Clock::now();
        step = 0;
      }
      answered = result.error != BASS_ERROR_TIMEOUT;
    } else {
      answered = !result.noAnswer;
      if (useMirrors) mirror = (mirror + 1) % mirrors.size();
    }
    last = result.error == BASS_OK ? BASS_ERROR_ENDED : result.error;
  }
}

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
// `mirrors` are the entries of the playlist url came from (url alone when none).
int Play(Stream& stream, const std::string& url, const std::vector<std::string>& mirrors, int depth,
         Walk& walk, bool* gotAudio) {
  if (!IsAllowedScheme(url)) return BASS_ERROR_PROTOCOL;
  if (!walk.tried.insert(url).second || ++walk.fetches > kMaxFetches) return BASS_ERROR_PLAYLIST;
  Fetch fetch(stream, url, false);
  HttpResult result = Get(stream, fetch);
  if (stream.freed) return BASS_ERROR_HANDLE;
  if (result.error == BASS_OK && fetch.mode == Mode::kUndecided) {
    // A body shorter than the sniffing window.
    fetch.Decide();
  }
  if (fetch.limitError != BASS_OK) {
    // The stream did not start in time: that is the creation's failure.
    stream.Settle(fetch.limitError);
    return fetch.limitError;
  }
  if (fetch.mode == Mode::kAudio) {
    *gotAudio = true;
    if (result.error == BASS_OK && Complete(fetch)) return BASS_ERROR_ENDED;
    // The server closed the stream, or the connection broke. A stream that
    // plays is reopened. The decoder may still be at the bytes that came: it
    // gets a moment to decide on them (it settles on a few frames), and a
    // stream that could not start on them ends with the failure.
    if (!stream.WaitCreated(kCreateWait)) {
      return result.error == BASS_OK ? BASS_ERROR_ENDED : result.error;
    }
    return Reconnect(stream, fetch, result.error, mirrors);
  }
  if (result.error != BASS_OK) return result.error;
  if (fetch.mode != Mode::kPlaylist) return BASS_ERROR_FILEFORM;
  const std::string base = result.finalUrl.empty() ? url : result.finalUrl;
  if (fetch.kind == PlaylistKind::kHls) return PlayHls(stream, fetch.playlist, base, gotAudio);
  if (depth >= kMaxPlaylistDepth) return BASS_ERROR_PLAYLIST;
  int error = BASS_ERROR_PLAYLIST;
  const std::vector<std::string> entries = ParsePlaylist(fetch.kind, fetch.playlist, base);
  for (const std::string& entry : entries) {
    error = Play(stream, entry, entries, depth + 1, walk, gotAudio);
    if (*gotAudio || stream.freed) return error;
  }
  return error == BASS_ERROR_PLAYLIST || error == BASS_ERROR_FILEFORM ? BASS_ERROR_PLAYLIST : error;
}

}  // namespace

void RunNetwork(std::shared_ptr<Stream> stream) {
  NameThread("tw-network");
  bool gotAudio = false;
  Walk walk;
  const int error = Play(*stream, stream->url, {stream->url}, 0, walk, &gotAudio);
  if (!gotAudio) {
    stream->Settle(error);
    stream->network.Abort();
    return;
  }
  stream->EndWith(error);
  stream->network.Finish();
}

}  // namespace tw::engine
