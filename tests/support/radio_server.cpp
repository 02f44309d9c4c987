#include "tests/support/radio_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tw::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct RadioServer::Connection {
  explicit Connection(int socket) : fd(socket) {}
  const int fd;  // closed by the connection's own thread when it ends
  std::thread thread;
  std::atomic<bool> closing{false};  // Disconnect or the destructor asked it to end
  std::atomic<bool> done{false};     // its thread has finished; ready to join
  // Protected by the server's mutex_.
  bool open = true;    // shutdown() may be called on fd only while true
  bool reset = false;  // end with a TCP RST instead of a clean close
  std::string path;    // set once the request is read
};

namespace {

constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(5);
constexpr auto kPollSlice = milliseconds(20);  // how soon a stop is noticed at worst
constexpr size_t kSendChunk = 16 * 1024;
constexpr size_t kMaxMetadataText = 255 * 16;  // the length byte counts 16-byte units

std::string Normalize(std::string_view path) {
  std::string p(path);
  if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
  return p;
}

// The path part of a request target ("/a?b" -> "/a").
std::string PathPart(std::string_view target) {
  return Normalize(target.substr(0, target.find('?')));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) {
             return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
           };
           return lower(x) == lower(y);
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

const char* ReasonPhrase(int code) {
  switch (code) {
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    default:
      return "Redirect";
  }
}

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

RadioServer::RadioServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) ThrowErrno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the kernel picks a free port
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(listenFd_);
    errno = error;
    ThrowErrno("listening on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

RadioServer::~RadioServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const char byte = 0;
  while (::write(wakeFds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  acceptThread_.join();
  {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) {
      connection->closing = true;
      // Wakes a thread blocked in send() or poll() on this socket.
      if (connection->open) ::shutdown(connection->fd, SHUT_RDWR);
    }
  }
  for (const auto& connection : connections_) connection->thread.join();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
}

std::string RadioServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + Normalize(path);
}

void RadioServer::Serve(std::string path, Route route) {
  for (const auto& [offset, text] : route.titles) {
    if (text.size() > kMaxMetadataText)
      throw std::invalid_argument("a metadata block holds at most 4080 bytes");
  }
  std::stable_sort(route.titles.begin(), route.titles.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::stable_sort(route.pauses.begin(), route.pauses.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  auto shared = std::make_shared<const Route>(std::move(route));
  std::lock_guard lock(mutex_);
  routes_[Normalize(path)] = std::move(shared);
}

void RadioServer::ServeText(std::string path, std::string contentType, std::string text) {
  Route route;
  route.statusLine = "HTTP/1.1 200 OK";
  route.headers = {"Content-Type: " + contentType, "Content-Length: " + std::to_string(text.size()),
                   "Connection: close"};
  route.body = std::move(text);
  Serve(std::move(path), std::move(route));
}

void RadioServer::UpdateText(std::string_view path, std::string text) {
  std::lock_guard lock(mutex_);
  const auto it = routes_.find(Normalize(path));
  if (it == routes_.end()) throw std::invalid_argument("UpdateText: no such route");
  auto route = std::make_shared<Route>(*it->second);
  for (std::string& header : route->headers) {
    if (EqualNoCase(std::string_view(header).substr(0, 15), "Content-Length:"))
      header = "Content-Length: " + std::to_string(text.size());
  }
  route->body = std::move(text);
  it->second = std::move(route);
}

void RadioServer::Redirect(std::string path, std::string location, int code) {
  Route route;
  route.statusLine = "HTTP/1.1 " + std::to_string(code) + " " + ReasonPhrase(code);
  route.headers = {"Location: " + location, "Content-Length: 0", "Connection: close"};
  Serve(std::move(path), std::move(route));
}

void RadioServer::Remove(std::string_view path) {
  std::lock_guard lock(mutex_);
  const auto it = routes_.find(Normalize(path));
  if (it != routes_.end()) routes_.erase(it);
}

void RadioServer::Disconnect(std::string_view path) {
  const std::string key = PathPart(path);
  std::lock_guard lock(mutex_);
  for (const auto& connection : connections_) {
    if (connection->open && connection->path == key) {
      connection->closing = true;
      ::shutdown(connection->fd, SHUT_RDWR);
    }
  }
}

int RadioServer::Requests(std::string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = records_.find(PathPart(path));
  return it == records_.end() ? 0 : it->second.requests;
}

bool RadioServer::WaitForRequests(std::string_view path, int count,
                                  std::chrono::milliseconds timeout) const {
  const std::string key = PathPart(path);
  std::unique_lock lock(mutex_);
  return requestArrived_.wait_for(lock, timeout, [&] {
    const auto it = records_.find(key);
    return it != records_.end() && it->second.requests >= count;
  });
}

std::string RadioServer::RequestLine(std::string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = records_.find(PathPart(path));
  return it == records_.end() ? std::string() : it->second.requestLine;
}

std::vector<std::string> RadioServer::RequestHeaderLines(std::string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = records_.find(PathPart(path));
  return it == records_.end() ? std::vector<std::string>() : it->second.headerLines;
}

std::string RadioServer::RequestHeader(std::string_view path, std::string_view name) const {
  for (const std::string& line : RequestHeaderLines(path)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && EqualNoCase(Trim(line.substr(0, colon)), name))
      return std::string(Trim(std::string_view(line).substr(colon + 1)));
  }
  return {};
}

int RadioServer::LiveConnections(std::string_view path) const {
  const std::string key = PathPart(path);
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                        [&](auto& c) { return c->open && c->path == key; }));
}

