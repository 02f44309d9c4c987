#include "tests/support/test_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wpedantic"
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}
#pragma GCC diagnostic pop

namespace tw::test {
namespace {

using Tags = std::map<std::string, std::string>;

// What a player decoding the bytes with FFmpeg gets: the demuxer and codec it
// found, the audio as interleaved float in the stream's own channel count, the
// tags at the start and at every in-stream update (a chained Ogg link), and the
// packets' time span.
struct Decoded {
  std::string demuxer;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int sampleRate = 0;
  int channels = 0;
  std::vector<float> samples;
  std::vector<Tags> tags;
  double firstPacketSeconds = 0;
  double endSeconds = 0;  // last packet's pts + duration

  size_t frames() const { return channels ? samples.size() / static_cast<size_t>(channels) : 0; }
  double seconds() const { return sampleRate ? static_cast<double>(frames()) / sampleRate : 0; }
};

Tags ToTags(const AVDictionary* dictionary) {
  Tags tags;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dictionary, "", e, AV_DICT_IGNORE_SUFFIX))) tags[e->key] = e->value;
  return tags;
}

std::string Tag(const Tags& tags, const std::string& key) {
  const auto it = tags.find(key);
  return it == tags.end() ? std::string() : it->second;
}

struct Source {
  const std::string* bytes;
  size_t at = 0;
};

int ReadSource(void* opaque, uint8_t* buffer, int size) {
  auto* source = static_cast<Source*>(opaque);
  const size_t n = std::min(static_cast<size_t>(size), source->bytes->size() - source->at);
  if (n == 0) return AVERROR_EOF;
  std::memcpy(buffer, source->bytes->data() + source->at, n);
  source->at += n;
  return static_cast<int>(n);
}

// Reads the bytes as an unseekable stream, as the engine's network reader does.
Decoded Decode(const std::string& bytes) {
  Decoded out;
  Source source{&bytes};
  constexpr int kBuffer = 4096;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
  AVIOContext* io = avio_alloc_context(buffer, kBuffer, 0, &source, ReadSource, nullptr, nullptr);
  AVFormatContext* format = avformat_alloc_context();
  format->pb = io;
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVCodecContext* codec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  float* converted = nullptr;
  int convertedCapacity = 0;
  std::string failure;

  auto receiveFrames = [&]() {
    while (avcodec_receive_frame(codec, frame) == 0) {
      if (!swr) {
        // Same rate and channels out: only the sample layout changes, so levels
        // are exactly what the decoder produced.
        if (swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_FLT, frame->sample_rate,
                                &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                frame->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr) < 0) {
          failure = "swr";
          return;
        }
        out.sampleRate = frame->sample_rate;
        out.channels = frame->ch_layout.nb_channels;
      }
      if (frame->ch_layout.nb_channels != out.channels || frame->sample_rate != out.sampleRate) {
        failure = "decoded format changed mid-stream";
        return;
      }
      if (frame->nb_samples > convertedCapacity) {
        av_freep(&converted);
        convertedCapacity = frame->nb_samples;
        converted = static_cast<float*>(
            av_malloc(sizeof(float) * static_cast<size_t>(convertedCapacity * out.channels)));
      }
      auto* target = reinterpret_cast<uint8_t*>(converted);
      const int got =
          swr_convert(swr, &target, convertedCapacity,
                      const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
      if (got > 0) out.samples.insert(out.samples.end(), converted, converted + got * out.channels);
      av_frame_unref(frame);
    }
  };

  [&] {
    if (avformat_open_input(&format, nullptr, nullptr, nullptr) < 0) {
      failure = "avformat_open_input";
      return;
    }
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) {
      failure = "stream info";
      return;
    }
    out.demuxer = format->iformat->name;
    AVStream* stream = format->streams[0];
    out.codec = stream->codecpar->codec_id;
    Tags first = ToTags(format->metadata);
    for (auto& [k, v] : ToTags(stream->metadata)) first[k] = v;
    out.tags.push_back(first);
    stream->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;

    const AVCodec* decoder = avcodec_find_decoder(out.codec);
    codec = avcodec_alloc_context3(decoder);
    if (!decoder || avcodec_parameters_to_context(codec, stream->codecpar) < 0 ||
        avcodec_open2(codec, decoder, nullptr) < 0) {
      failure = "decoder";
      return;
    }
    bool firstPacket = true;
    while (av_read_frame(format, packet) >= 0) {
      if (stream->event_flags & AVSTREAM_EVENT_FLAG_METADATA_UPDATED) {
        out.tags.push_back(ToTags(stream->metadata));
        stream->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
      }
      if (packet->pts != AV_NOPTS_VALUE) {
        const double start = static_cast<double>(packet->pts) * av_q2d(stream->time_base);
        if (firstPacket) out.firstPacketSeconds = start;
        firstPacket = false;
        out.endSeconds = start + static_cast<double>(packet->duration) * av_q2d(stream->time_base);
      }
      const int sent = avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
      if (sent < 0 && sent != AVERROR_INVALIDDATA) {
        failure = "avcodec_send_packet";
        return;
      }
      receiveFrames();
      if (!failure.empty()) return;
    }
    avcodec_send_packet(codec, nullptr);
    receiveFrames();
  }();

  av_freep(&converted);
  av_frame_free(&frame);
  av_packet_free(&packet);
  swr_free(&swr);
  avcodec_free_context(&codec);
  avformat_close_input(&format);
  av_freep(&io->buffer);
  avio_context_free(&io);
  if (!failure.empty()) throw std::runtime_error("decoding failed: " + failure);
  return out;
}

