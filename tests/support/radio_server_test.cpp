#include "tests/support/radio_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/seconds_since.h"

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A bare HTTP client on a socket, so the server is checked byte for byte without
// any library's view of HTTP in between.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ =
        fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool closed() const { return closed_; }  // the server ended the connection
  const std::string& received() const { return received_; }
  Clock::time_point sentAt() const { return sentAt_; }

  void Get(const std::string& target, const std::vector<std::string>& headers = {},
           const char* method = "GET") {
    std::string request = std::string(method) + " " + target + " HTTP/1.1\r\n";
    for (const std::string& h : headers) request += h + "\r\n";
    request += "\r\n";
    sentAt_ = Clock::now();
    ASSERT_EQ(::send(fd_, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }

  // Reads until at least `bytes` have arrived in all, the server closes, or the
  // time-out passes. Records when each read completed.
  void ReadUntil(size_t bytes, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_ && received_.size() < bytes && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left.count()))) <= 0) continue;
      char buffer[65536];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        closed_ = true;
        break;
      }
      received_.append(buffer, static_cast<size_t>(got));
      arrivals_.emplace_back(Clock::now(), received_.size());
    }
  }
  void ReadAll(milliseconds timeout = milliseconds(5000)) { ReadUntil(SIZE_MAX, timeout); }

  // When the total received first reached `bytes`; nullopt if it never did.
  std::optional<double> SecondsUntil(size_t bytes) const {
    for (const auto& [at, total] : arrivals_) {
      if (total >= bytes) return std::chrono::duration<double>(at - sentAt_).count();
    }
    return std::nullopt;
  }

  std::string Head() const { return received_.substr(0, received_.find("\r\n\r\n") + 4); }
  std::string Body() const {
    const size_t end = received_.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : received_.substr(end + 4);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
  Clock::time_point sentAt_ = Clock::now();
  std::vector<std::pair<Clock::time_point, size_t>> arrivals_;
};

std::string Pattern(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return body;
}

