// Our own implementation of the services on Linux.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/paths.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kUnixEpochIn100ns = 116444736000000000ULL;

// Copies text into a caller's buffer of size characters; returns false when
// text and terminator do not fit.
bool CopyOut(WStringView text, LPWSTR buffer, size_t size) {
  if (buffer == nullptr || text.size() + 1 > size) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  // One write call for the whole line; a short write only happens for
  // enormous texts or a full pipe, and the rest then follows.
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct SystemMessage {
  DWORD code;
  const char* text;
};

// The system's texts for the error codes Tessaro's Linux services report.
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
};

// Creates one directory level; returns the system error code.
DWORD MakeOneDirectory(const std::string& unixPath) {
  if (::mkdir(unixPath.c_str(), 0777) == 0) return ERROR_SUCCESS;
  return linux_paths::ErrorFromErrno(errno);
}

}  // namespace

// ---- clock -----------------------------------------------------------------

void ClockService::GetSystemTimeAsFileTime(LPFILETIME ft) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const ULONGLONG t = kUnixEpochIn100ns + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL +
                      static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

// The machine's zone applied to this clock's UTC time, so that a substituted
// clock or a substituted zone (TimeService) applies; milliseconds are kept.
void ClockService::GetLocalTime(LPSYSTEMTIME st) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  SYSTEMTIME utc{};
  Time().FileTimeToSystemTime(&ft, &utc);
  if (!Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, st)) *st = utc;
}

DWORD ClockService::GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

// ---- last error ------------------------------------------------------------

DWORD ErrorService::GetLastError() { return t_lastError; }
void ErrorService::SetLastError(DWORD code) { t_lastError = code; }

DWORD ErrorService::FormatMessageW(DWORD flags, LPCVOID /*source*/, DWORD messageId,
                                   DWORD /*languageId*/, LPWSTR buffer, DWORD size,
                                   void* /*arguments*/) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const char* text = nullptr;
  for (const auto& m : kSystemMessages)
    if (m.code == messageId) text = m.text;
  if (text == nullptr) {
    t_lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  const WString message = wstr::FromUtf8(text) + WSTR("\r\n");
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* mem = static_cast<LPWSTR>(std::malloc((message.size() + 1) * sizeof(WCHAR)));
    if (mem == nullptr) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return 0;
    }
    CopyOut(message, mem, message.size() + 1);
    *reinterpret_cast<LPWSTR*>(buffer) = mem;
  } else if (!CopyOut(message, buffer, size)) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  return static_cast<DWORD>(message.size());
}

HLOCAL ErrorService::LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

// ---- environment -----------------------------------------------------------

DWORD EnvironmentService::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  const char* value = ::getenv(wstr::ToUtf8(name).c_str());
  if (value == nullptr) {
    t_lastError = ERROR_ENVVAR_NOT_FOUND;
    return 0;
  }
  const WString text = wstr::FromUtf8(value);
  if (!CopyOut(text, buffer, size)) return static_cast<DWORD>(text.size() + 1);
  return static_cast<DWORD>(text.size());
}

BOOL EnvironmentService::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  const std::string n = wstr::ToUtf8(name);
  const int rc = value == nullptr ? ::unsetenv(n.c_str()) : ::setenv(n.c_str(), wstr::ToUtf8(value).c_str(), 1);
  if (rc != 0) t_lastError = ERROR_INVALID_PARAMETER;
  return rc == 0;
}

// ---- shell folders and directories -----------------------------------------

HRESULT FileService::SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  if ((folder & 0xFF) != CSIDL_APPDATA) return E_INVALIDARG;
  // The roaming application data folder is the user's configuration folder.
  std::string dir;
  if (const char* xdg = ::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    dir = xdg;
  } else if (const char* home = ::getenv("HOME"); home != nullptr && home[0] == '/') {
    dir = std::string(home) + "/.config";
  } else {
    return E_FAIL;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (folder & CSIDL_FLAG_CREATE) {
    const WString win = linux_paths::FromUnix(dir);
    const int rc = SHCreateDirectoryExW(nullptr, win.c_str(), nullptr);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) return HRESULT_FROM_WIN32(rc);
  }
  if (!CopyOut(linux_paths::FromUnix(dir), path, MAX_PATH)) return E_FAIL;
  return S_OK;
}

int FileService::SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
  if (path == nullptr || !linux_paths::IsAbsolute(path)) return ERROR_BAD_PATHNAME;
  std::string unixPath;
  if (!linux_paths::ToUnix(path, unixPath)) return ERROR_PATH_NOT_FOUND;
  struct stat st {};
  if (::stat(unixPath.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
  // Create each missing level from the root down.
  for (size_t pos = 1; pos <= unixPath.size(); ++pos) {
    if (pos != unixPath.size() && unixPath[pos] != '/') continue;
    const std::string level = unixPath.substr(0, pos);
    if (::stat(level.c_str(), &st) == 0) continue;
    const DWORD rc = MakeOneDirectory(level);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) {
      t_lastError = rc;
      return static_cast<int>(rc);
    }
  }
  return ERROR_SUCCESS;
}

BOOL FileService::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  WStringView p = path == nullptr ? WStringView() : WStringView(path);
  const bool longForm = p.size() >= 4 && p.substr(0, 4) == WSTR("\\\\?\\");
  // The long-path prefix takes the path as it stands: it must be absolute.
  std::string unixPath;
  if (p.empty() || (longForm && !linux_paths::IsAbsolute(p)) || !linux_paths::ToUnix(p, unixPath) ||
      unixPath.empty()) {
    t_lastError = longForm ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  const DWORD rc = MakeOneDirectory(unixPath);
  if (rc != ERROR_SUCCESS) {
    t_lastError = rc;
    return FALSE;
  }
  return TRUE;
}

// ---- modules ---------------------------------------------------------------

namespace {
void ModuleMarker() {}
}  // namespace

DWORD ModuleService::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  std::string file;
  Dl_info info{};
  link_map* map = nullptr;
  if (module == nullptr &&
      ::dladdr1(reinterpret_cast<void*>(&ModuleMarker), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != 0) {
    if (char* real = ::realpath(map->l_name, nullptr)) {
      file = real;
      std::free(real);
    }
  }
  if (file.empty()) {
    // The program itself.
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
      t_lastError = ERROR_MOD_NOT_FOUND;
      return 0;
    }
    file.assign(exe, static_cast<size_t>(n));
  }
  const WString name = linux_paths::FromUnix(file);
  if (size == 0 || buffer == nullptr) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  if (name.size() + 1 > size) {
    // As Windows does: the text is cut and terminated, and the full size is reported.
    name.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  CopyOut(name, buffer, size);
  return static_cast<DWORD>(name.size());
}

// ---- debugger stream and report box ----------------------------------------

void DiagnosticsService::OutputDebugStringW(LPCWSTR text) {
  if (text != nullptr) WriteAll(2, wstr::ToUtf8(text));
}

int DiagnosticsService::MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  std::string box = "[" + wstr::ToUtf8(caption == nullptr ? WSTR("Error") : caption) + "] " +
                    wstr::ToUtf8(text == nullptr ? WSTR("") : text);
  if (box.empty() || box.back() != '\n') box.push_back('\n');
  WriteAll(2, box);
  return IDOK;
}

}  // namespace plat
