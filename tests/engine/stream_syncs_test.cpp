// Syncs as a listener sees them: titles in order as they are played, a song
// change in a chained Ogg stream, a stall and its end, the end of the stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

// 128 kbit/s MP3, in bytes per second of audio.
constexpr double kMp3BytesPerSecond = 16000;

// Catches titles that repeat, are lost, or come out of order, and metadata
// syncs fired long before the listener hears the change (the network reads
// ahead of playback).
TEST_F(StreamTest, MetaSyncForEachNewTitleInOrder) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 2.5);
  route.metaint = 2000;
  route.titles = {
      {0, "StreamTitle='One';"}, {12000, "StreamTitle='Two';"}, {24000, "StreamTitle='Three';"}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  server.Remove("/live");  // the station's source leaves: its reconnect finds none
  syncs.Watch(stream, BASS_SYNC_META);
  syncs.Watch(stream, BASS_SYNC_END);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(syncs.WaitCount(BASS_SYNC_END, 1));

  std::vector<std::string> titles;
  for (const auto& entry : syncs.Of(BASS_SYNC_META)) titles.push_back(entry.meta);
  // "One" came with the first block, which may be read before the sync was set.
  if (!titles.empty() && titles.front() == "StreamTitle='One';") titles.erase(titles.begin());
  EXPECT_EQ(titles, (std::vector<std::string>{"StreamTitle='Two';", "StreamTitle='Three';"}));
}

// Catches a metadata sync that fires when the block is downloaded rather than
// when the audio around it plays: the whole stream is read ahead before play,
// and "Two", two seconds in, must not be announced in the first second.
TEST_F(StreamTest, MetaSyncFollowsPlaybackNotDownload) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 3);
  route.metaint = 1000;
  route.titles = {{0, "StreamTitle='One';"}, {32000, "StreamTitle='Two';"}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  server.Remove("/live");  // the station's source leaves: its reconnect finds none
  syncs.Watch(stream, BASS_SYNC_META);
  // The body fits the engine's network buffer: wait until all of it was read.
  EXPECT_TRUE(WaitFor([&] { return server.LiveConnections("/live") == 0; }));
  const uint64_t framesAtPlay = FramesRendered();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& e : syncs.Of(BASS_SYNC_META))
      if (e.meta == "StreamTitle='Two';") return true;
    return false;
  }));
  const double playedSeconds = static_cast<double>(FramesRendered() - framesAtPlay) / kRate;
  EXPECT_GT(playedSeconds, 1.0) << "the title came " << playedSeconds << " s into playback";
  EXPECT_TRUE(BASS_StreamFree(stream));
}

// Catches a chained Ogg stream whose song change is not reported, reported
// with the old comments or (Opus) with both songs' values merged, or whose
// second part is not played (a rate or channel change not followed).
TEST_F(StreamTest, OggChangeOnChainedStream) {
  struct Case {
    AudioFormat format;
    int secondRate;
    int secondChannels;
  } cases[] = {
      {AudioFormat::kOggVorbis, 22050, 1},
      {AudioFormat::kOggOpus, 48000, 1},
      {AudioFormat::kOggFlac, 32000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tw::test::FormatName(c.format));
    tw::test::ToneSpec one;
    one.frequency = kToneHz;
    one.amplitude = kToneLevel;
    one.seconds = 0.6;
    one.comments = {{"TITLE", "One"}, {"ARTIST", "First"}};
    tw::test::ToneSpec two = one;
    two.frequency = 1500;
    two.sampleRate = c.secondRate;
    two.channels = c.secondChannels;
    two.seconds = 1;
    two.bitrate = 64000;  // what encoders allow for mono at the lower rates
    two.comments = {{"TITLE", "Two"}};
    ServeAudio("/chain", "audio/ogg",
               tw::test::ChainOgg(
                   {tw::test::EncodeTone(c.format, one), tw::test::EncodeTone(c.format, two)}));
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open("/chain");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    server.Remove("/chain");  // the source leaves: its reconnect finds none
    EXPECT_THAT(TagList(BASS_ChannelGetTags(stream, BASS_TAG_OGG)),
                ::testing::Contains("TITLE=One"));
    log.Watch(stream, BASS_SYNC_OGG_CHANGE);
    log.Watch(stream, BASS_SYNC_END);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    EXPECT_TRUE(IsTone(WaitForTone(stream, kToneHz), kToneHz));
    ASSERT_TRUE(log.WaitCount(BASS_SYNC_OGG_CHANGE, 1));
    const auto change = log.Of(BASS_SYNC_OGG_CHANGE).front();
    std::vector<std::string> comments = change.ogg;
    std::erase_if(comments, [](const std::string& s) {
      return s.starts_with("encoder=") || s.starts_with("ENCODER=");
    });
    EXPECT_EQ(comments, std::vector<std::string>{"TITLE=Two"});
    const tw::test::ToneMeasure m = WaitForTone(stream, 1500);
    EXPECT_TRUE(IsTone(m, 1500)) << "second part: " << m.frequency << " Hz, rms " << m.rms;
    EXPECT_TRUE(log.WaitCount(BASS_SYNC_END, 1));
    EXPECT_EQ(log.Count(BASS_SYNC_OGG_CHANGE), 1u);
    BASS_StreamFree(stream);
  }
}

