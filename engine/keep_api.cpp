// The calls of engine_keep.h: snapshots of a stream's kept audio, by handle.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "engine/engine_keep.h"
#include "engine/internal.h"
#include "engine/song_export.h"
#include "engine/stream_table.h"
#include "platform/song_file.h"

namespace tw::engine {

namespace {

std::mutex g_keptMutex;
// Handles are never reused, as stream handles are not.
HKEPT g_nextKept = 1;  // guarded by g_keptMutex
std::map<HKEPT, std::shared_ptr<const KeptAudio>>& Snapshots() {
  static auto* snapshots = new std::map<HKEPT, std::shared_ptr<const KeptAudio>>;
  return *snapshots;
}

std::shared_ptr<const KeptAudio> FindKept(HKEPT kept) {
  std::lock_guard lock(g_keptMutex);
  const auto found = Snapshots().find(kept);
  return found == Snapshots().end() ? nullptr : found->second;
}

void CopyText(const std::string& text, char* out, DWORD size) {
  if (!out || size == 0) return;
  const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

}  // namespace tw::engine

using namespace tw::engine;

extern "C" {

HKEPT BASS_KeptTake(HSTREAM handle) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  std::shared_ptr<const KeptAudio> snapshot = stream->kept.Snapshot();
  std::lock_guard lock(g_keptMutex);
  const HKEPT kept = g_nextKept++;
  Snapshots().emplace(kept, std::move(snapshot));
  SetError(BASS_OK);
  return kept;
}

DWORD BASS_KeptCount(HKEPT kept) {
  const auto snapshot = FindKept(kept);
  if (!snapshot) return Fail(BASS_ERROR_HANDLE);
  SetError(BASS_OK);
  return static_cast<DWORD>(snapshot->titles.size());
}

BOOL BASS_KeptGetInfo(HKEPT kept, DWORD index, BASS_KEPTINFO* info) {
  const auto snapshot = FindKept(kept);
  if (!snapshot) return Fail(BASS_ERROR_HANDLE);
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  if (index >= snapshot->titles.size()) return Fail(BASS_ERROR_NOTAVAIL);
  const KeptTitle& title = snapshot->titles[index];
  info->id = title.id;
  info->title = title.title.c_str();  // the snapshot is immutable and lives until freed
  info->start = title.start;
  info->end = title.end;
  info->startTime = static_cast<QWORD>(title.startMillis);
  info->endTime = static_cast<QWORD>(title.endMillis);
  info->flags = (title.cut ? BASS_KEPT_CUT : 0) | (title.open ? BASS_KEPT_OPEN : 0);
  return Succeed();
}

BOOL BASS_KeptSave(HKEPT kept, DWORD index, const char* folder, const char* station, char* result,
                   DWORD resultSize) {
  CopyText("", result, resultSize);
  const auto snapshot = FindKept(kept);
  if (!snapshot) {
    CopyText("This song is no longer kept.", result, resultSize);
    return Fail(BASS_ERROR_HANDLE);
  }
  const std::filesystem::path target =
      folder && *folder ? std::filesystem::path(folder) : tw::SongsFolder();
  // The current directory is never where files go.
  if (!target.is_absolute()) {
    CopyText(target.empty() ? "There is no music folder to save songs in (no home folder)."
                            : "The folder for saved songs is not an absolute path.",
             result, resultSize);
    return Fail(BASS_ERROR_ILLPARAM);
  }
  const SongSaveResult saved = SaveKeptTitle(*snapshot, index, target, station ? station : "");
  CopyText(saved.text, result, resultSize);
  if (saved.error != BASS_OK) return Fail(saved.error);
  return Succeed();
}

BOOL BASS_KeptFree(HKEPT kept) {
  std::shared_ptr<const KeptAudio> released;
  {
    std::lock_guard lock(g_keptMutex);
    const auto found = Snapshots().find(kept);
    if (found == Snapshots().end()) return Fail(BASS_ERROR_HANDLE);
    released = std::move(found->second);
    Snapshots().erase(found);
  }
  return Succeed();  // the bytes go outside the lock, with `released`
}

}  // extern "C"
