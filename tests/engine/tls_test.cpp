// Secure streams: a server whose certificate nobody vouches for is refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine/engine.h"
#include "tests/support/child_process.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

// A port that was free a moment ago on 127.0.0.1.
uint16_t FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

bool Accepts(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

// Catches certificate checks switched off: a self-signed server must not play.
TEST(Tls, SelfSignedCertificateIsRefused) {
  test::TempFolder folder;
  const std::string make =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
      (folder / "key.pem").string() + " -out " + (folder / "cert.pem").string() +
      " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make a certificate";
  const uint16_t port = FreePort();
  test::ChildProcess server(
      "/usr/bin/openssl",
      {"s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
       (folder / "cert.pem").string(), "-key", (folder / "key.pem").string()},
      {});
  bool up = false;
  for (int i = 0; i < 200 && !(up = Accepts(port)); ++i) std::this_thread::sleep_for(25ms);
  ASSERT_TRUE(up) << "the TLS server did not start";

  ASSERT_TRUE(BASS_Init(test::NoSoundDevice(), 44100, 0, nullptr, nullptr));
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  EXPECT_EQ(BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_SSL);
  BASS_Free();
}

}  // namespace
}  // namespace tw