// Each channel of the decoded audio between `from` and `to` seconds.
void ExpectTone(const Decoded& decoded, double from, double to, double frequency, double amplitude,
                const std::string& what) {
  const auto first = static_cast<size_t>(from * decoded.sampleRate);
  const auto last = std::min(decoded.frames(), static_cast<size_t>(to * decoded.sampleRate));
  ASSERT_GT(last, first + 1000) << what << ": too little audio decoded";
  for (int channel = 0; channel < decoded.channels; ++channel) {
    const ToneMeasure m =
        MeasureChannel(decoded.samples.data() + first * static_cast<size_t>(decoded.channels),
                       last - first, decoded.channels, channel, decoded.sampleRate);
    EXPECT_NEAR(m.frequency, frequency, frequency * 0.02) << what << " channel " << channel;
    const double rms = amplitude / std::numbers::sqrt2;
    EXPECT_NEAR(m.rms, rms, rms * 0.1) << what << " channel " << channel;
  }
}

// Ogg pages, read independently of the generator's own code.
struct Page {
  unsigned flags;
  uint32_t serial;
  bool crcOk;
  std::string body;
};

std::vector<Page> ReadOggPages(const std::string& stream) {
  auto u8 = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(stream[i])); };
  auto le32 = [&](size_t i) {
    return static_cast<uint32_t>(u8(i) | u8(i + 1) << 8 | u8(i + 2) << 16 | u8(i + 3) << 24);
  };
  std::vector<Page> pages;
  size_t at = 0;
  while (at + 27 <= stream.size() && stream.compare(at, 4, "OggS") == 0) {
    const size_t segments = u8(at + 26);
    size_t size = 27 + segments;
    for (size_t s = 0; s < segments; ++s) size += u8(at + 27 + s);
    if (at + size > stream.size()) break;
    std::string page = stream.substr(at, size);
    page[22] = page[23] = page[24] = page[25] = 0;
    uint32_t crc = 0;
    for (char c : page) {
      crc ^= static_cast<uint32_t>(static_cast<unsigned char>(c)) << 24;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    pages.push_back({u8(at + 5), le32(at + 14), crc == le32(at + 22),
                     stream.substr(at + 27 + segments, size - 27 - segments)});
    at += size;
  }
  EXPECT_EQ(at, stream.size()) << "bytes after the last whole Ogg page";
  return pages;
}

// The serials of the links of a chained stream, in order, checking that each
// link ends (EOS) before the next begins (BOS), and the text of each link's pages.
struct Link {
  uint32_t serial;
  std::string text;
};
std::vector<Link> OggLinks(const std::string& stream) {
  std::vector<Link> links;
  bool open = false;
  for (const Page& page : ReadOggPages(stream)) {
    EXPECT_TRUE(page.crcOk) << "page CRC";
    if (page.flags & 0x02) {
      EXPECT_FALSE(open) << "a link began before the previous one ended";
      links.push_back({page.serial, {}});
      open = true;
    }
    if (links.empty()) {
      ADD_FAILURE() << "stream does not begin with a BOS page";
      break;
    }
    EXPECT_EQ(page.serial, links.back().serial) << "page of another link inside a link";
    links.back().text += page.body;
    if (page.flags & 0x04) open = false;
  }
  EXPECT_FALSE(open) << "last link has no EOS page";
  return links;
}

struct FormatCase {
  AudioFormat format;
  const char* demuxer;
  AVCodecID codec;
  int sampleRate;  // what decoding gives
  ToneSpec tone;
};

