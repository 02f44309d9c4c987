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
#define BASS_ERROR_MEM 1        // out of memory
#define BASS_ERROR_FILEOPEN 2   // the file, URL or plug-in could not be opened
#define BASS_ERROR_DRIVER 3     // the output device could not be opened
#define BASS_ERROR_HANDLE 4     // not a live handle
#define BASS_ERROR_INIT 5       // BASS_Init has not been called
#define BASS_ERROR_ALREADY 6    // already initialised
#define BASS_ERROR_ILLPARAM 7   // a parameter is invalid
#define BASS_ERROR_DEVICE 8     // no such device
#define BASS_ERROR_NOTAVAIL 9   // the requested data is not available
#define BASS_ERROR_TIMEOUT 10   // the server did not answer or stopped sending in time
#define BASS_ERROR_FILEFORM 11  // not a stream the engine can play (HTML, junk, no audio)
#define BASS_ERROR_PROTOCOL 12  // the address scheme is not http or https
#define BASS_ERROR_SSL 13       // a secure connection failed (for example a bad certificate)
#define BASS_ERROR_HTTP 14      // the server answered with an HTTP error (404 and the like)
#define BASS_ERROR_LIMIT 15     // the server exceeded a limit (headers, playlist, redirects)
#define BASS_ERROR_ENDED 16     // the stream ended or the server closed it
#define BASS_ERROR_PLAYLIST 17  // no entry of the playlist could be played
#define BASS_ERROR_UNKNOWN -1   // anything else

// BASS_SetConfig / BASS_SetConfigPtr options.
#define BASS_CONFIG_BUFFER 0             // playback buffer length, milliseconds
#define BASS_CONFIG_FLOATDSP 9           // DSP in floating point
#define BASS_CONFIG_NET_PREBUF 15        // network pre-buffer, percent
#define BASS_CONFIG_NET_PROXY 17         // proxy "host:port", or null for none
#define BASS_CONFIG_NET_PLAYLIST 21      // 0: playlists are not followed; 1: they are
#define BASS_CONFIG_NET_TIMEOUT 100      // connect time-out, milliseconds (default 10000)
#define BASS_CONFIG_NET_READTIMEOUT 101  // give up after this long without data (default 20000)
// How long a live stream that lost its connection tries to reconnect, in
// milliseconds from the drop (default 30000; 0: never; at most an hour), or
// BASS_NET_RECONNECT_FOREVER: for as long as the stream is not freed.
#define BASS_CONFIG_NET_RECONNECT 102
#define BASS_NET_RECONNECT_FOREVER 0xFFFFFFFFu

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
// 1 while the stream's connection delivers audio (some came within the last
// second), 0 while it reconnects or its connection has gone silent.
#define BASS_FILEPOS_CONNECTED 4

typedef struct BASS_DEVICEINFO {
  const char* name;    // UTF-8, owned by the engine, valid until the process ends
  const char* driver;  // the output backend's own identifier, or "" for "No sound"
  DWORD flags;         // BASS_DEVICE_ENABLED, _DEFAULT, _INIT
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

// --- Streams -------------------------------------------------------------------
typedef DWORD HSYNC;
typedef DWORD HCHANNEL;

// Status callback of BASS_StreamCreateURL, called on the stream's network thread:
// each response header line (status line first) as NUL-terminated text with
// length 0, and each piece of downloaded data as (buffer, length).
typedef void DOWNLOADPROC(const void* buffer, DWORD length, void* user);
// Sync callback, called on the stream's own callback thread, never the output's.
typedef void SYNCPROC(HSYNC handle, DWORD channel, DWORD data, void* user);

// Opens an http or https URL (UTF-16 with BASS_UNICODE, else 8-bit) and blocks
// until the stream is ready to play or has failed. offset must be 0.
HSTREAM BASS_StreamCreateURL(const void* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc,
                             void* user);
BOOL BASS_StreamFree(HSTREAM handle);
QWORD BASS_StreamGetFilePosition(DWORD handle, DWORD mode);

// The network is back (or the computer woke up): every stream waiting to
// reconnect tries at once, skipping what is left of its back-off, and a stream
// whose connection brings nothing within a second of this call is reconnected
// rather than left to wait out the read time-out on a connection that may have
// died meanwhile. Any thread; returns at once.
BOOL BASS_NetReconnectNow(void);

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
DWORD BASS_ChannelIsActive(DWORD handle);
const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value);
BOOL BASS_ChannelSetDevice(DWORD handle, DWORD device);

// Format plug-ins: the formats are built in, so loading one of the known plug-in
// names succeeds and loads nothing; any other name fails with BASS_ERROR_FILEOPEN.
// With BASS_UNICODE in flags the name is UTF-16, else 8-bit.
HPLUGIN BASS_PluginLoad(const void* file, DWORD flags);

#ifdef __cplusplus
}
#endif

#endif
