// Playback state and the connect worker: what runs between the Play button and
// sound. The worker and the engine callbacks never touch widgets; they reach the
// window only through tw::SendRadioStatus and the monitor timer calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/engine.h"

namespace tw {

// The stream being played or last played; 0 before the first connect and after a
// failed one. Published under StreamLock, read whole anywhere.
extern std::atomic<HSTREAM> CurrentStream;
// Number of the newest connect; each worker takes the next value under StreamLock.
extern std::atomic<int32_t> RequestNumber;
// Set when Play starts a worker; cleared by a worker whose request is still the
// newest, as its last step.
extern std::atomic<bool> ConnectInProgress;
extern std::mutex StreamLock;

// Starts a ConnectWorker thread with its own copy of url (UTF-8).
void StartConnectWorker(std::string url);
// The worker's body (exposed for tests).
void ConnectWorker(std::string url);

// Engine callbacks.
void StatusProc(const void* buffer, DWORD length, void* user);
void MetaSync(HSYNC handle, DWORD channel, DWORD data, void* user);
void StallSync(HSYNC handle, DWORD channel, DWORD data, void* user);
void EndSync(HSYNC handle, DWORD channel, DWORD data, void* user);

// Reads CurrentStream's headers and sends the station name and bit rate. False
// when the headers name no station.
bool SendHeaderWalk();
void UpdateTitle();

}  // namespace tw
