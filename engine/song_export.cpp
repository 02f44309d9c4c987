#include "engine/song_export.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "platform/rename_noreplace.h"
#include "platform/song_file.h"
#include "platform/text_codec.h"

namespace tw::engine {

namespace {

// An Ogg title mark sits before the network piece (4 KiB) that held its
// stream's comments, so the stream's first page may lie just before or after
// it; bytes of the stream before that are a tail of the previous song.
constexpr uint64_t kHeadSlack = 16384;

// One stretch of a title's bytes that one demuxer reads: from `begin` (with
// `prefix`, the head that must come before it) to `to`.
struct Part {
  uint64_t begin = 0;
  uint64_t to = 0;
  std::shared_ptr<const std::string> prefix;
  std::string formatHint;
  bool mp4 = false;
};

const StreamHead* HeadInForce(const KeptSection& section, uint64_t at) {
  const StreamHead* found = nullptr;
  for (const StreamHead& head : section.heads) {
    if (head.start <= at) found = &head;
  }
  return found;
}

// Where an Ogg logical stream begins (a page flagged first) within kHeadSlack
// of `at`, if one does after `after`. A chained station's song is one logical
// stream, whose first and last pages lie around its title marks.
std::optional<uint64_t> OggStreamStartNear(const KeptAudio& kept, uint64_t at, uint64_t after) {
  const uint64_t from = at > kHeadSlack ? at - kHeadSlack : 0;
  const std::string bytes = kept.Bytes(from, at + kHeadSlack);
  std::optional<uint64_t> best;
  for (std::size_t found = bytes.find("OggS"); found != std::string::npos;
       found = bytes.find("OggS", found + 1)) {
    const uint64_t position = from + found;
    if (found + 6 > bytes.size() || !(bytes[found + 5] & 2) || position <= after) continue;
    const auto distance = [&](uint64_t p) { return p > at ? p - at : at - p; };
    if (!best || distance(position) < distance(*best)) best = position;
  }
  return best;
}

// The title's bytes cut where a new container or a new Ogg stream begins.
std::vector<Part> PartsOf(const KeptAudio& kept, uint64_t from, uint64_t to) {
  std::vector<Part> parts;
  for (std::size_t i = 0; i < kept.sections.size(); ++i) {
    const KeptSection& section = kept.sections[i];
    const uint64_t sectionEnd =
        i + 1 < kept.sections.size() ? kept.sections[i + 1].start : kept.end;
    uint64_t lo = std::max({from, section.start, kept.start});
    uint64_t hi = std::min(to, sectionEnd);
    if (lo >= hi) continue;
    const bool ogg = !section.heads.empty() && section.heads.front().bytes &&
                     section.heads.front().bytes->starts_with("OggS");
    if (ogg) {
      if (const auto start = OggStreamStartNear(kept, lo, section.start); start && *start < hi) {
        lo = std::max(*start, section.start);
      }
      if (const auto end = OggStreamStartNear(kept, hi, lo); end) hi = std::min(*end, sectionEnd);
    }
    std::vector<uint64_t> cuts = {lo};
    for (const StreamHead& head : section.heads) {
      if (head.start > lo && head.start < hi) cuts.push_back(head.start);
    }
    cuts.push_back(hi);
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
      const uint64_t x = cuts[k], y = cuts[k + 1];
      const StreamHead* head = HeadInForce(section, x);
      Part part;
      part.formatHint = section.formatHint;
      part.to = y;
      if (head && x < head->end) {
        // Inside the head's own pages: start with them.
        part.begin = head->start;
      } else {
        part.begin = x;
        if (head) part.prefix = head->bytes;
      }
      if (head && head->bytes) part.mp4 = std::memcmp(head->bytes->data() + 4, "ftyp", 4) == 0;
      parts.push_back(std::move(part));
    }
  }
  return parts;
}

// Where a fragment (a box "styp" or "moof") starts in MP4 bytes, or npos.
std::size_t FirstFragment(std::string_view bytes) {
  for (std::size_t at = 4; at + 4 <= bytes.size(); ++at) {
    const std::string_view type = bytes.substr(at, 4);
    if (type != "moof" && type != "styp") continue;
    const auto* size = reinterpret_cast<const unsigned char*>(bytes.data() + at - 4);
    const uint32_t boxBytes =
        uint32_t{size[0]} << 24 | uint32_t{size[1]} << 16 | uint32_t{size[2]} << 8 | size[3];
    if (boxBytes >= 8) return at - 4;
  }
  return std::string_view::npos;
}

const char* DemuxerFor(std::string_view bytes, const std::string& hint) {
  if (bytes.starts_with("fLaC")) return "flac";
  if (bytes.size() >= 8 && bytes.substr(4, 4) == "ftyp") return "mov";
  if (bytes.starts_with("OggS")) return "ogg";
  auto has = [&](const char* text) { return hint.find(text) != std::string::npos; };
  if (has("mpeg") && !has("mp2t")) return "mp3";
  if (has("mp3")) return "mp3";
  if (has("aac")) return "aac";
  if (has("mp2t")) return "mpegts";
  if (has("ogg") || has("opus") || has("vorbis")) return "ogg";
  if (has("flac")) return "flac";
  if (has("mp4") || has("m4a")) return "mov";
  return nullptr;
}

struct Target {
  const char* muxer;
  const char* extension;
};

std::optional<Target> TargetFor(AVCodecID codec) {
  switch (codec) {
    case AV_CODEC_ID_MP3:
      return Target{"mp3", "mp3"};
    case AV_CODEC_ID_MP2:
      return Target{"mp2", "mp2"};
    case AV_CODEC_ID_AAC:
      return Target{"ipod", "m4a"};
    case AV_CODEC_ID_VORBIS:
      return Target{"ogg", "ogg"};
    case AV_CODEC_ID_OPUS:
      return Target{"opus", "opus"};
    case AV_CODEC_ID_FLAC:
      return Target{"flac", "flac"};
    default:
      return std::nullopt;
  }
}

// What in a frame's own header must not change within one file: MPEG audio's
// version, layer, rate and mono flag; ADTS's profile, rate and channels. 0 for
// packets that carry no such header.
uint32_t FrameFormat(AVCodecID codec, const AVPacket& packet) {
  if (packet.size < 4) return 0;
  const uint8_t* b = packet.data;
  if ((codec == AV_CODEC_ID_MP3 || codec == AV_CODEC_ID_MP2) && b[0] == 0xFF &&
      (b[1] & 0xE0) == 0xE0) {
    const uint32_t word = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    return (word & 0x001E0C00u) | ((word >> 6 & 3) == 3 ? 1u : 2u);
  }
  if (codec == AV_CODEC_ID_AAC && b[0] == 0xFF && (b[1] & 0xF6) == 0xF0) {
    return 0x10000u | uint32_t{b[2]} << 8 | (b[3] & 0xC0u);
  }
  return 0;
}

bool FlacFrameStart(const AVPacket& packet) {
  return packet.size >= 2 && packet.data[0] == 0xFF && (packet.data[1] & 0xFE) == 0xF8;
}

// A FLAC file's stream info still gives the station's length and checksum:
// the saved part's sample count instead, and no checksum (0: unknown), or
// checkers would call the file broken. The muxer writes "fLaC" and the stream
// info block first.
bool PatchFlacStreamInfo(int fd, uint64_t samples) {
  constexpr off_t kSamplesAt = 8 + 13;  // the low 36 bits of bytes 10..17 of the block
  unsigned char field[5];
  if (pread(fd, field, sizeof field, kSamplesAt) != static_cast<ssize_t>(sizeof field)) {
    return false;
  }
  field[0] = static_cast<unsigned char>((field[0] & 0xF0) | ((samples >> 32) & 0x0F));
  for (int i = 1; i < 5; ++i) field[i] = static_cast<unsigned char>(samples >> (8 * (4 - i)));
  const unsigned char noChecksum[16] = {};
  return pwrite(fd, field, sizeof field, kSamplesAt) == static_cast<ssize_t>(sizeof field) &&
         pwrite(fd, noChecksum, sizeof noChecksum, 8 + 18) ==
             static_cast<ssize_t>(sizeof noChecksum);
}

// --- FFmpeg's input from memory, output to a file descriptor ----------------------

// Reads the kept pieces in place: a song is megabytes, not worth a copy.
struct MemoryInput {
  std::vector<std::string_view> views;
  std::size_t view = 0;
  std::size_t at = 0;  // in views[view]
};

int ReadMemory(void* opaque, uint8_t* buffer, int size) {
  auto* in = static_cast<MemoryInput*>(opaque);
  while (in->view < in->views.size() && in->at == in->views[in->view].size()) {
    ++in->view;
    in->at = 0;
  }
  if (in->view == in->views.size()) return AVERROR_EOF;
  const std::string_view view = in->views[in->view];
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), view.size() - in->at);
  std::memcpy(buffer, view.data() + in->at, n);
  in->at += n;
  return static_cast<int>(n);
}

