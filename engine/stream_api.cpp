// The per-stream calls of the C API.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

#include "engine/engine.h"
#include "engine/internal.h"
#include "engine/playlists.h"
#include "engine/stream_table.h"
#include "engine/stream_threads.h"
#include "platform/text_codec.h"

using namespace tw::engine;

namespace {

std::string UrlText(const void* url, DWORD flags) {
  if (!(flags & BASS_UNICODE)) return static_cast<const char*>(url);
  const auto* text = static_cast<const char16_t*>(url);
  std::size_t length = 0;
  while (text[length]) ++length;
  return tw::Utf16ToUtf8(std::u16string_view(text, length));
}

bool IsSyncType(DWORD type) {
  switch (type) {
    case BASS_SYNC_END:
    case BASS_SYNC_META:
    case BASS_SYNC_STALL:
    case BASS_SYNC_OGG_CHANGE:
    case BASS_SYNC_HLS_SEGMENT:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" HSTREAM BASS_StreamCreateURL(const void* url, DWORD offset, DWORD flags,
                                        DOWNLOADPROC* proc, void* user) {
  if (!url || offset != 0) return Fail(BASS_ERROR_ILLPARAM);
  const int freq = OutputFreq();
  if (freq == 0) return Fail(BASS_ERROR_INIT);
  try {
    std::string address = UrlText(url, flags);
    if (!IsAllowedScheme(address)) return Fail(BASS_ERROR_PROTOCOL);
    std::shared_ptr<Stream> stream = CreateStreamEntry(
        std::move(address), flags, (flags & BASS_STREAM_STATUS) ? proc : nullptr, user, freq);
    stream->StartCallbacks(stream);
    std::thread(RunNetwork, stream).detach();
    std::thread(RunDecoder, stream).detach();

    int error;
    {
      std::unique_lock lock(stream->mutex);
      stream->changed.wait(lock, [&] { return stream->settled; });
      error = stream->createError;
    }
    if (error != BASS_OK) {
      FreeStream(stream->handle);
      return Fail(error);
    }
    Phase connecting = Phase::kConnecting;
    stream->phase.compare_exchange_strong(connecting, Phase::kReady);
    SetError(BASS_OK);
    return stream->handle;
  } catch (const std::bad_alloc&) {
    return Fail(BASS_ERROR_MEM);
  } catch (const std::exception&) {
    return Fail(BASS_ERROR_UNKNOWN);
  }
}

extern "C" BOOL BASS_StreamFree(HSTREAM handle) {
  return FreeStream(handle) ? Succeed() : Fail(BASS_ERROR_HANDLE);
}

extern "C" BOOL BASS_NetReconnectNow(void) {
  if (OutputFreq() == 0) return Fail(BASS_ERROR_INIT);
  for (const std::shared_ptr<Stream>& stream : AllStreams()) stream->network.Nudge();
  return Succeed();
}

extern "C" BOOL BASS_ChannelPlay(DWORD handle, BOOL /*restart*/) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  Phase ready = Phase::kReady;
  if (!stream->phase.compare_exchange_strong(ready, Phase::kPlaying)) {
    // Already playing or stalled: nothing to do. Ended: nothing to play.
    return stream->phase.load() == Phase::kEnded ? Fail(BASS_ERROR_ENDED) : Succeed();
  }
  if (!AttachToOutput(stream.get())) return Fail(BASS_ERROR_INIT);
  return Succeed();
}

extern "C" DWORD BASS_ChannelIsActive(DWORD handle) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return BASS_ACTIVE_STOPPED;
  }
  SetError(BASS_OK);
  switch (stream->phase.load()) {
    case Phase::kPlaying:
      return BASS_ACTIVE_PLAYING;
    case Phase::kStalled:
      return BASS_ACTIVE_STALLED;
    default:
      return BASS_ACTIVE_STOPPED;
  }
}

extern "C" const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return nullptr;
  }
  const char* text = stream->Tag(tags);
  SetError(text ? BASS_OK : BASS_ERROR_NOTAVAIL);
  return text;
}

extern "C" QWORD BASS_StreamGetFilePosition(DWORD handle, DWORD mode) {
  constexpr QWORD kError = ~QWORD{0};
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return kError;
  }
  if (mode == BASS_FILEPOS_CONNECTED) {
    SetError(BASS_OK);
    return stream->phase.load() != Phase::kEnded && stream->Connected() ? 1 : 0;
  }
  if (mode != BASS_FILEPOS_BUFFERING) {
    SetError(BASS_ERROR_NOTAVAIL);
    return kError;
  }
  SetError(BASS_OK);
  const Phase phase = stream->phase.load();
  if (phase == Phase::kPlaying || phase == Phase::kEnded) return 0;
  // Still to buffer before playback (re)starts, in percent.
  const std::size_t needed = std::max<std::size_t>(stream->restartFrames.load(), 1);
  const std::size_t have = std::min(stream->pcm.available(), needed);
  return static_cast<QWORD>(100 - have * 100 / needed);
}

extern "C" DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return static_cast<DWORD>(-1);
  }
  if (!buffer) {
    SetError(BASS_ERROR_ILLPARAM);
    return static_cast<DWORD>(-1);
  }
  std::array<int16_t, PlayedHistory::kSamples> samples;
  stream->history.CopyAsInt16(samples);
  // The most recent frames: a shorter request gets the newest part.
  const DWORD bytes = std::min<DWORD>(length, sizeof samples);
  const auto* source = reinterpret_cast<const char*>(samples.data()) + (sizeof samples - bytes);
  std::memcpy(buffer, source, bytes);
  SetError(BASS_OK);
  return bytes;
}

extern "C" BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  if (attrib != BASS_ATTRIB_VOL || std::isnan(value)) return Fail(BASS_ERROR_ILLPARAM);
  stream->volume.store(std::clamp(value, 0.0f, 1.0f));
  return Succeed();
}

extern "C" BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  if (attrib != BASS_ATTRIB_VOL || !value) return Fail(BASS_ERROR_ILLPARAM);
  *value = stream->volume.load();
  return Succeed();
}

extern "C" HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD /*param*/, SYNCPROC* proc,
                                     void* user) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  if (!proc || !IsSyncType(type)) return Fail(BASS_ERROR_ILLPARAM);
  HSYNC sync = stream->AddSync(type, proc, user);
  SetError(BASS_OK);
  return sync;
}

extern "C" BOOL BASS_ChannelSetDevice(DWORD handle, DWORD device) {
  std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  // The engine plays on one device at a time: the stream moves there, and with
  // it whatever else plays.
  const int error = SwitchOutput(static_cast<int>(device));
  return error == BASS_OK ? Succeed() : Fail(error);
}
