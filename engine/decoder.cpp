// The decoder thread of a stream: FFmpeg reads the queued network bytes through a
// custom AVIOContext, decodes, and resamples to the output's float stereo, which
// goes into the stream's PCM ring.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/internal.h"
#include "engine/mpeg_audio_header.h"
#include "engine/stream_threads.h"

namespace tw::engine {

namespace {

constexpr int kIoBufferBytes = 4096;
// How long a read may wait to gather bytes while audio is in hand: far less
// than that audio.
constexpr std::chrono::milliseconds kGatherFor{250};
constexpr int kFramesBeforeReady = 3;
constexpr std::size_t kMaxHeldMarks = 64;
// A mono station plays at full level on both sides, as it would on a mono
// radio; swresample's default spreads it at -3 dB.
constexpr double kMonoToBoth[2] = {1.0, 1.0};
// Bytes the decoder may read without finding audio before the stream counts as
// not playable (HTML, junk with an audio label).
constexpr int64_t kMaxBytesWithoutAudio = 256 * 1024;

// The demuxer for a response's content type. FFmpeg's own probe scores raw MP3
// and ADTS too low to be sure, and probing costs time.
const char* FormatFor(const std::string& type, const std::string& url) {
  auto has = [&](const char* text) { return type.find(text) != std::string::npos; };
  if (has("audio/mpeg") || has("audio/mp3") || has("audio/x-mpeg")) return "mp3";
  if (has("aac") || has("audio/mp4a-latm")) return "aac";
  // Fragmented MP4 (HLS segments after an #EXT-X-MAP init segment).
  if (has("/mp4") || has("m4a")) return "mov";
  if (has("ogg") || has("opus") || has("vorbis")) return "ogg";
  if (has("flac")) return "flac";
  if (has("mp2t")) return "mpegts";
  if (url.ends_with(".mp3")) return "mp3";
  if (url.ends_with(".aac")) return "aac";
  if (url.ends_with(".ogg") || url.ends_with(".opus") || url.ends_with(".oga")) return "ogg";
  if (url.ends_with(".flac")) return "flac";
  if (url.ends_with(".ts")) return "mpegts";
  if (url.ends_with(".m4s") || url.ends_with(".mp4") || url.ends_with(".m4a")) return "mov";
  return nullptr;
}

// The first audio stream whose codec the container named. av_find_best_stream
// passes over audio with no rate and channel count yet, and raw MP3 and ADTS
// have none until their first frame is parsed.
int FirstNamedAudioStream(const AVFormatContext& format) {
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVCodecParameters* params = format.streams[i]->codecpar;
    if (params->codec_type == AVMEDIA_TYPE_AUDIO && params->codec_id != AV_CODEC_ID_NONE) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

struct Io {
  Stream* stream;
  int64_t bytes = 0;      // read from the current section
  bool ended = false;     // the current section's last byte was read
  bool produced = false;  // the current section has given audio
  // Read, not yet decoded up to: FFmpeg reads ahead (probing, buffers), so the
  // marks wait for the first packet at or past them.
  std::deque<QueueMark> marks;
};

int ReadPacket(void* opaque, uint8_t* buffer, int size) {
  auto* io = static_cast<Io*>(opaque);
  // With a second of audio in hand, gather a whole buffer of the network's
  // pieces (a live station sends a few hundred bytes at a time) rather than
  // waking for each.
  const auto gather = io->stream->DecodedAheadMs() >= Stream::kAudioInHandMs
                          ? kGatherFor
                          : std::chrono::milliseconds(0);
  const std::size_t n = io->stream->network.Pop(reinterpret_cast<char*>(buffer),
                                                static_cast<std::size_t>(size), &io->marks, gather);
  // Junk that yields no packets must not pile marks up: past a few, the
  // oldest take effect now.
  while (io->marks.size() > kMaxHeldMarks) {
    io->stream->Reach(std::move(io->marks.front()));
    io->marks.pop_front();
  }
  if (n == 0) {
    io->ended = true;
    return AVERROR_EOF;
  }
  io->bytes += static_cast<int64_t>(n);
  // A demuxer skipping a box that claims gigabytes would read on for good.
  if (!io->produced && io->bytes > kMaxBytesWithoutAudio) return AVERROR_INVALIDDATA;
  return static_cast<int>(n);
}

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct IoCloser {
  void operator()(AVIOContext* c) const {
    av_freep(&c->buffer);
    avio_context_free(&c);
  }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrCloser {
  void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FrameCloser {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParserCloser {
  void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};

class Decoder {
 public:
  explicit Decoder(Stream& stream) : stream_(stream), io_{&stream, 0, false, false, {}} {}

  // Run's result for a section the demuxer could not read to its end.
  static constexpr int kBrokenSection = -2;

  // Returns BASS_OK once the stream has played out, or why it could not start
  // (or, after it started, why a later section could not be played).
  int Run() {
    // No section at all: the network side failed, and settled the stream itself.
    int error = BASS_ERROR_FILEFORM;
    while (std::optional<QueueMark> section = stream_.network.NextSection(&io_.marks)) {
      // Marks left over from the section before take effect now.
      ReachMarks(-1);
      if (stream_.freed) return BASS_OK;
      error = PlaySection(*section);
      if (error != BASS_OK) return error;
    }
    ReachMarks(-1);
    return produced_ ? BASS_OK : error;
  }

 private:
  // Opens a demuxer and decoder on the section's bytes. BASS_OK or why not.
  int Open(const QueueMark& section) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (!buffer) return BASS_ERROR_MEM;
    avio_.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, &io_, ReadPacket, nullptr, nullptr));
    if (!avio_) {
      av_free(buffer);
      return BASS_ERROR_MEM;
    }
    avio_->seekable = 0;

    AVFormatContext* format = avformat_alloc_context();
    if (!format) return BASS_ERROR_MEM;
    format->pb = avio_.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_NOBUFFER;
    format->probesize = 32 * 1024;
    format->max_analyze_duration = 500000;
    const char* name = FormatFor(section.tag, stream_.url);
    const AVInputFormat* input = name ? av_find_input_format(name) : nullptr;
    if (avformat_open_input(&format, nullptr, input, nullptr) < 0) return BASS_ERROR_FILEFORM;
    format_.reset(format);

    int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) index = FirstNamedAudioStream(*format);
    if (index < 0 || format->streams[index]->codecpar->codec_id == AV_CODEC_ID_NONE) {
      // Only where the container did not say: this reads ahead, which costs time.
      if (avformat_find_stream_info(format, nullptr) < 0) return BASS_ERROR_FILEFORM;
      index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    }
    if (index < 0) return BASS_ERROR_FILEFORM;
    audioIndex_ = index;
    AVCodecParameters* params = format->streams[index]->codecpar;
    // A reconnect that answers with another format is another station.
    if (section.sameFormat && codecId_ != AV_CODEC_ID_NONE && params->codec_id != codecId_) {
      return BASS_ERROR_FILEFORM;
    }
    codecId_ = params->codec_id;
    const AVCodec* codec = avcodec_find_decoder(params->codec_id);
    if (!codec) return BASS_ERROR_FILEFORM;
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), params) < 0) {
      return BASS_ERROR_MEM;
    }
    if (avcodec_open2(codec_.get(), codec, nullptr) < 0) return BASS_ERROR_FILEFORM;

