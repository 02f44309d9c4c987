#include "app/status_display.h"

#include <cstddef>

#include "engine/engine.h"
#include "platform/text.h"
#include "platform/text_codec.h"

namespace tw {

namespace {

std::string_view TextValue(intptr_t value) {
  const char* text = reinterpret_cast<const char*>(value);
  return text ? std::string_view(text) : std::string_view();
}

}  // namespace

std::string StationNameText(std::string_view name) {
  // Servers send names as UTF-8 or as 8-bit text; one decoding serves both the
  // search and the result, so a UTF-8 name before "Import" stays readable.
  std::string decoded = EngineTextToUtf8(name);
  std::size_t found = decoded.find("Import");
  if (found == std::string::npos) return decoded;
  // 1-based position p keeps p - 2 characters: the blank before "Import" goes too.
  std::size_t position = Utf8Length(std::string_view(decoded).substr(0, found)) + 1;
  if (position < 2) return {};
  return std::string(Utf8Prefix(decoded, position - 2));
}

std::string BufferingText(int32_t percent) {
  return "buffering... " + std::to_string(percent) + "%";
}

int32_t BufferingPercent(uint64_t reading) {
  // Unsigned, so that no reading overflows; the result is taken modulo 2^32.
  return static_cast<int32_t>(100u - static_cast<uint32_t>(reading & 0xFFFFFFFF));
}

bool IsReconnecting(uint32_t active, uint64_t connected) {
  return active == BASS_ACTIVE_STALLED && connected == 0;
}

StatusUpdate StatusUpdateFor(int code, intptr_t value) {
  StatusUpdate update;
  switch (code) {
    case kStatusConnecting:
      update.state = "connecting...";
      update.title = "";
      update.bottom = "";
      break;
    case kStatusNotPlaying:
      update.state = "not playing";
      update.showPlayError = true;
      break;
    case kStatusBuffering:
      update.state = BufferingText(static_cast<int32_t>(value));
      break;
    case kStatusStationName:
      update.state = StationNameText(TextValue(value));
      break;
    case kStatusBitRate:
      update.bottom = EngineTextToUtf8(TextValue(value));
      break;
    case kStatusTitle:
      update.title = EngineTextToUtf8(TextValue(value));
      break;
    case kStatusServerLine:
      update.bottom = EngineTextToUtf8(TextValue(value));
      break;
    case kStatusReconnecting:
      update.state = "reconnecting...";
      break;
    default:
      break;
  }
  return update;
}

}  // namespace tw
