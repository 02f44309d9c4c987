#include "engine/http.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <mutex>

#include "engine/engine.h"
#include "engine/internal.h"
#include "platform/text.h"

namespace tw::engine {

namespace {

// A server may not send more header bytes than this per response.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

using Clock = std::chrono::steady_clock;

struct Transfer {
  const HttpHandlers* handlers;
  const std::atomic<bool>* cancel;
  Clock::time_point headersDue{};  // of the response being received
  Clock::duration connectTimeout{};
  Clock::duration readTimeout{};
  Clock::time_point lastData{};
  bool headersComplete = false;
  int stopError = 0;  // a time limit or the tick stopped the transfer
  std::size_t headerBytes = 0;
  bool stoppedByHandler = false;
  bool headerTooLarge = false;
  bool errorStatus = false;  // an ICY status line other than 2xx
  bool bodyStarted = false;
};

// "ICY 404 Resource Not Found" -> false. Shoutcast servers answer errors with
// ICY status lines, which curl takes for "200" (see the aliases below).
bool IcyStatusOk(std::string_view line) {
  line.remove_prefix(4);
  return line.size() >= 3 && line[0] == '2' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' &&
         line[2] <= '9';
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->headerBytes += bytes;
  if (t->headerBytes > kMaxHeaderBytes) {
    t->headerTooLarge = true;
    return 0;
  }
  std::string_view line(data, bytes);
  t->lastData = Clock::now();
  if (line.starts_with("HTTP/") || line.starts_with("ICY ")) {
    t->headerBytes = bytes;
    // A redirect's target gets its own time for its headers.
    if (t->headersComplete) t->headersDue = t->lastData + t->connectTimeout;
    t->headersComplete = false;
  }
  if (line == "\r\n" || line == "\n") t->headersComplete = true;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("ICY ") && !IcyStatusOk(line)) {
    t->errorStatus = true;
    return 0;
  }
  if (t->handlers->header && !t->handlers->header(line)) {
    t->stoppedByHandler = true;
    return 0;
  }
  return bytes;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  t->bodyStarted = true;
  t->headersComplete = true;
  t->lastData = Clock::now();
  if (t->cancel->load()) return 0;
  if (t->handlers->body && !t->handlers->body(std::string_view(data, bytes))) {
    t->stoppedByHandler = true;
    return 0;
  }
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->cancel->load()) return 1;
  const Clock::time_point now = Clock::now();
  if (t->headersComplete ? now - t->lastData > t->readTimeout : now > t->headersDue) {
    t->stopError = BASS_ERROR_TIMEOUT;
    return 1;
  }
  if (t->handlers->tick) t->stopError = t->handlers->tick();
  return t->stopError != BASS_OK ? 1 : 0;
}

int MapCurlError(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return BASS_OK;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return BASS_ERROR_PROTOCOL;
    case CURLE_OPERATION_TIMEDOUT:
      return BASS_ERROR_TIMEOUT;
    case CURLE_TOO_MANY_REDIRECTS:
      return BASS_ERROR_LIMIT;
    case CURLE_HTTP_RETURNED_ERROR:
      return BASS_ERROR_HTTP;
    case CURLE_OUT_OF_MEMORY:
      return BASS_ERROR_MEM;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return BASS_ERROR_SSL;
    default:
      return BASS_ERROR_FILEOPEN;
  }
}

// A refused connect is an answer (the host is there, its server is not); a
// connect that timed out, found no route or no address is not.
bool NoAnswer(CURLcode code, long osError, bool connected, bool timedOut) {
  if (connected) return false;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
      return true;
    case CURLE_COULDNT_CONNECT:
      return osError != ECONNREFUSED;
    default:
      // Our own header deadline or a caller's tick stopped an unanswered connect.
      return timedOut;
  }
}

