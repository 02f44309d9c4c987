#include "engine/mixer.h"

#include <algorithm>
#include <chrono>

#include "engine/internal.h"
#include "engine/stream.h"
#include "engine/streams.h"

namespace tw::engine {

namespace {
constexpr std::size_t kScratchFrames = 4096;
}

Mixer::Mixer(int freq) : freq_(freq), scratch_(kScratchFrames * kChannels) { streams_.reserve(16); }

void Mixer::Add(Stream* stream) {
  std::lock_guard lock(streamsMutex_);
  if (std::find(streams_.begin(), streams_.end(), stream) == streams_.end()) {
    streams_.push_back(stream);
  }
}

void Mixer::Remove(Stream* stream) {
  std::lock_guard lock(streamsMutex_);
  streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
}

void Mixer::Render(float* out, std::size_t frames) {
  // The output's buffer may hold anything (SDL does not promise to clear it).
  std::fill_n(out, frames * kChannels, 0.0f);
  {
    std::unique_lock lock(streamsMutex_, std::try_to_lock);
    // An API thread is changing the list right now: this block stays silent.
    if (lock.owns_lock()) {
      for (Stream* stream : streams_) {
        for (std::size_t done = 0; done < frames;) {
          const std::size_t n = std::min(frames - done, kScratchFrames);
          MixStream(*stream, out + done * kChannels, n);
          done += n;
        }
      }
    }
  }
  history_.Append(out, frames);
  frames_rendered_.fetch_add(frames, std::memory_order_relaxed);
}

void Mixer::MixStream(Stream& stream, float* out, std::size_t frames) {
  Phase phase = stream.phase.load(std::memory_order_acquire);
  const bool finished = stream.decodeFinished.load(std::memory_order_acquire);
  if (phase == Phase::kStalled) {
    // Resume once enough is buffered to ride out the next hiccup, or when the
    // rest of the stream is all there is.
    if (stream.pcm.available() < stream.restartFrames.load() && !finished) return;
    stream.phase.store(Phase::kPlaying, std::memory_order_release);
    stream.PostFromAudio(kEventResume);
    phase = Phase::kPlaying;
  }
  if (phase != Phase::kPlaying) return;

  float* samples = scratch_.data();
  const std::size_t got = stream.pcm.Read(samples, frames);
  if (got > 0 && stream.firstMixedNanos.load(std::memory_order_relaxed) == 0) {
    stream.firstMixedNanos.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                 std::memory_order_relaxed);
  }
  const float volume = stream.volume.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < got * kChannels; ++i) out[i] += samples[i] * volume;
  // The stream's own history is what it sounded like before its volume.
  std::fill(samples + got * kChannels, samples + frames * kChannels, 0.0f);
  stream.history.Append(samples, frames);

  if (got < frames) {
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
