#pragma once

namespace tw {

// Ends the process at once, running no shutdown (so the settings file is not
// written). Output streams are flushed first.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace tw