// Catches a stall that is not reported, reported in the wrong order, or not
// visible in the channel state and buffering figure; and playback that does
// not resume by itself when data comes back.
TEST_F(StreamTest, StallAndResumeAroundAServerPause) {
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 2.5);
  route.bytesPerSecond = kMp3BytesPerSecond;
  route.burstBytes = 8000;
  route.pauses = {{12000, 1500}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  syncs.Watch(stream, BASS_SYNC_STALL);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));

  ASSERT_TRUE(syncs.WaitCount(BASS_SYNC_STALL, 1));
  EXPECT_EQ(syncs.Of(BASS_SYNC_STALL).front().data, 0u);
  // Polled: the stall may already be over by the time a slow machine looks.
  bool sawStalled = false;
  bool sawBuffering = false;
  WaitFor([&] {
    if (BASS_ChannelIsActive(stream) == BASS_ACTIVE_STALLED) {
      sawStalled = true;
      const QWORD left = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFERING);
      if (left >= 1 && left <= 100) sawBuffering = true;
    }
    return syncs.Count(BASS_SYNC_STALL) >= 2;
  });
  EXPECT_TRUE(sawStalled);
  EXPECT_TRUE(sawBuffering);
  ASSERT_EQ(syncs.Count(BASS_SYNC_STALL), 2u);
  EXPECT_EQ(syncs.Of(BASS_SYNC_STALL)[1].data, 1u);
  EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  EXPECT_EQ(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFERING), 0u);

  ASSERT_TRUE(BASS_StreamFree(stream));
  EXPECT_EQ(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFERING), ~QWORD{0});
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

struct StallRecord {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<DWORD> data;
  bool release = false;
};

// The first call blocks until the test releases it.
void RecordStall(HSYNC, DWORD, DWORD data, void* user) {
  auto* record = static_cast<StallRecord*>(user);
  std::unique_lock lock(record->mutex);
  record->data.push_back(data);
  record->changed.notify_all();
  record->changed.wait(lock, [&] { return record->release; });
}

// Catches stall syncs that lose their order when a stall, a resume and another
// stall all happen while a callback blocks: the syncs must alternate, and the
// last one delivered must say "stalled" while the stream is stalled.
TEST_F(StreamTest, StallSyncsKeepOrderWhileACallbackBlocks) {
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 3);
  route.bytesPerSecond = kMp3BytesPerSecond;
  route.burstBytes = 8000;
  route.pauses = {{12000, 1000}, {20000, 1500}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  StallRecord record;
  ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_STALL, 0, &RecordStall, &record), 0u);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  {
    std::unique_lock lock(record.mutex);
    ASSERT_TRUE(record.changed.wait_for(lock, kWait, [&] { return !record.data.empty(); }));
  }
  // While the first stall's callback blocks: the stream resumes, then stalls again.
  EXPECT_TRUE(WaitFor([&] { return BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING; }));
  EXPECT_TRUE(WaitFor([&] { return BASS_ChannelIsActive(stream) == BASS_ACTIVE_STALLED; }));
  std::vector<DWORD> seen;
  {
    std::unique_lock lock(record.mutex);
    record.release = true;
    record.changed.notify_all();
    EXPECT_TRUE(record.changed.wait_for(lock, kWait, [&] { return record.data.size() >= 3; }));
    seen = record.data;
  }
  EXPECT_EQ(seen, (std::vector<DWORD>{0, 1, 0}));
  {
    std::unique_lock lock(record.mutex);
    EXPECT_TRUE(record.changed.wait_for(lock, kWait, [&] { return record.data.size() >= 4; }));
    EXPECT_EQ(record.data.back(), 1u);
  }
  EXPECT_TRUE(BASS_StreamFree(stream));
}

// Catches an end sync that is missing, fires twice, or leaves an auto-freed
// handle alive; and an end reported while the stream still plays.
TEST_F(StreamTest, EndOnceWhenTheServerCloses) {
  struct Case {
    const char* name;
    bool disconnect;  // the server drops the connection mid-stream
    DWORD flags;
  } cases[] = {
      {"body sent, server closes", false, 0},
      {"body sent, auto-free", false, BASS_STREAM_AUTOFREE},
      {"dropped mid-stream, auto-free", true, BASS_STREAM_AUTOFREE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RadioServer::Route route;
    route.headers = {"Content-Type: audio/mpeg"};
    route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 1);
    route.loopBody = c.disconnect;
    route.bytesPerSecond = c.disconnect ? kMp3BytesPerSecond : 0;
    route.burstBytes = 8000;
    server.Serve("/live", route);
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open("/live", c.flags);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    server.Remove("/live");  // the source leaves: its reconnect finds none
    log.Watch(stream, BASS_SYNC_END);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    if (c.disconnect) {
      EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
      server.Disconnect("/live");
    }
    ASSERT_TRUE(log.WaitCount(BASS_SYNC_END, 1));
    EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, BASS_ERROR_ENDED);
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    if (c.flags & BASS_STREAM_AUTOFREE) {
      EXPECT_TRUE(WaitFor([&] { return !BASS_StreamFree(stream); }));
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
      EXPECT_EQ(BASS_ChannelGetTags(stream, BASS_TAG_HTTP), nullptr);
    } else {
      // Still a handle: the player frees it itself.
      EXPECT_NE(BASS_ChannelGetTags(stream, BASS_TAG_HTTP), nullptr);
    }
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(log.Count(BASS_SYNC_END), 1u);
    BASS_StreamFree(stream);
  }
}

}  // namespace
}  // namespace tw::engine::test
