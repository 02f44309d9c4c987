// Two engine figures of the network side, on the loopback test server:
// - Reconnect time: a paced MP3 station (nothing buffered ahead) is dropped,
//   and the reconnect bursts; from the drop to the first sample of the new
//   response heard. Reference: the back-off's first step (500 ms), which the
//   figure cannot beat; the rest is connecting, decoding and refilling.
// - Back after an outage: every packet of the station's port dropped for 25 s
//   (nftables; needs root, else skipped), longer than the read time-out, so
//   the stream has given up its connection and reconnects with attempts
//   nothing answers; from the rule's removal to the first sample heard.
//   Reference: the attempts' own step, one every 2 s, which bounds the wait
//   for the next attempt. Once more with BASS_NetReconnectNow called when the
//   rule goes (the desktop saying the network is back).
// - First sample of an fMP4 HLS list (FFmpeg's own HLS muxer made it), from
//   the list's first body byte, against the ffmpeg tool on the same list.
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine.h"
#include "engine/internal.h"
#include "tests/support/hls_fmp4.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/port_outage.h"
#include "tests/support/radio_server.h"
#include "tests/support/test_audio.h"

namespace {

using tw::bench::Clock;
using tw::bench::Median;
using tw::bench::Ms;
using tw::bench::PrintSpread;

constexpr int kRate = 44100;
constexpr int kTrials = 5;
constexpr double kBytesPerSecond = 16000;  // 128 kbps
constexpr double kSecondHz = 1500;
constexpr auto kGiveUp = std::chrono::seconds(5);

Clock::time_point FromNanos(int64_t nanos) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanos)));
}

bool Hears(HSTREAM stream, double hz) {
  int16_t samples[1024] = {};
  if (BASS_ChannelGetData(stream, samples, sizeof samples) != sizeof samples) return false;
  const tw::test::ToneMeasure m = tw::test::MeasureTone(samples, 512, kRate);
  return std::abs(m.frequency - hz) <= 0.03 * hz && m.rms > 0.2;
}

// Drop to first new sample, in ms; negative when it did not come back.
double ReconnectTrial(tw::test::RadioServer& server, int trial) {
  const std::string path = "/station" + std::to_string(trial);
  tw::test::RadioServer::Route first;
  first.headers = {"Content-Type: audio/mpeg"};
  first.body = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, {});
  first.loopBody = true;
  first.bytesPerSecond = kBytesPerSecond;
  server.Serve(path, first);
  const HSTREAM stream = BASS_StreamCreateURL(server.Url(path).c_str(), 0, 0, nullptr, nullptr);
  if (!stream) return -1;
  tw::test::ToneSpec second;
  second.frequency = kSecondHz;
  tw::test::RadioServer::Route again = first;
  again.body = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, second);
  again.burstBytes = static_cast<size_t>(2 * kBytesPerSecond);
  server.Serve(path, again);
  BASS_ChannelPlay(stream, 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Clock::time_point drop = Clock::now();
  server.Disconnect(path);
  double result = -1;
  while (Clock::now() - drop < kGiveUp) {
    if (Hears(stream, kSecondHz)) {
      // The measure spans the last 512 frames: the new sound began that long ago.
      result = Ms(Clock::now() - drop) - 512.0 * 1000 / kRate;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  BASS_StreamFree(stream);
  return result;
}

// Rule removed -> first sample of the station's new response, in ms;
// negative when it did not come back.
double OutageTrial(tw::test::RadioServer& server, int trial, bool told) {
  constexpr auto kOutage = std::chrono::seconds(25);
  const std::string path = "/outage" + std::to_string(trial) + (told ? "t" : "");
  tw::test::RadioServer::Route first;
  first.headers = {"Content-Type: audio/mpeg"};
  first.body = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, {});
  first.loopBody = true;
  first.bytesPerSecond = kBytesPerSecond;
  first.burstBytes = static_cast<size_t>(kBytesPerSecond);
  server.Serve(path, first);
  const HSTREAM stream = BASS_StreamCreateURL(server.Url(path).c_str(), 0, 0, nullptr, nullptr);
  if (!stream) return -1;
  BASS_ChannelPlay(stream, 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double result = -1;
  {
    tw::test::PortOutage outage(server.Port());
    tw::test::ToneSpec second;
    second.frequency = kSecondHz;
    tw::test::RadioServer::Route again = first;
    again.body = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, second);
    server.Serve(path, again);
    std::this_thread::sleep_for(kOutage);
    outage.End();
    const Clock::time_point back = Clock::now();
    if (told) BASS_NetReconnectNow();
    while (Clock::now() - back < std::chrono::seconds(10)) {
      if (Hears(stream, kSecondHz)) {
        result = Ms(Clock::now() - back) - 512.0 * 1000 / kRate;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  BASS_StreamFree(stream);
  return result;
}

bool Fmp4EngineTrial(const tw::test::RadioServer& server, std::vector<double>& out) {
  const HSTREAM stream =
      BASS_StreamCreateURL(server.Url("/hls/list.m3u8").c_str(), 0, 0, nullptr, nullptr);
  if (!stream) return false;
  BASS_ChannelPlay(stream, 0);
  const Clock::time_point start = Clock::now();
  int64_t first = 0;
  while ((first = tw::engine::FirstFrameMixedNanos(stream)) == 0 &&
         Clock::now() - start < kGiveUp) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  BASS_StreamFree(stream);
  const Clock::time_point listByte = server.FirstBodyByteSent("/hls/list.m3u8");
  if (first == 0 || listByte == Clock::time_point()) return false;
  out.push_back(Ms(FromNanos(first) - listByte));
  return true;
}

bool Fmp4FfmpegTrial(const tw::test::RadioServer& server, std::vector<double>& out) {
  tw::bench::Child ffmpeg({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i",
                           server.Url("/hls/list.m3u8"), "-map", "0:a", "-f", "s16le", "-ac", "2",
                           "-ar", "44100", "-flush_packets", "1", "pipe:1"},
                          true);
  pollfd fd{ffmpeg.out(), POLLIN, 0};
  const int ready = ::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kGiveUp).count()));
  const Clock::time_point sample = Clock::now();
  char byte;
  const bool got = ready == 1 && ::read(ffmpeg.out(), &byte, 1) == 1;
  ffmpeg.Kill();
  const Clock::time_point listByte = server.FirstBodyByteSent("/hls/list.m3u8");
  if (!got || listByte == Clock::time_point()) return false;
  out.push_back(Ms(sample - listByte));
  return true;
}

}  // namespace

