// Wall time since a moment, in seconds, for tests and benchmarks.
#pragma once

#include <chrono>

namespace tw::test {

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tw::test
