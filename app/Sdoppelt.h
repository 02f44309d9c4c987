// The single-instance guard: one running copy of the player per user.
#pragma once

namespace tw {

inline constexpr const char* kInstanceLockName = "SimpleTunewellVarnholt";
inline constexpr const char* kAlreadyRunningMessage = "Sorry this program is currently running";

// Takes the lock for the life of the process. False when another copy holds it.
// When the lock file cannot be used at all the player starts anyway: refusing to
// start would be worse than a rare second copy.
bool AcquireSingleInstance();

}  // namespace tw
