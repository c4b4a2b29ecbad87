// Operating-system services, grouped by area. See seam.h for how they are
// reached and substituted.
#pragma once

#include "platform/library_types.h"
#include "platform/seam.h"
#include "platform/wintypes.h"

namespace plat {

// Clock, local time and thread identity.
class ClockService {
 public:
  virtual ~ClockService() = default;
  virtual void GetSystemTimeAsFileTime(LPFILETIME ft);
  virtual void GetLocalTime(LPSYSTEMTIME st);
  virtual DWORD GetCurrentThreadId();
};

// Calendar time: conversions between FILETIME, SYSTEMTIME and zones, and the
// machine's zone. Failures set the last error through Errors().
class TimeService {
 public:
  virtual ~TimeService() = default;
  virtual void GetSystemTime(LPSYSTEMTIME st);
  virtual BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st);
  virtual BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft);
  // zone nullptr means the machine's current zone.
  virtual BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                               LPSYSTEMTIME local);
  virtual BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                               LPSYSTEMTIME utc);
  virtual DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone);
};

// The calling thread's last error and its text.
class ErrorService {
 public:
  virtual ~ErrorService() = default;
  virtual DWORD GetLastError();
  virtual void SetLastError(DWORD code);
  // Only FORMAT_MESSAGE_FROM_SYSTEM texts are needed; with
  // FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really an LPWSTR* that receives
  // a text to be released with LocalFree.
  virtual DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                               LPWSTR buffer, DWORD size, void* arguments);
  virtual HLOCAL LocalFree(HLOCAL mem);
};

class EnvironmentService {
 public:
  virtual ~EnvironmentService() = default;
  virtual DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
  virtual BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
};

// Shell folders and directories.
class FileService {
 public:
  virtual ~FileService() = default;
  virtual HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
  virtual int SHCreateDirectoryExW(HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* sa);
  virtual BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa);
};

class RegistryService {
 public:
  virtual ~RegistryService() = default;
  virtual LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
  virtual LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                               DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                               LPDWORD disposition);
  virtual LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size);
  virtual LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size);
  virtual LONG RegDeleteValueW(HKEY key, LPCWSTR name);
  virtual LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
  virtual LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize,
                             LPDWORD reserved, LPWSTR keyClass, LPDWORD classSize,
                             LPFILETIME lastWrite);
  virtual LONG RegCloseKey(HKEY key);
};

class ModuleService {
 public:
  virtual ~ModuleService() = default;
  // module nullptr names the module that holds Tessaro's code (the DLL on
  // Windows when built as one, else the program).
  virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
  // The module's resources. On Linux the program carries its resources as
  // embedded data (AddEmbeddedResource below), whatever the module handle;
  // names and types are numbers (MAKEINTRESOURCEW) or texts.
  virtual HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
  virtual DWORD SizeofResource(HMODULE module, HRSRC resource);
  virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource);
  virtual LPVOID LockResource(HGLOBAL data);
};

#ifndef _WIN32
// Adds a resource to the program's embedded resources (Linux); the data must
// live as long as the program.
void AddEmbeddedResource(LPCWSTR type, int id, const void* data, DWORD size);
#endif

// The debugger output stream and the modal report box.
class DiagnosticsService {
 public:
  virtual ~DiagnosticsService() = default;
  virtual void OutputDebugStringW(LPCWSTR text);
  virtual int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
};

// Locale-dependent formatting.
class LocaleService {
 public:
  virtual ~LocaleService() = default;
  virtual int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture,
                             LPWSTR out, int size);
  virtual int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture,
                             LPWSTR out, int size);
  virtual int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size);
  // The ANSI code page (on Linux chosen from the locale's language).
  virtual UINT GetACP();
  // The calling thread's locale (Linux keeps it per thread, starting at the
  // user default 0x0400).
  virtual LCID GetThreadLocale();
  virtual BOOL SetThreadLocale(LCID locale);
};

// Threads, events and waits.
class ThreadService {
 public:
  virtual ~ThreadService() = default;
  virtual HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                              LPVOID parameter, DWORD flags, LPDWORD threadId);
  // Unnamed events only.
  virtual HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
  virtual BOOL SetEvent(HANDLE event);
  virtual BOOL ResetEvent(HANDLE event);
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
  virtual BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
  virtual void Sleep(DWORD milliseconds);
  virtual BOOL CloseHandle(HANDLE handle);
};

// The process list, as the process status functions give it.
class ProcessService {
 public:
  virtual ~ProcessService() = default;
  virtual BOOL EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD bytesReturned);
  virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
  virtual BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded);
  virtual DWORD GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR name, DWORD size);
  // Process handles are closed here (on Windows the same CloseHandle).
  virtual BOOL CloseHandle(HANDLE handle);
};

// Libraries and their entry points. On Linux a library is a shared object:
// "dir\Name.dll" stands for "dir/libName.so", and "user32.dll" is a module
// of our own whose GetLastInputInfo (BOOL (*)(PLASTINPUTINFO)) reads the X
// server's idle time; it is offered only while an X display answers.
class LibraryService {
 public:
  virtual ~LibraryService() = default;
  virtual HMODULE LoadLibraryW(LPCWSTR fileName);
  virtual FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
  virtual BOOL FreeLibrary(HMODULE module);
};

// The operating system's version and the runtime's clock.
class SystemInfoService {
 public:
  virtual ~SystemInfoService() = default;
  // The size field names the record: OSVERSIONINFOW (276) or
  // OSVERSIONINFOEXW (284). Linux answers as Windows NT 6.1.
  virtual BOOL GetVersionExW(LPOSVERSIONINFOW info);
  // The current time in whole seconds since 1970-01-01 00:00 UTC, as the C
  // runtime's _ftime64_s gives it.
  virtual LONGLONG CurrentTimeSeconds();
};

inline ClockService& Clock() { return Seam<ClockService>::Get(); }
inline TimeService& Time() { return Seam<TimeService>::Get(); }
inline ErrorService& Errors() { return Seam<ErrorService>::Get(); }
inline EnvironmentService& Env() { return Seam<EnvironmentService>::Get(); }
inline FileService& Files() { return Seam<FileService>::Get(); }
inline RegistryService& Registry() { return Seam<RegistryService>::Get(); }
inline ModuleService& Modules() { return Seam<ModuleService>::Get(); }
inline DiagnosticsService& Diagnostics() { return Seam<DiagnosticsService>::Get(); }
inline LocaleService& Locale() { return Seam<LocaleService>::Get(); }
inline ThreadService& Threads() { return Seam<ThreadService>::Get(); }
inline ProcessService& Processes() { return Seam<ProcessService>::Get(); }
inline LibraryService& Libraries() { return Seam<LibraryService>::Get(); }
inline SystemInfoService& SystemInfo() { return Seam<SystemInfoService>::Get(); }

}  // namespace plat
