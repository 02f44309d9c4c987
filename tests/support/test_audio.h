// Test audio made at run time: a sine tone encoded in the formats radio
// stations send, and measurements of what a listener got back. Nothing binary
// is kept in the tree; every test builds the streams it serves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tw::test {

enum class AudioFormat {
  kMp3,        // bare MPEG frames, no ID3v2 or Xing header, as a station sends them
  kAacAdts,    // AAC in ADTS frames (also HLS "packed audio")
  kOggVorbis,  // Ogg Vorbis with the comments in its comment header
  kOggOpus,    // Ogg Opus, always at 48000 Hz
  kFlac,       // native FLAC with a Vorbis comment block
  kOggFlac,    // FLAC in Ogg
  kMpegTsAac,  // AAC in an MPEG transport stream (HLS segments)
};

const char* FormatName(AudioFormat format);

struct ToneSpec {
  double frequency = 440;
  double amplitude = 0.5;  // of full scale
  int sampleRate = 44100;  // Opus ignores it and runs at 48000
  int channels = 2;        // 1 or 2; the same tone on every channel
  double seconds = 3;
  int bitrate = 128000;  // lossy formats only
  // Vorbis, Opus and FLAC comments, e.g. {"TITLE", "One"}, {"ARTIST", "Band"}.
  std::vector<std::pair<std::string, std::string>> comments;
};

// The complete stream, as a server would send it from the first byte. Every
// Ogg output has serial numbers of its own, so two outputs put one after the
// other form a chained Ogg stream (a station whose song changes). Throws
// std::invalid_argument for a tone it cannot encode, std::runtime_error when
// FFmpeg fails.
std::string EncodeTone(AudioFormat format, const ToneSpec& tone);

// Complete Ogg streams joined into one chained stream. Links that share a serial
// number (the same part twice) get fresh ones, so the result is always valid.
std::string ChainOgg(const std::vector<std::string>& parts);

// One HLS media segment and the length to put in its #EXTINF.
struct Segment {
  std::string bytes;
  double seconds = 0;
};

// The tone cut into segments of about segmentSeconds each (whole codec frames;
// the last one takes the rest). The tone and the timestamps run on across the
// cuts, as a live segmenter's do. format: kMpegTsAac, or kAacAdts for packed
// audio (raw ADTS, without the ID3 timestamp tag).
std::vector<Segment> EncodeToneSegments(AudioFormat format, const ToneSpec& tone,
                                        double segmentSeconds);

struct ToneMeasure {
  double frequency = 0;  // Hz, from the rising zero crossings; 0 when there is no tone
  double rms = 0;        // of full scale: a sine of amplitude a gives a/sqrt(2)
  double peak = 0;       // largest absolute sample
};

// The mono mix (L+R)/2 of interleaved stereo.
ToneMeasure MeasureTone(const float* interleavedStereo, size_t frames, int sampleRate);
ToneMeasure MeasureTone(const int16_t* interleavedStereo, size_t frames, int sampleRate);
// One channel of interleaved audio with any number of channels.
ToneMeasure MeasureChannel(const float* interleaved, size_t frames, int channels, int channel,
                           int sampleRate);

}  // namespace tw::test
