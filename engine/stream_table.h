// The stream table and the stream threads' entry points.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/stream.h"

namespace tw::engine {

// Handles are never reused, so a stale handle never reaches a newer stream.
std::shared_ptr<Stream> CreateStreamEntry(std::string url, DWORD flags, DOWNLOADPROC* status,
                                          void* user, int freq);
std::shared_ptr<Stream> FindStream(DWORD handle);
// Every live stream (for BASS_Free).
std::vector<std::shared_ptr<Stream>> AllStreams();
// Removes the stream from the table and the output and kills it. False for a
// stale or 0 handle.
bool FreeStream(DWORD handle);

// Thread bodies.
void RunNetwork(std::shared_ptr<Stream> stream);
void RunDecoder(std::shared_ptr<Stream> stream);

// Network thread: plays the HLS playlist `text` fetched from url. Returns as Play
// in net_source.cpp does; *gotAudio tells whether any audio was queued.
int PlayHls(Stream& stream, std::string text, std::string url, bool* gotAudio);

}  // namespace tw::engine
