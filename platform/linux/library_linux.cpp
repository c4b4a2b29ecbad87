// Libraries, the version query, the runtime clock and our own "user32.dll"
// on Linux.
//
// A library named "dir\Name.dll" is the shared object "dir/libName.so" (the
// name the build gives a shared library); a name without ".dll" is taken as
// it stands, and a name without a directory is searched for along the
// library path. "user32.dll" is built in: its only entry point is
// GetLastInputInfo, offered while an X display with the screen saver
// extension answers, and reading the server's idle time.
#include <dlfcn.h>
#include <time.h>

#include <cstdint>

#include <mutex>
#include <string>

#include "platform/linux/paths.h"
#include "platform/linux/x_idle.h"
#include "platform/services.h"
#include "platform/wstr.h"

// Last: Xlib's macros (Bool, Status, ...) then reach no other header.
#include "platform/linux/x_idle_reader.h"

namespace plat {

namespace {

void SetError(DWORD code) { Errors().SetLastError(code); }

// The X libraries are found at run time, so that programs also run where
// they are not installed (the last-input time is then simply absent).
class XIdleSource {
 public:
  // True while a display answers and offers the screen saver extension.
  bool Available() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t before = 0, after = 0, idle = 0;
    return Load() && reader_->Read(before, after, idle);
  }

  // The moment of the last input in milliseconds of the monotonic clock.
  bool LastInput(std::uint64_t& moment) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t before = 0, after = 0, idle = 0;
    if (!Load() || !reader_->Read(before, after, idle)) return false;
    moment_.Observe(before, after, idle);
    moment = moment_.Moment();
    return true;
  }

 private:
  template <class F>
  static bool Find(void* library, const char* name, F& entry) {
    entry = reinterpret_cast<F>(::dlsym(library, name));
    return entry != nullptr;
  }

  bool Load() {
    if (tried_) return reader_ != nullptr;
    tried_ = true;
    // The libraries stay loaded for the process: Xlib does not like leaving.
    void* x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    void* xss = x11 != nullptr ? ::dlopen("libXss.so.1", RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (xss == nullptr) return false;
    xidle::XApi api{};
    if (!Find(x11, "XOpenDisplay", api.openDisplay) || !Find(x11, "XCloseDisplay", api.closeDisplay) ||
        !Find(x11, "XDefaultRootWindow", api.defaultRootWindow) ||
        !Find(x11, "XConnectionNumber", api.connectionNumber) || !Find(x11, "XFree", api.free) ||
        !Find(xss, "XScreenSaverQueryExtension", api.queryExtension) ||
        !Find(xss, "XScreenSaverAllocInfo", api.allocInfo) || !Find(xss, "XScreenSaverQueryInfo", api.queryInfo))
      return false;
    Find(x11, "XSetIOErrorExitHandler", api.setIOErrorExitHandler);
    reader_ = new xidle::IdleReader(api);  // kept until the process ends
    return true;
  }

  std::mutex mutex_;
  bool tried_ = false;
  xidle::IdleReader* reader_ = nullptr;
  xidle::LastInputMoment moment_;
};

XIdleSource& XIdle() {
  static XIdleSource* source = new XIdleSource;  // kept until the process ends
  return *source;
}

// GetLastInputInfo of our "user32.dll": the tick (milliseconds of the
// monotonic clock, cut to 32 bits as Windows' tick count) of the last input.
BOOL WINAPI LastInputInfo(PLASTINPUTINFO info) {
  if (info == nullptr || info->cbSize != sizeof(LASTINPUTINFO)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::uint64_t moment = 0;
  if (!XIdle().LastInput(moment)) {
    SetError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  info->dwTime = static_cast<DWORD>(moment);
  return TRUE;
}

char g_user32;
HMODULE User32() { return reinterpret_cast<HMODULE>(&g_user32); }

bool EndsWithNoCase(WStringView text, WStringView tail) {
  return text.size() >= tail.size() && wstr::EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace

HMODULE LibraryService::LoadLibraryW(LPCWSTR fileName) {
  if (fileName == nullptr || fileName[0] == 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const WStringView name(fileName);
  const size_t sep = name.find_last_of(WSTR("\\/"));
  const WStringView dir = sep == WStringView::npos ? WStringView() : name.substr(0, sep + 1);
  const WStringView file = sep == WStringView::npos ? name : name.substr(sep + 1);
  if (dir.empty() && (wstr::EqualsNoCase(file, WSTR("user32.dll")) || wstr::EqualsNoCase(file, WSTR("user32"))))
    return User32();
  WString mapped(file);
  if (EndsWithNoCase(file, WSTR(".dll")))
    mapped = WSTR("lib") + WString(file.substr(0, file.size() - 4)) + WSTR(".so");
  std::string path;
  if (dir.empty()) {
    path = wstr::ToUtf8(mapped);
  } else if (!linux_paths::ToUnix(WString(dir) + mapped, path)) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(handle);
}

FARPROC LibraryService::GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module == nullptr || procName == nullptr) {
    SetError(module == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (module == User32()) {
    if (std::string(procName) == "GetLastInputInfo" && XIdle().Available())
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&LastInputInfo));
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* entry = ::dlsym(reinterpret_cast<void*>(module), procName);
  if (entry == nullptr) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(entry);
}

BOOL LibraryService::FreeLibrary(HMODULE module) {
  if (module == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (module == User32()) return TRUE;
  if (::dlclose(reinterpret_cast<void*>(module)) != 0) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL SystemInfoService::GetVersionExW(LPOSVERSIONINFOW info) {
  if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
                          info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Windows 7 (NT 6.1), the version the build targets: a platform on which
  // the system's last-input tick is not consulted.
  const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
  if (extended) {
    *reinterpret_cast<OSVERSIONINFOEXW*>(info) = OSVERSIONINFOEXW{};
    reinterpret_cast<OSVERSIONINFOEXW*>(info)->wProductType = VER_NT_WORKSTATION;
  } else {
    *info = OSVERSIONINFOW{};
  }
  info->dwOSVersionInfoSize = extended ? sizeof(OSVERSIONINFOEXW) : sizeof(OSVERSIONINFOW);
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

LONGLONG SystemInfoService::CurrentTimeSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<LONGLONG>(ts.tv_sec);
}

}  // namespace plat
