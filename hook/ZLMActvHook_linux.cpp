// The input hook library on Linux: the X server counts how long the user has
// been idle (the screen saver extension); GetTimeStamp turns a reading into
// the moment of the last input. Without a display the stamp stays at the
// moment watching began.
#include <time.h>

#include <cstdint>
#include <mutex>

#define ZLMACTVHOOK_BUILD
#include "hook/ZLMActvHook.h"
#include "platform/linux/x_idle.h"

// Last: Xlib's macros then reach no other header.
#include "platform/linux/x_idle_reader.h"

namespace {

std::mutex g_lock;
int g_installs = 0;       // InstallHook calls not yet ended by UninstallHook
DWORD g_stamp = 0;        // seconds since 1970 UTC, cut to 32 bits
xidle::LastInputMoment g_lastInput;  // on the monotonic clock

std::int64_t Milliseconds(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

xidle::IdleReader* g_reader = nullptr;  // while watching

xidle::IdleReader* NewReader() {
  xidle::XApi api{};
  api.openDisplay = &::XOpenDisplay;
  api.closeDisplay = &::XCloseDisplay;
  api.defaultRootWindow = &::XDefaultRootWindow;
  api.connectionNumber = &::XConnectionNumber;
  api.free = &::XFree;
  api.queryExtension = &::XScreenSaverQueryExtension;
  api.allocInfo = &::XScreenSaverAllocInfo;
  api.queryInfo = &::XScreenSaverQueryInfo;
  api.setIOErrorExitHandler = &::XSetIOErrorExitHandler;
  return new xidle::IdleReader(api);
}

}  // namespace

BOOL WINAPI InstallHook() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_installs++ == 0) {
    g_stamp = static_cast<DWORD>(Milliseconds(CLOCK_REALTIME) / 1000);
    g_lastInput = xidle::LastInputMoment();
    g_reader = NewReader();
  }
  return TRUE;
}

BOOL WINAPI UninstallHook() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_installs == 0) return FALSE;
  if (--g_installs == 0) {
    delete g_reader;
    g_reader = nullptr;
  }
  return TRUE;
}

DWORD WINAPI GetTimeStamp() {
  std::lock_guard<std::mutex> lock(g_lock);
  std::uint64_t before = 0, after = 0, idle = 0;
  if (g_reader != nullptr && g_reader->Read(before, after, idle) && g_lastInput.Observe(before, after, idle)) {
    // New input: its moment on the wall clock, counted back from now. Input
    // from before watching began does not count.
    const std::int64_t ago = static_cast<std::int64_t>(Milliseconds(CLOCK_MONOTONIC)) -
                             static_cast<std::int64_t>(g_lastInput.Moment());
    const auto seconds = static_cast<DWORD>((Milliseconds(CLOCK_REALTIME) - ago) / 1000);
    if (seconds > g_stamp) g_stamp = seconds;
  }
  return g_stamp;
}
