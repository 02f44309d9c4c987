// A radio station on the loopback interface for tests: ICY and HTTP responses,
// metadata every metaint bytes, real-time pacing, stalls, redirects, live
// playlists, and hostile servers. It listens on 127.0.0.1 only, on a port the
// kernel picks, and stops in its destructor even while clients still hang on.
//
// One request per connection: every response ends with the server closing it
// (or, for hanging routes, with the test or the destructor closing it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tw::test {

class RadioServer {
 public:
  struct Route {
    std::string statusLine = "HTTP/1.0 200 OK";  // or "ICY 200 OK"
    // Sent as given, e.g. "Content-Type: audio/mpeg", "icy-name:Test FM", "icy-br:128".
    std::vector<std::string> headers;
    std::string body;
    // Insert ICY metadata after every metaint body bytes; adds "icy-metaint:N" itself.
    size_t metaint = 0;
    // From this body offset on (bytes of body sent on this connection, counting on
    // across loops), the metadata block is this text, e.g. "StreamTitle='One';".
    // A block goes out only when its text changed, otherwise a zero length byte,
    // as real servers do. Texts are padded with NULs to a multiple of 16 bytes.
    std::vector<std::pair<size_t, std::string>> titles;
    double bytesPerSecond = 0;  // body bytes per second; 0: as fast as the client reads
    size_t burstBytes = 0;      // sent at once before pacing starts
    // At this body offset, send nothing for this many milliseconds (a stall).
    // Pacing resumes afterwards without catching up.
    std::vector<std::pair<size_t, int>> pauses;
    bool loopBody = false;       // repeat the body until the client goes or the server stops
    bool hangAfterBody = false;  // then keep the connection open and silent
    // Sent as is instead of status, headers and body, for hostile servers (a
    // 1 MB header line, HTML, random bytes). Pacing, pauses, loopBody and
    // hangAfterBody apply to it; metaint does not.
    std::string rawResponse;
    bool neverAnswer = false;  // read the request, then never reply
    // A dropped connection: after this many body bytes (0: never) the server
    // resets it (TCP RST), as a broken network does. With dropInMetadata and a
    // drop point at a metadata boundary, the length byte and half the block
    // go out first.
    size_t dropAfterBytes = 0;
    bool dropInMetadata = false;
    // Reset the connection as soon as the request is read (a station that is
    // down: the client sees no answer at all).
    bool refuse = false;
    // Answer the first this many requests of the path with 503.
    int failFirstRequests = 0;
    // Answer "Range: bytes=N-" with 206 and the body from N on (a file server);
    // the route's own Content-Length header is then replaced.
    bool ranges = false;
    int delayMs = 0;  // wait this long before answering
  };

  // Starts listening; throws std::runtime_error when it cannot.
  RadioServer();
  // Closes every connection and joins every thread.
  ~RadioServer();
  RadioServer(const RadioServer&) = delete;
  RadioServer& operator=(const RadioServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:PORT/path"; a missing leading '/' is added.
  std::string Url(std::string_view path) const;

  // Routes match the request's path and query exactly, else its path alone.
  // A route changed while a connection plays it affects only later requests.
  void Serve(std::string path, Route route);
  // 200 with Content-Type and Content-Length, for playlists.
  void ServeText(std::string path, std::string contentType, std::string text);
  // Replaces the text of a ServeText route (a live HLS playlist growing).
  void UpdateText(std::string_view path, std::string text);
  void Redirect(std::string path, std::string location, int code = 302);
  // The path answers 404 again.
  void Remove(std::string_view path);
  // Closes every live connection of the path: to a listener, the stream ends.
  void Disconnect(std::string_view path);

  // Requests made for the path (by its path part; query strings are ignored here).
  int Requests(std::string_view path) const;
  // Waits until at least count requests for the path arrived; false on time-out.
  bool WaitForRequests(std::string_view path, int count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // The last request for the path: its request line ("GET /path HTTP/1.1"), and
  // its header lines without line ends.
  std::string RequestLine(std::string_view path) const;
  std::vector<std::string> RequestHeaderLines(std::string_view path) const;
  // The value of one header of the last request, name matched without regard
  // to case, blanks trimmed; "" when absent.
  std::string RequestHeader(std::string_view path, std::string_view name) const;
  // Connections for the path that are still open (the server notices a client
  // that closed within a few tens of milliseconds, even while it is silent).
  int LiveConnections(std::string_view path) const;
  // When the server began sending the body of the last response for the path
  // (before any metadata block); a default time point until it has. Lets a
  // benchmark time a client that cannot report its first byte itself.
  std::chrono::steady_clock::time_point FirstBodyByteSent(std::string_view path) const;

  static constexpr int kMaxConnections = 32;

 private:
  struct Connection;
  struct PathRecord {
    int requests = 0;
    std::string requestLine;
    std::vector<std::string> headerLines;
    std::chrono::steady_clock::time_point firstBodyByte;
  };

  void AcceptLoop();
  void ReapFinished();  // joins connection threads that ended; caller holds no lock
  void HandleConnection(const std::shared_ptr<Connection>& connection);
  void SendResponse(Connection& connection, const Route& route, bool head, size_t rangeFrom);
  bool SendPaced(Connection& connection, const Route& route, std::string_view payload,
                 bool withMetadata);
  bool Wait(Connection& connection, std::chrono::milliseconds duration);
  bool SendAll(Connection& connection, std::string_view bytes);

  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // written by the destructor to stop the accept loop
  uint16_t port_ = 0;
  std::thread acceptThread_;

  // Shared state, protected by mutex_.
  mutable std::mutex mutex_;
  mutable std::condition_variable requestArrived_;
  bool stopping_ = false;
  std::map<std::string, std::shared_ptr<const Route>, std::less<>> routes_;
  std::map<std::string, PathRecord, std::less<>> records_;
  std::list<std::shared_ptr<Connection>> connections_;
};

}  // namespace tw::test
