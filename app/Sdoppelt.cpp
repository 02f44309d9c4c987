#include "app/Sdoppelt.h"

#include "platform/instance_lock.h"

namespace tw {

bool AcquireSingleInstance() {
  // Lives until the process ends; the kernel releases the lock then.
  static InstanceLock lock(kInstanceLockName);
  return lock.state() != InstanceLock::State::HeldElsewhere;
}

}  // namespace tw
