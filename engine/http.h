// One HTTP or HTTPS GET through libcurl, on the calling thread (http.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

struct HttpHandlers {
  // Each header line of each response (redirects included), status line first,
  // without its line end; "" ends a response's headers.
  std::function<bool(std::string_view line)> header;
  // Body data of the final response. Returning false stops the transfer.
  std::function<bool(std::string_view data)> body;
  // Called about once a second and whenever data comes: BASS_OK to go on, or
  // the error to stop the transfer with (a caller's own time limit).
  std::function<int()> tick;
};

inline constexpr long kHeaderGraceMs = 5000;

struct HttpResult {
  int error = 0;  // BASS_OK or a BASS_ERROR_ code
  long status = 0;
  std::string finalUrl;
  int64_t contentLength = -1;  // of the final response's body; -1 when it did not say
  bool resumeRefused = false;  // asked for the rest of a body, the server sent it all
  // Nothing came back from the server: no address (DNS failed), no route, or
  // the connect timed out unanswered. What a network that is down looks like,
  // as opposed to a server that refused, reset or closed.
  bool noAnswer = false;
};

// "Name: value" -> value, blanks after the colon removed, when the line's name
// is `name` (lower case) in any case.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name);

// The header lines of the latest response of a transfer (a redirect's
// response is replaced by the next one), and what the engine reads from them.
struct ResponseHead {
  std::vector<std::string> lines;  // status line first, without line ends
  bool icy = false;                // an "ICY 200 OK" status line
  std::string contentType;         // lower case; "" when none was sent

  // One line as HttpHandlers::header gets it.
  void Add(std::string_view line);
  // The value of the last header of that name (lower case), if any.
  std::optional<std::string_view> Value(std::string_view name) const;
};

// Follows up to 10 redirects, http and https only, certificates checked, asks
// for ICY metadata. Every phase is bounded in time: a response's headers must
// be complete within the connect time-out plus kHeaderGraceMs (however slowly
// a server trickles them), and once they are, a pause in the data longer than
// the read time-out ends the transfer (BASS_ERROR_TIMEOUT both). Stops early when *cancel becomes
// true (error BASS_ERROR_HANDLE) or a handler returns false (error limitError). resumeFrom > 0 asks
// for the body from that byte on; a server that cannot is an error.
// connectTimeoutMs > 0 replaces the configured connect time-out.
HttpResult HttpGet(const std::string& url, const HttpHandlers& handlers,
                   const std::atomic<bool>& cancel, int limitError, int64_t resumeFrom = 0,
                   long connectTimeoutMs = 0);

}  // namespace tw::engine
