#include "tests/support/port_outage.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace tw::test {

namespace {

constexpr const char* kNft = "/usr/sbin/nft";

// Feeds a ruleset to `nft -f -`; whether nft took it.
bool RunNft(const std::string& ruleset) {
  FILE* pipe = popen((std::string(kNft) + " -f - 2>/dev/null").c_str(), "w");
  if (!pipe) return false;
  const bool written = std::fwrite(ruleset.data(), 1, ruleset.size(), pipe) == ruleset.size();
  return pclose(pipe) == 0 && written;
}

// Tables of test processes that were killed before they could delete them
// (a time-out, a Ctrl+C) would keep their ports dead: removed here.
void RemoveStaleTables() {
  FILE* pipe = popen((std::string(kNft) + " list tables 2>/dev/null").c_str(), "r");
  if (!pipe) return;
  std::string stale;
  char line[256];
  const std::string prefix = "table inet tunewell_test_";
  while (std::fgets(line, sizeof line, pipe)) {
    const std::string text(line);
    if (!text.starts_with(prefix)) continue;
    // "table inet tunewell_test_<pid>_<n>"
    const std::size_t from = prefix.size();
    const std::string pid = text.substr(from, text.find('_', from) - from);
    const std::string name = text.substr(6, text.find_first_of("\r\n") - 6);
    if (access(("/proc/" + pid).c_str(), F_OK) != 0) stale += "delete table " + name + "\n";
  }
  pclose(pipe);
  if (!stale.empty()) RunNft(stale);
}

std::string TableName() {
  static std::atomic<int> next{0};
  return "tunewell_test_" + std::to_string(getpid()) + "_" + std::to_string(next++);
}

}  // namespace

std::string PortOutage::Unavailable() {
  if (geteuid() != 0) return "network outages need root (nftables rules); skipped";
  if (access(kNft, X_OK) != 0) return "network outages need nft (package nftables); skipped";
  RemoveStaleTables();
  const std::string table = TableName();
  if (!RunNft("add table inet " + table + "\ndelete table inet " + table + "\n")) {
    return "nft cannot add a table here (no CAP_NET_ADMIN?); skipped";
  }
  return "";
}

PortOutage::PortOutage(uint16_t port) : table_(TableName()) {
  const std::string p = std::to_string(port);
  // On loopback every packet passes the output hook: dropping there in both
  // directions silences the connection without a reset or an ICMP error.
  if (!RunNft("table inet " + table_ + " {\n  chain out {\n" +
              "    type filter hook output priority -10; policy accept;\n" + "    tcp dport " + p +
              " drop\n    tcp sport " + p + " drop\n  }\n}\n")) {
    throw std::runtime_error("nft refused the outage table " + table_);
  }
  active_ = true;
}

PortOutage::~PortOutage() { End(); }

void PortOutage::End() {
  if (!active_) return;
  active_ = false;
  RunNft("delete table inet " + table_ + "\n");
}

}  // namespace tw::test