int main() {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  tw::test::RadioServer server;
  if (!BASS_Init(tw::test::NoSoundDevice(), kRate, 0, nullptr, nullptr)) {
    std::printf("BASS_Init failed: %d\n", BASS_ErrorGetCode());
    return 1;
  }
  int exitCode = 0;

  std::vector<double> reconnect;
  for (int i = 0; i < kTrials; ++i) {
    const double ms = ReconnectTrial(server, i);
    if (ms >= 0) reconnect.push_back(ms);
  }
  std::printf(
      "Reconnect, 128 kbps MP3 paced in real time, dropped by the server (the reconnect\n"
      "bursts 2 s); median of %d runs (min .. max):\n",
      kTrials);
  PrintSpread("ours: drop -> first new sample heard", reconnect);
  if (!reconnect.empty()) {
    std::printf("  => ratio %.2f against the back-off's first step, 500 ms\n\n",
                Median(reconnect) / 500.0);
  } else {
    exitCode = 1;
  }

  const std::string why = tw::test::PortOutage::Unavailable();
  if (!why.empty()) {
    std::printf("Back after an outage: %s\n\n", why.c_str());
  } else {
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
    constexpr int kOutageTrials = 3;
    for (bool told : {false, true}) {
      std::vector<double> back;
      for (int i = 0; i < kOutageTrials; ++i) {
        const double ms = OutageTrial(server, i, told);
        if (ms >= 0) back.push_back(ms);
      }
      std::printf(
          "Back after a 25 s outage of the station's port (nftables), %s;\n"
          "median of %d runs (min .. max):\n",
          told ? "BASS_NetReconnectNow called at its end" : "no signal", kOutageTrials);
      PrintSpread("ours: rule removed -> first new sample heard", back);
      if (!back.empty()) {
        std::printf("  => ratio %.2f against the attempts' step, 2000 ms\n\n",
                    Median(back) / 2000.0);
      } else {
        exitCode = 1;
      }
    }
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 30000);
  }

  const tw::test::Fmp4Rendition hls = tw::test::MakeFmp4Hls(1000, kRate, 10, "s");
  if (hls.files.empty()) {
    std::printf("ffmpeg made no fMP4 HLS\n");
    return 1;
  }
  for (const auto& [name, bytes] : hls.files) {
    server.ServeText("/hls/" + name, name.ends_with(".mp4") ? "video/mp4" : "video/iso.segment",
                     bytes);
  }
  std::string list;
  for (const std::string& line : hls.lines) list += line + "\n";
  server.ServeText("/hls/list.m3u8", "application/vnd.apple.mpegurl", list);
  std::vector<double> ours, ffmpeg;
  for (int i = 0; i < kTrials; ++i) {
    Fmp4EngineTrial(server, ours);
    Fmp4FfmpegTrial(server, ffmpeg);
  }
  std::printf(
      "First sample of an fMP4 HLS list (AAC LC, 1 s segments), from the list's first\n"
      "body byte; median of %d runs (min .. max):\n",
      kTrials);
  PrintSpread("ours", ours);
  PrintSpread("ffmpeg (first PCM byte on its pipe)", ffmpeg);
  if (!ours.empty() && !ffmpeg.empty()) {
    std::printf("  => ratio %.2f\n", Median(ours) / Median(ffmpeg));
  } else {
    exitCode = 1;
  }
  BASS_Free();
  return exitCode;
}
