// Saving a kept title (song_export.cpp): its bytes demuxed from memory with FFmpeg and their
// packets written, as they are, into a file of the stream's own codec (no
// re-encoding), tagged, under a name made from the title that never replaces
// a file. Runs on the caller's thread, reading only a snapshot.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/recent_audio.h"

namespace tw::engine {

struct SongSaveResult {
  int error = 0;     // BASS_OK, or BASS_ERROR_NOTAVAIL, _FILEOPEN, _FILEFORM, _MEM
  std::string text;  // the file's path (UTF-8) on success, else a message for the user
};

// Saves kept.titles[index] into folder (created when missing). station may be
// empty.
SongSaveResult SaveKeptTitle(const KeptAudio& kept, std::size_t index,
                             const std::filesystem::path& folder, std::string_view station);

}  // namespace tw::engine
