// The pool's critical section and its scoped guard, under the names the
// pool code uses; the kit's base holds the one implementation.
#pragma once

#include "base/Lock.h"

namespace _ServerEngine {

using CSafeLock = kit::CCriticalSection;
// Enters the lock (when not null) for its lifetime, or until Release.
using CSafeLockGuard = kit::CLockGuard;

}  // namespace _ServerEngine
