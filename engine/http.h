// One HTTP or HTTPS GET through libcurl, on the calling thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace tw::engine {

struct HttpHandlers {
  // Each header line of each response (redirects included), status line first,
  // without its line end; "" ends a response's headers.
  std::function<bool(std::string_view line)> header;
  // Body data of the final response. Returning false stops the transfer.
  std::function<bool(std::string_view data)> body;
};

struct HttpResult {
  int error = 0;  // BASS_OK or a BASS_ERROR_ code
  long status = 0;
  std::string contentType;
  std::string finalUrl;
};

// Follows up to 10 redirects, http and https only, certificates checked, asks
// for ICY metadata. Stops early when *cancel becomes true (error BASS_ERROR_HANDLE)
// or a handler returns false (error limitError).
HttpResult HttpGet(const std::string& url, const HttpHandlers& handlers,
                   const std::atomic<bool>& cancel, int limitError);

// Process-wide libcurl set-up; cheap after the first call.
void EnsureCurl();

}  // namespace tw::engine