ToneSpec Tone(double frequency, double amplitude, int channels = 2, int rate = 44100) {
  ToneSpec tone;
  tone.frequency = frequency;
  tone.amplitude = amplitude;
  tone.channels = channels;
  tone.sampleRate = rate;
  tone.seconds = 2;
  return tone;
}

// An encoder or muxer set up wrongly: a stream FFmpeg does not recognise as its
// format, a wrong pitch or level, a lost channel, a stream cut short.
TEST(TestAudio, EveryFormatDecodesToTheTone) {
  const FormatCase cases[] = {
      {AudioFormat::kMp3, "mp3", AV_CODEC_ID_MP3, 44100, Tone(440, 0.5)},
      {AudioFormat::kMp3, "mp3", AV_CODEC_ID_MP3, 48000, Tone(1000, 0.3, 1, 48000)},
      {AudioFormat::kAacAdts, "aac", AV_CODEC_ID_AAC, 44100, Tone(523.25, 0.5)},
      {AudioFormat::kOggVorbis, "ogg", AV_CODEC_ID_VORBIS, 44100, Tone(660, 0.4)},
      {AudioFormat::kOggOpus, "ogg", AV_CODEC_ID_OPUS, 48000, Tone(880, 0.5)},
      {AudioFormat::kFlac, "flac", AV_CODEC_ID_FLAC, 44100, Tone(300, 0.6)},
      {AudioFormat::kOggFlac, "ogg", AV_CODEC_ID_FLAC, 22050, Tone(750, 0.5, 2, 22050)},
      {AudioFormat::kMpegTsAac, "mpegts", AV_CODEC_ID_AAC, 44100, Tone(1200, 0.25)},
  };
  for (const FormatCase& c : cases) {
    const std::string what =
        std::string(FormatName(c.format)) + " " + std::to_string(c.tone.frequency) + " Hz";
    SCOPED_TRACE(what);
    const std::string bytes = EncodeTone(c.format, c.tone);
    const Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.demuxer, c.demuxer);
    EXPECT_EQ(decoded.codec, c.codec);
    EXPECT_EQ(decoded.sampleRate, c.sampleRate);
    EXPECT_EQ(decoded.channels, c.tone.channels);
    // Lossy codecs add a frame or two of priming; none loses audio.
    EXPECT_NEAR(decoded.seconds(), c.tone.seconds, 0.1);
    ExpectTone(decoded, 0.3, c.tone.seconds - 0.3, c.tone.frequency, c.tone.amplitude, what);
  }
}