struct FileOutput {
  int fd = -1;
  int error = 0;  // errno of the first failure
};

int WriteFile(void* opaque, uint8_t* buffer, int size) {
  auto* out = static_cast<FileOutput*>(opaque);
  int done = 0;
  while (done < size) {
    const ssize_t n = write(out->fd, buffer + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!out->error) out->error = n < 0 ? errno : ENOSPC;
      return AVERROR(out->error);
    }
    done += static_cast<int>(n);
  }
  return size;
}

int64_t SeekFile(void* opaque, int64_t offset, int whence) {
  auto* out = static_cast<FileOutput*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    return fstat(out->fd, &st) == 0 ? st.st_size : AVERROR(errno);
  }
  const off_t at = lseek(out->fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

struct IoFree {
  void operator()(AVIOContext* io) const {
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct InputFree {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct OutputFree {
  void operator()(AVFormatContext* format) const { avformat_free_context(format); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::unique_ptr<AVIOContext, IoFree> MakeIo(void* opaque, bool write) {
  constexpr int kIoBytes = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBytes));
  if (!buffer) return nullptr;
  AVIOContext* io =
      avio_alloc_context(buffer, kIoBytes, write ? 1 : 0, opaque, write ? nullptr : ReadMemory,
                         write ? WriteFile : nullptr, write ? SeekFile : nullptr);
  if (!io) av_free(buffer);
  return std::unique_ptr<AVIOContext, IoFree>(io);
}

std::string Reason(int error) { return std::error_code(error, std::generic_category()).message(); }

bool IsSaveTemporary(const std::string& name) {
  // ".<name>.<extension>.<6 hex digits>", as CreateTemporary makes them.
  if (name.size() < 10 || name.front() != '.' || name[name.size() - 7] != '.') return false;
  for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  const std::string rest = name.substr(0, name.size() - 7);
  for (const char* extension : {".mp3", ".mp2", ".m4a", ".ogg", ".opus", ".flac"}) {
    if (rest.ends_with(extension)) return true;
  }
  return false;
}

// A save killed half-way (the process ended) leaves its hidden temporary file:
// those of this user older than an hour go at the next save into the folder.
void RemoveStaleTemporaries(const std::filesystem::path& folder) {
  std::error_code error;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    struct stat st {};
    if (!IsSaveTemporary(name) || lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid()) {
      continue;
    }
    const auto changed = entry.last_write_time(error);
    if (!error && now - changed > std::chrono::hours(1))
      std::filesystem::remove(entry.path(), error);
  }
}

// A fresh hidden file in folder for the save to grow in.
int CreateTemporary(const std::filesystem::path& folder, const std::string& name,
                    std::filesystem::path* path) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%06x", random() & 0xFFFFFF);
    *path = folder / ("." + name + suffix);
    const int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The remux itself: every part's audio packets into one output, timestamps
// running on from part to part.
class Remuxer {
 public:
  Remuxer(const std::string& title, std::string_view station) : title_(title), station_(station) {}

  SongSaveResult Run(const KeptAudio& kept, const std::vector<Part>& parts, FileOutput& file,
                     std::string* extension, const std::function<int()>& openFile) {
    for (const Part& part : parts) {
      uint64_t begin = part.begin;
      if (part.mp4 && part.prefix) {
        // Resumed mid-fragment (its start was evicted): from the next fragment.
        constexpr uint64_t kLookAhead = 1024 * 1024;
        const std::size_t fragment =
            FirstFragment(kept.Bytes(begin, std::min(part.to, begin + kLookAhead)));
        if (fragment == std::string::npos) continue;
        begin += fragment;
      }
      MemoryInput input;
      if (part.prefix) input.views.push_back(*part.prefix);
      for (const std::string_view view : kept.Views(begin, part.to)) input.views.push_back(view);
      // The first bytes tell the container.
      std::string first;
      for (const std::string_view view : input.views) {
        first.append(view.substr(0, 16 - first.size()));
        if (first.size() == 16) break;
      }
      if (SongSaveResult result = Demux(input, first, part.formatHint, file, extension, openFile);
          result.error != BASS_OK) {
        return result;
      }
    }
    if (!headerWritten_) return {BASS_ERROR_FILEFORM, "No audio of this song could be read."};
    const int written = av_write_trailer(output_.get());
    if (written < 0 || file.error) return WriteFailure(file);
    if (codecId_ == AV_CODEC_ID_FLAC) {
      const AVRational base = output_->streams[0]->time_base;
      const auto samples =
          static_cast<uint64_t>(av_rescale_q(nextDts_, base, AVRational{1, rate_}));
      if (!PatchFlacStreamInfo(file.fd, samples)) {
        if (!file.error) file.error = errno ? errno : EIO;
        return WriteFailure(file);
      }
    }
    return {};
  }

 private:
  SongSaveResult WriteFailure(const FileOutput& file) {
    return {BASS_ERROR_FILEOPEN,
            "The song could not be written: " + Reason(file.error ? file.error : EIO) + "."};
  }

  SongSaveResult Demux(MemoryInput& memory, const std::string& first, const std::string& hint,
                       FileOutput& file, std::string* extension,
                       const std::function<int()>& openFile) {
    auto io = MakeIo(&memory, false);
    if (!io) return {BASS_ERROR_MEM, "Out of memory."};
    io->seekable = 0;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return {BASS_ERROR_MEM, "Out of memory."};
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    const char* name = DemuxerFor(first, hint);
    const AVInputFormat* format = name ? av_find_input_format(name) : nullptr;
    if (avformat_open_input(&raw, nullptr, format, nullptr) < 0) {
      return {BASS_ERROR_FILEFORM, "The kept audio of this song could not be read."};
    }
    std::unique_ptr<AVFormatContext, InputFree> input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
      return {BASS_ERROR_FILEFORM, "The kept audio of this song could not be read."};
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return {BASS_ERROR_FILEFORM, "The kept audio of this song holds no audio."};
    const AVStream* in = input->streams[index];
    const AVCodecParameters* params = in->codecpar;
    if (!output_) {
      if (SongSaveResult result = OpenOutput(*params, file, extension, openFile);
          result.error != BASS_OK) {
        return result;
      }
    } else if (!SameFormat(*params)) {
      return ChangedFormat();
    }
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!packet) return {BASS_ERROR_MEM, "Out of memory."};
    const AVRational outBase = output_->streams[0]->time_base;
    int64_t base = AV_NOPTS_VALUE;
    int64_t partOffset = nextDts_;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
      if (packet->stream_index != index) {
        av_packet_unref(packet.get());
        continue;
      }
      std::size_t sideSize = 0;
      if (av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &sideSize) ||
          av_packet_get_side_data(packet.get(), AV_PKT_DATA_PARAM_CHANGE, &sideSize)) {
        av_packet_unref(packet.get());
        return ChangedFormat();
      }
      // Resumed mid-frame: FLAC's parser hands out the broken piece before the
      // first frame header; it would play as noise.
      if (params->codec_id == AV_CODEC_ID_FLAC && !FlacFrameStart(*packet)) {
        av_packet_unref(packet.get());
        continue;
      }
      const uint32_t frameFormat = FrameFormat(params->codec_id, *packet);
      if (frameFormat != 0) {
        if (frameFormat_ != 0 && frameFormat != frameFormat_) {
          av_packet_unref(packet.get());
          return ChangedFormat();
        }
        frameFormat_ = frameFormat;
      }
      int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
      int64_t out;
      if (ts == AV_NOPTS_VALUE) {
        out = nextDts_;
      } else {
        if (base == AV_NOPTS_VALUE) base = ts;
        out = partOffset + av_rescale_q(ts - base, in->time_base, outBase);
      }
      if (out < nextDts_) out = nextDts_;  // never backwards: a muxer refuses that
      const int64_t duration = av_rescale_q(packet->duration, in->time_base, outBase);
      packet->dts = packet->pts = out;
      packet->duration = duration;
      packet->pos = -1;
      packet->stream_index = 0;
      nextDts_ = out + std::max<int64_t>(duration, 1);
      const int written = av_write_frame(output_.get(), packet.get());
      av_packet_unref(packet.get());
      if (written < 0) {
        if (file.error) return WriteFailure(file);
        return {BASS_ERROR_FILEFORM, "The audio of this song could not be stored as it is."};
      }
    }
    return {};
  }

  SongSaveResult ChangedFormat() {
    return {BASS_ERROR_FILEFORM,
            "The station changed its audio format during this song, so it cannot be saved as "
            "one file."};
  }

  bool SameFormat(const AVCodecParameters& params) const {
    return params.codec_id == codecId_ && params.sample_rate == rate_ &&
           params.ch_layout.nb_channels == channels_ &&
           std::string_view(reinterpret_cast<const char*>(params.extradata),
                            static_cast<std::size_t>(params.extradata_size)) == extradata_;
  }

  SongSaveResult OpenOutput(const AVCodecParameters& params, FileOutput& file,
                            std::string* extension, const std::function<int()>& openFile) {
    const std::optional<Target> target = TargetFor(params.codec_id);
    if (!target) {
      return {BASS_ERROR_FILEFORM, std::string("Songs in ") + avcodec_get_name(params.codec_id) +
                                       " cannot be saved without re-encoding them."};
    }
    *extension = target->extension;
    codecId_ = params.codec_id;
    rate_ = params.sample_rate;
    channels_ = params.ch_layout.nb_channels;
    extradata_.assign(reinterpret_cast<const char*>(params.extradata),
                      static_cast<std::size_t>(params.extradata_size));
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, target->muxer, nullptr) < 0 || !raw) {
      return {BASS_ERROR_MEM, "Out of memory."};
    }
    output_.reset(raw);
    AVStream* out = avformat_new_stream(raw, nullptr);
    if (!out || avcodec_parameters_copy(out->codecpar, &params) < 0) {
      return {BASS_ERROR_MEM, "Out of memory."};
    }
    out->codecpar->codec_tag = 0;
    out->time_base = AVRational{1, params.sample_rate > 0 ? params.sample_rate : 90000};
    // The file exists from here on: the name is known now (its extension).
    if (const int error = openFile(); error != 0) {
      return {BASS_ERROR_FILEOPEN, ""};  // the caller words it
    }
    io_ = MakeIo(&file, true);
    if (!io_) return {BASS_ERROR_MEM, "Out of memory."};
    raw->pb = io_.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    const std::string title = EngineTextToUtf8(title_);
    av_dict_set(&raw->metadata, "title", title.c_str(), 0);
    if (const std::size_t dash = title.find(" - "); dash != std::string::npos && dash > 0) {
      av_dict_set(&raw->metadata, "artist", title.substr(0, dash).c_str(), 0);
      av_dict_set(&raw->metadata, "title", title.substr(dash + 3).c_str(), 0);
    }
    if (!station_.empty()) {
      av_dict_set(&raw->metadata, "album", EngineTextToUtf8(station_).c_str(), 0);
    }
    AVDictionary* options = nullptr;
    // ID3v2.3: what every player reads.
    if (codecId_ == AV_CODEC_ID_MP3 || codecId_ == AV_CODEC_ID_MP2) {
      av_dict_set(&options, "id3v2_version", "3", 0);
    }
    const int header = avformat_write_header(raw, &options);
    av_dict_free(&options);
    if (header < 0) {
      if (file.error) return WriteFailure(file);
      return {BASS_ERROR_FILEFORM, "The audio of this song could not be stored as it is."};
    }
    headerWritten_ = true;
    return {};
  }

  const std::string title_;
  const std::string station_;
  std::unique_ptr<AVFormatContext, OutputFree> output_;
  std::unique_ptr<AVIOContext, IoFree> io_;
  bool headerWritten_ = false;
  AVCodecID codecId_ = AV_CODEC_ID_NONE;
  int rate_ = 0;
  int channels_ = 0;
  std::string extradata_;
  uint32_t frameFormat_ = 0;
  int64_t nextDts_ = 0;
};

}  // namespace

