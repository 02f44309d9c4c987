#include "tests/support/test_audio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <set>
#include <stdexcept>

// FFmpeg's inline helpers convert between int widths freely.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wpedantic"
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}
#pragma GCC diagnostic pop

namespace tw::test {
namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  throw std::runtime_error(what + ": " + text);
}

void Check(int result, const char* what) {
  if (result < 0) Fail(what, result);
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParametersFree {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ParametersPtr = std::unique_ptr<AVCodecParameters, ParametersFree>;

// What an encoder made of the tone: the packets in the encoder's time base
// (1/sample rate) and the parameters a muxer needs.
struct Encoded {
  ParametersPtr parameters;
  AVRational timeBase{};
  std::vector<PacketPtr> packets;
};

struct FormatInfo {
  const char* encoder;
  const char* muxer;
  bool oggComments;   // comments go into the stream's comment header
  bool flacComments;  // comments go into the file's Vorbis comment block
};

FormatInfo Info(AudioFormat format) {
  switch (format) {
    case AudioFormat::kMp3:
      return {"libmp3lame", "mp3", false, false};
    case AudioFormat::kAacAdts:
      return {"aac", "adts", false, false};
    case AudioFormat::kOggVorbis:
      return {"libvorbis", "ogg", true, false};
    case AudioFormat::kOggOpus:
      return {"libopus", "ogg", true, false};
    case AudioFormat::kFlac:
      return {"flac", "flac", false, true};
    case AudioFormat::kOggFlac:
      return {"flac", "ogg", true, false};
    case AudioFormat::kMpegTsAac:
      return {"aac", "mpegts", false, false};
  }
  throw std::invalid_argument("unknown audio format");
}

AVSampleFormat PickSampleFormat(const AVCodec* codec) {
  if (!codec->sample_fmts) return AV_SAMPLE_FMT_FLTP;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT) return *f;
  }
  return codec->sample_fmts[0];
}

// Writes samples [first, first + count) of the tone into the frame, in whatever
// layout the encoder asked for.
void FillTone(AVFrame* frame, const ToneSpec& tone, int sampleRate, int64_t first, int count) {
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int channels = frame->ch_layout.nb_channels;
  const double step = 2 * std::numbers::pi * tone.frequency / sampleRate;
  for (int i = 0; i < count; ++i) {
    const double v = tone.amplitude * std::sin(step * static_cast<double>(first + i));
    for (int c = 0; c < channels; ++c) {
      const int plane = planar ? c : 0;
      const int index = planar ? i : i * channels + c;
      uint8_t* data = frame->extended_data[plane];
      switch (format) {
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
          reinterpret_cast<float*>(data)[index] = static_cast<float>(v);
          break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          reinterpret_cast<int16_t*>(data)[index] = static_cast<int16_t>(std::lround(v * 32767));
          break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
          reinterpret_cast<int32_t*>(data)[index] =
              static_cast<int32_t>(std::llround(v * 2147483647.0));
          break;
        default:
          throw std::runtime_error("encoder wants an unhandled sample format");
      }
    }
  }
}

void Drain(AVCodecContext* context, Encoded& out) {
  for (;;) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    const int result = avcodec_receive_packet(context, packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    Check(result, "avcodec_receive_packet");
    out.packets.push_back(std::move(packet));
  }
}

