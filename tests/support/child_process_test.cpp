#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace tw::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Catches a test's variable added after the inherited one (the child's getenv
// takes the first, so a desktop's XDG_RUNTIME_DIR would win and test players
// would take the user's real instance lock), and a removal that is ignored.
TEST(ChildProcess, EnvironmentIsExactlyWhatTheTestAsks) {
  setenv("TW_CHILD_KEPT", "kept", 1);
  setenv("TW_CHILD_REPLACED", "inherited", 1);
  setenv("TW_CHILD_REMOVED", "inherited", 1);
  ChildProcess child("/usr/bin/env", {"TW_CHILD_REPLACED=first", "TW_CHILD_REMOVED",
                                      "TW_CHILD_REPLACED=own", "TW_CHILD_ADDED=a=b"});
  ASSERT_EQ(child.Wait(std::chrono::seconds(30)), 0);
  unsetenv("TW_CHILD_KEPT");
  unsetenv("TW_CHILD_REPLACED");
  unsetenv("TW_CHILD_REMOVED");

  std::vector<std::string> ours;
  for (const std::string& line : Lines(child.output())) {
    if (line.rfind("TW_CHILD_", 0) == 0) ours.push_back(line);
  }
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, (std::vector<std::string>{"TW_CHILD_ADDED=a=b", "TW_CHILD_KEPT=kept",
                                            "TW_CHILD_REPLACED=own"}));
}

}  // namespace
}  // namespace tw::test
