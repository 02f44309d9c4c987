#include "editor/station_preview.h"

#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "platform/text_codec.h"

namespace tw {

// Shared by the UI thread and the connect threads, which may outlive the preview.
struct StationPreview::State {
  std::mutex mutex;
  int current = 0;     // the preview that may play; 0: none
  int last = 0;        // numbers handed out
  HSTREAM stream = 0;  // the current preview's stream once it plays
  Report report;
};

StationPreview::StationPreview(Report report) : state_(std::make_shared<State>()) {
  state_->report = std::move(report);
}

StationPreview::~StationPreview() {
  Stop();
  // A connect thread still running must not call back into a finder that is gone.
  std::lock_guard lock(state_->mutex);
  state_->report = nullptr;
}

int StationPreview::Start(const std::string& url, float volume) {
  Stop();
  int preview;
  {
    std::lock_guard lock(state_->mutex);
    preview = state_->current = ++state_->last;
  }
  std::thread([state = state_, preview, wide = Utf8ToUtf16(url), volume] {
    const HSTREAM stream = BASS_StreamCreateURL(
        wide.c_str(), 0, BASS_UNICODE | BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE, nullptr, nullptr);
    const int error = stream ? 0 : BASS_ErrorGetCode();
    std::unique_lock lock(state->mutex);
    if (state->current != preview) {
      // Stopped while it connected.
      lock.unlock();
      BASS_StreamFree(stream);
      return;
    }
    if (stream) {
      state->stream = stream;
      BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, volume);
      BASS_ChannelPlay(stream, 0);
    } else {
      state->current = 0;
    }
    // Under the lock, so a destructor that has run no longer gets called back.
    if (state->report) state->report(preview, error);
  }).detach();
  return preview;
}

void StationPreview::Stop() {
  HSTREAM stream;
  {
    std::lock_guard lock(state_->mutex);
    state_->current = 0;
    stream = state_->stream;
    state_->stream = 0;
  }
  // Returns at once, also while a callback of the stream runs.
  BASS_StreamFree(stream);
}

bool StationPreview::Active() const {
  std::lock_guard lock(state_->mutex);
  return state_->current != 0;
}

}  // namespace tw
