#include "app/settings.h"

namespace tw {

namespace {
constexpr const char* kMain = "MAIN";
}

StoredSettings ReadSettings(const IniFile& file) {
  StoredSettings s;
  s.noHint = file.ReadInteger(kMain, "NOHINT", 0) != 0;
  s.startTray = file.ReadInteger(kMain, "StartTray", 0) != 0;
  s.playLast = file.ReadInteger(kMain, "PlayLast", 0) != 0;
  // Read again as a number: 257 auto-plays, 2 only ticks the box.
  s.autoPlayFlag = static_cast<uint8_t>(file.ReadInteger(kMain, "PlayLast", 0) & 0xFF);
  s.startupVolume = static_cast<uint8_t>(file.ReadInteger(kMain, "VOLUME", 48) & 0xFF);
  s.last = file.ReadInteger(kMain, "LAST", 1);
  if (s.last == -1) s.last = 0;
  s.device = file.ReadInteger(kMain, "Device", 0);
  return s;
}

bool WriteSettings(const std::filesystem::path& path, const SettingsToWrite& settings,
                   std::string* error) {
  IniFile file(path);
  if (!file.error().empty()) {
    // Saving over a file we could not read would drop whatever else it holds.
    *error = file.error();
    return false;
  }
  file.WriteString(kMain, "VOLUME", std::to_string(settings.volume));
  file.WriteString(kMain, "LAST", std::to_string(settings.last));
  file.WriteString(kMain, "Device", std::to_string(settings.device));
  file.WriteString(kMain, "StartTray", settings.startTray ? "1" : "0");
  file.WriteString(kMain, "Playlast", settings.playLast ? "1" : "0");
  file.WriteString(kMain, "NoHint", settings.noHint ? "1" : "0");
  return file.Save(error);
}

}  // namespace tw