// The request: the URL, the ICY and HTTP rules, time-outs and the callbacks
// that feed `transfer`. The lists and the proxy name must outlive the transfer.
// connectTimeoutMs > 0 replaces the configured connect time-out.
void SetOptions(CURL* curl, const std::string& url, Transfer& transfer, curl_slist* aliases,
                curl_slist* headers, const std::optional<std::string>& proxy, int64_t resumeFrom,
                long connectTimeoutMs) {
  const long timeoutMs =
      connectTimeoutMs > 0 ? connectTimeoutMs : static_cast<long>(ConfigNetTimeoutMs());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTP200ALIASES, aliases);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tunewell/0.6");
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy ? proxy->c_str() : "");
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 16384L);
  if (resumeFrom > 0) curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t{resumeFrom});
}

// What the finished transfer gives its caller. Why it stopped decides the
// error: our own reasons first, then curl's.
HttpResult MapResult(CURL* curl, CURLcode code, const Transfer& transfer, int limitError) {
  HttpResult result;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  result.status = status;
  curl_off_t length = -1;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
    result.contentLength = length;
  }
  char* final = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &final) == CURLE_OK && final) {
    result.finalUrl = final;
  }
  result.resumeRefused = code == CURLE_RANGE_ERROR;
  long osError = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
  curl_off_t connectMicros = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectMicros);
  result.noAnswer = NoAnswer(code, osError, connectMicros > 0 || transfer.headerBytes > 0,
                             transfer.stopError == BASS_ERROR_TIMEOUT);
  if (transfer.cancel->load()) {
    result.error = BASS_ERROR_HANDLE;
  } else if (transfer.stopError != BASS_OK) {
    result.error = transfer.stopError;
  } else if (transfer.errorStatus) {
    result.error = BASS_ERROR_HTTP;
  } else if (transfer.headerTooLarge || (code == CURLE_OUT_OF_MEMORY && !transfer.bodyStarted)) {
    // curl reports a header line beyond its own 100 KB cap as out of memory.
    result.error = BASS_ERROR_LIMIT;
  } else if (transfer.stoppedByHandler) {
    result.error = limitError;
  } else {
    result.error = MapCurlError(code);
  }
  return result;
}

}  // namespace

std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  if (!EqualNoCase(line.substr(0, name.size()), name)) return std::nullopt;
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  return value;
}

void ResponseHead::Add(std::string_view line) {
  if (line.starts_with("HTTP/") || line.starts_with("ICY ")) {
    lines.clear();
    icy = line.starts_with("ICY ");
    contentType.clear();
  }
  if (line.empty()) return;
  lines.emplace_back(line);
  if (auto value = HeaderValue(line, "content-type")) contentType = AsciiLowered(*value);
}

std::optional<std::string_view> ResponseHead::Value(std::string_view name) const {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (auto value = HeaderValue(*it, name)) return value;
  }
  return std::nullopt;
}

HttpResult HttpGet(const std::string& url, const HttpHandlers& handlers,
                   const std::atomic<bool>& cancel, int limitError, int64_t resumeFrom,
                   long connectTimeoutMs) {
  // Process-wide libcurl set-up, once.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) {
    HttpResult result;
    result.error = BASS_ERROR_MEM;
    return result;
  }
  Transfer transfer{&handlers, &cancel};
  transfer.connectTimeout = std::chrono::milliseconds(ConfigNetTimeoutMs() + kHeaderGraceMs);
  transfer.readTimeout = std::chrono::milliseconds(ConfigNetReadTimeoutMs());
  transfer.lastData = Clock::now();
  transfer.headersDue = transfer.lastData + transfer.connectTimeout;
  // Shoutcast servers answer "ICY 200 OK"; curl takes it as a status line only
  // when told. (Allowing HTTP/0.9 instead would put the status line in the audio.)
  // Every ICY line is listed, errors too, so that "ICY 404" is an HTTP error
  // rather than an unknown protocol; OnHeader refuses those.
  curl_slist* aliases = curl_slist_append(nullptr, "ICY ");
  curl_slist* headers = curl_slist_append(nullptr, "Icy-MetaData: 1");
  const std::optional<std::string> proxy = ConfigNetProxy();
  SetOptions(curl, url, transfer, aliases, headers, proxy, resumeFrom, connectTimeoutMs);

  const CURLcode code = curl_easy_perform(curl);
  HttpResult result = MapResult(curl, code, transfer, limitError);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_slist_free_all(aliases);
  return result;
}

}  // namespace tw::engine
