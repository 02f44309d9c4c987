// A network outage for one loopback port: every packet to and from it dropped
// by an nftables table of the test's own (what a dead Wi-Fi looks like: no
// reset, no refusal, just silence). Needs root and the nft tool.
#pragma once

#include <cstdint>
#include <string>

namespace tw::test {

class PortOutage {
 public:
  // "" when outages can be made here, else a line saying why not (for GTEST_SKIP).
  static std::string Unavailable();

  // Begins the outage; throws std::runtime_error when nft refuses.
  explicit PortOutage(uint16_t port);
  // Ends it, if End has not.
  ~PortOutage();
  PortOutage(const PortOutage&) = delete;
  PortOutage& operator=(const PortOutage&) = delete;

  // Deletes the table: packets flow again.
  void End();

 private:
  std::string table_;
  bool active_ = false;
};

}  // namespace tw::test
