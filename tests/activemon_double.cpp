// A stand-in for the input hook library: the away timer's entry points with a
// stamp the test sets, and counts of the calls. Built twice, the second time
// without GetTimeStamp (ACTIVEMON_DOUBLE_PARTIAL).
#define ZLMACTVHOOK_BUILD
#include "hook/ZLMActvHook.h"

namespace {
LONG g_installs = 0;
LONG g_uninstalls = 0;
LONG g_stampCalls = 0;
DWORD g_stamp = 0;
}  // namespace

BOOL WINAPI InstallHook() {
  ++g_installs;
  return TRUE;
}

BOOL WINAPI UninstallHook() {
  ++g_uninstalls;
  return TRUE;
}

#ifndef ACTIVEMON_DOUBLE_PARTIAL
DWORD WINAPI GetTimeStamp() {
  ++g_stampCalls;
  return g_stamp;
}
#endif

ZLMACTVHOOK_API void WINAPI DoubleSetTimeStamp(DWORD stamp) { g_stamp = stamp; }

ZLMACTVHOOK_API void WINAPI DoubleCounts(LONG* installs, LONG* uninstalls, LONG* stampCalls) {
  *installs = g_installs;
  *uninstalls = g_uninstalls;
  *stampCalls = g_stampCalls;
}

// Counts start again for each test: an away timer destroyed without
// MonUnInit keeps the library loaded, counts and all.
ZLMACTVHOOK_API void WINAPI DoubleReset() {
  g_installs = g_uninstalls = g_stampCalls = 0;
  g_stamp = 0;
}
