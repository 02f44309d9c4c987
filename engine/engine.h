// Tunewell's audio engine: the C API the player calls.
//
// Handles are 32-bit and 0 means "none" or "failed". Every call sets the calling
// thread's error code (BASS_ErrorGetCode), so errors of one thread never leak into
// another. Texts handed out by the engine (device names, later tags) are
// NUL-terminated 8-bit strings owned by the engine.
#ifndef TUNEWELL_ENGINE_ENGINE_H
#define TUNEWELL_ENGINE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
typedef DWORD HSTREAM;
typedef DWORD HPLUGIN;

#define BASSVERSION 0x204

// Error codes (the README lists them for users, who see them in error boxes).
#define BASS_OK 0
#define BASS_ERROR_MEM 1      // out of memory
#define BASS_ERROR_FILEOPEN 2 // the file, URL or plug-in could not be opened
#define BASS_ERROR_DRIVER 3   // the output device could not be opened
#define BASS_ERROR_HANDLE 4   // not a live handle
#define BASS_ERROR_INIT 5     // BASS_Init has not been called
#define BASS_ERROR_ALREADY 6  // already initialised
#define BASS_ERROR_ILLPARAM 7 // a parameter is invalid
#define BASS_ERROR_DEVICE 8   // no such device
#define BASS_ERROR_NOTAVAIL 9 // the requested data is not available
#define BASS_ERROR_UNKNOWN -1 // anything else

// BASS_SetConfig / BASS_SetConfigPtr options.
#define BASS_CONFIG_BUFFER 0      // playback buffer length, milliseconds
#define BASS_CONFIG_FLOATDSP 9    // DSP in floating point
#define BASS_CONFIG_NET_PREBUF 15 // network pre-buffer, percent
#define BASS_CONFIG_NET_PROXY 17  // proxy "host:port", or null for none
#define BASS_CONFIG_NET_PLAYLIST 21

// BASS_Init flags.
#define BASS_DEVICE_3D 4

// BASS_DEVICEINFO flags.
#define BASS_DEVICE_ENABLED 1
#define BASS_DEVICE_DEFAULT 2
#define BASS_DEVICE_INIT 4

// Stream creation flags.
#define BASS_UNICODE 0x80000000u
#define BASS_STREAM_STATUS 0x800000u
#define BASS_STREAM_AUTOFREE 0x40000u
#define BASS_STREAM_BLOCK 0x100000u

// Tag types.
#define BASS_TAG_OGG 2
#define BASS_TAG_HTTP 3
#define BASS_TAG_ICY 4
#define BASS_TAG_META 5
#define BASS_TAG_HLS_EXTINF 0x14000

// Sync types.
#define BASS_SYNC_END 2
#define BASS_SYNC_META 4
#define BASS_SYNC_STALL 6
#define BASS_SYNC_OGG_CHANGE 12
#define BASS_SYNC_HLS_SEGMENT 0x10300

// Channel states.
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 3

#define BASS_ATTRIB_VOL 2
#define BASS_FILEPOS_BUFFERING 9

typedef struct BASS_DEVICEINFO {
  const char* name;   // UTF-8, owned by the engine, valid until the process ends
  const char* driver; // the output backend's own identifier, or "" for "No sound"
  DWORD flags;        // BASS_DEVICE_ENABLED, _DEFAULT, _INIT
} BASS_DEVICEINFO;

// Versions: high 16 bits are major.minor (0x0204), low 16 bits the build.
DWORD BASS_GetVersion(void);
DWORD BASS_FX_GetVersion(void);

int BASS_ErrorGetCode(void);

BOOL BASS_SetConfig(DWORD option, DWORD value);
DWORD BASS_GetConfig(DWORD option);
BOOL BASS_SetConfigPtr(DWORD option, const void* value);

// Devices: 0 is the system's default output (-1 means the same), then one index
// for each output the system lists, then "No sound", a silent output that still
// consumes audio in real time.
BOOL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info);
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
BOOL BASS_Free(void);
DWORD BASS_GetDevice(void);

// Format plug-ins: the formats are built in, so loading one of the known plug-in
// names succeeds and loads nothing; any other name fails with BASS_ERROR_FILEOPEN.
// With BASS_UNICODE in flags the name is UTF-16, else 8-bit.
HPLUGIN BASS_PluginLoad(const void* file, DWORD flags);

#ifdef __cplusplus
}
#endif

#endif
