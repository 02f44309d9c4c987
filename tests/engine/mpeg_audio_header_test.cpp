#include "engine/mpeg_audio_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_audio.h"

namespace tw::engine::test {
namespace {

// Catches wrong bitrate or rate tables and wrong length formulas per version and
// layer: each length worked out by hand from the standard's formulas.
TEST(MpegAudioHeader, FrameLengths) {
  struct Case {
    uint32_t header;
    std::size_t bytes;
    const char* what;
  };
  const Case cases[] = {
      {0xFFFB9000, 417, "MPEG 1 layer III 128 kbit/s 44.1 kHz"},
      {0xFFFB9200, 418, "the same, padded"},
      {0xFFFBE400, 960, "MPEG 1 layer III 320 kbit/s 48 kHz: 144*320000/48000"},
      {0xFFFB1800, 144, "MPEG 1 layer III 32 kbit/s 32 kHz"},
      {0xFFF38000, 208, "MPEG 2 layer III 64 kbit/s 22.05 kHz: 72*64000/22050"},
      {0xFFE31800, 72, "MPEG 2.5 layer III 8 kbit/s 8 kHz"},
      {0xFFFDA400, 576, "MPEG 1 layer II 192 kbit/s 48 kHz"},
      {0xFFFFC400, 384, "MPEG 1 layer I 384 kbit/s 48 kHz: (12*384000/48000)*4"},
      {0xFFFFC600, 388, "the same, padded: one four-byte slot more"},
      {0xFFF71400, 64, "MPEG 2 layer I 32 kbit/s 24 kHz: (12*32000/24000)*4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(MpegFrameBytes(c.header).has_value());
    EXPECT_EQ(*MpegFrameBytes(c.header), c.bytes);
  }
}

// Catches accepting words that are not headers: each reserved or unusable field.
TEST(MpegAudioHeader, RefusesWhatIsNoHeader) {
  const uint32_t good = 0xFFFB9000;
  ASSERT_TRUE(MpegFrameBytes(good));
  EXPECT_FALSE(MpegFrameBytes(0x7FFB9000)) << "sync broken";
  EXPECT_FALSE(MpegFrameBytes(0xFFEB9000)) << "reserved version";
  EXPECT_FALSE(MpegFrameBytes(0xFFF99000)) << "reserved layer";
  EXPECT_FALSE(MpegFrameBytes(0xFFFBF000)) << "bitrate index 15";
  EXPECT_FALSE(MpegFrameBytes(0xFFFB0000)) << "free format";
  EXPECT_FALSE(MpegFrameBytes(0xFFFB9C00)) << "reserved rate";
  EXPECT_FALSE(MpegFrameBytes(0x3C68746D)) << "text (\"<htm\")";
}

// Catches a stream check that is too strict (bitrate, padding or mode changes
// are normal) or too loose (rate, layer or version changes are not one stream).
TEST(MpegAudioHeader, SameStream) {
  const uint32_t a = 0xFFFB9000;
  EXPECT_TRUE(SameMpegStream(a, 0xFFFBB200)) << "other bitrate, padded";
  EXPECT_TRUE(SameMpegStream(a, 0xFFFB90C4)) << "other mode and emphasis bits";
  EXPECT_TRUE(SameMpegStream(a, 0xFFFA9000)) << "CRC protection";
  EXPECT_FALSE(SameMpegStream(a, 0xFFFB9400)) << "48 kHz";
  EXPECT_FALSE(SameMpegStream(a, 0xFFFD9000)) << "layer II";
  EXPECT_FALSE(SameMpegStream(a, 0xFFF39000)) << "MPEG 2";

  // The trust gate also wants the successor to be a header of its own.
  EXPECT_TRUE(MpegSuccessorConfirms(a, 0xFFFBB200));
  EXPECT_FALSE(MpegSuccessorConfirms(a, 0xFFFB0000)) << "free format gives no length";
  EXPECT_FALSE(MpegSuccessorConfirms(a, 0xFFFBF000)) << "bad bitrate index";
  EXPECT_FALSE(MpegSuccessorConfirms(a, 0xFFFB9400)) << "48 kHz";
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Catches table errors on real data: an encoder's whole output, at MPEG 1, 2 and
// 2.5 rates, is a chain of frames each ending where the next header starts, and
// the last ending at the end of the stream.
TEST(MpegAudioHeader, EncodedStreamsChainFrameByFrame) {
  for (const int rate : {44100, 22050, 8000}) {
    SCOPED_TRACE(rate);
    tw::test::ToneSpec tone;
    tone.sampleRate = rate;
    tone.bitrate = rate == 8000 ? 16000 : 64000;
    tone.seconds = 1;
    const std::vector<uint8_t> mp3 = Bytes(tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone));
    ASSERT_GE(mp3.size(), 4u);
    const uint32_t first = MpegHeaderWord(mp3.data());
    std::size_t at = 0;
    int frames = 0;
    while (at + 4 <= mp3.size()) {
      const uint32_t header = MpegHeaderWord(mp3.data() + at);
      ASSERT_TRUE(SameMpegStream(first, header)) << "frame " << frames;
      const auto bytes = MpegFrameBytes(header);
      ASSERT_TRUE(bytes) << "frame " << frames << " at " << at;
      at += *bytes;
      ++frames;
    }
    EXPECT_EQ(at, mp3.size());
    EXPECT_GT(frames, 5);
  }
}

// Catches the first frame a parser hands out (with the bytes that came before
// the stream's first header) being sent to the decoder from the wrong place,
// including when those bytes hold a header-like word of their own.
TEST(MpegAudioHeader, FindsTheFrameStartAfterLeadingBytes) {
  tw::test::ToneSpec tone;
  tone.seconds = 0.2;
  const std::vector<uint8_t> mp3 = Bytes(tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone));
  const std::size_t frame = *MpegFrameBytes(MpegHeaderWord(mp3.data()));
  std::vector<uint8_t> handed(mp3.begin(), mp3.begin() + static_cast<std::ptrdiff_t>(frame));
  EXPECT_EQ(FindMpegFrameStart(handed.data(), handed.size()), 0u);

  // The tail of an earlier frame, with a false header whose length runs elsewhere.
  const std::vector<uint8_t> lead = {0x12, 0xFF, 0xFB, 0x10, 0x00, 0x55, 0xFF};
  handed.insert(handed.begin(), lead.begin(), lead.end());
  EXPECT_EQ(FindMpegFrameStart(handed.data(), handed.size()), lead.size());

  handed.pop_back();  // a frame cut short matches no header
  EXPECT_FALSE(FindMpegFrameStart(handed.data(), handed.size()));
  EXPECT_FALSE(FindMpegFrameStart(handed.data(), 3));
}

}  // namespace
}  // namespace tw::engine::test