SongSaveResult SaveKeptTitle(const KeptAudio& kept, std::size_t index,
                             const std::filesystem::path& folder, std::string_view station) {
  av_log_set_level(AV_LOG_QUIET);
  if (index >= kept.titles.size()) return {BASS_ERROR_NOTAVAIL, "This song is no longer kept."};
  const KeptTitle& title = kept.titles[index];
  const std::vector<Part> parts = PartsOf(kept, title.start, title.end);
  if (parts.empty()) return {BASS_ERROR_NOTAVAIL, "This song is no longer kept."};

  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    return {BASS_ERROR_FILEOPEN,
            "The folder " + folder.string() + " could not be made: " + error.message() + "."};
  }
  RemoveStaleTemporaries(folder);
  FileOutput file;
  std::filesystem::path temporary;
  std::string extension;
  int openErrno = 0;
  auto openFile = [&]() {
    file.fd = CreateTemporary(folder, SongFileName(title.title, extension), &temporary);
    if (file.fd < 0) openErrno = errno;
    return file.fd < 0 ? openErrno : 0;
  };
  SongSaveResult result;
  {
    Remuxer remuxer(title.title, station);
    result = remuxer.Run(kept, parts, file, &extension, openFile);
  }
  if (result.error == BASS_OK && fsync(file.fd) != 0) {
    result = {BASS_ERROR_FILEOPEN, "The song could not be written: " + Reason(errno) + "."};
  }
  if (file.fd >= 0 && close(file.fd) != 0 && result.error == BASS_OK) {
    result = {BASS_ERROR_FILEOPEN, "The song could not be written: " + Reason(errno) + "."};
  }
  if (openErrno != 0) {
    return {BASS_ERROR_FILEOPEN,
            "Nothing can be saved in " + folder.string() + ": " + Reason(openErrno) + "."};
  }
  if (result.error != BASS_OK) {
    if (!temporary.empty()) std::filesystem::remove(temporary, error);
    return result;
  }
  // Under its own name only when whole, and never over another file.
  for (int copy = 1; copy < 10000; ++copy) {
    const std::filesystem::path target = folder / SongFileName(title.title, extension, copy);
    if (RenameNoReplace(temporary, target, error)) return {BASS_OK, target.string()};
    if (error != std::errc::file_exists) break;
  }
  const std::string reason = error.message();
  std::filesystem::remove(temporary, error);
  return {BASS_ERROR_FILEOPEN,
          "The song could not be named in " + folder.string() + ": " + reason + "."};
}

}  // namespace tw::engine