template <typename Predicate>
bool Eventually(Predicate predicate, milliseconds timeout = milliseconds(2000)) {
  const auto deadline = Clock::now() + timeout;
  while (!predicate()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// A status line, a header or the icy-metaint header that differs from what the
// test configured, or a body that is cut or altered.
TEST(RadioServer, SendsStatusLineHeadersAndBodyAsConfigured) {
  RadioServer server;
  RadioServer::Route icy;
  icy.statusLine = "ICY 200 OK";
  icy.headers = {"Content-Type: audio/mpeg", "icy-name:Test FM", "icy-br:128"};
  icy.body = Pattern(5000);
  server.Serve("/icy", icy);
  RadioServer::Route plain;
  plain.headers = {"Content-Type: audio/aac"};
  plain.body = "0123456789";
  server.Serve("plain", plain);

  RawClient a(server.Port());
  a.Get("/icy");
  a.ReadAll();
  EXPECT_TRUE(a.closed()) << "the body ended, so the server closes";
  EXPECT_EQ(a.Head(),
            "ICY 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name:Test FM\r\nicy-br:128\r\n\r\n");
  EXPECT_EQ(a.Body(), icy.body);

  RawClient b(server.Port());
  b.Get("/plain");
  b.ReadAll();
  EXPECT_EQ(b.received(), "HTTP/1.0 200 OK\r\nContent-Type: audio/aac\r\n\r\n0123456789");
  EXPECT_EQ(server.Url("plain"), "http://127.0.0.1:" + std::to_string(server.Port()) + "/plain");
}

// A header-only request getting a body, or a body-less one not getting the head.
TEST(RadioServer, HeadRequestGetsTheHeadOnly) {
  RadioServer server;
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = "audio";
  server.Serve("/s", route);
  RawClient client(server.Port());
  client.Get("/s", {}, "HEAD");
  client.ReadAll();
  EXPECT_EQ(client.received(), "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
}

struct Block {
  size_t offset;                    // body bytes before it
  std::optional<std::string> text;  // nullopt: a zero length byte
};

// Metadata not placed exactly every metaint body bytes, wrong length bytes or
// padding, a title resent although unchanged, a change not sent, or audio bytes
// lost around the blocks.
TEST(RadioServer, InsertsMetadataEveryMetaintBytesOnlyWhenTheTitleChanges) {
  struct Case {
    const char* name;
    size_t bodySize;
    size_t metaint;
    std::vector<std::pair<size_t, std::string>> titles;
    std::vector<Block> expected;
  };
  const std::string longTitle = "StreamTitle='A rather long artist - and a long song title';";
  const std::vector<Case> cases = {
      {"change mid-interval",
       10000,
       1000,
       {{0, "StreamTitle='One';"}, {3500, "StreamTitle='Two';"}},
       {{1000, "StreamTitle='One';"},
        {2000, {}},
        {3000, {}},
        {4000, "StreamTitle='Two';"},
        {5000, {}},
        {6000, {}},
        {7000, {}},
        {8000, {}},
        {9000, {}},
        {10000, {}}}},
      {"body not a multiple of metaint",
       20000,
       8192,
       {{0, longTitle}},
       {{8192, longTitle}, {16384, {}}}},
      {"no titles", 3000, 1000, {}, {{1000, {}}, {2000, {}}, {3000, {}}}},
      {"title goes empty",
       3000,
       1000,
       {{0, "StreamTitle='A';"}, {1500, ""}},
       {{1000, "StreamTitle='A';"}, {2000, ""}, {3000, {}}}},
      {"same text again is no change",
       3000,
       1000,
       {{0, "StreamTitle='A';"}, {1500, "StreamTitle='A';"}},
       {{1000, "StreamTitle='A';"}, {2000, {}}, {3000, {}}}},
      {"change exactly at a block",
       3000,
       1000,
       {{2000, "StreamTitle='B';"}},
       {{1000, {}}, {2000, "StreamTitle='B';"}, {3000, {}}}},
      {"title exactly 16 bytes",
       2000,
       500,
       {{600, "StreamTitle='1';"}},
       {{500, {}}, {1000, "StreamTitle='1';"}, {1500, {}}, {2000, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RadioServer server;
    RadioServer::Route route;
    route.statusLine = "ICY 200 OK";
    route.body = Pattern(c.bodySize);
    route.metaint = c.metaint;
    route.titles = c.titles;
    server.Serve("/s", route);
    RawClient client(server.Port());
    client.Get("/s", {"Icy-MetaData: 1"});
    client.ReadAll();
    ASSERT_TRUE(client.closed());
    EXPECT_EQ(client.Head(), "ICY 200 OK\r\nicy-metaint:" + std::to_string(c.metaint) + "\r\n\r\n");

    const std::string stream = client.Body();
    std::string audio;
    std::vector<Block> blocks;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t take = std::min(c.metaint, stream.size() - at);
      audio += stream.substr(at, take);
      at += take;
      if (take < c.metaint || at == stream.size()) break;
      const auto units = static_cast<unsigned char>(stream[at++]);
      ASSERT_LE(at + units * 16u, stream.size()) << "metadata block cut short";
      if (units == 0) {
        blocks.push_back({audio.size(), std::nullopt});
        continue;
      }
      std::string text = stream.substr(at, units * 16u);
      at += units * 16u;
      const size_t end = text.find('\0');
      if (end != std::string::npos) {
        EXPECT_EQ(text.find_first_not_of('\0', end), std::string::npos) << "padding not NULs";
        text.resize(end);
      }
      EXPECT_EQ(units, std::max<size_t>(1, (text.size() + 15) / 16)) << "length byte for " << text;
      blocks.push_back({audio.size(), text});
    }
    EXPECT_EQ(audio, route.body) << "audio bytes around the blocks";
    ASSERT_EQ(blocks.size(), c.expected.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].offset, c.expected[i].offset) << "block " << i;
      EXPECT_EQ(blocks[i].text, c.expected[i].text) << "block " << i;
    }
  }
}

// Pacing that sends everything at once, forgets the burst, or runs slow.
TEST(RadioServer, PacedRouteSendsTheBurstThenKeepsTheRate) {
  RadioServer server;
  RadioServer::Route route;
  route.body = Pattern(12000);
  route.bytesPerSecond = 16000;
  route.burstBytes = 4000;
  server.Serve("/paced", route);
  RawClient client(server.Port());
  client.Get("/paced");
  client.ReadAll(milliseconds(5000));
  ASSERT_TRUE(client.closed());
  ASSERT_EQ(client.Body(), route.body);
  const size_t head = client.Head().size();

  const auto burst = client.SecondsUntil(head + 4000);
  ASSERT_TRUE(burst);
  EXPECT_LT(*burst, 0.3) << "the burst should come at once";
  // The server can never be ahead of burst + rate * t (plus one 10 ms step).
  for (double t : {0.1, 0.2, 0.3, 0.4}) {
    const auto early = client.SecondsUntil(head + 4000 + static_cast<size_t>(16000 * t) + 400);
    ASSERT_TRUE(early);
    EXPECT_GE(*early, t) << "ahead of the pace at " << t << " s";
  }
  const auto all = client.SecondsUntil(head + 12000);
  ASSERT_TRUE(all);
  EXPECT_GE(*all, 0.48);
  EXPECT_LT(*all, 2.0) << "far behind the pace";
}

// A stall that does not happen, happens at the wrong place, loses data, or is
// followed by a catch-up burst instead of the steady pace.
TEST(RadioServer, PauseStallsTheStreamAtItsOffset) {
  RadioServer server;
  RadioServer::Route route;
  route.body = Pattern(3000);
  route.bytesPerSecond = 10000;
  route.pauses = {{1000, 300}};
  server.Serve("/s", route);
  RawClient client(server.Port());
  client.Get("/s");
  client.ReadAll();
  ASSERT_EQ(client.Body(), route.body);
  const size_t head = client.Head().size();
  const auto before = client.SecondsUntil(head + 1000);
  const auto after = client.SecondsUntil(head + 1001);
  const auto all = client.SecondsUntil(head + 3000);
  ASSERT_TRUE(before && after && all);
  EXPECT_LT(*before, 0.3);
  EXPECT_GE(*after, 0.1 + 0.3);
  EXPECT_GE(*all, 0.3 + 0.3 - 0.02) << "caught up after the stall";
}

// The answer not held back by delayMs.
TEST(RadioServer, DelayHoldsBackTheAnswer) {
  RadioServer server;
  RadioServer::Route route;
  route.body = "x";
  route.delayMs = 200;
  server.Serve("/s", route);
  RawClient client(server.Port());
  client.Get("/s");
  client.ReadAll();
  const auto first = client.SecondsUntil(1);
  ASSERT_TRUE(first);
  EXPECT_GE(*first, 0.2);
  EXPECT_EQ(client.Body(), "x");
}

// Redirects with the wrong code, reason or Location, and unknown paths not 404.
TEST(RadioServer, RedirectsAndNotFound) {
  RadioServer server;
  struct {
    int code;
    const char* status;
  } cases[] = {{301, "HTTP/1.1 301 Moved Permanently"},
               {302, "HTTP/1.1 302 Found"},
               {307, "HTTP/1.1 307 Temporary Redirect"}};
  for (const auto& c : cases) {
    const std::string path = "/r" + std::to_string(c.code);
    server.Redirect(path, server.Url("/target"), c.code);
    RawClient client(server.Port());
    client.Get(path);
    client.ReadAll();
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(client.Head(), std::string(c.status) + "\r\nLocation: " + server.Url("/target") +
                                 "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.Body(), "");
  }

  RawClient missing(server.Port());
  missing.Get("/missing?x=1");
  missing.ReadAll();
  EXPECT_EQ(missing.received().rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << missing.received();
  EXPECT_EQ(server.Requests("/missing"), 1);

  RadioServer::Route route;
  route.body = "gone soon";
  server.Serve("/gone", route);
  server.Remove("/gone");
  RawClient removed(server.Port());
  removed.Get("/gone");
  removed.ReadAll();
  EXPECT_EQ(removed.received().rfind("HTTP/1.1 404", 0), 0u);
}

// Request bookkeeping that loses headers, mixes up paths, or counts wrongly.
TEST(RadioServer, RecordsRequestsAndTheirHeaders) {
  RadioServer server;
  server.ServeText("/a", "text/plain", "a");
  EXPECT_EQ(server.Requests("/a"), 0);
  for (int i = 0; i < 2; ++i) {
    RawClient client(server.Port());
    client.Get("/a", {"Icy-MetaData: 1", "User-Agent: tw-test/" + std::to_string(i)});
    client.ReadAll();
  }
  RawClient other(server.Port());
  other.Get("/b", {"Accept: */*"});
  other.ReadAll();

  EXPECT_EQ(server.Requests("/a"), 2);
  EXPECT_EQ(server.Requests("a"), 2) << "a path without '/' names the same route";
  EXPECT_EQ(server.Requests("/b"), 1);
  EXPECT_TRUE(server.WaitForRequests("/a", 2, milliseconds(10)));
  EXPECT_FALSE(server.WaitForRequests("/a", 3, milliseconds(50)));
  EXPECT_EQ(server.RequestLine("/a"), "GET /a HTTP/1.1");
  EXPECT_EQ(server.RequestHeaderLines("/a"),
            (std::vector<std::string>{"Icy-MetaData: 1", "User-Agent: tw-test/1"}));
  EXPECT_EQ(server.RequestHeader("/a", "icy-metadata"), "1");
  EXPECT_EQ(server.RequestHeader("/a", "Accept"), "");
  EXPECT_EQ(server.RequestHeader("/b", "Accept"), "*/*");
}

// A playlist without its length, or an update that does not reach the next
// reload (a live HLS playlist that never grows).
TEST(RadioServer, ServesAndUpdatesText) {
  RadioServer server;
  server.ServeText("/live.m3u8", "application/vnd.apple.mpegurl", "#EXTM3U\n#one\n");
  RawClient first(server.Port());
  first.Get("/live.m3u8");
  first.ReadAll();
  EXPECT_EQ(first.received(),
            "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\n"
            "Content-Length: 13\r\nConnection: close\r\n\r\n#EXTM3U\n#one\n");

  server.UpdateText("/live.m3u8", "#EXTM3U\n#one\n#two\n");
  RawClient second(server.Port());
  second.Get("/live.m3u8?reload=1");
  second.ReadAll();
  EXPECT_EQ(second.Body(), "#EXTM3U\n#one\n#two\n");
  EXPECT_NE(second.Head().find("Content-Length: 18\r\n"), std::string::npos) << second.Head();
  EXPECT_THROW(server.UpdateText("/nothing", "x"), std::invalid_argument);
}

// A hostile raw response altered, cut, or given a status line of the server's own.
TEST(RadioServer, RawResponseIsSentAsIs) {
  RadioServer server;
  RadioServer::Route route;
  route.rawResponse = "HTTP/1.0 200 OK\r\nX-Long: " + std::string(1 << 20, 'a') + "\r\n\r\n";
  route.metaint = 100;  // ignored for raw responses
  server.Serve("/hostile", route);
  RawClient client(server.Port());
  client.Get("/hostile");
  client.ReadAll();
  EXPECT_TRUE(client.closed());
  EXPECT_TRUE(client.received() == route.rawResponse)
      << "got " << client.received().size() << " bytes of " << route.rawResponse.size();
}

// A looped body that stops, skips bytes at the seam, or a Disconnect that does
// not end the listener's stream.
TEST(RadioServer, LoopsTheBodyUntilDisconnected) {
  RadioServer server;
  RadioServer::Route route;
  route.body = Pattern(1000);
  route.loopBody = true;
  server.Serve("/loop", route);
  RawClient client(server.Port());
  client.Get("/loop");
  client.ReadUntil(50000, milliseconds(2000));
  ASSERT_FALSE(client.closed());
  const std::string body = client.Body();
  ASSERT_GE(body.size(), 40000u);
  for (size_t i = 0; i < body.size(); ++i) ASSERT_EQ(body[i], route.body[i % 1000]) << i;

  EXPECT_EQ(server.LiveConnections("/loop"), 1);
  server.Disconnect("/loop");
  client.ReadAll(milliseconds(2000));
  EXPECT_TRUE(client.closed()) << "the stream should end for the listener";
  EXPECT_TRUE(Eventually([&] { return server.LiveConnections("/loop") == 0; }));
}

// hangAfterBody closing anyway, or neverAnswer answering.
TEST(RadioServer, HangsAndNeverAnswers) {
  RadioServer server;
  RadioServer::Route hang;
  hang.body = "abc";
  hang.hangAfterBody = true;
  server.Serve("/hang", hang);
  RadioServer::Route silent;
  silent.neverAnswer = true;
  server.Serve("/silent", silent);

  RawClient a(server.Port());
  a.Get("/hang");
  RawClient b(server.Port());
  b.Get("/silent");
  a.ReadUntil(SIZE_MAX, milliseconds(300));
  b.ReadUntil(SIZE_MAX, milliseconds(1));
  EXPECT_FALSE(a.closed());
  EXPECT_FALSE(b.closed());
  EXPECT_EQ(a.Body(), "abc");
  EXPECT_EQ(b.received(), "");
  EXPECT_EQ(server.Requests("/silent"), 1);
  EXPECT_EQ(server.LiveConnections("/hang"), 1);
  EXPECT_EQ(server.LiveConnections("/silent"), 1);
}

// A server that dies of SIGPIPE or keeps a dead connection when the listener
// goes away mid-stream, or stops serving afterwards.
TEST(RadioServer, SurvivesClientsThatLeave) {
  RadioServer server;
  RadioServer::Route endless;
  endless.body = Pattern(4096);
  endless.loopBody = true;
  server.Serve("/endless", endless);
  RadioServer::Route hang;
  hang.body = "x";
  hang.hangAfterBody = true;
  server.Serve("/hang", hang);

  for (int i = 0; i < 3; ++i) {
    RawClient client(server.Port());
    client.Get("/endless");
    client.ReadUntil(10000, milliseconds(2000));
    ASSERT_GE(client.received().size(), 10000u);
  }  // each closes with the server still writing
  RawClient quiet(server.Port());
  quiet.Get("/hang");
  quiet.ReadUntil(1, milliseconds(2000));
  ASSERT_TRUE(server.WaitForRequests("/hang", 1));
  quiet.Close();  // leaves while the server is silent
  EXPECT_TRUE(Eventually([&] {
    return server.LiveConnections("/endless") == 0 && server.LiveConnections("/hang") == 0;
  })) << "the server should notice listeners that left";

  server.ServeText("/after", "text/plain", "still here");
  RawClient after(server.Port());
  after.Get("/after");
  after.ReadAll();
  EXPECT_EQ(after.Body(), "still here");
}

// Unbounded connection threads, or a slot not freed when a client leaves.
TEST(RadioServer, BoundsConnections) {
  RadioServer server;
  RadioServer::Route silent;
  silent.neverAnswer = true;
  server.Serve("/silent", silent);
  server.ServeText("/ok", "text/plain", "ok");

  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < RadioServer::kMaxConnections; ++i) {
    clients.push_back(std::make_unique<RawClient>(server.Port()));
    ASSERT_TRUE(clients.back()->connected());
    clients.back()->Get("/silent");
  }
  ASSERT_TRUE(server.WaitForRequests("/silent", RadioServer::kMaxConnections));

  RawClient over(server.Port());
  over.Get("/ok");
  over.ReadAll(milliseconds(2000));
  EXPECT_TRUE(over.closed());
  EXPECT_EQ(over.received(), "") << "connection over the bound should be closed unanswered";

  clients.pop_back();
  ASSERT_TRUE(Eventually(
      [&] { return server.LiveConnections("/silent") == RadioServer::kMaxConnections - 1; }));
  RawClient next(server.Port());
  next.Get("/ok");
  next.ReadAll();
  EXPECT_EQ(next.Body(), "ok");
}

// A destructor that waits for hanging clients (or never returns) instead of
// closing their connections.
TEST(RadioServer, StopsPromptlyWithClientsHanging) {
  auto server = std::make_unique<RadioServer>();
  RadioServer::Route silent;
  silent.neverAnswer = true;
  server->Serve("/silent", silent);
  RadioServer::Route endless;
  endless.body = Pattern(65536);
  endless.loopBody = true;
  server->Serve("/endless", endless);
  RadioServer::Route slow;
  slow.body = Pattern(100000);
  slow.bytesPerSecond = 1000;
  server->Serve("/slow", slow);

  RawClient a(server->Port());
  a.Get("/silent");
  RawClient b(server->Port());  // never reads: the server blocks on a full socket
  b.Get("/endless");
  RawClient c(server->Port());
  c.Get("/slow");
  RawClient d(server->Port());  // connected, request never sent
  ASSERT_TRUE(server->WaitForRequests("/slow", 1));
  ASSERT_TRUE(server->WaitForRequests("/endless", 1));
  std::this_thread::sleep_for(milliseconds(100));

  const auto start = Clock::now();
  server.reset();
  EXPECT_LT(SecondsSince(start), 1.0);
  for (RawClient* client : {&a, &c, &d}) {
    client->ReadAll(milliseconds(1000));
    EXPECT_TRUE(client->closed());
  }
}

// A drop that comes at another offset than configured (a reconnect test would
// then check the wrong audio), a refusal that answers, a 503 that does not
// stop after its count, or a range answered with the whole body.
TEST(RadioServer, DropsRefusesFailsAndResumesAsConfigured) {
  RadioServer server;
  RadioServer::Route route;
  route.body = Pattern(5000);
  route.dropAfterBytes = 3000;
  server.Serve("/drop", route);
  RadioServer::Route meta = route;
  meta.metaint = 1000;
  meta.titles = {{0, "StreamTitle='A';"}};
  meta.dropInMetadata = true;
  server.Serve("/drop-meta", meta);
  RadioServer::Route refuse;
  refuse.refuse = true;
  server.Serve("/refuse", refuse);
  RadioServer::Route flaky;
  flaky.body = "ok";
  flaky.failFirstRequests = 1;
  server.Serve("/flaky", flaky);
  RadioServer::Route file;
  file.body = Pattern(100);
  file.headers = {"Content-Length: 100"};
  file.ranges = true;
  server.Serve("/file", file);

  auto fetch = [&](const char* path, std::vector<std::string> headers = {}) {
    auto client = std::make_unique<RawClient>(server.Port());
    client->Get(path, headers);
    client->ReadAll();
    return client;
  };
  auto dropped = fetch("/drop");
  EXPECT_TRUE(dropped->closed());
  EXPECT_EQ(dropped->Body(), Pattern(5000).substr(0, 3000));
  // The title's block, an empty one (the title is unchanged), and at the drop
  // a length byte of 1 with 8 of its 16 bytes.
  auto cut = fetch("/drop-meta");
  EXPECT_EQ(cut->Body().size(), 3000 + 17 + 1 + 1 + 8u);
  EXPECT_EQ(fetch("/refuse")->received(), "");
  EXPECT_TRUE(fetch("/flaky")->Head().starts_with("HTTP/1.1 503"));
  EXPECT_EQ(fetch("/flaky")->Body(), "ok");
  auto rest = fetch("/file", {"Range: bytes=40-"});
  EXPECT_TRUE(rest->Head().starts_with("HTTP/1.1 206")) << rest->Head();
  EXPECT_NE(rest->Head().find("Content-Range: bytes 40-99/100\r\n"), std::string::npos);
  EXPECT_NE(rest->Head().find("Content-Length: 60\r\n"), std::string::npos);
  EXPECT_EQ(rest->Body(), Pattern(100).substr(40));
}

}  // namespace
}  // namespace tw::test
