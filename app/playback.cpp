#include "app/playback.h"

#include <cstring>
#include <optional>
#include <thread>

#include "app/metadata.h"
#include "app/radio_status.h"
#include "app/status_display.h"
#include "platform/text.h"
#include "platform/text_codec.h"

namespace tw {

std::atomic<HSTREAM> CurrentStream{0};
std::atomic<int32_t> RequestNumber{0};
std::atomic<bool> ConnectInProgress{false};
std::mutex StreamLock;

namespace {

constexpr DWORD kCreateFlags =
    BASS_UNICODE | BASS_STREAM_STATUS | BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE;

void SendText(int code, const std::string& text) {
  SendRadioStatus(code, reinterpret_cast<intptr_t>(text.c_str()));
}

}  // namespace

void StartConnectWorker(std::string url) {
  ConnectInProgress = true;
  std::thread(ConnectWorker, std::move(url)).detach();
}

void ConnectWorker(std::string url) {
  int32_t request;
  {
    std::lock_guard lock(StreamLock);
    request = ++RequestNumber;
  }
  StopMonitorTimer();
  BASS_StreamFree(CurrentStream);
  SendRadioStatus(kStatusConnecting, 0);

  const std::u16string wide = Utf8ToUtf16(url);
  const HSTREAM created =
      BASS_StreamCreateURL(wide.c_str(), 0, kCreateFlags, StatusProc,
                           reinterpret_cast<void*>(static_cast<intptr_t>(request)));
  const int createError = BASS_ErrorGetCode();
  {
    std::unique_lock lock(StreamLock);
    if (request != RequestNumber) {
      // A newer connect has started: this one frees its own stream and leaves
      // everything else to the newer one.
      lock.unlock();
      if (created) BASS_StreamFree(created);
      return;
    }
    CurrentStream = created;
  }
  if (created == 0) {
    SendRadioStatus(kStatusNotPlaying, createError);
  } else {
    StartMonitorTimer(25);
  }
  BASS_ChannelSetSync(created, BASS_SYNC_META, 0, MetaSync, nullptr);
  BASS_ChannelSetSync(created, BASS_SYNC_OGG_CHANGE, 0, MetaSync, nullptr);
  BASS_ChannelSetSync(created, BASS_SYNC_HLS_SEGMENT, 0, MetaSync, nullptr);
  BASS_ChannelSetSync(created, BASS_SYNC_STALL, 0, StallSync, nullptr);
  BASS_ChannelSetSync(created, BASS_SYNC_END, 0, EndSync, nullptr);
  BASS_ChannelPlay(created, 0);
  ConnectInProgress = false;
}

void StatusProc(const void* buffer, DWORD length, void* user) {
  // Header lines of the newest request only; audio data is not shown.
  if (buffer && length == 0 &&
      static_cast<int32_t>(reinterpret_cast<intptr_t>(user)) == RequestNumber.load()) {
    SendRadioStatus(kStatusServerLine, reinterpret_cast<intptr_t>(buffer));
  }
}

void MetaSync(HSYNC, DWORD, DWORD, void*) { UpdateTitle(); }

void StallSync(HSYNC, DWORD, DWORD data, void*) {
  if (data == 0) StartMonitorTimer(50);
}

void EndSync(HSYNC, DWORD, DWORD, void*) {
  StopMonitorTimer();
  SendRadioStatus(kStatusNotPlaying, 0);
}

bool SendHeaderWalk() {
  const HSTREAM stream = CurrentStream;
  const char* headers = BASS_ChannelGetTags(stream, BASS_TAG_ICY);
  if (!headers) headers = BASS_ChannelGetTags(stream, BASS_TAG_HTTP);
  bool named = false;
  for (const StatusSend& send : HeaderWalk(headers)) {
    SendText(send.code, send.text);
    named = named || send.code == kStatusStationName;
  }
  return named;
}

void UpdateTitle() {
  const HSTREAM stream = CurrentStream;
  // Copies first: the engine may replace its tags while the sends wait.
  auto copy = [](const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
  };
  const char* metaText = BASS_ChannelGetTags(stream, BASS_TAG_META);
  std::optional<std::string> meta = copy(metaText);
  std::optional<std::string> ogg;
  if (!meta) {
    // A list: keep it whole, up to its closing empty string.
    if (const char* list = BASS_ChannelGetTags(stream, BASS_TAG_OGG)) {
      ogg = std::string(list, ListBytes(list));
    }
  }
  std::optional<std::string> extinf = copy(BASS_ChannelGetTags(stream, BASS_TAG_HLS_EXTINF));
  for (const std::string& title :
       TitleSends(meta ? meta->c_str() : nullptr, ogg ? ogg->data() : nullptr,
                  extinf ? extinf->c_str() : nullptr)) {
    SendText(kStatusTitle, title);
  }
}

}  // namespace tw
