// Beyond the described calls (keep_api.cpp): the last minutes of a station,
// kept so that a song just heard can be saved.
//
// While a stream plays, the engine keeps its newest compressed audio as it
// arrived (about ten minutes, at most 32 MB) and where each title began.
// BASS_KeptTake copies the list of what is kept into a snapshot that shares
// the bytes (a few pointer copies under a short lock: any thread, also a sync
// callback, never waits on the network or the output). A snapshot stays valid
// after its stream is freed, until BASS_KeptFree; saving reads only the
// snapshot, on the caller's thread, and takes up to a few hundred
// milliseconds: call it from a worker thread, never the UI thread.
//
// Errors as everywhere in the engine: BASS_ErrorGetCode on the calling thread.
#ifndef TUNEWELL_ENGINE_ENGINE_KEEP_H
#define TUNEWELL_ENGINE_ENGINE_KEEP_H

#include "engine/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD HKEPT;

// BASS_KEPTINFO flags.
// The title's start is not kept: it began before the station was tuned in, or
// its first bytes were evicted. Offer it as "from HH:MM:SS" (startTime).
#define BASS_KEPT_CUT 1
// No later title has begun: the song still plays, and its end is the newest
// byte kept when the snapshot was taken.
#define BASS_KEPT_OPEN 2

typedef struct BASS_KEPTINFO {
  DWORD id;           // the title's number in its stream: 1 for the first, counting on
  const char* title;  // 8-bit text as the panel shows it; valid until BASS_KeptFree
  QWORD start;        // byte positions of the kept span in the stream's audio;
  QWORD end;          // end exclusive
  QWORD startTime;    // when the span's first kept byte arrived, ms since 1970 UTC
  QWORD endTime;      // when its last byte arrived (the next title's start)
  DWORD flags;        // BASS_KEPT_CUT, BASS_KEPT_OPEN
} BASS_KEPTINFO;

// A snapshot of what the stream keeps now; 0 on error (BASS_ERROR_HANDLE for a
// stale or 0 handle, BASS_ERROR_MEM).
HKEPT BASS_KeptTake(HSTREAM handle);
// Titles in the snapshot, oldest first (0 with BASS_ERROR_HANDLE for a bad one).
DWORD BASS_KeptCount(HKEPT kept);
// The index-th title (0 = oldest). BASS_ERROR_NOTAVAIL past the end.
BOOL BASS_KeptGetInfo(HKEPT kept, DWORD index, BASS_KEPTINFO* info);
// Writes the index-th title's kept span, without re-encoding, into a new file
// in `folder` (UTF-8, absolute; null: the user's music folder's "Tunewell"
// folder), created with its parents when missing. The file is named after the
// title ("Title.mp3", "Title (2).mp3" when that exists: nothing is ever
// replaced), tagged with the title (and the artist when it reads "Artist -
// Title") and `station` (UTF-8 or 8-bit; may be null) as its album, and
// appears under its name only once complete. On success `result` gets the
// file's full path (UTF-8); on failure a message for the user naming what went
// wrong, and the error code is BASS_ERROR_NOTAVAIL (no such title),
// BASS_ERROR_FILEOPEN (the folder or file could not be written: read-only,
// missing, full), BASS_ERROR_FILEFORM (the span cannot be saved as it is: an
// unknown codec, or the stream changed format within it), BASS_ERROR_ILLPARAM
// (a relative folder), BASS_ERROR_HANDLE (a freed or unknown snapshot). result
// may be null; it is always NUL-terminated when resultSize > 0. Runs on the
// caller's thread for up to a few hundred milliseconds: a worker's.
BOOL BASS_KeptSave(HKEPT kept, DWORD index, const char* folder, const char* station, char* result,
                   DWORD resultSize);
// Releases the snapshot (and the bytes only it still holds).
BOOL BASS_KeptFree(HKEPT kept);

#ifdef __cplusplus
}
#endif

#endif
