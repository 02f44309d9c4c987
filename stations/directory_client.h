// The public station directory's client: finds a server, asks it, reads the
// answer. Blocking calls for a worker thread; libcurl, no Qt. Nothing is sent
// anywhere until a search is made.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "stations/directory_protocol.h"

namespace tw {

// The servers of the public directory, as it asks clients to find them: the
// addresses behind all.api.radio-browser.info, named by their reverse lookups,
// in random order, as "https://name". Empty when DNS gives nothing.
std::vector<std::string> DiscoverDirectoryServers();

struct DirectoryOptions {
  // "DirectoryServer=" of the settings: a base URL ("https://host[:port]"; a
  // bare host gets https://). Empty: the servers found by discover.
  std::string server;
  std::function<std::vector<std::string>()> discover = DiscoverDirectoryServers;
  // Servers that answered before, tried first (the one that answered last
  // leads), so "More results" pages through the same server.
  std::vector<std::string> knownServers;
  // Bounds each request from connect to its last byte, however slowly the
  // server sends.
  std::chrono::milliseconds timeout = std::chrono::seconds(10);
  int maxServersTried = 3;
};

enum class DirectoryStatus {
  kOk,
  kUnreachable,
  kTimedOut,
  kHttpError,
  kBadAnswer,
  kTooLarge,
  kCancelled
};

struct DirectoryAnswer {
  DirectoryStatus status = DirectoryStatus::kUnreachable;
  std::string message;  // what the dialog says when status is not kOk
  DirectoryPage page;
  // The servers in the order to try next time, the one that answered first.
  std::vector<std::string> servers;
};

// Runs the search, trying the next server when one cannot be reached, times
// out, fails with a 5xx or answers something that is not the expected JSON.
// cancel, set from any thread, ends the request within a fraction of a second.
DirectoryAnswer SearchDirectory(const DirectoryOptions& options, const DirectoryQuery& query,
                                const std::atomic<bool>& cancel);

// Tells the directory a station was added (its click counter) on a thread of
// its own; nobody waits for it, and its answer is ignored.
void CountDirectoryClick(const std::string& server, const std::string& stationUuid,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// "DirectoryServer" of section MAIN of the settings file.
inline constexpr const char* kDirectoryServerKey = "DirectoryServer";
std::string ReadDirectoryServer(const IniFile& settings);

// "Tunewell/<version>".
const char* DirectoryUserAgent();

}  // namespace tw
