// Helpers of the calendar presence tests: an event subscriber that records
// what the page would see, a log capture that the watcher thread may write
// to, quick waits, a process list of the test's choosing, and the reset of
// the control's class-wide state between tests.
//
// The substitutes are process-wide objects that are never destroyed: a
// watcher thread that is still returning after a test ended may call into
// them after the test has uninstalled them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "calpresence/CalPresenceAX.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace calpresence_testing {

inline std::string U8(const WCHAR* text) { return text != nullptr ? wstr::ToUtf8(text) : std::string("(null)"); }

// ---- the page's view of the events --------------------------------------------------

struct FiredEvent {
  DISPID dispid = 0;
  std::vector<VARTYPE> types;    // DISPPARAMS order, as received
  std::vector<LONG> longs;       // declared order
  std::vector<std::string> texts;  // declared order; "(null)" for a null BSTR
  std::vector<UINT> textLengths;   // SysStringLen of each BSTR received
  bool withResult = false;
  LCID lcid = 0;
  WORD flags = 0;
};

// Subscribes to _ICalPresenceEvents and records every event.
class EventRecorder final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__ICalPresenceEvents) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    FiredEvent e;
    e.dispid = dispid;
    e.withResult = result != nullptr;
    e.lcid = lcid;
    e.flags = flags;
    const UINT n = params != nullptr ? params->cArgs : 0;
    for (UINT i = 0; i < n; ++i) e.types.push_back(params->rgvarg[i].vt);
    for (UINT i = n; i-- > 0;) {  // declared order
      const VARIANT& v = params->rgvarg[i];
      if (v.vt == VT_I4) e.longs.push_back(v.lVal);
      if (v.vt == VT_BSTR) {
        e.texts.push_back(U8(v.bstrVal));
        e.textLengths.push_back(SysStringLen(v.bstrVal));
      }
    }
    events.push_back(e);
    if (onEvent) onEvent(e);
    return answer;
  }

  // "C" OnCalDataChanged, "D" Done, "P" PasswordAvailable, in order.
  std::string Sequence() const {
    std::string s;
    for (const FiredEvent& e : events) s += e.dispid == 1 ? 'C' : e.dispid == 2 ? 'D' : e.dispid == 3 ? 'P' : '?';
    return s;
  }
  void Clear() { events.clear(); }

  ULONG refs = 1;
  HRESULT answer = S_OK;
  std::vector<FiredEvent> events;
  std::function<void(const FiredEvent&)> onEvent;
};

// ---- log capture -------------------------------------------------------------------

class LogCapture : public plat::DiagnosticsService {
 public:
  static LogCapture& Instance() {
    static LogCapture* capture = new LogCapture;
    return *capture;
  }
  void OutputDebugStringW(LPCWSTR text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(wstr::ToUtf8(text));
  }
  int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) override { return IDOK; }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Lines that contain the text.
  int Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(text) != l.npos; }));
  }
  bool Has(const std::string& text) const { return Count(text) > 0; }
  // The messages (the text after the header's prefix) of the lines whose
  // message starts with "Tessaro", in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const std::string& l : Lines()) {
      const size_t at = l.find("Tessaro ");
      if (at != l.npos) out.push_back(l.substr(at, l.size() - at - (l.back() == '\n' ? 1 : 0)));
    }
    return out;
  }
  // Waits (up to a few seconds) for a line containing the text.
  bool WaitFor(const std::string& text, int count = 1) const {
    for (int i = 0; i < 5000; ++i) {
      if (Count(text) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// ---- quick waits ---------------------------------------------------------------------

// The real thread service with the control's long waits shortened: the
// watcher's pause of a second, the 100 ms poll of a pass and Quit's minute.
// The waits asked for are recorded.
class QuickThreads : public plat::ThreadService {
 public:
  static QuickThreads& Instance() {
    static QuickThreads* threads = new QuickThreads;
    return *threads;
  }
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    Record(milliseconds);
    DWORD real = milliseconds;
    if (milliseconds == 1000) real = 2;
    if (milliseconds == 60000) real = quitWait.load();
    if (milliseconds == 60000 && forceQuitResult.load() != 0) {
      return forceQuitResult.load();
    }
    return plat::ThreadService::WaitForSingleObject(handle, real);
  }
  void Sleep(DWORD milliseconds) override {
    Record(0x80000000u | milliseconds);
    plat::ThreadService::Sleep(milliseconds == 100 ? 1 : milliseconds);
  }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD id) override {
    threadsStarted.fetch_add(1);
    if (failCreate.load()) return nullptr;
    return plat::ThreadService::CreateThread(sa, stack, start, parameter, flags, id);
  }
  BOOL CloseHandle(HANDLE handle) override {
    handlesClosed.fetch_add(1);
    return plat::ThreadService::CloseHandle(handle);
  }

  int WaitsOf(DWORD milliseconds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(waits_.begin(), waits_.end(), milliseconds));
  }
  int SleepsOf(DWORD milliseconds) const { return WaitsOf(0x80000000u | milliseconds); }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.clear();
    quitWait = 5000;
    forceQuitResult = 0;
    failCreate = false;
    threadsStarted = 0;
    handlesClosed = 0;
  }

  std::atomic<DWORD> quitWait{5000};
  std::atomic<DWORD> forceQuitResult{0};  // non-zero: Quit's wait answers this at once
  std::atomic<bool> failCreate{false};
  std::atomic<int> threadsStarted{0};
  std::atomic<int> handlesClosed{0};

 private:
  void Record(DWORD value) {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.push_back(value);
  }
  mutable std::mutex mutex_;
  std::vector<DWORD> waits_;
};

