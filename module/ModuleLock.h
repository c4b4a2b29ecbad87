// The module's lock count: every live control object and every class-factory
// lock holds one count; the module may be unloaded while the count is 0.
// Changed only with interlocked increment and decrement.
#pragma once

#include "platform/wintypes.h"

namespace tessaro {

// Each returns the count after the change.
LONG ModuleLockIncrement();
LONG ModuleLockDecrement();
LONG ModuleLockCount();

}  // namespace tessaro