std::chrono::steady_clock::time_point RadioServer::FirstBodyByteSent(std::string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = records_.find(PathPart(path));
  return it == records_.end() ? Clock::time_point() : it->second.firstBodyByte;
}

void RadioServer::AcceptLoop() {
  for (;;) {
    ReapFinished();
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, 100);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;  // the destructor is stopping us
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // EINTR, ECONNABORTED, out of descriptors: try again later

    std::lock_guard lock(mutex_);
    const auto live =
        std::count_if(connections_.begin(), connections_.end(), [](auto& c) { return !c->done; });
    if (stopping_ || live >= kMaxConnections) {
      ::close(fd);  // over the bound: the client sees the connection closed at once
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A bounded send lets a thread stuck on a client that does not read notice a stop.
    const timeval sendTimeout{0, 100 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    auto connection = std::make_shared<Connection>(fd);
    connection->thread = std::thread([this, connection] { HandleConnection(connection); });
    connections_.push_back(std::move(connection));
  }
}

void RadioServer::ReapFinished() {
  std::list<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if ((*it)->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (const auto& connection : finished) connection->thread.join();
}

bool RadioServer::Wait(Connection& connection, std::chrono::milliseconds duration) {
  const auto deadline = Clock::now() + duration;
  for (;;) {
    if (connection.closing) return false;
    const auto now = Clock::now();
    if (now >= deadline) return true;
    const auto left = std::chrono::ceil<milliseconds>(deadline - now);
    pollfd fd{connection.fd, POLLIN | POLLRDHUP, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(std::min(left, kPollSlice).count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (fd.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) return false;
    // Anything the client sends after its request is read and dropped; an end of
    // stream means it has gone.
    char scratch[4096];
    const ssize_t got = ::recv(connection.fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
  }
}

bool RadioServer::SendAll(Connection& connection, std::string_view bytes) {
  while (!bytes.empty()) {
    if (connection.closing) return false;
    const ssize_t sent = ::send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;  // EPIPE, ECONNRESET: the client went away
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool RadioServer::SendPaced(Connection& connection, const Route& route, std::string_view payload,
                            bool withMetadata) {
  if (payload.empty()) return true;
  const size_t metaint = withMetadata ? route.metaint : 0;
  const double rate = route.bytesPerSecond;
  size_t sent = 0;  // body bytes sent on this connection, across loops
  size_t position = 0;
  size_t untilMetadata = metaint;
  size_t nextPause = 0;
  std::string_view lastTitle;  // no block sent yet reads as an empty title
  auto start = Clock::now();

  for (;;) {
    if (position == payload.size()) {
      if (!route.loopBody) return true;
      position = 0;
    }
    while (nextPause < route.pauses.size() && route.pauses[nextPause].first <= sent) {
      const milliseconds stall(route.pauses[nextPause++].second);
      if (!Wait(connection, stall)) return false;
      start += stall;
    }

    size_t chunk = std::min(payload.size() - position, kSendChunk);
    if (metaint > 0) chunk = std::min(chunk, untilMetadata);
    if (nextPause < route.pauses.size())
      chunk = std::min(chunk, route.pauses[nextPause].first - sent);
    if (route.dropAfterBytes > sent) chunk = std::min(chunk, route.dropAfterBytes - sent);
    if (rate > 0) {
      if (sent < route.burstBytes) {
        chunk = std::min(chunk, route.burstBytes - sent);
      } else {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double allowed = static_cast<double>(route.burstBytes) + rate * elapsed;
        const double owed = allowed - static_cast<double>(sent);
        if (owed < 1) {
          // Sleep until about 10 ms worth of bytes are due, so the stream moves in
          // small steps rather than one byte per wake-up.
          const double step = std::max(1.0, rate / 100);
          const double wake = (static_cast<double>(sent - route.burstBytes) + step) / rate;
          const auto sleep = std::chrono::duration_cast<milliseconds>(
              std::chrono::duration<double>(wake - elapsed));
          if (!Wait(connection, std::max(sleep, milliseconds(1)))) return false;
          continue;
        }
        chunk = std::min(chunk, static_cast<size_t>(owed));
      }
    }

    if (sent == 0 && withMetadata) {
      std::lock_guard lock(mutex_);
      records_[connection.path].firstBodyByte = Clock::now();
    }
    if (!SendAll(connection, payload.substr(position, chunk))) return false;
    position += chunk;
    sent += chunk;
    const bool drop = route.dropAfterBytes > 0 && sent >= route.dropAfterBytes;
    if (drop && !(metaint > 0 && untilMetadata == chunk && route.dropInMetadata)) {
      connection.reset = true;
      return false;
    }
    if (metaint == 0) continue;
    untilMetadata -= chunk;
    if (untilMetadata > 0) continue;
    untilMetadata = metaint;

    std::string_view title;
    for (const auto& [offset, text] : route.titles) {
      if (offset > sent) break;
      title = text;
    }
    std::string block(1, '\0');
    if (title != lastTitle) {
      const size_t units = std::max<size_t>(1, (title.size() + 15) / 16);
      block[0] = static_cast<char>(units);
      block += title;
      block.resize(1 + units * 16, '\0');
      lastTitle = title;
    }
    if (drop) {
      // Cut inside the block: the length byte and half of what it announced.
      if (block.size() == 1) block = std::string(1, '\1') + std::string(16, 'x');
      SendAll(connection, block.substr(0, 1 + (block.size() - 1) / 2));
      connection.reset = true;
      return false;
    }
    if (!SendAll(connection, block)) return false;
  }
}

void RadioServer::SendResponse(Connection& connection, const Route& route, bool head,
                               size_t rangeFrom) {
  if (route.delayMs > 0 && !Wait(connection, milliseconds(route.delayMs))) return;
  if (route.refuse) {
    connection.reset = true;
    return;
  }
  if (route.neverAnswer) {
    while (Wait(connection, std::chrono::hours(1))) {
    }
    return;
  }
  bool whole;
  if (!route.rawResponse.empty()) {
    whole = SendPaced(connection, route, route.rawResponse, false);
  } else if (route.ranges && rangeFrom > 0 && rangeFrom < route.body.size()) {
    Route rest = route;
    rest.statusLine = "HTTP/1.1 206 Partial Content";
    std::erase_if(rest.headers, [](const std::string& line) {
      return EqualNoCase(std::string_view(line).substr(0, 15), "Content-Length:");
    });
    rest.headers.push_back("Content-Length: " + std::to_string(route.body.size() - rangeFrom));
    rest.headers.push_back("Content-Range: bytes " + std::to_string(rangeFrom) + "-" +
                           std::to_string(route.body.size() - 1) + "/" +
                           std::to_string(route.body.size()));
    rest.body = route.body.substr(rangeFrom);
    rest.ranges = false;
    rest.dropAfterBytes = 0;
    rest.delayMs = 0;
    SendResponse(connection, rest, head, 0);
    return;
  } else {
    std::string header = route.statusLine + "\r\n";
    for (const std::string& line : route.headers) header += line + "\r\n";
    if (route.metaint > 0) header += "icy-metaint:" + std::to_string(route.metaint) + "\r\n";
    header += "\r\n";
    whole = SendAll(connection, header) && (head || SendPaced(connection, route, route.body, true));
  }
  if (whole && route.hangAfterBody) {
    while (Wait(connection, std::chrono::hours(1))) {
    }
  }
}

void RadioServer::HandleConnection(const std::shared_ptr<Connection>& connection) {
  // Read the request head, bounded in size and time.
  std::string request;
  size_t headEnd = std::string::npos;
  const auto deadline = Clock::now() + kRequestTimeout;
  while (headEnd == std::string::npos && request.size() < kMaxRequestBytes &&
         !connection->closing && Clock::now() < deadline) {
    pollfd fd{connection->fd, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(kPollSlice.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::recv(connection->fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;
    if (got > 0) request.append(buffer, static_cast<size_t>(got));
    headEnd = request.find("\r\n\r\n");
    if (headEnd == std::string::npos) headEnd = request.find("\n\n");
  }

  if (headEnd != std::string::npos) {
    std::vector<std::string> lines;
    std::string_view rest(request.data(), headEnd);
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines.emplace_back(line);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    const std::string requestLine = lines.empty() ? std::string() : lines.front();
    const size_t space = requestLine.find(' ');
    const std::string method = requestLine.substr(0, space);
    std::string target;
    if (space != std::string::npos) {
      target = requestLine.substr(space + 1);
      target = target.substr(0, target.find(' '));
    }
    const std::string path = PathPart(target);

    std::shared_ptr<const Route> route;
    bool unavailable = false;
    {
      std::lock_guard lock(mutex_);
      auto it = routes_.find(Normalize(target));
      if (it == routes_.end()) it = routes_.find(path);
      if (it != routes_.end()) route = it->second;
      PathRecord& record = records_[path];
      ++record.requests;
      unavailable = route && record.requests <= route->failFirstRequests;
      record.requestLine = requestLine;
      record.headerLines.assign(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
      record.firstBodyByte = {};
      connection->path = path;
    }
    requestArrived_.notify_all();

    if (!route) {
      static const Route kNotFound = [] {
        Route r;
        r.statusLine = "HTTP/1.1 404 Not Found";
        r.headers = {"Content-Type: text/plain", "Content-Length: 10", "Connection: close"};
        r.body = "Not found\n";
        return r;
      }();
      route = std::shared_ptr<const Route>(&kNotFound, [](const Route*) {});
    }
    if (unavailable) {
      static const Route kUnavailable = [] {
        Route r;
        r.statusLine = "HTTP/1.1 503 Service Unavailable";
        r.headers = {"Content-Type: text/plain", "Content-Length: 12", "Connection: close"};
        r.body = "Try again.\r\n";
        return r;
      }();
      route = std::shared_ptr<const Route>(&kUnavailable, [](const Route*) {});
    }
    size_t rangeFrom = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos || !EqualNoCase(Trim(line.substr(0, colon)), "Range"))
        continue;
      const std::string_view value = Trim(line.substr(colon + 1));
      if (value.starts_with("bytes=")) rangeFrom = std::strtoul(value.data() + 6, nullptr, 10);
    }
    SendResponse(*connection, *route, method == "HEAD", rangeFrom);
  }

  {
    std::lock_guard lock(mutex_);
    connection->open = false;
  }
  if (connection->reset) {
    // Closing with a zero linger time sends a reset instead of the end of stream.
    const linger abort{1, 0};
    ::setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    ::shutdown(connection->fd, SHUT_WR);
  }
  ::close(connection->fd);
  connection->done = true;
}

}  // namespace tw::test