// An MP3 that starts like a file (ID3v2 tag, Xing/Info frame) rather than like
// a station's stream, which begins with plain audio frames.
TEST(TestAudio, Mp3LooksLikeARadioStream) {
  const std::string mp3 = EncodeTone(AudioFormat::kMp3, Tone(440, 0.5));
  ASSERT_GT(mp3.size(), 4u);
  EXPECT_NE(mp3.substr(0, 3), "ID3");
  EXPECT_EQ(static_cast<unsigned char>(mp3[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(mp3[1]) & 0xE0, 0xE0) << "frame sync";
  const std::string firstFrames = mp3.substr(0, 1500);
  EXPECT_EQ(firstFrames.find("Xing"), std::string::npos);
  EXPECT_EQ(firstFrames.find("Info"), std::string::npos);
  EXPECT_NE(mp3.compare(mp3.size() - 128, 3, "TAG"), 0) << "ID3v1 tag at the end";
}

// Comments missing from the comment header, or lost for one of the formats.
TEST(TestAudio, CommentsReachTheCommentHeader) {
  for (AudioFormat format : {AudioFormat::kOggVorbis, AudioFormat::kOggOpus, AudioFormat::kOggFlac,
                             AudioFormat::kFlac}) {
    SCOPED_TRACE(FormatName(format));
    ToneSpec tone = Tone(440, 0.5);
    tone.seconds = 0.5;
    tone.comments = {{"TITLE", "One"}, {"ARTIST", "Band & Co"}};
    const std::string bytes = EncodeTone(format, tone);
    EXPECT_NE(bytes.find("TITLE=One"), std::string::npos);
    EXPECT_NE(bytes.find("ARTIST=Band & Co"), std::string::npos);
    const Decoded decoded = Decode(bytes);
    ASSERT_FALSE(decoded.tags.empty());
    EXPECT_EQ(Tag(decoded.tags[0], "TITLE"), "One");
    EXPECT_EQ(Tag(decoded.tags[0], "ARTIST"), "Band & Co");
  }
}

// Two Ogg outputs that share a serial number: put one after the other, they
// would not form a valid chained stream.
TEST(TestAudio, OggOutputsHaveSerialsOfTheirOwn) {
  ToneSpec tone = Tone(440, 0.5);
  tone.seconds = 0.3;
  std::set<uint32_t> serials;
  for (AudioFormat format : {AudioFormat::kOggVorbis, AudioFormat::kOggVorbis,
                             AudioFormat::kOggOpus, AudioFormat::kOggFlac}) {
    const std::vector<Link> links = OggLinks(EncodeTone(format, tone));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_TRUE(serials.insert(links[0].serial).second) << "serial used twice";
  }
}

// A song change in an Ogg stream that is not two logical streams, loses the
// second link's title or audio, or a chain of the same part twice that reuses
// its serial number.
TEST(TestAudio, ChainedOggIsTwoLogicalStreams) {
  for (AudioFormat format :
       {AudioFormat::kOggVorbis, AudioFormat::kOggOpus, AudioFormat::kOggFlac}) {
    SCOPED_TRACE(FormatName(format));
    ToneSpec one = Tone(440, 0.5);
    one.seconds = 1;
    one.comments = {{"TITLE", "One"}};
    ToneSpec two = Tone(880, 0.3);
    two.seconds = 1;
    two.comments = {{"TITLE", "Two"}};
    const std::string a = EncodeTone(format, one);
    const std::string b = EncodeTone(format, two);

    for (const std::string& chained : {a + b, ChainOgg({a, b})}) {
      const std::vector<Link> links = OggLinks(chained);
      ASSERT_EQ(links.size(), 2u);
      EXPECT_NE(links[0].serial, links[1].serial);
      EXPECT_NE(links[0].text.find("TITLE=One"), std::string::npos);
      EXPECT_NE(links[1].text.find("TITLE=Two"), std::string::npos);
    }

    const std::string twice = ChainOgg({a, a});
    const std::vector<Link> links = OggLinks(twice);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_NE(links[0].serial, links[1].serial) << "ChainOgg must renumber a repeated part";
    EXPECT_EQ(twice.size(), 2 * a.size());

    // FFmpeg (the engine's decoder) reads the chain as a song change. Vorbis is
    // what stations chain; FFmpeg of this age handles it fully.
    if (format == AudioFormat::kOggVorbis) {
      const Decoded decoded = Decode(a + b);
      ASSERT_GE(decoded.tags.size(), 2u);
      EXPECT_EQ(Tag(decoded.tags.front(), "TITLE"), "One");
      EXPECT_EQ(Tag(decoded.tags.back(), "TITLE"), "Two");
      EXPECT_NEAR(decoded.seconds(), 2.0, 0.1);
      ExpectTone(decoded, 0.2, 0.8, 440, 0.5, "first link");
      ExpectTone(decoded, 1.2, 1.8, 880, 0.3, "second link");
      const Decoded repeated = Decode(twice);
      EXPECT_NEAR(repeated.seconds(), 2.0, 0.1);
      ExpectTone(repeated, 1.2, 1.8, 440, 0.5, "repeated link");
    }
  }
  EXPECT_THROW(ChainOgg({"not ogg"}), std::invalid_argument);
}

// HLS segments that are not whole, restart their timestamps (a player would
// hear a jump or stall at each cut), or lose audio at the cuts.
TEST(TestAudio, SegmentsContinueTheTone) {
  ToneSpec tone = Tone(440, 0.5);
  tone.seconds = 3;

  const std::vector<Segment> ts = EncodeToneSegments(AudioFormat::kMpegTsAac, tone, 1.0);
  ASSERT_EQ(ts.size(), 3u);
  double total = 0;
  std::optional<double> previousEnd;
  for (size_t i = 0; i < ts.size(); ++i) {
    SCOPED_TRACE("segment " + std::to_string(i));
    const std::string& bytes = ts[i].bytes;
    ASSERT_EQ(bytes.size() % 188, 0u);
    for (size_t at = 0; at < bytes.size(); at += 188) ASSERT_EQ(bytes[at], 0x47) << at;
    EXPECT_NEAR(ts[i].seconds, 1.0, 0.05);
    total += ts[i].seconds;
    const Decoded decoded = Decode(bytes);
    EXPECT_EQ(decoded.demuxer, "mpegts");
    EXPECT_NEAR(decoded.seconds(), ts[i].seconds, 0.03);
    ExpectTone(decoded, 0.1, decoded.seconds() - 0.1, 440, 0.5, "segment");
    // The last frame's padding counts in the container but not in the segment's length.
    EXPECT_NEAR(decoded.endSeconds - decoded.firstPacketSeconds, ts[i].seconds, 1024.0 / 44100);
    if (previousEnd) {
      EXPECT_NEAR(decoded.firstPacketSeconds, *previousEnd, 0.001) << "timestamps jump at the cut";
    }
    previousEnd = decoded.endSeconds;
  }
  EXPECT_NEAR(total, 3.0, 0.05);

  const std::vector<Segment> packed = EncodeToneSegments(AudioFormat::kAacAdts, tone, 0.5);
  ASSERT_EQ(packed.size(), 6u);
  std::string joined;
  for (const Segment& s : packed) {
    ASSERT_GE(s.bytes.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(s.bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(s.bytes[1]) & 0xF0, 0xF0) << "ADTS sync";
    joined += s.bytes;
  }
  // The cuts fall between whole frames of one encoding: joined, they are the
  // unsegmented stream byte for byte.
  EXPECT_TRUE(joined == EncodeTone(AudioFormat::kAacAdts, tone));
  const Decoded decoded = Decode(joined);
  EXPECT_NEAR(decoded.seconds(), 3.0, 0.05);
  ExpectTone(decoded, 0.2, 2.8, 440, 0.5, "packed audio");

  EXPECT_THROW(EncodeToneSegments(AudioFormat::kMp3, tone, 1.0), std::invalid_argument);
}

std::vector<float> Sine(double frequency, double amplitude, int rate, double seconds,
                        double rightFrequency = 0) {
  const auto frames = static_cast<size_t>(seconds * rate);
  std::vector<float> samples(2 * frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    samples[2 * i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * t));
    samples[2 * i + 1] =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi *
                                                (rightFrequency ? rightFrequency : frequency) * t));
  }
  return samples;
}