Encoded EncodePackets(const char* encoderName, const ToneSpec& tone, bool globalHeader) {
  if (tone.channels < 1 || tone.channels > 2) throw std::invalid_argument("channels: 1 or 2");
  if (!(tone.seconds > 0) || tone.sampleRate <= 0 || !(tone.amplitude >= 0 && tone.amplitude <= 1))
    throw std::invalid_argument("tone needs seconds > 0, a sample rate, amplitude in [0, 1]");
  const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
  if (!codec) throw std::runtime_error(std::string("FFmpeg lacks the encoder ") + encoderName);
  const int sampleRate = codec->id == AV_CODEC_ID_OPUS ? 48000 : tone.sampleRate;

  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) throw std::bad_alloc();
  context->sample_rate = sampleRate;
  context->sample_fmt = PickSampleFormat(codec);
  av_channel_layout_default(&context->ch_layout, tone.channels);
  context->time_base = AVRational{1, sampleRate};
  if (codec->id != AV_CODEC_ID_FLAC) context->bit_rate = tone.bitrate;
  if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(context.get(), codec, nullptr), encoderName);

  const bool variable = (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
  const bool smallLast = (codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
  const int frameSize = context->frame_size > 0 && !variable ? context->frame_size : 1024;
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  frame->format = context->sample_fmt;
  frame->sample_rate = sampleRate;
  frame->nb_samples = frameSize;
  Check(av_channel_layout_copy(&frame->ch_layout, &context->ch_layout), "channel layout");
  Check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");

  Encoded out;
  const auto total = static_cast<int64_t>(std::llround(tone.seconds * sampleRate));
  for (int64_t first = 0; first < total; first += frameSize) {
    int count = static_cast<int>(std::min<int64_t>(frameSize, total - first));
    // An encoder that needs whole frames gets the tone running on to the end of one.
    if (count < frameSize && !smallLast && !variable) count = frameSize;
    Check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
    frame->nb_samples = count;
    FillTone(frame.get(), tone, sampleRate, first, count);
    frame->pts = first;
    Check(avcodec_send_frame(context.get(), frame.get()), "avcodec_send_frame");
    Drain(context.get(), out);
  }
  Check(avcodec_send_frame(context.get(), nullptr), "avcodec_send_frame (flush)");
  Drain(context.get(), out);

  out.parameters.reset(avcodec_parameters_alloc());
  if (!out.parameters) throw std::bad_alloc();
  Check(avcodec_parameters_from_context(out.parameters.get(), context.get()), "codec parameters");
  out.timeBase = context->time_base;
  return out;
}

int WriteToString(void* opaque, uint8_t* data, int size) {
  static_cast<std::string*>(opaque)->append(reinterpret_cast<const char*>(data),
                                            static_cast<size_t>(size));
  return size;
}

// An output context writing into a string through a write-only, unseekable
// AVIOContext: muxers then behave as they do on a live stream (no header
// rewritten at the end, no Xing/seek tables).
class StringOutput {
 public:
  explicit StringOutput(const char* muxer) {
    Check(avformat_alloc_output_context2(&context_, nullptr, muxer, nullptr), muxer);
    constexpr int kBufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    context_->pb =
        avio_alloc_context(buffer, kBufferSize, 1, &bytes_, nullptr, WriteToString, nullptr);
    if (!context_->pb) {
      av_free(buffer);
      throw std::bad_alloc();
    }
    context_->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  ~StringOutput() {
    if (context_->pb) {
      av_freep(&context_->pb->buffer);
      avio_context_free(&context_->pb);
    }
    avformat_free_context(context_);
  }
  StringOutput(const StringOutput&) = delete;
  StringOutput& operator=(const StringOutput&) = delete;

  AVFormatContext* get() const { return context_; }
  std::string Take() {
    avio_flush(context_->pb);
    return std::move(bytes_);
  }

 private:
  AVFormatContext* context_ = nullptr;
  std::string bytes_;
};

void SetComments(AVDictionary** dictionary, const ToneSpec& tone) {
  for (const auto& [key, value] : tone.comments)
    Check(av_dict_set(dictionary, key.c_str(), value.c_str(), AV_DICT_MULTIKEY), "comment");
}

// Each Ogg output takes serial numbers of its own (the muxer numbers its streams
// from serial_offset when asked to be bit-exact).
std::atomic<unsigned> g_nextSerial{0x54770001u};

struct MuxOptions {
  const char* muxer;
  const ToneSpec* comments = nullptr;  // stream (Ogg) or file (FLAC) comments
  bool commentsOnStream = false;
  int64_t timestampOffset = 0;  // in the encoder's time base
};

std::string Mux(const MuxOptions& options, const Encoded& encoded, size_t first, size_t end) {
  StringOutput output(options.muxer);
  AVFormatContext* context = output.get();
  AVStream* stream = avformat_new_stream(context, nullptr);
  if (!stream) throw std::bad_alloc();
  Check(avcodec_parameters_copy(stream->codecpar, encoded.parameters.get()), "codec parameters");
  stream->time_base = encoded.timeBase;
  if (options.comments) {
    SetComments(options.commentsOnStream ? &stream->metadata : &context->metadata,
                *options.comments);
  }

  struct Options {
    AVDictionary* entries = nullptr;
    ~Options() { av_dict_free(&entries); }
  } muxerOptions;
  const std::string muxer = options.muxer;
  if (muxer == "mp3") {
    // A station's stream starts with audio frames, not a file's tag or seek table.
    av_dict_set(&muxerOptions.entries, "id3v2_version", "0", 0);
    av_dict_set(&muxerOptions.entries, "write_xing", "0", 0);
  } else if (muxer == "ogg") {
    context->flags |= AVFMT_FLAG_BITEXACT;
    av_dict_set_int(&muxerOptions.entries, "serial_offset", g_nextSerial.fetch_add(1), 0);
  }
  Check(avformat_write_header(context, &muxerOptions.entries), "avformat_write_header");
  if (av_dict_count(muxerOptions.entries) > 0) throw std::runtime_error("muxer ignored an option");

  for (size_t i = first; i < end; ++i) {
    PacketPtr packet(av_packet_clone(encoded.packets[i].get()));
    if (!packet) throw std::bad_alloc();
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += options.timestampOffset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += options.timestampOffset;
    av_packet_rescale_ts(packet.get(), encoded.timeBase, stream->time_base);
    packet->stream_index = stream->index;
    Check(av_interleaved_write_frame(context, packet.get()), "av_interleaved_write_frame");
  }
  Check(av_write_trailer(context), "av_write_trailer");
  return output.Take();
}

// Ogg page CRC: polynomial 0x04c11db7, no reflection, initial value 0.
uint32_t OggCrc(const unsigned char* data, size_t size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xff];
  return crc;
}

uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct OggPage {
  size_t offset;
  size_t size;
};

std::vector<OggPage> OggPages(const std::string& stream) {
  std::vector<OggPage> pages;
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  size_t at = 0;
  while (at < stream.size()) {
    if (stream.size() - at < 27 || std::memcmp(bytes + at, "OggS", 4) != 0)
      throw std::invalid_argument("not a whole Ogg stream");
    const size_t segments = bytes[at + 26];
    if (stream.size() - at < 27 + segments) throw std::invalid_argument("Ogg page cut short");
    size_t size = 27 + segments;
    for (size_t s = 0; s < segments; ++s) size += bytes[at + 27 + s];
    if (stream.size() - at < size) throw std::invalid_argument("Ogg page cut short");
    pages.push_back({at, size});
    at += size;
  }
  return pages;
}

}  // namespace