// ---- a process list of the test's choosing ---------------------------------------------

class FakeProcesses : public plat::ProcessService {
 public:
  static FakeProcesses& Instance() {
    static FakeProcesses* processes = new FakeProcesses;
    return *processes;
  }

  // A list of n processes named "svc<i>.exe" with pids 100 + i.
  void SetCount(DWORD n) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.clear();
    for (DWORD i = 0; i < n; ++i) names_.push_back(wstr::FromUtf8("svc" + std::to_string(i) + ".exe"));
  }
  // Renames the process at index (its pid is 100 + index).
  void SetName(DWORD index, const WString& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= names_.size()) names_.resize(index + 1, WSTR("svc.exe"));
    names_[index] = name;
  }
  static DWORD PidAt(DWORD index) { return 100 + index; }

  BOOL EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD bytesReturned) override {
    passes.fetch_add(1);
    lastBufferBytes.store(bytes);
    if (enumFails.load()) return FALSE;
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD n = 0;
    for (DWORD i = 0; i < names_.size() && (n + 1) * sizeof(DWORD) <= bytes; ++i) ids[n++] = PidAt(i);
    *bytesReturned = n * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
  }
  HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) override {
    lastAccess.store(access);
    lastInherit.store(inherit);
    opened.fetch_add(1);
    if (pid == holdPid.load()) Hold();
    if (pid == refuseOpen.load()) return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(pid));
  }
  BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) override {
    const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process));
    if (pid == refuseModules.load() || bytes < sizeof(HMODULE)) return FALSE;
    modules[0] = reinterpret_cast<HMODULE>(process);
    *needed = sizeof(HMODULE);
    return TRUE;
  }
  DWORD GetModuleBaseNameW(HANDLE process, HMODULE, LPWSTR name, DWORD size) override {
    const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process));
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid < 100 || pid - 100 >= names_.size() || size == 0) return 0;
    const WString& text = names_[pid - 100];
    const size_t n = std::min<size_t>(text.size(), size - 1);
    text.copy(name, n);
    name[n] = 0;
    return static_cast<DWORD>(n);
  }
  BOOL CloseHandle(HANDLE) override {
    closed.fetch_add(1);
    return TRUE;
  }

  void Hold() {
    held = true;
    for (int i = 0; i < 10000 && !releaseHold.load(); ++i) {
      if (!holdThroughStop.load() && CCalPresenceAX::m_exitThread.load() != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Reset() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      names_.clear();
    }
    holdPid = 0;
    held = false;
    releaseHold = false;
    holdThroughStop = false;
    enumFails = false;
    refuseOpen = 0;
    refuseModules = 0;
    passes = 0;
    opened = 0;
    closed = 0;
    lastBufferBytes = 0;
  }

  // Opening holdPid stops the watcher there until releaseHold is set or,
  // unless holdThroughStop, a stop request is made.
  std::atomic<DWORD> holdPid{0};
  std::atomic<bool> held{false};
  std::atomic<bool> releaseHold{false};
  std::atomic<bool> holdThroughStop{false};
  std::atomic<bool> enumFails{false};
  std::atomic<DWORD> refuseOpen{0};
  std::atomic<DWORD> refuseModules{0};
  std::atomic<int> passes{0};
  std::atomic<int> opened{0};
  std::atomic<int> closed{0};
  std::atomic<DWORD> lastBufferBytes{0};
  std::atomic<DWORD> lastAccess{0};
  std::atomic<BOOL> lastInherit{TRUE};

 private:
  std::mutex mutex_;
  std::vector<WString> names_;
};