// A measurement that is off in pitch or level, so that tests built on it
// would pass wrong audio or fail right audio.
TEST(TestAudio, MeasureToneFindsFrequencyAndLevel) {
  struct {
    double frequency;
    double amplitude;
    int rate;
  } cases[] = {{50, 0.9, 44100},   {440, 0.5, 44100},   {1000, 0.1, 48000},
               {5000, 0.5, 44100}, {12345, 0.3, 48000}, {97.3, 0.01, 22050}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frequency);
    const std::vector<float> samples = Sine(c.frequency, c.amplitude, c.rate, 0.5);
    const ToneMeasure m = MeasureTone(samples.data(), samples.size() / 2, c.rate);
    EXPECT_NEAR(m.frequency, c.frequency, c.frequency * 0.002);
    EXPECT_NEAR(m.rms, c.amplitude / std::numbers::sqrt2, c.amplitude * 0.01);
    EXPECT_NEAR(m.peak, c.amplitude, c.amplitude * 0.01);

    std::vector<int16_t> pcm(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      pcm[i] = static_cast<int16_t>(std::lround(samples[i] * 32767));
    const ToneMeasure m16 = MeasureTone(pcm.data(), pcm.size() / 2, c.rate);
    EXPECT_NEAR(m16.frequency, c.frequency, c.frequency * 0.002);
    EXPECT_NEAR(m16.rms, m.rms, c.amplitude * 0.01);
  }
}

// Silence measured as a tone, noise near zero counted as crossings, or the
// channels mixed up.
TEST(TestAudio, MeasureToneEdgeCases) {
  const std::vector<float> silence(2 * 4410, 0.0f);
  const ToneMeasure quiet = MeasureTone(silence.data(), 4410, 44100);
  EXPECT_EQ(quiet.frequency, 0.0);
  EXPECT_EQ(quiet.rms, 0.0);
  EXPECT_EQ(quiet.peak, 0.0);
  EXPECT_EQ(MeasureTone(silence.data(), 0, 44100).rms, 0.0);

  // A second of faint noise, then the tone: as a decoder's start-up looks.
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
  std::vector<float> samples(2 * 44100);
  for (float& s : samples) s = noise(random);
  const std::vector<float> tone = Sine(440, 0.5, 44100, 1);
  samples.insert(samples.end(), tone.begin(), tone.end());
  for (float& s : samples) s += noise(random);
  EXPECT_NEAR(MeasureTone(samples.data(), samples.size() / 2, 44100).frequency, 440, 440 * 0.01);

  const std::vector<float> split = Sine(440, 0.5, 44100, 0.5, 1000);
  const ToneMeasure left = MeasureChannel(split.data(), split.size() / 2, 2, 0, 44100);
  const ToneMeasure right = MeasureChannel(split.data(), split.size() / 2, 2, 1, 44100);
  EXPECT_NEAR(left.frequency, 440, 1);
  EXPECT_NEAR(right.frequency, 1000, 2);
  EXPECT_THROW(MeasureChannel(split.data(), 10, 2, 2, 44100), std::invalid_argument);
}

}  // namespace
}  // namespace tw::test
