#include "stations/directory_client.h"

#include <curl/curl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "platform/text.h"

namespace tw {

namespace {

constexpr const char* kDiscoveryName = "all.api.radio-browser.info";
constexpr const char* kUnreachable = "The station directory cannot be reached";

struct Transfer {
  std::string body;
  bool tooLarge = false;
  const std::atomic<bool>* cancel = nullptr;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (transfer->body.size() + bytes > kMaxDirectoryAnswerBytes) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  transfer->body.append(data, bytes);
  return bytes;
}

// libcurl calls this at least once a second, also while nothing arrives.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->cancel->load() ? 1 : 0;
}

struct HttpResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  Transfer transfer;
};

HttpResult Get(const std::string& url, std::chrono::milliseconds timeout,
               const std::atomic<bool>& cancel) {
  HttpResult result;
  result.transfer.cancel = &cancel;
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.code = CURLE_OUT_OF_MEMORY;
    return result;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, DirectoryUserAgent());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect may lead to another mirror, but never from https down to http,
  // where the search words would travel in the clear.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                   url.compare(0, 8, "https://") == 0 ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // Compressed answers are welcome; the size bound applies to what they unpack to.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &result.transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  result.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_cleanup(curl);
  return result;
}

// "https://host" from the setting: blanks and trailing slashes go, a bare
// host gets https://; "" when it names another scheme.
std::string NormalizeServer(std::string_view server) {
  while (!server.empty() && (server.front() == ' ' || server.front() == '\t'))
    server.remove_prefix(1);
  while (!server.empty() && (server.back() == ' ' || server.back() == '\t' || server.back() == '/'))
    server.remove_suffix(1);
  if (server.empty()) return {};
  const std::size_t scheme = server.find("://");
  if (scheme == std::string_view::npos) return "https://" + std::string(server);
  const std::string_view name = server.substr(0, scheme);
  if (!EqualNoCase(name, "http") && !EqualNoCase(name, "https")) return {};
  return std::string(server);
}

// Whether the next server may do better than this one.
bool WorthNextServer(DirectoryStatus status, long httpStatus) {
  switch (status) {
    case DirectoryStatus::kUnreachable:
    case DirectoryStatus::kTimedOut:
    case DirectoryStatus::kBadAnswer:
      return true;
    case DirectoryStatus::kHttpError:
      return httpStatus >= 500;
    case DirectoryStatus::kOk:
    case DirectoryStatus::kTooLarge:
    case DirectoryStatus::kCancelled:
      break;
  }
  return false;
}

DirectoryAnswer AskServer(const std::string& server, const DirectoryQuery& query,
                          std::chrono::milliseconds timeout, const std::atomic<bool>& cancel,
                          long* httpStatus) {
  DirectoryAnswer answer;
  HttpResult result = Get(server + SearchPath(query), timeout, cancel);
  *httpStatus = result.status;
  if (cancel.load() || result.code == CURLE_ABORTED_BY_CALLBACK) {
    answer.status = DirectoryStatus::kCancelled;
    answer.message = "Search cancelled";
  } else if (result.transfer.tooLarge) {
    answer.status = DirectoryStatus::kTooLarge;
    answer.message = "Too many results: narrow the search";
  } else if (result.code == CURLE_OPERATION_TIMEDOUT) {
    answer.status = DirectoryStatus::kTimedOut;
    answer.message = "The station directory did not answer in time";
  } else if (result.code != CURLE_OK) {
    answer.status = DirectoryStatus::kUnreachable;
    answer.message = kUnreachable;
  } else if (result.status >= 300) {
    // A redirect still here led nowhere curl may follow.
    answer.status = DirectoryStatus::kHttpError;
    answer.message =
        "The station directory answered with an error (HTTP " + std::to_string(result.status) + ")";
  } else {
    answer.page = ParseSearchAnswer(result.transfer.body);
    answer.status = answer.page.valid ? DirectoryStatus::kOk : DirectoryStatus::kBadAnswer;
    if (!answer.page.valid) answer.message = "The station directory's answer could not be read";
  }
  return answer;
}

// The resolver cannot be told to give up, and may try for longer than a
// request may take: it runs on a thread of its own, which is left behind when
// the bound passes or the search is cancelled.
std::vector<std::string> DiscoverWithin(const std::function<std::vector<std::string>()>& discover,
                                        std::chrono::milliseconds timeout,
                                        const std::atomic<bool>& cancel) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<std::string> servers;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, discover] {
    std::vector<std::string> servers = discover();
    std::lock_guard lock(shared->mutex);
    shared->servers = std::move(servers);
    shared->finished = true;
    shared->done.notify_all();
  }).detach();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(shared->mutex);
  while (!shared->finished && !cancel.load() && std::chrono::steady_clock::now() < deadline) {
    shared->done.wait_for(lock, std::chrono::milliseconds(50));
  }
  return shared->finished ? std::move(shared->servers) : std::vector<std::string>();
}

}  // namespace

const char* DirectoryUserAgent() { return "Tunewell/" TW_VERSION; }

std::vector<std::string> DiscoverDirectoryServers() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(kDiscoveryName, nullptr, &hints, &found) != 0) return {};
  std::vector<std::string> servers;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char host[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
      continue;
    std::string server = "https://" + std::string(host);
    if (std::find(servers.begin(), servers.end(), server) == servers.end())
      servers.push_back(std::move(server));
  }
  freeaddrinfo(found);
  std::shuffle(servers.begin(), servers.end(), std::mt19937(std::random_device{}()));
  return servers;
}

DirectoryAnswer SearchDirectory(const DirectoryOptions& options, const DirectoryQuery& query,
                                const std::atomic<bool>& cancel) {
  std::vector<std::string> servers;
  if (!options.server.empty()) {
    std::string server = NormalizeServer(options.server);
    if (server.empty()) {
      DirectoryAnswer answer;
      answer.message =
          std::string(kUnreachable) + " (DirectoryServer is not an http or https address)";
      return answer;
    }
    servers.push_back(std::move(server));
  } else {
    servers = options.knownServers;
    if (servers.empty() && options.discover) {
      servers = DiscoverWithin(options.discover, options.timeout, cancel);
    }
  }

  DirectoryAnswer last;
  last.message = kUnreachable;
  const std::size_t tries =
      std::min<std::size_t>(servers.size(), std::max(options.maxServersTried, 1));
  for (std::size_t i = 0; i < tries; ++i) {
    if (cancel.load()) {
      last.status = DirectoryStatus::kCancelled;
      last.message = "Search cancelled";
      break;
    }
    long httpStatus = 0;
    DirectoryAnswer answer = AskServer(servers[i], query, options.timeout, cancel, &httpStatus);
    const bool next = WorthNextServer(answer.status, httpStatus);
    last = std::move(answer);
    if (last.status == DirectoryStatus::kOk) {
      std::rotate(servers.begin(), servers.begin() + static_cast<std::ptrdiff_t>(i),
                  servers.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      last.servers = std::move(servers);
      return last;
    }
    if (!next) break;
  }
  return last;
}

void CountDirectoryClick(const std::string& server, const std::string& stationUuid,
                         std::chrono::milliseconds timeout) {
  const std::string path = ClickPath(stationUuid);
  const std::string base = NormalizeServer(server);
  if (path.empty() || base.empty()) return;
  std::thread([url = base + path, timeout] {
    static const std::atomic<bool> kNever{false};
    Get(url, timeout, kNever);
  }).detach();
}

std::string ReadDirectoryServer(const IniFile& settings) {
  return settings.ReadString("MAIN", kDirectoryServerKey, "");
}

}  // namespace tw
