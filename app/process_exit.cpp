#include "app/process_exit.h"

#include <cstdio>
#include <cstdlib>

namespace tw {

void ExitProcessNow(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace tw
