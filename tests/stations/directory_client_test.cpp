// The directory client against loopback directory servers the test starts:
// what a search yields when servers answer, fail, stall or flood.
#include "stations/directory_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/radio_server.h"

namespace tw {
namespace {

using std::chrono::milliseconds;
using test::RadioServer;
using Clock = std::chrono::steady_clock;

constexpr const char* kSearch = "/json/stations/search";

// Names in several scripts, HLS and playlist addresses, missing and null
// fields, a huge vote count: as the public directory answers.
const char* kAnswer = R"([
 {"stationuuid":"11111111-0601-11e8-ae97-52543be04c81","name":"Jazz \u0420\u0430\u0434\u0438\u043e",
  "url":"http://x/a.pls","url_resolved":"https://x/live.m3u8","country":"Ukraine","codec":"AAC+",
  "bitrate":64,"tags":"jazz,smooth","votes":18446744073709551615},
 {"stationuuid":"22222222-0601-11e8-ae97-52543be04c81","name":"\u65e5\u672c\u30b8\u30e3\u30ba",
  "url":"http://y/listen.m3u","url_resolved":null,"country":null,"votes":3},
 {"name":"\u0625\u0630\u0627\u0639\u0629","url":"file:///etc/passwd","url_resolved":"javascript:x"}
])";

RadioServer::Route Json(std::string body) {
  RadioServer::Route route;
  route.headers = {"Content-Type: application/json"};
  route.body = std::move(body);
  return route;
}

std::string Base(const RadioServer& server) {
  return server.Url("").substr(0, server.Url("").size() - 1);
}

struct Outcome {
  DirectoryAnswer answer;
  double seconds;
};

Outcome Search(std::vector<std::string> servers, milliseconds timeout = std::chrono::seconds(10)) {
  DirectoryOptions options;
  options.discover = [servers] { return servers; };
  options.timeout = timeout;
  DirectoryQuery query;
  query.name = "jazz";
  std::atomic<bool> cancel{false};
  const auto start = Clock::now();
  Outcome outcome{SearchDirectory(options, query, cancel), 0};
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return outcome;
}

// Each kind of answer gives its own result, and a server that fails hands over
// to the next one.
TEST(DirectoryClient, AnswersAndFailures) {
  RadioServer good, bad;
  good.Serve(kSearch, Json(kAnswer));

  Outcome ok = Search({Base(good)});
  ASSERT_EQ(ok.answer.status, DirectoryStatus::kOk) << ok.answer.message;
  ASSERT_EQ(ok.answer.page.stations.size(), 3u);
  EXPECT_EQ(ok.answer.page.stations[0].url, "https://x/live.m3u8");
  EXPECT_EQ(ok.answer.page.stations[0].votes, INT64_MAX);
  EXPECT_EQ(ok.answer.page.stations[1].url, "http://y/listen.m3u");
  EXPECT_EQ(ok.answer.page.stations[2].url, "");
  EXPECT_EQ(good.RequestHeader(kSearch, "User-Agent"), "Tunewell/0.6");
  EXPECT_EQ(good.RequestLine(kSearch),
            "GET /json/stations/search?name=jazz&limit=100&offset=0&order=votes&reverse=true&"
            "hidebroken=true HTTP/1.1");

  struct {
    const char* what;
    RadioServer::Route route;
    DirectoryStatus status;
    std::string message;
  } cases[] = {
      {"404",
       [] {
         RadioServer::Route r;
         r.statusLine = "HTTP/1.0 404 Not Found";
         return r;
       }(),
       DirectoryStatus::kHttpError, "The station directory answered with an error (HTTP 404)"},
      {"a web page", Json("<html><body>Bad gateway</body></html>"), DirectoryStatus::kBadAnswer,
       "The station directory's answer could not be read"},
      {"50 MB", Json("[" + std::string(50u << 20, ' ') + "]"), DirectoryStatus::kTooLarge,
       "Too many results: narrow the search"},
      {"reset",
       [] {
         RadioServer::Route r;
         r.refuse = true;
         return r;
       }(),
       DirectoryStatus::kUnreachable, "The station directory cannot be reached"},
  };
  for (auto& c : cases) {
    bad.Serve(kSearch, c.route);
    const Outcome outcome = Search({Base(bad)});
    EXPECT_EQ(outcome.answer.status, c.status) << c.what;
    EXPECT_EQ(outcome.answer.message, c.message) << c.what;
    EXPECT_TRUE(outcome.answer.page.stations.empty()) << c.what;
  }

  // A 503 (and a redirect to another host that answers) lead to a result.
  RadioServer::Route unavailable;
  unavailable.statusLine = "HTTP/1.0 503 Service Unavailable";
  bad.Serve(kSearch, unavailable);
  RadioServer moved;
  moved.Redirect(kSearch, good.Url(kSearch), 301);
  const Outcome failover = Search({Base(bad), Base(moved)});
  ASSERT_EQ(failover.answer.status, DirectoryStatus::kOk) << failover.answer.message;
  EXPECT_EQ(failover.answer.page.stations.size(), 3u);
  EXPECT_EQ(failover.answer.servers.front(), Base(moved));

  // DNS that gives nothing.
  EXPECT_EQ(Search({}).answer.message, "The station directory cannot be reached");
}

// A server that trickles one byte a second, and a resolver that hangs, are given
// up at the request's bound.
TEST(DirectoryClient, SlowServersHitTheBound) {
  RadioServer server;
  RadioServer::Route slow = Json(kAnswer);
  slow.bytesPerSecond = 1;
  server.Serve(kSearch, slow);
  const Outcome outcome = Search({Base(server)}, milliseconds(600));
  EXPECT_EQ(outcome.answer.status, DirectoryStatus::kTimedOut);
  EXPECT_EQ(outcome.answer.message, "The station directory did not answer in time");
  EXPECT_LT(outcome.seconds, 3.0);

  DirectoryOptions options;
  options.timeout = milliseconds(300);
  options.discover = [] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return std::vector<std::string>{"http://127.0.0.1:9"};
  };
  std::atomic<bool> cancel{false};
  const auto start = Clock::now();
  EXPECT_EQ(SearchDirectory(options, DirectoryQuery{}, cancel).message,
            "The station directory cannot be reached");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

// Cancel ends a search that waits on a silent server, well before its bound.
TEST(DirectoryClient, CancelEndsAWaitingSearch) {
  RadioServer server;
  RadioServer::Route silent;
  silent.neverAnswer = true;
  server.Serve(kSearch, silent);
  DirectoryOptions options;
  options.server = Base(server);
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    server.WaitForRequests(kSearch, 1);
    cancel = true;
  });
  const auto start = Clock::now();
  const DirectoryAnswer answer = SearchDirectory(options, DirectoryQuery{}, cancel);
  canceller.join();
  EXPECT_EQ(answer.status, DirectoryStatus::kCancelled);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

// Adding a found station counts a click at the server that found it.
TEST(DirectoryClient, ClickCounterIsSent) {
  RadioServer server;
  server.Serve("/json/url/11111111-0601-11e8-ae97-52543be04c81", Json("{}"));
  CountDirectoryClick(Base(server), "11111111-0601-11e8-ae97-52543be04c81");
  EXPECT_TRUE(server.WaitForRequests("/json/url/11111111-0601-11e8-ae97-52543be04c81", 1));
}

}  // namespace
}  // namespace tw
