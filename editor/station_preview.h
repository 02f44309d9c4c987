// "Listen" in the station finder: one found station played through the engine,
// on the device the player uses, beside whatever the player itself does. The
// connect runs on a thread of its own, since the engine's create blocks until
// the stream plays or fails; the UI thread never waits for it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tw {

class StationPreview {
 public:
  // Called on the connect's thread when a preview starts playing (error 0) or
  // fails (the engine's error code); never for a preview stopped meanwhile.
  using Report = std::function<void(int preview, int error)>;

  explicit StationPreview(Report report);
  // Stops the preview; a connect still running frees its stream when it ends.
  ~StationPreview();
  StationPreview(const StationPreview&) = delete;
  StationPreview& operator=(const StationPreview&) = delete;

  // Stops any preview and starts this one at the volume (0 to 1); returns its number.
  int Start(const std::string& url, float volume);
  void Stop();
  // A preview connects or plays.
  bool Active() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tw
