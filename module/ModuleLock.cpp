#include "module/ModuleLock.h"

#include <atomic>

namespace tessaro {

namespace {
std::atomic<LONG> g_lockCount{0};
}  // namespace

LONG ModuleLockIncrement() { return g_lockCount.fetch_add(1) + 1; }
LONG ModuleLockDecrement() { return g_lockCount.fetch_sub(1) - 1; }
LONG ModuleLockCount() { return g_lockCount.load(); }

}  // namespace tessaro
