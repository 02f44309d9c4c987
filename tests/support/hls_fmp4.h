// HLS with fragmented MP4 segments as FFmpeg's own HLS muxer writes them (the
// ffmpeg tool with -hls_segment_type fmp4), made at run time for tests and
// benchmarks: nothing binary is kept in the tree.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tw::test {

struct Fmp4Rendition {
  std::vector<std::string> lines;            // the media playlist, line by line
  std::map<std::string, std::string> files;  // init and media segments by file name
};

// A stereo tone of amplitude 0.5 at `rate`, AAC LC at 128 kbps, cut into
// one-second segments (a VOD list). File names start with `prefix`, so that
// two renditions can be served side by side. Empty when the tool failed.
Fmp4Rendition MakeFmp4Hls(double hz, int rate, double seconds, const std::string& prefix);

}  // namespace tw::test
