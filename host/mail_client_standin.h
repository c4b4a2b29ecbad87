// What the host puts around the calendar presence control so that it sees a
// mail client: "outlook.exe" in the process list, under an id no real
// process has, beside the real processes.
#pragma once

#include "platform/services.h"
#include "platform/wstr.h"

namespace host {

class MailClientInProcessList : public plat::ProcessService {
 public:
  static constexpr DWORD kPid = 0x7FFFFFF0;
  MailClientInProcessList() : installed_(*this) {}
  BOOL EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD returned) override {
    if (bytes < sizeof(DWORD) || ids == nullptr || returned == nullptr) return FALSE;
    ids[0] = kPid;
    DWORD more = 0;
    if (!plat::ProcessService::EnumProcesses(ids + 1, bytes - sizeof(DWORD), &more)) more = 0;
    *returned = more + sizeof(DWORD);
    return TRUE;
  }
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) override {
    if (pid == kPid) return &marker_;
    return plat::ProcessService::OpenProcess(access, inherit, pid);
  }
  BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) override {
    if (process != &marker_) return plat::ProcessService::EnumProcessModules(process, modules, bytes, needed);
    if (modules != nullptr && bytes >= sizeof(HMODULE)) modules[0] = nullptr;
    *needed = sizeof(HMODULE);
    return TRUE;
  }
  DWORD GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR name, DWORD size) override {
    if (process != &marker_) return plat::ProcessService::GetModuleBaseNameW(process, module, name, size);
    const WString exe = WSTR("outlook.exe");
    const DWORD n = static_cast<DWORD>(exe.size() < size ? exe.size() : size - 1);
    exe.copy(name, n);
    name[n] = 0;
    return n;
  }
  BOOL CloseHandle(HANDLE handle) override {
    return handle == &marker_ ? TRUE : plat::ProcessService::CloseHandle(handle);
  }

 private:
  int marker_ = 0;
  plat::Substitute<plat::ProcessService> installed_;
};

// A clock standing at one instant (UTC): both clock readings and the local
// time give it.
class StoppedClock : public plat::ClockService, public plat::TimeService {
 public:
  explicit StoppedClock(const FILETIME& now)
      : now_(now), clock_(static_cast<plat::ClockService&>(*this)), time_(static_cast<plat::TimeService&>(*this)) {}
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = now_; }
  void GetSystemTime(LPSYSTEMTIME st) override { plat::TimeService::FileTimeToSystemTime(&now_, st); }
  void GetLocalTime(LPSYSTEMTIME st) override {
    SYSTEMTIME utc{};
    plat::TimeService::FileTimeToSystemTime(&now_, &utc);
    plat::TimeService::SystemTimeToTzSpecificLocalTime(nullptr, &utc, st);
  }

 private:
  FILETIME now_;
  plat::Substitute<plat::ClockService> clock_;
  plat::Substitute<plat::TimeService> time_;
};

}  // namespace host
