#include "app/Sdoppelt.h"

#include "platform/instance_lock.h"

namespace tw {

std::string AcquireSingleInstance() {
  // Lives until the process ends; the kernel releases the lock then.
  static InstanceLock lock(kInstanceLockName);
  switch (lock.state()) {
    case InstanceLock::State::Acquired:
      return {};
    case InstanceLock::State::HeldElsewhere:
      return kAlreadyRunningMessage;
    case InstanceLock::State::Unavailable:
      break;
  }
  return "Tunewell cannot make sure that it runs only once, so it does not start.\r\n" +
         lock.error();
}

}  // namespace tw
