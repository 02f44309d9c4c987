#include "engine/hls_playlist.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <initializer_list>

#include "engine/playlists.h"
#include "platform/text.h"

namespace tw::engine {
namespace {

// The value of attribute `name` in an attribute list such as
// BANDWIDTH=128000,CODECS="mp4a.40.2,mp4a.40.5",AUDIO="aac". Quoted values may
// hold commas; an unterminated quote runs to the end of the line. Searched
// afresh for each name: a tag asks for a few, and a hostile line with a
// million attributes then costs a few passes instead of a million-entry table.
std::optional<std::string_view> FindAttribute(std::string_view list, std::string_view name) {
  std::size_t i = 0;
  const std::size_t n = list.size();
  while (i < n) {
    while (i < n && (list[i] == ',' || IsAsciiSpace(list[i]))) ++i;
    std::size_t nameStart = i;
    while (i < n && list[i] != '=' && list[i] != ',') ++i;
    std::string_view attrName = TrimAsciiSpace(list.substr(nameStart, i - nameStart));
    std::string_view value;
    if (i < n && list[i] == '=') {
      ++i;
      while (i < n && IsAsciiSpace(list[i])) ++i;
      if (i < n && list[i] == '"') {
        std::size_t end = list.find('"', i + 1);
        if (end == std::string_view::npos) end = n;
        value = list.substr(i + 1, end - i - 1);
        i = end;
        while (i < n && list[i] != ',') ++i;  // junk after the closing quote
      } else {
        std::size_t end = list.find(',', i);
        if (end == std::string_view::npos) end = n;
        value = TrimAsciiSpace(list.substr(i, end - i));
        i = end;
      }
    }
    if (!attrName.empty() && EqualNoCase(attrName, name)) return value;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  text = TrimAsciiSpace(text);
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Seconds as a decimal ("10", "9.976"); junk after the number is ignored, as
// players commonly do. Negative ("-1", an old M3U habit), infinite and
// unreadable values give nullopt.
std::optional<double> ParseSeconds(std::string_view text) {
  text = TrimAsciiSpace(text);
  double value = 0;
  auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (text.empty() || ec != std::errc() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::string CutExtinf(std::string_view text) {
  if (text.size() <= kMaxHlsExtinfLength) return std::string(text);
  std::size_t cut = kMaxHlsExtinfLength;
  // Back off to the start of a UTF-8 sequence so the title stays valid text.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

enum class CodecKind { kAudio, kVideo, kOther };

CodecKind ClassifyCodec(std::string_view codec) {
  for (std::string_view audio :
       {"mp4a", "ac-3", "ec-3", "ac-4", "opus", "flac", "alac", "mp3", "vorbis"}) {
    if (StartsWithNoCase(codec, audio)) return CodecKind::kAudio;
  }
  for (std::string_view video : {"avc1", "avc3", "hvc1", "hev1", "vp08", "vp09", "vp8", "vp9",
                                 "av01", "dvh1", "dvhe", "mp4v"}) {
    if (StartsWithNoCase(codec, video)) return CodecKind::kVideo;
  }
  return CodecKind::kOther;
}

// 0: audio only or unknown, 1: audio with video, 2: video without audio.
int VariantRank(const HlsVariant& variant) {
  bool audio = false;
  bool video = false;
  std::string_view codecs = variant.codecs;
  while (!codecs.empty()) {
    std::size_t comma = codecs.find(',');
    CodecKind kind = ClassifyCodec(TrimAsciiSpace(codecs.substr(0, comma)));
    audio = audio || kind == CodecKind::kAudio;
    video = video || kind == CodecKind::kVideo;
    codecs = comma == std::string_view::npos ? std::string_view() : codecs.substr(comma + 1);
  }
  if (!video) return 0;
  return audio ? 1 : 2;
}

// Line-by-line state while reading a playlist.
class HlsReader {
 public:
  explicit HlsReader(std::string_view baseUrl) : base_(baseUrl) {}

  void Line(std::string_view line) {
    line = TrimAsciiSpace(line);
    if (line.empty()) return;
    if (line.front() == '#') {
      Tag(line);
    } else {
      Uri(line);
    }
  }

  HlsPlaylist Finish() {
    playlist_.segments.reserve(segments_.size());
    for (HlsSegment& segment : segments_) {
      // Unsigned: a hostile sequence near 2^64 wraps instead of overflowing.
      segment.sequence += playlist_.mediaSequence;
      playlist_.segments.push_back(std::move(segment));
    }
    return std::move(playlist_);
  }

 private:
  void Tag(std::string_view line) {
    auto after = [&line](std::string_view tag) -> std::optional<std::string_view> {
      if (!line.starts_with(tag)) return std::nullopt;
      return line.substr(tag.size());
    };
    if (auto streamInf = after("#EXT-X-STREAM-INF:")) {
      playlist_.isMaster = true;
      HlsVariant variant;
      if (auto v = FindAttribute(*streamInf, "BANDWIDTH")) {
        variant.bandwidth = ParseUnsigned(*v).value_or(0);
      }
      if (auto v = FindAttribute(*streamInf, "CODECS")) variant.codecs = *v;
      if (auto v = FindAttribute(*streamInf, "AUDIO")) variant.audioGroup = *v;
      pendingVariant_ = std::move(variant);
    } else if (auto media = after("#EXT-X-MEDIA:")) {
      playlist_.isMaster = true;
      MediaTag(*media);
    } else if (auto extinf = after("#EXTINF:")) {
      pendingExtinf_ = CutExtinf(*extinf);
      pendingDuration_ = ParseSeconds(extinf->substr(0, extinf->find(','))).value_or(0);
    } else if (auto target = after("#EXT-X-TARGETDURATION:")) {
      playlist_.targetDuration = ParseSeconds(*target).value_or(0);
    } else if (auto sequence = after("#EXT-X-MEDIA-SEQUENCE:")) {
      playlist_.mediaSequence = ParseUnsigned(*sequence).value_or(0);
    } else if (line == "#EXT-X-ENDLIST") {
      playlist_.endList = true;
    } else if (line == "#EXT-X-DISCONTINUITY") {
      pendingDiscontinuity_ = true;
    } else if (auto map = after("#EXT-X-MAP:")) {
      // Applies to every later segment, until the next one.
      auto uri = FindAttribute(*map, "URI");
      map_ = uri ? CleanEntryUrl(base_, *uri) : std::string();
    } else if (auto key = after("#EXT-X-KEY:")) {
      // A key tag without a readable METHOD counts as encryption: feeding
      // ciphertext to the decoder is worse than refusing the segment.
      auto method = FindAttribute(*key, "METHOD");
      encrypted_ = !method || !EqualNoCase(*method, "NONE");
    }
  }

  void MediaTag(std::string_view attrs) {
    auto type = FindAttribute(attrs, "TYPE");
    auto uri = FindAttribute(attrs, "URI");
    if (!type || !EqualNoCase(*type, "AUDIO") || !uri) return;
    if (playlist_.audioRenditions.size() >= kMaxHlsVariants) return;
    HlsAudioRendition rendition;
    rendition.url = CleanEntryUrl(base_, *uri);
    if (rendition.url.empty()) return;
    if (auto v = FindAttribute(attrs, "GROUP-ID")) rendition.groupId = *v;
    if (auto v = FindAttribute(attrs, "NAME")) rendition.name = *v;
    if (auto v = FindAttribute(attrs, "LANGUAGE")) rendition.language = *v;
    auto isDefault = FindAttribute(attrs, "DEFAULT");
    rendition.isDefault = isDefault && EqualNoCase(*isDefault, "YES");
    playlist_.audioRenditions.push_back(std::move(rendition));
  }

  void Uri(std::string_view line) {
    if (pendingVariant_) {
      // The URI line after #EXT-X-STREAM-INF belongs to that variant.
      HlsVariant variant = std::move(*pendingVariant_);
      pendingVariant_.reset();
      if (playlist_.variants.size() >= kMaxHlsVariants) return;
      variant.url = CleanEntryUrl(base_, line);
      if (!variant.url.empty()) playlist_.variants.push_back(std::move(variant));
      return;
    }
    HlsSegment segment;
    segment.sequence = position_++;  // the media sequence is added in Finish()
    segment.extinf = std::move(pendingExtinf_);
    segment.duration = pendingDuration_;
    segment.discontinuity = pendingDiscontinuity_;
    segment.encrypted = encrypted_;
    segment.mapUrl = map_;
    pendingExtinf_.clear();
    pendingDuration_ = 0;
    pendingDiscontinuity_ = false;
    segment.url = CleanEntryUrl(base_, line);
    if (segment.url.empty()) return;
    segments_.push_back(std::move(segment));
    if (segments_.size() > kMaxHlsSegments) segments_.pop_front();
  }

  std::string_view base_;
  HlsPlaylist playlist_;
  std::deque<HlsSegment> segments_;  // the newest kMaxHlsSegments
  std::uint64_t position_ = 0;       // segments seen so far, kept or not
  std::optional<HlsVariant> pendingVariant_;
  std::string pendingExtinf_;
  double pendingDuration_ = 0;
  bool pendingDiscontinuity_ = false;
  bool encrypted_ = false;  // the last #EXT-X-KEY applies to all later segments
  std::string map_;         // the last #EXT-X-MAP, likewise
};

}  // namespace

std::optional<HlsPlaylist> ParseHls(std::string_view text, std::string_view baseUrl) {
  text = SkipUtf8Bom(text);
  if (!text.starts_with("#EXTM3U")) return std::nullopt;
  HlsReader reader(baseUrl);
  bool first = true;
  ForEachLineUntil(text, [&](std::string_view line) {
    if (!first) reader.Line(line);  // the first line is the #EXTM3U header
    first = false;
    return true;
  });
  return reader.Finish();
}

std::size_t ChooseVariant(const HlsPlaylist& playlist) {
  const std::vector<HlsVariant>& variants = playlist.variants;
  int bestRank = 2;
  for (const HlsVariant& variant : variants) bestRank = std::min(bestRank, VariantRank(variant));
  std::optional<std::size_t> highestFitting;
  std::optional<std::size_t> lowest;
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (VariantRank(variants[i]) != bestRank) continue;
    std::uint64_t bandwidth = variants[i].bandwidth;
    if (bandwidth <= kHlsPreferredMaxBandwidth &&
        (!highestFitting || bandwidth > variants[*highestFitting].bandwidth)) {
      highestFitting = i;
    }
    if (!lowest || bandwidth < variants[*lowest].bandwidth) lowest = i;
  }
  return highestFitting.value_or(lowest.value_or(0));
}

std::size_t HlsStartIndex(const HlsPlaylist& playlist) {
  const std::size_t count = playlist.segments.size();
  if (count == 0 || playlist.endList) return 0;
  if (playlist.targetDuration <= 0) return count > 3 ? count - 3 : 0;
  const double wanted = 3 * playlist.targetDuration;
  double fromEnd = 0;
  for (std::size_t i = count; i-- > 0;) {
    double duration = playlist.segments[i].duration;
    fromEnd += duration > 0 ? duration : playlist.targetDuration;
    if (fromEnd >= wanted) return i;
  }
  return 0;
}

}  // namespace tw::engine
