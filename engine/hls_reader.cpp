// HLS on the network thread: the media playlist is read and re-read while live,
// and its segments are fetched one after the other into the decoder's queue, so
// the decoder sees one continuous MPEG-TS or ADTS stream.
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "engine/ascii.h"
#include "engine/hls.h"
#include "engine/http.h"
#include "engine/internal.h"
#include "engine/playlists.h"
#include "engine/streams.h"

namespace tw::engine {

namespace {

using ascii::Lowered;

// Reloads of a live playlist that bring nothing new before the stream counts as
// ended, and segment failures in a row before it counts as broken.
constexpr int kMaxIdleReloads = 6;
constexpr int kMaxSegmentFailures = 3;

// Reads a whole (small) text resource.
int FetchText(Stream& stream, const std::string& url, std::string* text, std::string* finalUrl) {
  text->clear();
  HttpHandlers handlers;
  handlers.body = [&](std::string_view data) {
    text->append(data);
    return text->size() <= kMaxPlaylistBytes;
  };
  HttpResult result = HttpGet(url, handlers, stream.freed, BASS_ERROR_LIMIT);
  *finalUrl = result.finalUrl.empty() ? url : result.finalUrl;
  return result.error;
}

// Waits, waking early when the stream is freed.
void Pause(Stream& stream, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stream.freed && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// A container type the decoder understands, from the response or the URL.
std::string SegmentType(const std::string& contentType, const std::string& url) {
  const std::string type = Lowered(contentType);
  if (type.find("mp2t") != std::string::npos || type.find("aac") != std::string::npos ||
      type.find("mpeg") != std::string::npos) {
    return type;
  }
  std::string path = Lowered(url.substr(0, url.find('?')));
  if (path.ends_with(".ts")) return "video/mp2t";
  if (path.ends_with(".aac")) return "audio/aac";
  if (path.ends_with(".mp3")) return "audio/mpeg";
  return type;
}

class HlsReader {
 public:
  HlsReader(Stream& stream, bool* gotAudio) : stream_(stream), gotAudio_(gotAudio) {}

  int Run(std::string text, std::string url) {
    std::optional<HlsPlaylist> playlist = ParseHls(text, url);
    if (!playlist) return BASS_ERROR_FILEFORM;
    if (playlist->is_master) {
      if (playlist->variants.empty()) return BASS_ERROR_FILEFORM;
      const HlsVariant& variant = playlist->variants[ChooseVariant(*playlist)];
      url = variant.url;
      // A variant whose audio comes from a rendition of its group plays that.
      for (const HlsAudioRendition& rendition : playlist->audio_renditions) {
        if (!variant.audio_group.empty() && rendition.group_id == variant.audio_group &&
            !rendition.url.empty()) {
          url = rendition.url;
          if (rendition.is_default) break;
        }
      }
      std::string finalUrl;
      if (int error = FetchText(stream_, url, &text, &finalUrl); error != BASS_OK) return error;
      url = finalUrl;
      playlist = ParseHls(text, url);
      if (!playlist || playlist->is_master) return BASS_ERROR_FILEFORM;
    }
    return PlayMedia(std::move(*playlist), url);
  }

 private:
  int PlayMedia(HlsPlaylist playlist, std::string url) {
    std::optional<uint64_t> next;
    int idle = 0;
    int failures = 0;
    // A live playlist that lists nothing to play keeps the creator waiting no
    // longer than a server that sends nothing would.
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ConfigNetReadTimeoutMs());
    for (;;) {
      if (stream_.freed) return BASS_ERROR_HANDLE;
      if (!next && !playlist.segments.empty()) {
        next = playlist.segments[HlsStartIndex(playlist)].sequence;
      }
      bool progressed = false;
      for (const HlsSegment& segment : playlist.segments) {
        if (!next || segment.sequence < *next) continue;
        next = segment.sequence + 1;
        progressed = true;
        if (segment.encrypted) continue;  // no keys: such segments are skipped
        if (int error = PlaySegment(segment); error != BASS_OK) {
          if (error == BASS_ERROR_HANDLE) return error;
          if (++failures >= kMaxSegmentFailures) return error;
        } else {
          failures = 0;
        }
      }
      if (playlist.end_list) {
        if (!*gotAudio_) return playlist.segments.empty() ? BASS_ERROR_FILEFORM : failure_;
        return BASS_ERROR_ENDED;
      }
      idle = progressed ? 0 : idle + 1;
      if (idle > kMaxIdleReloads) return *gotAudio_ ? BASS_ERROR_ENDED : BASS_ERROR_TIMEOUT;
      if (!*gotAudio_ && std::chrono::steady_clock::now() >= giveUp) {
        // failure_ still FILEFORM: no segment was even tried.
        return failure_ == BASS_ERROR_FILEFORM ? BASS_ERROR_TIMEOUT : failure_;
      }
      // A live playlist gains a segment about every target duration.
      const double wait = playlist.target_duration > 0 ? playlist.target_duration : 2;
      Pause(stream_, progressed ? wait / 2 : wait / 2 + 0.5);
      std::string text, finalUrl;
      if (int error = FetchText(stream_, url, &text, &finalUrl); error != BASS_OK) {
        if (error == BASS_ERROR_HANDLE || ++failures >= kMaxSegmentFailures) return error;
        continue;
      }
      std::optional<HlsPlaylist> reloaded = ParseHls(text, finalUrl);
      if (!reloaded || reloaded->is_master) return BASS_ERROR_FILEFORM;
      playlist = std::move(*reloaded);
    }
  }

  int PlaySegment(const HlsSegment& segment) {
    std::vector<std::string> headers;
    bool started = false;
    std::string type;
    HttpHandlers handlers;
    handlers.header = [&](std::string_view line) {
      if (line.starts_with("HTTP/")) headers.clear();
      if (!line.empty()) headers.emplace_back(line);
      if (line.size() > 13 && Lowered(std::string(line.substr(0, 13))) == "content-type:") {
        type = std::string(line.substr(13));
        while (!type.empty() && type.front() == ' ') type.erase(0, 1);
      }
      return true;
    };
    handlers.body = [&](std::string_view data) {
      if (!started) {
        started = true;
        Begin(headers, SegmentType(type, segment.url));
        // The segment's title and sync come when its audio is decoded.
        if (!stream_.network.PushMark(
                {BASS_TAG_HLS_EXTINF, segment.extinf, BASS_SYNC_HLS_SEGMENT})) {
          return false;
        }
      }
      stream_.Status(data.data(), static_cast<DWORD>(data.size()));
      return stream_.network.Push(data);
    };
    HttpResult result = HttpGet(segment.url, handlers, stream_.freed, BASS_ERROR_HANDLE);
    if (result.error != BASS_OK) failure_ = result.error;
    return result.error;
  }

  // The first segment tells the decoder what it is reading.
  void Begin(const std::vector<std::string>& headers, const std::string& type) {
    if (*gotAudio_) return;
    *gotAudio_ = true;
    std::string list;
    for (const std::string& header : headers) {
      list.append(header);
      list.push_back('\0');
    }
    stream_.SetTag(BASS_TAG_HTTP, std::move(list));
    {
      std::lock_guard lock(stream_.mutex);
      stream_.contentType = type;
      stream_.headersKnown = true;
    }
    stream_.changed.notify_all();
  }

  Stream& stream_;
  bool* gotAudio_;
  int failure_ = BASS_ERROR_FILEFORM;
};

}  // namespace

int PlayHls(Stream& stream, std::string text, std::string url, bool* gotAudio) {
  return HlsReader(stream, gotAudio).Run(std::move(text), std::move(url));
}

}  // namespace tw::engine
