// Libraries, the version query and the runtime clock on Windows: the Win32
// and C runtime calls themselves.
#include <sys/timeb.h>

#include "platform/services.h"

namespace plat {

HMODULE LibraryService::LoadLibraryW(LPCWSTR fileName) { return ::LoadLibraryW(fileName); }
FARPROC LibraryService::GetProcAddress(HMODULE module, LPCSTR procName) {
  return ::GetProcAddress(module, procName);
}
BOOL LibraryService::FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }

BOOL SystemInfoService::GetVersionExW(LPOSVERSIONINFOW info) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return ::GetVersionExW(info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

LONGLONG SystemInfoService::CurrentTimeSeconds() {
  // _ftime64 rather than _ftime64_s: the older msvcrt.dll has only the
  // former, and the two fill the record alike.
  __timeb64 now{};
  ::_ftime64(&now);
  return static_cast<LONGLONG>(now.time);
}

}  // namespace plat
