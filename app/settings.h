// The settings file "radio_config.cfg", section MAIN: read once at start, written
// once when the main window closes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/ini_file.h"

namespace tw {

inline constexpr const char* kSettingsFileName = "radio_config.cfg";

struct StoredSettings {
  bool noHint = false;         // "No hint in the tray"
  bool startTray = false;      // "Start in system tray"
  bool playLast = false;       // "Play last sender" box
  uint8_t autoPlayFlag = 0;    // low 8 bits of PlayLast: start-up plays when 1
  uint8_t startupVolume = 48;  // low 8 bits of VOLUME
  int32_t last = 1;            // station row; -1 is read as 0
  int32_t device = 0;          // engine device; -1 selects the first row
  int VolumeBarPosition() const { return startupVolume > 100 ? 100 : startupVolume; }
};

// Missing file, keys or numbers give the defaults above.
StoredSettings ReadSettings(const IniFile& file);

struct SettingsToWrite {
  int volume = 48;
  int last = -1;    // -1: no row selected
  int device = -1;  // -1: no row selected
  bool startTray = false;
  bool playLast = false;
  bool noHint = false;
};

// Writes the keys into the file, keeping everything else in it. On failure the
// file stays as it was and *error names it.
bool WriteSettings(const std::filesystem::path& file, const SettingsToWrite& settings,
                   std::string* error);

}  // namespace tw
