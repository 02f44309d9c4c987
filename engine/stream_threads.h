// The entry points of each stream's two threads (net_source.cpp, decoder.cpp)
// and the network thread's HLS loop (hls_source.cpp).
#pragma once

#include <memory>
#include <string>

#include "engine/stream.h"

namespace tw::engine {

// Thread bodies.
void RunNetwork(std::shared_ptr<Stream> stream);
void RunDecoder(std::shared_ptr<Stream> stream);

// Network thread: plays the HLS playlist `text` fetched from url. Returns as Play
// in net_source.cpp does; *gotAudio tells whether any audio was queued.
int PlayHls(Stream& stream, std::string text, std::string url, bool* gotAudio);

}  // namespace tw::engine
