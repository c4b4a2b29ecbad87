// The real services on Windows: each forwards to the Win32 API of the same name.
#include "platform/services.h"

namespace plat {

void ClockService::GetSystemTimeAsFileTime(LPFILETIME ft) { ::GetSystemTimeAsFileTime(ft); }
void ClockService::GetLocalTime(LPSYSTEMTIME st) { ::GetLocalTime(st); }
DWORD ClockService::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

void TimeService::GetSystemTime(LPSYSTEMTIME st) { ::GetSystemTime(st); }
BOOL TimeService::FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) { return ::FileTimeToSystemTime(ft, st); }
BOOL TimeService::SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) { return ::SystemTimeToFileTime(st, ft); }
BOOL TimeService::SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                                  LPSYSTEMTIME local) {
  return ::SystemTimeToTzSpecificLocalTime(zone, utc, local);
}
BOOL TimeService::TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                                  LPSYSTEMTIME utc) {
  return ::TzSpecificLocalTimeToSystemTime(zone, local, utc);
}
DWORD TimeService::GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) { return ::GetTimeZoneInformation(zone); }

DWORD ErrorService::GetLastError() { return ::GetLastError(); }
void ErrorService::SetLastError(DWORD code) { ::SetLastError(code); }
DWORD ErrorService::FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                   LPWSTR buffer, DWORD size, void* arguments) {
  return ::FormatMessageW(flags, source, messageId, languageId, buffer, size,
                          static_cast<va_list*>(arguments));
}
HLOCAL ErrorService::LocalFree(HLOCAL mem) { return ::LocalFree(mem); }

DWORD EnvironmentService::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  return ::GetEnvironmentVariableW(name, buffer, size);
}
BOOL EnvironmentService::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  return ::SetEnvironmentVariableW(name, value);
}

HRESULT FileService::SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  return ::SHGetFolderPathW(owner, folder, token, flags, path);
}
int FileService::SHCreateDirectoryExW(HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* sa) {
  return ::SHCreateDirectoryExW(owner, path, sa);
}
BOOL FileService::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  return ::CreateDirectoryW(path, sa);
}

LONG RegistryService::RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  return ::RegOpenKeyW(key, subKey, result);
}
LONG RegistryService::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                      DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa,
                                      PHKEY result, LPDWORD disposition) {
  return ::RegCreateKeyExW(key, subKey, reserved, keyClass, options, sam, sa, result, disposition);
}
LONG RegistryService::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                       LPBYTE data, LPDWORD size) {
  return ::RegQueryValueExW(key, name, reserved, type, data, size);
}
LONG RegistryService::RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                     const BYTE* data, DWORD size) {
  return ::RegSetValueExW(key, name, reserved, type, data, size);
}
LONG RegistryService::RegDeleteValueW(HKEY key, LPCWSTR name) { return ::RegDeleteValueW(key, name); }
LONG RegistryService::RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return ::RegDeleteKeyW(key, subKey); }
LONG RegistryService::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize,
                                    LPDWORD reserved, LPWSTR keyClass, LPDWORD classSize,
                                    LPFILETIME lastWrite) {
  return ::RegEnumKeyExW(key, index, name, nameSize, reserved, keyClass, classSize, lastWrite);
}
LONG RegistryService::RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

namespace {
void ModuleMarker() {}
}  // namespace

DWORD ModuleService::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module == nullptr) {
    // The module that holds this code: the DLL when Tessaro is built as one.
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ModuleMarker), &module);
  }
  return ::GetModuleFileNameW(module, buffer, size);
}

HRSRC ModuleService::FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  return ::FindResourceW(module, name, type);
}
DWORD ModuleService::SizeofResource(HMODULE module, HRSRC resource) { return ::SizeofResource(module, resource); }
HGLOBAL ModuleService::LoadResource(HMODULE module, HRSRC resource) { return ::LoadResource(module, resource); }
LPVOID ModuleService::LockResource(HGLOBAL data) { return ::LockResource(data); }

void DiagnosticsService::OutputDebugStringW(LPCWSTR text) { ::OutputDebugStringW(text); }
int DiagnosticsService::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  return ::MessageBoxW(owner, text, caption, type);
}

int LocaleService::GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture,
                                  LPWSTR out, int size) {
  return ::GetTimeFormatW(locale, flags, time, picture, out, size);
}
int LocaleService::GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture,
                                  LPWSTR out, int size) {
  return ::GetDateFormatW(locale, flags, date, picture, out, size);
}

LCID LocaleService::GetThreadLocale() { return ::GetThreadLocale(); }
BOOL LocaleService::SetThreadLocale(LCID locale) { return ::SetThreadLocale(locale); }

int LocaleService::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size) {
  return ::MultiByteToWideChar(codePage, flags, text, bytes, out, size);
}

UINT LocaleService::GetACP() { return ::GetACP(); }

}  // namespace plat
