#include "engine/mixer.h"

#include <algorithm>
#include <chrono>

#include "engine/internal.h"
#include "engine/stream.h"
#include "engine/stream_table.h"

namespace tw::engine {

namespace {
constexpr std::size_t kScratchFrames = 4096;
// Arrival jitter a stream paced in real time is started with room for.
constexpr int64_t kStartJitterMs = 15;
}  // namespace

Mixer::Mixer(int freq) : freq_(freq), scratch_(kScratchFrames * kChannels) { streams_.reserve(16); }

void Mixer::Add(Stream* stream) {
  std::lock_guard lock(streamsMutex_);
  if (std::find(streams_.begin(), streams_.end(), stream) == streams_.end()) {
    streams_.push_back(stream);
  }
  streamCount_.store(streams_.size(), std::memory_order_release);
}

void Mixer::Remove(Stream* stream) {
  std::lock_guard lock(streamsMutex_);
  streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
  streamCount_.store(streams_.size(), std::memory_order_release);
}

void Mixer::Render(float* out, std::size_t frames) {
  startPending_ = false;
  // The output's buffer may hold anything (SDL does not promise to clear it).
  std::fill_n(out, frames * kChannels, 0.0f);
  {
    std::unique_lock lock(streamsMutex_, std::try_to_lock);
    // An API thread is changing the list right now: this block stays silent.
    streamsActive_ = !lock.owns_lock();
    if (lock.owns_lock()) {
      for (Stream* stream : streams_) {
        for (std::size_t done = 0; done < frames;) {
          const std::size_t n = std::min(frames - done, kScratchFrames);
          MixStream(*stream, out + done * kChannels, n);
          done += n;
        }
        const Phase phase = stream->phase.load(std::memory_order_acquire);
        streamsActive_ = streamsActive_ || phase == Phase::kPlaying || phase == Phase::kStalled;
      }
    }
  }
  framesRendered_.fetch_add(frames, std::memory_order_relaxed);
}

std::size_t Mixer::StartOffset(Stream& stream, std::size_t frames, int64_t now) {
  // A stream that arrives in real time gains a decoded frame at a time, while the
  // output takes a period at a time: started as soon as its first frame is
  // decoded it would run dry before the second arrives. It is safe to start once
  // what is buffered, plus what has arrived since (in time), covers the
  // output's take plus one frame and some network jitter. A stream that burst
  // its first seconds starts at once; one paced in real time starts within a
  // render, at the latest point that keeps that true, rather than a period late.
  const std::size_t frame = stream.largestFrame.load(std::memory_order_relaxed);
  // Capped before scaling, so that no gap, however long, can overflow.
  const int64_t since = std::clamp<int64_t>(
      now - stream.lastWriteNanos.load(std::memory_order_acquire), 0, 1'000'000'000);
  const auto sinceFrames = static_cast<std::size_t>(since * freq_ / 1'000'000'000);
  // A frame later than its time is no credit.
  const std::size_t lead = stream.pcm.available() + std::min(frame, sinceFrames);
  const std::size_t need = frame + static_cast<std::size_t>(freq_) * kStartJitterMs / 1000;
  if (lead >= need + frames) return 0;
  if (lead > need) return frames - (lead - need);
  // The next frame is later than any jitter: the station has stalled. The
  // stream starts with what it has and then stalls like any other, so its
  // listener hears that it is buffering rather than a silent "playing".
  if (sinceFrames > need) return 0;
  startPending_ = true;
  return frames;
}

void Mixer::MixStream(Stream& stream, float* out, std::size_t frames) {
  Phase phase = stream.phase.load(std::memory_order_acquire);
  const bool finished = stream.decodeFinished.load(std::memory_order_acquire);
  if (phase == Phase::kStalled) {
    // Resume once enough is buffered to ride out the next hiccup, or when the
    // rest of the stream is all there is.
    if (stream.pcm.available() < stream.restartFrames.load() && !finished) return;
    if (finished && stream.pcm.available() < static_cast<std::size_t>(freq_) / 10) {
      // Nothing came back (a reconnect gave up), bar the decoder's last frame
      // or two: the end, without a resume first.
      stream.phase.store(Phase::kEnded, std::memory_order_release);
      stream.PostFromAudio(kEventEnd);
      return;
    }
    stream.phase.store(Phase::kPlaying, std::memory_order_release);
    stream.PostFromAudio(kEventResume);
    phase = Phase::kPlaying;
  }
  if (phase != Phase::kPlaying) return;

  // Frames of this render before the stream begins (all of them: not yet).
  std::size_t offset = 0;
  const bool started = stream.firstMixedNanos.load(std::memory_order_relaxed) != 0;
  if (!started && !finished) {
    const int64_t now = SteadyNanos();
    offset = StartOffset(stream, frames, now);
    if (offset == frames) return;
    stream.firstMixedNanos.store(now, std::memory_order_relaxed);
  }

  float* samples = scratch_.data();
  std::fill_n(samples, offset * kChannels, 0.0f);
  const std::size_t got = stream.pcm.Read(samples + offset * kChannels, frames - offset);
  if (got > 0 && stream.firstMixedNanos.load(std::memory_order_relaxed) == 0) {
    stream.firstMixedNanos.store(SteadyNanos(), std::memory_order_relaxed);
  }
  const float volume = stream.volume.load(std::memory_order_relaxed);
  for (std::size_t i = offset * kChannels; i < (offset + got) * kChannels; ++i) {
    out[i] += samples[i] * volume;
  }
  // The stream's own history is what it sounded like before its volume.
  std::fill(samples + (offset + got) * kChannels, samples + frames * kChannels, 0.0f);
  stream.history.Append(samples, frames);

  if (offset + got < frames) {
    if (finished && stream.pcm.available() == 0) {
      stream.phase.store(Phase::kEnded, std::memory_order_release);
      stream.PostFromAudio(kEventEnd);
    } else if (!finished) {
      stream.phase.store(Phase::kStalled, std::memory_order_release);
      stream.PostFromAudio(kEventStall);
    }
  }
}

int64_t FirstFrameMixedNanos(DWORD handle) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  return stream ? stream->firstMixedNanos.load(std::memory_order_relaxed) : 0;
}

}  // namespace tw::engine
