// The single-instance guard: one running copy of the player per user.
#pragma once

#include <string>

namespace tw {

inline constexpr const char* kInstanceLockName = "SimpleTunewellVarnholt";
inline constexpr const char* kAlreadyRunningMessage = "Sorry this program is currently running";

// Takes the lock for the life of the process. Empty when this copy may run;
// else what to tell the user: another copy holds the lock, or no lock could be
// taken at all, in which case this copy cannot know whether another one runs
// and does not start.
std::string AcquireSingleInstance();

}  // namespace tw
