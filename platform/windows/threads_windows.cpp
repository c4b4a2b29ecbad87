// Threads, events and the process list on Windows: the Win32 calls themselves.
#include "platform/services.h"

// The psapi.dll entry points (present on every Windows version), not the
// kernel32 K32 aliases of later versions.
#define PSAPI_VERSION 1
#include <psapi.h>

namespace plat {

HANDLE ThreadService::CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                   LPVOID parameter, DWORD flags, LPDWORD threadId) {
  return ::CreateThread(sa, stackSize, start, parameter, flags, threadId);
}
HANDLE ThreadService::CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  return ::CreateEventW(sa, manualReset, initialState, name);
}
BOOL ThreadService::SetEvent(HANDLE event) { return ::SetEvent(event); }
BOOL ThreadService::ResetEvent(HANDLE event) { return ::ResetEvent(event); }
DWORD ThreadService::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}
BOOL ThreadService::GetExitCodeThread(HANDLE thread, LPDWORD exitCode) { return ::GetExitCodeThread(thread, exitCode); }
void ThreadService::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
BOOL ThreadService::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL ProcessService::EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD bytesReturned) {
  return ::EnumProcesses(ids, bytes, bytesReturned);
}
HANDLE ProcessService::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  return ::OpenProcess(access, inherit, processId);
}
BOOL ProcessService::EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded) {
  return ::EnumProcessModules(process, modules, bytes, bytesNeeded);
}
DWORD ProcessService::GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR name, DWORD size) {
  return ::GetModuleBaseNameW(process, module, name, size);
}
BOOL ProcessService::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

}  // namespace plat
