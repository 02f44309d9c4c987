// The stream table: every live stream by its handle (stream_table.cpp).
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

}  // namespace tw::engine