const char* FormatName(AudioFormat format) {
  switch (format) {
    case AudioFormat::kMp3:
      return "Mp3";
    case AudioFormat::kAacAdts:
      return "AacAdts";
    case AudioFormat::kOggVorbis:
      return "OggVorbis";
    case AudioFormat::kOggOpus:
      return "OggOpus";
    case AudioFormat::kFlac:
      return "Flac";
    case AudioFormat::kOggFlac:
      return "OggFlac";
    case AudioFormat::kMpegTsAac:
      return "MpegTsAac";
  }
  return "?";
}

std::string EncodeTone(AudioFormat format, const ToneSpec& tone) {
  const FormatInfo info = Info(format);
  const AVOutputFormat* muxer = av_guess_format(info.muxer, nullptr, nullptr);
  if (!muxer) throw std::runtime_error(std::string("FFmpeg lacks the muxer ") + info.muxer);
  const Encoded encoded =
      EncodePackets(info.encoder, tone, (muxer->flags & AVFMT_GLOBALHEADER) != 0);
  MuxOptions options{info.muxer};
  if (info.oggComments || info.flacComments) {
    options.comments = &tone;
    options.commentsOnStream = info.oggComments;
  }
  return Mux(options, encoded, 0, encoded.packets.size());
}

std::string ChainOgg(const std::vector<std::string>& parts) {
  std::string chained;
  std::set<uint32_t> used;
  for (const std::string& part : parts) {
    const std::vector<OggPage> pages = OggPages(part);
    if (pages.empty() || (static_cast<unsigned char>(part[pages[0].offset + 5]) & 0x02) == 0)
      throw std::invalid_argument("an Ogg link must begin with a first (BOS) page");
    // This link's serials, renumbered where an earlier link already used them.
    std::vector<std::pair<uint32_t, uint32_t>> renumber;
    for (const OggPage& page : pages) {
      const uint32_t serial =
          ReadLe32(reinterpret_cast<const unsigned char*>(part.data()) + page.offset + 14);
      if (std::any_of(renumber.begin(), renumber.end(),
                      [&](const auto& r) { return r.first == serial; }))
        continue;
      uint32_t fresh = serial;
      while (used.count(fresh) != 0) fresh = g_nextSerial.fetch_add(1);
      renumber.emplace_back(serial, fresh);
    }
    for (const auto& r : renumber) used.insert(r.second);

    const size_t base = chained.size();
    chained += part;
    auto* bytes = reinterpret_cast<unsigned char*>(chained.data()) + base;
    for (const OggPage& page : pages) {
      unsigned char* p = bytes + page.offset;
      const uint32_t serial = ReadLe32(p + 14);
      const auto it = std::find_if(renumber.begin(), renumber.end(),
                                   [&](const auto& r) { return r.first == serial; });
      if (it->second == serial) continue;
      WriteLe32(p + 14, it->second);
      WriteLe32(p + 22, 0);
      WriteLe32(p + 22, OggCrc(p, page.size));
    }
  }
  return chained;
}