    if (!frame_) frame_.reset(av_frame_alloc());
    if (!packet_) packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return BASS_ERROR_MEM;

    // The MP3 demuxer reads 1024-byte packets: 64 ms of a 128 kbps station that
    // sends in real time, before the first frame could decode. Once it has found
    // the first frame, parse whatever has arrived instead, frame by frame.
    if (std::string_view(format->iformat->name) == "mp3" && params->codec_id == AV_CODEC_ID_MP3) {
      parser_.reset(av_parser_init(params->codec_id));
      parserCodec_.reset(avcodec_alloc_context3(nullptr));
      if (!parser_ || !parserCodec_) return BASS_ERROR_MEM;
      parserCodec_->codec_id = params->codec_id;
    }
    return BASS_OK;
  }

  // One section, from its open to its last byte: BASS_OK when it played (or the
  // stream was freed), else why it could not.
  int PlaySection(const QueueMark& section) {
    // Each section proves itself afresh: a reconnect may answer with a web page.
    parser_.reset();
    parserCodec_.reset();
    codec_.reset();
    format_.reset();
    avio_.reset();
    goodFrames_ = 0;
    trusted_ = false;
    held_.clear();
    nextHeaderHave_ = -1;
    io_.produced = false;
    sectionStart_ = static_cast<int64_t>(section.position);
    io_.bytes = 0;
    io_.ended = false;

    if (int error = Open(section); error != BASS_OK) {
      return produced_ && io_.ended && error == BASS_ERROR_FILEFORM ? BASS_OK : error;
    }
    uint8_t chunk[kIoBufferBytes + AV_INPUT_BUFFER_PADDING_SIZE] = {};
    for (;;) {
      if (stream_.freed) return BASS_OK;
      if (parser_) {
        const int got = avio_read_partial(avio_.get(), chunk, kIoBufferBytes);
        if (got <= 0) break;
        chunkEnd_ = sectionStart_ + avio_tell(avio_.get());
        Parse(chunk, got);
      } else {
        const int read = av_read_frame(format_.get(), packet_.get());
        if (read < 0) break;
        ReachMarks(sectionStart_ + (packet_->pos >= 0 ? packet_->pos : avio_tell(avio_.get())));
        if (packet_->stream_index == audioIndex_) {
          Decode(packet_.get());
        }
        av_packet_unref(packet_.get());
      }
      if (!io_.produced && io_.bytes > kMaxBytesWithoutAudio) return BASS_ERROR_FILEFORM;
    }
    if (parser_) Parse(nullptr, 0);
    Decode(nullptr);
    // A reconnect that the server dropped before it could prove itself is
    // passed over; the network side decides whether to try again.
    if (!io_.produced && (!produced_ || !io_.ended)) return BASS_ERROR_FILEFORM;
    // The demuxer gave up before the section ended (a broken stream): the rest
    // is not played, and the stream ends here rather than stalling for good.
    return io_.ended ? BASS_OK : kBrokenSection;
  }

  // Applies the marks placed before byte `position` of the stream (-1: all),
  // just before the audio from there is decoded into the ring, which is at most
  // the ring's length ahead of what is heard.
  void ReachMarks(int64_t position) {
    while (!io_.marks.empty() &&
           (position < 0 || io_.marks.front().position <= static_cast<uint64_t>(position))) {
      stream_.Reach(std::move(io_.marks.front()));
      io_.marks.pop_front();
    }
  }

  // Cuts raw bytes into frames and decodes each; no bytes flushes the last one.
  void Parse(const uint8_t* data, int size) {
    // A check begun at the end of the last chunk reads on at the start of this one.
    if (data && awaitingNextHeader()) CheckNextHeader(data, size);
    do {
      uint8_t* frame = nullptr;
      int frameSize = 0;
      const int used = av_parser_parse2(parser_.get(), parserCodec_.get(), &frame, &frameSize, data,
                                        size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0 || (used == 0 && frameSize == 0)) return;
      data += used;
      size -= used;
      if (frameSize > 0) {
        // The parser hands a frame out once it has taken in all of it.
        ReachMarks(std::max<int64_t>(0, chunkEnd_ - size - frameSize));
        std::optional<std::size_t> start;
        if (!trusted_) {
          // The first frame comes with whatever preceded it: the decoder wants
          // it from its header on.
          start = FindMpegFrameStart(frame, static_cast<std::size_t>(frameSize));
          if (start) {
            frame += *start;
            frameSize -= static_cast<int>(*start);
          }
        }
        // Not reference-counted: avcodec_send_packet takes a copy.
        packet_->data = frame;
        packet_->size = frameSize;
        Decode(packet_.get());
        packet_->data = nullptr;
        packet_->size = 0;
        if (!trusted_ && start && goodFrames_ > 0) {
          chainHeader_ = MpegHeaderWord(frame);
          nextHeaderHave_ = 0;
          CheckNextHeader(data, size);
        }
      }
    } while (size > 0);
  }

  bool awaitingNextHeader() const { return nextHeaderHave_ >= 0; }

  // Raw MP3 is trusted after one clean frame once the next frame's header follows
  // it where its length says and agrees with it: the sync check of MP3 players,
  // and two frames sooner than waiting for more clean frames. Reads the bytes
  // after the frame without taking them from the parser.
  void CheckNextHeader(const uint8_t* data, int size) {
    while (nextHeaderHave_ < 4 && size > 0) {
      nextHeader_[static_cast<std::size_t>(nextHeaderHave_++)] = *data++;
      --size;
    }
    if (nextHeaderHave_ < 4) return;
    nextHeaderHave_ = -1;
    const uint32_t next = MpegHeaderWord(nextHeader_.data());
    if (goodFrames_ > 0 && MpegSuccessorConfirms(chainHeader_, next)) {
      Trust();
    } else {
      Distrust();
    }
  }

  // One packet (null: the end) through the decoder, and what it gives out on.
  void Decode(const AVPacket* packet) {
    if (avcodec_send_packet(codec_.get(), packet) < 0) {
      Distrust();
      return;
    }
    int result;
    while ((result = avcodec_receive_frame(codec_.get(), frame_.get())) >= 0) {
      ++goodFrames_;
      Convert(*frame_);
      av_frame_unref(frame_.get());
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) Distrust();
    if (!trusted_ && goodFrames_ >= kFramesBeforeReady) Trust();
  }

  void Trust() {
    if (trusted_) return;
    trusted_ = true;
    Write(held_.data(), held_.size() / 2);
    held_ = {};
  }

  // A decode error: before the stream has proved itself, what came so far was
  // junk that looked like a frame.
  void Distrust() {
    goodFrames_ = 0;
    nextHeaderHave_ = -1;
    if (!trusted_) held_.clear();
  }

  // A chained Ogg stream may change rate or channels: rebuild the resampler then.
  bool EnsureResampler(const AVFrame& frame) {
    if (swr_ && frame.sample_rate == rate_ && frame.format == sampleFormat_ &&
        av_channel_layout_compare(&frame.ch_layout, &layout_) == 0) {
      return true;
    }
    swr_.reset();
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLT, stream_.freq,
                            const_cast<AVChannelLayout*>(&frame.ch_layout),
                            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0,
                            nullptr) < 0 ||
        (frame.ch_layout.nb_channels == 1 && swr_set_matrix(swr, kMonoToBoth, 1) < 0) ||
        swr_init(swr) < 0) {
      swr_free(&swr);
      return false;
    }
    swr_.reset(swr);
    rate_ = frame.sample_rate;
    sampleFormat_ = frame.format;
    av_channel_layout_uninit(&layout_);
    av_channel_layout_copy(&layout_, &frame.ch_layout);
    return true;
  }

  void Convert(const AVFrame& frame) {
    if (frame.sample_rate <= 0 || !EnsureResampler(frame)) return;
    const int capacity = swr_get_out_samples(swr_.get(), frame.nb_samples);
    if (capacity <= 0) return;
    out_.resize(static_cast<std::size_t>(capacity) * 2);
    auto* target = reinterpret_cast<uint8_t*>(out_.data());
    const int frames =
        swr_convert(swr_.get(), &target, capacity, const_cast<const uint8_t**>(frame.extended_data),
                    frame.nb_samples);
    if (frames <= 0) return;
    if (static_cast<uint32_t>(frames) > stream_.largestFrame.load(std::memory_order_relaxed)) {
      stream_.largestFrame.store(static_cast<uint32_t>(frames), std::memory_order_relaxed);
    }
    Write(out_.data(), static_cast<std::size_t>(frames));
  }

  // Waits for room in the ring (the output drains it in real time).
  void Write(const float* stereo, std::size_t frames) {
    if (!trusted_) {
      held_.insert(held_.end(), stereo, stereo + frames * 2);
      return;
    }
    while (frames > 0 && !stream_.freed) {
      const std::size_t n = stream_.pcm.Write(stereo, frames);
      stereo += n * 2;
      frames -= n;
      if (n > 0) {
        stream_.lastWriteNanos.store(SteadyNanos(), std::memory_order_release);
      }
      if (n > 0) io_.produced = true;
      if (n > 0 && !produced_) {
        produced_ = true;
        stream_.Settle(BASS_OK);
      }
      if (frames > 0) std::this_thread::sleep_for(UntilRoom(frames));
    }
  }

  // How long the output takes to free half the ring (or room for what waits, if
  // more): refilling in large steps rather than every few frames keeps this
  // thread from waking a hundred times a second for the whole play, and half
  // the ring (a quarter second at least) still covers a late wake-up.
  std::chrono::milliseconds UntilRoom(std::size_t frames) const {
    const std::size_t want = std::max(frames, stream_.pcm.capacity() / 2);
    const std::size_t room = stream_.pcm.room();
    const std::size_t ms =
        want > room ? (want - room) * 1000 / static_cast<std::size_t>(stream_.freq) : 0;
    return std::chrono::milliseconds(std::clamp<std::size_t>(ms, 10, 250));
  }

  Stream& stream_;
  Io io_;
  std::unique_ptr<AVIOContext, IoCloser> avio_;
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecCloser> codec_;
  std::unique_ptr<SwrContext, SwrCloser> swr_;
  std::unique_ptr<AVFrame, FrameCloser> frame_;
  std::unique_ptr<AVPacket, PacketCloser> packet_;
  std::unique_ptr<AVCodecParserContext, ParserCloser> parser_;  // raw MP3 only
  std::unique_ptr<AVCodecContext, CodecCloser> parserCodec_;    // what the parser learns
  int64_t chunkEnd_ = 0;      // stream position after the bytes being parsed
  int64_t sectionStart_ = 0;  // stream position where the current section began
  int audioIndex_ = -1;
  AVCodecID codecId_ = AV_CODEC_ID_NONE;  // of the last section opened
  int rate_ = 0;
  int sampleFormat_ = -1;
  AVChannelLayout layout_{};
  std::vector<float> out_;
  bool produced_ = false;
  // Junk (HTML, random bytes labelled audio) now and then holds something that
  // decodes as a frame, but practically never several in a row: the stream is
  // audio once kFramesBeforeReady frames decoded without an error in between,
  // or, raw MP3, once a clean frame is followed by its successor's header (see
  // CheckNextHeader). Until then its frames wait in held_.
  int goodFrames_ = 0;
  bool trusted_ = false;
  std::vector<float> held_;
  // Raw MP3: the header of the last clean frame, and the bytes read so far of
  // the one that should follow it (-1: no check under way).
  uint32_t chainHeader_ = 0;
  std::array<uint8_t, 4> nextHeader_{};
  int nextHeaderHave_ = -1;

 public:
  ~Decoder() { av_channel_layout_uninit(&layout_); }
};

}  // namespace

void RunDecoder(std::shared_ptr<Stream> stream) {
  NameThread("tw-decoder");
  av_log_set_level(AV_LOG_QUIET);
  int error;
  {
    Decoder decoder(*stream);
    error = decoder.Run();
  }
  // Nobody reads the network queue from here on: the network side stops too.
  // A section that could not be played ends a stream that had started with
  // that section's error; a broken one as a stream the server closed.
  if (error == Decoder::kBrokenSection) error = BASS_ERROR_ENDED;
  stream->Settle(error);
  stream->EndWith(error == BASS_OK ? BASS_ERROR_ENDED : error);
  stream->network.Abort();
  stream->decodeFinished = true;
}

}  // namespace tw::engine