// ---- the control's class-wide state -----------------------------------------------------

// Everything logged: LOG_TO_DEBUGGER and the four levels.
constexpr DWORD kAllLogging = 0x0800000F;

// Loads a control's settings with the given flags without the registry.
inline void PresetFlags(CCalPresenceAX& control, DWORD flags) {
  control.Settings().m_debugFlags = flags;
  control.Settings().m_loaded = TRUE;
}

// A control whose Logon is the test's: it fills the meeting table the way
// the calendar scan would.
class ScriptedControl : public CCalPresenceAX {
 public:
  HRESULT Logon() override {
    ++logons;
    return logon ? logon(*this) : S_OK;
  }
  std::function<HRESULT(ScriptedControl&)> logon;
  int logons = 0;
};

// Records one meeting in progress in the class-wide table, as the scan does.
inline MeetingEntry& AddMeeting(LONG startTime, LONG endTime, const WCHAR* subject = nullptr,
                                const WCHAR* location = nullptr) {
  MeetingTable& table = CCalPresenceAX::m_meetingTable;
  MeetingEntry& entry = *table.m_meetings[static_cast<size_t>(table.m_meetingIndex)];
  entry.startTime = startTime;
  entry.endTime = endTime;
  entry.duration = endTime - startTime;
  entry.subject = CBstr(subject);
  entry.location = CBstr(location);
  ++table.m_meetingIndex;
  table.m_meetings[static_cast<size_t>(table.m_meetingIndex)] = std::make_unique<MeetingEntry>();
  return entry;
}

// Stops a watcher left running and puts the class-wide state back to its
// values at load; the session, if any, is torn down.
inline void ResetClassState() {
  using C = CCalPresenceAX;
  {
    ComPtr<CCalPresenceAX> control(new CCalPresenceAX);
    if (C::m_hThread.load() != nullptr) {
      C::m_doingWork.store(1);
      control->Quit();
    }
    control->Cleanup();
  }
  HANDLE leftover = C::m_hThread.exchange(nullptr);
  if (leftover != nullptr) plat::Threads().CloseHandle(leftover);
  C::SetCurrentControl(nullptr);
  C::SetLogEnabled(0);
  C::m_mapiInitResult.store(-1);
  C::m_ulConnection.store(0);
  C::m_exitThread.store(0);
  C::m_processFound.store(0);
  C::m_enumerationDone.store(0);
  C::m_processSwitch.store(1);
  C::m_doingWork.store(0);
  C::m_clearPending.store(1);
  C::m_whenToClear.store(0);
  C::m_meetingTable.Reset();
  C::m_meetingTable.nextStartMeetingTime = 0;
  // Signals nobody consumed.
  plat::Threads().WaitForSingleObject(C::ThreadExitEvent(), 0);
  plat::Threads().WaitForSingleObject(C::ThreadWaitEvent(), 0);
}

// Polls until the condition holds (up to a few seconds).
inline bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 5000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

// The fixture of the control's tests: fresh class-wide state, the log
// captured, quick waits, an empty process list of the test's choosing.
class CalPresenceTest : public ::testing::Test {
 protected:
  CalPresenceTest()
      : log(LogCapture::Instance()),
        threads(QuickThreads::Instance()),
        processes(FakeProcesses::Instance()),
        installedLog_(log),
        installedThreads_(threads),
        installedProcesses_(processes) {
    threads.Reset();
    processes.Reset();
    ResetClassState();
    threads.Reset();
    processes.Reset();
    log.Clear();
  }
  ~CalPresenceTest() override {
    threads.Reset();
    processes.releaseHold = true;
    ResetClassState();
  }

  // A new control with its event subscriber connected.
  template <class Control = CCalPresenceAX>
  ComPtr<Control> Make(EventRecorder& recorder, DWORD flags = kAllLogging) {
    ComPtr<Control> control(new Control);
    PresetFlags(*control, flags);
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, control->EventPoint().Advise(&recorder, &cookie));
    return control;
  }

  LogCapture& log;
  QuickThreads& threads;
  FakeProcesses& processes;

 private:
  plat::Substitute<plat::DiagnosticsService> installedLog_;
  plat::Substitute<plat::ThreadService> installedThreads_;
  plat::Substitute<plat::ProcessService> installedProcesses_;
};

// The clock's now moved by a number of seconds.
inline FILETIME FromNow(LONGLONG seconds) {
  FILETIME now;
  plat::Clock().GetSystemTimeAsFileTime(&now);
  const ULONGLONG ticks = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) +
                          static_cast<ULONGLONG>(seconds * 10000000);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace calpresence_testing