std::vector<Segment> EncodeToneSegments(AudioFormat format, const ToneSpec& tone,
                                        double segmentSeconds) {
  if (format != AudioFormat::kMpegTsAac && format != AudioFormat::kAacAdts)
    throw std::invalid_argument("segments are MPEG-TS or packed (ADTS) AAC");
  if (!(segmentSeconds > 0)) throw std::invalid_argument("segmentSeconds must be positive");
  const FormatInfo info = Info(format);
  const Encoded encoded = EncodePackets(info.encoder, tone, false);
  if (encoded.packets.empty()) return {};

  // The encoder's priming packet starts before zero; a segmenter's clock does not.
  const int64_t firstPts = encoded.packets.front()->pts;
  const int64_t offset = firstPts < 0 ? -firstPts : 0;
  const auto length = static_cast<int64_t>(std::llround(segmentSeconds * encoded.timeBase.den));
  const auto count = static_cast<size_t>(std::max(1L, std::lround(tone.seconds / segmentSeconds)));

  std::vector<Segment> segments;
  size_t first = 0;
  for (size_t index = 0; index < count && first < encoded.packets.size(); ++index) {
    size_t end = first;
    int64_t samples = 0;
    while (end < encoded.packets.size()) {
      const int64_t pts = encoded.packets[end]->pts + offset;
      if (index + 1 < count && pts >= static_cast<int64_t>(index + 1) * length) break;
      samples += encoded.packets[end]->duration;
      ++end;
    }
    MuxOptions options{info.muxer};
    options.timestampOffset = offset;
    segments.push_back(
        {Mux(options, encoded, first, end), static_cast<double>(samples) / encoded.timeBase.den});
    first = end;
  }
  return segments;
}

namespace {

template <typename Sample>
ToneMeasure Measure(Sample sample, size_t frames, int sampleRate) {
  ToneMeasure m;
  if (frames == 0 || sampleRate <= 0) return m;
  double sumSquares = 0;
  for (size_t i = 0; i < frames; ++i) {
    const double v = sample(i);
    sumSquares += v * v;
    m.peak = std::max(m.peak, std::abs(v));
  }
  m.rms = std::sqrt(sumSquares / static_cast<double>(frames));
  if (m.peak == 0) return m;

  // Rising zero crossings with hysteresis, so that noise near zero (a codec's
  // quantisation, silence before the tone) does not count as crossings; each
  // crossing is placed between the samples either side of zero.
  const double threshold = 0.2 * m.peak;
  enum { kUnknown, kLow, kHigh } state = kUnknown;
  size_t lastNonPositive = 0;
  int crossings = 0;
  double firstCrossing = 0, lastCrossing = 0;
  for (size_t i = 0; i < frames; ++i) {
    const double v = sample(i);
    if (v <= 0) lastNonPositive = i;
    if (v > threshold) {
      if (state == kLow) {
        const double before = sample(lastNonPositive);
        const double after = sample(lastNonPositive + 1);
        const double at = static_cast<double>(lastNonPositive) + before / (before - after);
        if (crossings++ == 0) firstCrossing = at;
        lastCrossing = at;
      }
      state = kHigh;
    } else if (v < -threshold) {
      state = kLow;
    }
  }
  if (crossings >= 2 && lastCrossing > firstCrossing)
    m.frequency = (crossings - 1) * sampleRate / (lastCrossing - firstCrossing);
  return m;
}

}  // namespace

ToneMeasure MeasureTone(const float* interleavedStereo, size_t frames, int sampleRate) {
  return Measure(
      [interleavedStereo](size_t i) {
        return (static_cast<double>(interleavedStereo[2 * i]) + interleavedStereo[2 * i + 1]) / 2;
      },
      frames, sampleRate);
}

ToneMeasure MeasureTone(const int16_t* interleavedStereo, size_t frames, int sampleRate) {
  return Measure(
      [interleavedStereo](size_t i) {
        return (interleavedStereo[2 * i] + interleavedStereo[2 * i + 1]) / 65536.0;
      },
      frames, sampleRate);
}

ToneMeasure MeasureChannel(const float* interleaved, size_t frames, int channels, int channel,
                           int sampleRate) {
  if (channels < 1 || channel < 0 || channel >= channels)
    throw std::invalid_argument("no such channel");
  const auto stride = static_cast<size_t>(channels);
  const auto offset = static_cast<size_t>(channel);
  return Measure([=](size_t i) { return static_cast<double>(interleaved[i * stride + offset]); },
                 frames, sampleRate);
}

}  // namespace tw::test
