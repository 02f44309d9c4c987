// HLS on the network thread: the media playlist is read and re-read while live,
// and its segments are fetched one after the other into the decoder's queue, so
// the decoder sees one continuous MPEG-TS, ADTS or fragmented MP4 stream (a new
// section of it whenever the init segment changes).
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "engine/hls_playlist.h"
#include "engine/http.h"
#include "engine/internal.h"
#include "engine/playlists.h"
#include "engine/stream_threads.h"
#include "platform/text.h"

namespace tw::engine {

namespace {

using Clock = std::chrono::steady_clock;

// Segments that failed in a row (each after its retries) before the stream
// counts as broken.
constexpr int kMaxSegmentFailures = 3;
// A live list is reloaded about every half target duration, and never less
// often than this, whatever the list says (a hostile #EXT-X-TARGETDURATION
// would otherwise stall the stream for good).
constexpr double kMaxTargetSeconds = 10;
// A failed fetch is tried again this soon, within the target duration.
constexpr auto kRetryAfter = std::chrono::milliseconds(500);
// An init segment holds a few boxes of codec set-up; more is not one.
constexpr std::size_t kMaxInitBytes = 1024 * 1024;
// While the list cannot be read (the network is down), reloads follow one
// another this often, each with this short a connect time-out, so that the
// first one after the network returns gets through.
constexpr auto kNoAnswerSlot = std::chrono::seconds(2);

// Reads a whole (small) resource.
int FetchBytes(Stream& stream, const std::string& url, std::size_t cap, std::string* bytes,
               std::string* finalUrl, long connectTimeoutMs = 0) {
  bytes->clear();
  HttpHandlers handlers;
  handlers.body = [&](std::string_view data) {
    bytes->append(data);
    return bytes->size() <= cap;
  };
  // A list or init segment comes whole within the read time-out, however the
  // server paces it.
  const auto due = Clock::now() + std::chrono::milliseconds(ConfigNetReadTimeoutMs());
  handlers.tick = [&] { return Clock::now() > due ? BASS_ERROR_TIMEOUT : BASS_OK; };
  HttpResult result = HttpGet(url, handlers, stream.freed, BASS_ERROR_LIMIT, 0, connectTimeoutMs);
  *finalUrl = result.finalUrl.empty() ? url : result.finalUrl;
  return result.error;
}

// Waits; false when the stream was freed (or its decoder ended) meanwhile.
bool Pause(Stream& stream, double seconds) {
  return !stream.network.Sleep(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
}

// The target duration the reader times itself by.
double TargetSeconds(const HlsPlaylist& playlist) {
  const double target = playlist.targetDuration > 0 ? playlist.targetDuration : 2;
  return std::clamp(target, 1.0, kMaxTargetSeconds);
}

// A container type the decoder understands, from the response or the URL.
std::string SegmentType(const std::string& contentType, const HlsSegment& segment) {
  // Whatever the server calls them, segments after an init segment are MP4.
  if (!segment.mapUrl.empty()) return "audio/mp4";
  const std::string type = AsciiLowered(contentType);
  if (type.find("mp2t") != std::string::npos || type.find("aac") != std::string::npos ||
      type.find("mpeg") != std::string::npos || type.find("mp4") != std::string::npos) {
    return type;
  }
  std::string path = AsciiLowered(segment.url.substr(0, segment.url.find('?')));
  if (path.ends_with(".ts")) return "video/mp2t";
  if (path.ends_with(".aac")) return "audio/aac";
  if (path.ends_with(".mp3")) return "audio/mpeg";
  if (path.ends_with(".m4s") || path.ends_with(".mp4") || path.ends_with(".m4a")) {
    return "audio/mp4";
  }
  return type;
}

class HlsReader {
 public:
  HlsReader(Stream& stream, bool* gotAudio) : stream_(stream), gotAudio_(gotAudio) {}

  int Run(std::string text, std::string url) {
    std::optional<HlsPlaylist> playlist = ParseHls(text, url);
    if (!playlist) return BASS_ERROR_FILEFORM;
    if (playlist->isMaster) {
      if (playlist->variants.empty()) return BASS_ERROR_FILEFORM;
      const HlsVariant& variant = playlist->variants[ChooseVariant(*playlist)];
      url = variant.url;
      // A variant whose audio comes from a rendition of its group plays that.
      for (const HlsAudioRendition& rendition : playlist->audioRenditions) {
        if (!variant.audioGroup.empty() && rendition.groupId == variant.audioGroup &&
            !rendition.url.empty()) {
          url = rendition.url;
          if (rendition.isDefault) break;
        }
      }
      std::string finalUrl;
      if (int error = FetchBytes(stream_, url, kMaxPlaylistBytes, &text, &finalUrl);
          error != BASS_OK) {
        return error;
      }
      url = finalUrl;
      playlist = ParseHls(text, url);
      if (!playlist || playlist->isMaster) return BASS_ERROR_FILEFORM;
    }
    return PlayMedia(std::move(*playlist), url);
  }

 private:
  int PlayMedia(HlsPlaylist playlist, std::string url) {
    std::optional<uint64_t> next;
    int failures = 0;
    int reloadError = BASS_OK;  // of the last reload, while reloads fail
    Clock::time_point advanced = Clock::now();
    // A live playlist that lists nothing to play keeps the creator waiting no
    // longer than a server that sends nothing would.
    const auto giveUp = Clock::now() + std::chrono::milliseconds(ConfigNetReadTimeoutMs());
    for (;;) {
      if (stream_.freed) return BASS_ERROR_HANDLE;
      if (!next && !playlist.segments.empty()) {
        next = playlist.segments[HlsStartIndex(playlist)].sequence;
      }
      const double target = TargetSeconds(playlist);
      bool progressed = false;
      for (const HlsSegment& segment : playlist.segments) {
        if (!next || segment.sequence < *next) continue;
        next = segment.sequence + 1;
        progressed = true;
        if (segment.encrypted) continue;  // no keys: such segments are skipped
        if (int error = PlaySegment(segment, target); error != BASS_OK) {
          if (error == BASS_ERROR_HANDLE) return error;
          // Skipped; the stream goes on unless segments keep failing, or, for a
          // station that keeps coming back, unless the server refuses them.
          if (++failures >= kMaxSegmentFailures && !(Forever() && error != BASS_ERROR_HTTP)) {
            return error;
          }
        } else {
          failures = 0;
        }
      }
      if (progressed) advanced = Clock::now();
      if (playlist.endList) {
        if (!*gotAudio_) return playlist.segments.empty() ? BASS_ERROR_FILEFORM : failure_;
        return BASS_ERROR_ENDED;
      }
      // A live list that stopped advancing (or could not be read) for three
      // target durations has ended.
      // A list that cannot be read while the network is down has not ended for
      // a station that keeps coming back: it is read again until it can be.
      const bool unreachable = reloadError != BASS_OK && reloadError != BASS_ERROR_HTTP;
      if (Clock::now() - advanced > std::chrono::duration<double>(3 * target) &&
          !(Forever() && unreachable)) {
        if (!*gotAudio_) return reloadError != BASS_OK ? reloadError : BASS_ERROR_TIMEOUT;
        return reloadError == BASS_OK || reloadError == BASS_ERROR_HTTP ? BASS_ERROR_ENDED
                                                                        : reloadError;
      }
      if (!*gotAudio_ && Clock::now() >= giveUp) {
        // failure_ still FILEFORM: no segment was even tried.
        return failure_ == BASS_ERROR_FILEFORM ? BASS_ERROR_TIMEOUT : failure_;
      }
      // A live playlist gains a segment about every target duration. While it
      // cannot be read, a nudge (the network is back) skips the wait.
      const auto pause = std::chrono::milliseconds(static_cast<int64_t>(target / 2 * 1000));
      long connectMs = 0;
      if (Forever() && unreachable) {
        connectMs = std::chrono::milliseconds(kNoAnswerSlot).count();
        if (stream_.network.SleepUnlessNudged(
                std::min<std::chrono::milliseconds>(pause, kNoAnswerSlot), &nudges_)) {
          return BASS_ERROR_HANDLE;
        }
      } else if (!Pause(stream_, target / 2)) {
        return BASS_ERROR_HANDLE;
      }
      std::string text, finalUrl;
      reloadError = FetchBytes(stream_, url, kMaxPlaylistBytes, &text, &finalUrl, connectMs);
      if (reloadError == BASS_ERROR_HANDLE) return reloadError;
      if (reloadError != BASS_OK) continue;  // tried again until the list counts as ended
      std::optional<HlsPlaylist> reloaded = ParseHls(text, finalUrl);
      if (!reloaded || reloaded->isMaster) return BASS_ERROR_FILEFORM;
      playlist = std::move(*reloaded);
    }
  }

  // A segment, tried again within the target duration while it fails before
  // any of it was queued (a segment cut short is not fetched twice: its start
  // would play twice).
  int PlaySegment(const HlsSegment& segment, double target) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(target);
    for (;;) {
      bool queued = false;
      const int error = FetchSegment(segment, &queued);
      if (error == BASS_OK || error == BASS_ERROR_HANDLE || queued) return error;
      if (Clock::now() + kRetryAfter >= deadline) return error;
      if (stream_.network.Sleep(kRetryAfter)) return BASS_ERROR_HANDLE;
    }
  }

  int FetchSegment(const HlsSegment& segment, bool* queued) {
    if (!segment.mapUrl.empty() && segment.mapUrl != map_) {
      std::string init, finalUrl;
      const int error = FetchBytes(stream_, segment.mapUrl, kMaxInitBytes, &init, &finalUrl);
      if (error != BASS_OK) return failure_ = error;
      map_ = segment.mapUrl;
      init_ = std::move(init);
      newMap_ = true;
    }
    ResponseHead head;
    HttpHandlers handlers;
    handlers.header = [&](std::string_view line) {
      head.Add(line);
      return true;
    };
    handlers.body = [&](std::string_view data) {
      if (!*queued) {
        *queued = true;
        if (!Begin(head, segment)) return false;
        // The segment's title and sync come when its audio is decoded.
        if (!stream_.PushMark({BASS_TAG_HLS_EXTINF, segment.extinf, BASS_SYNC_HLS_SEGMENT})) {
          return false;
        }
      }
      stream_.Status(data.data(), static_cast<DWORD>(data.size()));
      return stream_.PushAudio(data);
    };
    // Before the stream has started, a segment trickled in must not keep its
    // creator waiting for good.
    const auto due = Clock::now() + std::chrono::milliseconds(ConfigNetReadTimeoutMs());
    handlers.tick = [&] {
      if (Clock::now() <= due || stream_.WaitCreated(std::chrono::milliseconds(0))) return BASS_OK;
      return BASS_ERROR_TIMEOUT;
    };
    HttpResult result = HttpGet(segment.url, handlers, stream_.freed, BASS_ERROR_HANDLE);
    if (result.error != BASS_OK) failure_ = result.error;
    return result.error;
  }

  // The first segment tells the decoder what it is reading, and so does each
  // one after a new init segment or a discontinuity to another container.
  bool Begin(const ResponseHead& head, const HlsSegment& segment) {
    const std::string type = SegmentType(head.contentType, segment);
    const bool mp4 = !segment.mapUrl.empty();
    const bool another = mp4 ? newMap_ : !map_.empty() || (segment.discontinuity && type != type_);
    if (*gotAudio_ && !another) return true;
    if (!*gotAudio_) {
      *gotAudio_ = true;
      stream_.SetTag(BASS_TAG_HTTP, JoinListEntries(head.lines));
    }
    if (!mp4) map_.clear();
    type_ = type;
    newMap_ = false;
    if (!stream_.BeginAudio(type)) return false;
    return !mp4 || stream_.PushAudio(init_);
  }

  // A station that played is brought back for as long as it is not freed.
  bool Forever() const {
    return *gotAudio_ && ConfigNetReconnectMs() == BASS_NET_RECONNECT_FOREVER;
  }

  Stream& stream_;
  bool* gotAudio_;
  uint64_t nudges_ = stream_.network.nudges();
  int failure_ = BASS_ERROR_FILEFORM;
  std::string type_;  // the container of the current section
  std::string map_;   // the init segment in front of the current section, if any
  std::string init_;  // its bytes
  bool newMap_ = false;
};

}  // namespace

int PlayHls(Stream& stream, std::string text, std::string url, bool* gotAudio) {
  return HlsReader(stream, gotAudio).Run(std::move(text), std::move(url));
}

}  // namespace tw::engine
