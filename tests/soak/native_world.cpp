// The soak's world natively: the controls linked in, the in-memory provider
// installed as the MAPI library, a clock that runs fast and can be moved on,
// a process list with or without the mail client, the controls' long waits
// shortened, every thread and thread handle counted, the log counted and
// dropped, and a registry folder of the soak's own.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>

#include "activemon/ActiveMonAX.h"
#include "calendar/TimeHelpers.h"
#include "calpresence/CalPresenceAX.h"
#include "mapisearch/MapiSearchAX.h"
#include "memstore/BenchmarkCalendar.h"
#include "memstore/CalendarFile.h"
#include "memstore/MemStore.h"
#include "platform/services.h"
#include "tests/soak/soak_world.h"

namespace soak {

namespace {

// Runs `speed` times faster than the real clock, plus what Advance added.
class FastClock : public plat::ClockService, public plat::TimeService, public plat::SystemInfoService {
 public:
  explicit FastClock(double speed) : speed_(speed), origin_(std::chrono::steady_clock::now()) {
    plat::ClockService real;
    FILETIME now{};
    real.GetSystemTimeAsFileTime(&now);
    start_ = SecondsFromFileTime(now);
  }
  LONGLONG NowSeconds() const {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
    return start_ + static_cast<LONGLONG>(elapsed * speed_) + moved_.load();
  }
  void Advance(long seconds) { moved_.fetch_add(seconds); }

  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = FileTimeFromSeconds(NowSeconds()); }
  void GetLocalTime(LPSYSTEMTIME st) override {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    plat::TimeService::SystemTimeToTzSpecificLocalTime(nullptr, &utc, st);
  }
  void GetSystemTime(LPSYSTEMTIME st) override {
    const FILETIME now = FileTimeFromSeconds(NowSeconds());
    plat::TimeService::FileTimeToSystemTime(&now, st);
  }
  LONGLONG CurrentTimeSeconds() override { return NowSeconds() - 11644473600LL; }

 private:
  double speed_;
  std::chrono::steady_clock::time_point origin_;
  LONGLONG start_ = 0;
  std::atomic<LONGLONG> moved_{0};
};

// The watcher's second between looks and a pass's 100 ms poll take a
// millisecond; Quit's minute stays a minute. Every thread started through
// here is counted while it runs, and every thread handle until it is closed.
class CountedThreads : public plat::ThreadService {
 public:
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    return plat::ThreadService::WaitForSingleObject(handle, milliseconds == 1000 ? 1 : milliseconds);
  }
  void Sleep(DWORD milliseconds) override { plat::ThreadService::Sleep(milliseconds >= 100 ? 1 : milliseconds); }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD id) override {
    auto* job = new Job{this, start, parameter};
    running_.fetch_add(1);
    HANDLE thread = plat::ThreadService::CreateThread(sa, stack, &Trampoline, job, flags, id);
    if (thread == nullptr) {
      running_.fetch_sub(1);
      delete job;
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.insert(thread);
    ++started_;
    return thread;
  }
  BOOL CloseHandle(HANDLE handle) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handles_.erase(handle);
    }
    return plat::ThreadService::CloseHandle(handle);
  }
  int Running() const { return running_.load(); }
  size_t OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
  }
  long Started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }

 private:
  struct Job {
    CountedThreads* owner;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
  };
  static DWORD WINAPI Trampoline(LPVOID parameter) {
    Job job = *static_cast<Job*>(parameter);
    delete static_cast<Job*>(parameter);
    const DWORD result = job.start(job.parameter);
    job.owner->running_.fetch_sub(1);
    return result;
  }
  std::atomic<int> running_{0};
  mutable std::mutex mutex_;
  std::set<HANDLE> handles_;
  long started_ = 0;
};

// A few services and, while the mail client runs, outlook.exe.
class ProcessList : public plat::ProcessService {
 public:
  static constexpr DWORD kMailClientPid = 4242;
  BOOL EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD returned) override {
    DWORD n = 0;
    for (DWORD pid : {4u, 88u, 1200u, kMailClientPid, 1300u}) {
      if (pid == kMailClientPid && !mailClient.load()) continue;
      if ((n + 1) * sizeof(DWORD) > bytes) break;
      ids[n++] = pid;
    }
    *returned = n * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
  }
  HANDLE OpenProcess(DWORD, BOOL, DWORD pid) override {
    if (pid == 4) return nullptr;  // the system process cannot be opened
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(pid));
  }
  BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) override {
    if (bytes < sizeof(HMODULE)) return FALSE;
    modules[0] = reinterpret_cast<HMODULE>(process);
    *needed = sizeof(HMODULE);
    return TRUE;
  }
  DWORD GetModuleBaseNameW(HANDLE process, HMODULE, LPWSTR name, DWORD size) override {
    const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process));
    const WString text = pid == kMailClientPid ? WString(WSTR("OUTLOOK.EXE")) : WString(WSTR("svchost.exe"));
    if (size == 0) return 0;
    const size_t n = std::min<size_t>(text.size(), size - 1);
    text.copy(name, n);
    name[n] = 0;
    return static_cast<DWORD>(n);
  }
  BOOL CloseHandle(HANDLE) override { return TRUE; }
  std::atomic<bool> mailClient{false};
};

// The log lines are counted, the report box answered.
class CountedLog : public plat::DiagnosticsService {
 public:
  void OutputDebugStringW(LPCWSTR) override { lines.fetch_add(1, std::memory_order_relaxed); }
  int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) override { return IDOK; }
  std::atomic<long> lines{0};
};

// The soak's registry folder, gone at the end.
class RegistryFolder {
 public:
  RegistryFolder() {
    char pattern[] = "/tmp/tessaro-soak-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    if (!path_.empty()) setenv("TESSARO_REGISTRY_DIR", path_.c_str(), 1);
  }
  ~RegistryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::string path_;
};

const memstore::Op kOps[] = {
    memstore::Op::MAPIInitialize, memstore::Op::MAPILogonEx,     memstore::Op::GetMsgStoresTable,
    memstore::Op::StoreTableSetColumns, memstore::Op::StoreTableRestrict, memstore::Op::StoreTableQueryRows,
    memstore::Op::OpenMsgStore,   memstore::Op::StoreGetProps,   memstore::Op::StoreSetProps,
    memstore::Op::GetReceiveFolder, memstore::Op::OpenEntry,     memstore::Op::OpenInbox,
    memstore::Op::OpenCalendar,   memstore::Op::Advise,          memstore::Op::Unadvise,
    memstore::Op::GetIDsFromNames, memstore::Op::FolderGetProps, memstore::Op::GetContentsTable,
    memstore::Op::SetColumns,     memstore::Op::GetRowCount,     memstore::Op::QueryRows,
    memstore::Op::OpenAddressBook, memstore::Op::Address,        memstore::Op::PrepareRecips,
    memstore::Op::AddrBookOpenEntry, memstore::Op::EntryGetProps, memstore::Op::Logoff,
};
const HRESULT kFailures[] = {MAPI_E_CALL_FAILED, MAPI_E_NOT_ENOUGH_MEMORY, MAPI_E_NOT_FOUND, MAPI_E_NO_ACCESS,
                             MAPI_E_END_OF_SESSION, MAPI_E_NETWORK_ERROR};

class NativeWorld final : public World {
 public:
  explicit NativeWorld(const Options& options)
      : options_(options),
        clock_(options.benchmark > 0 ? 1.0 : 60.0),
        installedClock_(clock_),
        installedTime_(clock_),
        installedSystem_(clock_),
        installedThreads_(threads_),
        installedProcesses_(processes_),
        installedLog_(log_),
        installedMapi_(provider_),
        chooserRandom_(options.seed ^ 0x5eed) {
    // Every level to the debugger stream, which counts the lines.
    if (options.log) setenv("ZLMTessaroLogLevel", "134217743", 1);
    for (const auto& entry : {memstore::SmtpUser(WSTR("Ann Lee"), WSTR("ann.lee@example.org")),
                              memstore::ExchangeUser(WSTR("Bob Stone"), WSTR("/o=Example/cn=bstone"),
                                                     {WSTR("SMTP:bob.stone@example.org")}),
                              memstore::DistList(WSTR("Project Team"), WSTR("EX"), WSTR("/o=Example/cn=team"))})
      entries_.push_back(provider_.AddEntry(entry));
    provider_.SetChooser([this](const ADRPARM&, ULONG_PTR) { return Choose(); });
  }
  ~NativeWorld() override { provider_.SetChooser(nullptr); }

  const char* Name() const override { return "native"; }

  bool Start(const std::string& calendarText) override {
    if (options_.benchmark > 0) {
      provider_.AddQuietly(memstore::BenchmarkCalendar(options_.benchmark, clock_.NowSeconds()));
      return true;
    }
    std::vector<memstore::Appointment> appointments;
    std::string error;
    if (!memstore::ParseCalendar(calendarText, "soak", FileTimeFromSeconds(clock_.NowSeconds()), appointments,
                                 error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return false;
    }
    provider_.AddQuietly(appointments);
    return true;
  }

  HRESULT Create(ControlKind kind, IDispatch** control) override {
    void** out = reinterpret_cast<void**>(control);
    switch (kind) {
      case ControlKind::CalPresence: return CreateCalPresenceAX(nullptr, IID_IDispatch, out);
      case ControlKind::ActiveMon: return CreateActiveMonAX(nullptr, IID_IDispatch, out);
      case ControlKind::MapiSearch: return CreateMapiSearchAX(nullptr, IID_IDispatch, out);
    }
    return E_INVALIDARG;
  }

  void SetMailClient(bool running) override { processes_.mailClient.store(running); }
  void Advance(long seconds) override { clock_.Advance(seconds); }
  int Pump() override {
    return provider_.Pump();
  }

  bool AddMeetings(const std::string& calendarText) override {
    std::vector<memstore::Appointment> appointments;
    std::string error;
    if (!memstore::ParseCalendar(calendarText, "soak", FileTimeFromSeconds(clock_.NowSeconds()), appointments,
                                 error))
      return false;
    for (const memstore::Appointment& a : appointments) {
      const memstore::ItemId id = provider_.Add(a);
      std::lock_guard<std::mutex> lock(addedMutex_);
      added_.push_back(id);
    }
    return true;
  }
  int RemoveOldest(int count) override {
    for (int i = 0; i < count; ++i) {
      memstore::ItemId id = 0;
      {
        std::lock_guard<std::mutex> lock(addedMutex_);
        if (added_.empty()) return i;
        id = added_.front();
        added_.pop_front();
      }
      provider_.Delete(id);
    }
    return count;
  }

  std::string InjectFailure(std::mt19937& random) override {
    const memstore::Op op = kOps[random() % (sizeof kOps / sizeof kOps[0])];
    const HRESULT hr = kFailures[random() % (sizeof kFailures / sizeof kFailures[0])];
    provider_.Fail(op, hr, 1, static_cast<int>(random() % 4));
    return memstore::OpName(op);
  }
  void ClearFailures() override {
    provider_.ClearFailures();
    scans_ += provider_.CallCount(memstore::Op::GetContentsTable);
    provider_.ClearCalls();  // the call log would grow with every call
  }
  Live LiveNow() override { return Live{provider_.LiveSessions(), provider_.LiveObjects(), provider_.LiveBuffers()}; }
  long Scans() override { return scans_ + provider_.CallCount(memstore::Op::GetContentsTable); }

  std::vector<std::string> Leftovers() override {
    std::vector<std::string> left;
    for (int i = 0; i < 5000 && threads_.Running() != 0; ++i) usleep(1000);
    if (threads_.Running() != 0) left.push_back(std::to_string(threads_.Running()) + " thread(s) still running");
    if (threads_.OpenHandles() != 0)
      left.push_back(std::to_string(threads_.OpenHandles()) + " thread handle(s) not closed");
    if (CCalPresenceAX::m_hThread.load() != nullptr) left.push_back("the watcher's handle is still held");
    if (CCalPresenceAX::m_pSession.load() != nullptr) left.push_back("the control still holds a session");
    if (CCalPresenceAX::CurrentControl()) left.push_back("a released control is still the current one");
    if (provider_.PendingNotifications() > 1000) left.push_back("notifications pile up undelivered");
    std::fprintf(stderr, "soak: native: %ld watcher threads started, %ld log lines\n", threads_.Started(),
                 log_.lines.load());
    return left;
  }

 private:
  memstore::DialogChoice Choose() {
    if (duringDialog) duringDialog();
    const unsigned roll = chooserRandom_() % 10;
    if (roll == 0) return memstore::DialogChoice::Cancel();
    if (roll == 1) return memstore::DialogChoice::Nothing();
    std::vector<memstore::EntryNumber> picked;
    for (memstore::EntryNumber n : entries_)
      if (chooserRandom_() % 2 == 0) picked.push_back(n);
    if (picked.empty()) picked.push_back(entries_.front());
    return memstore::DialogChoice::Pick(picked);
  }

  Options options_;
  RegistryFolder registry_;
  FastClock clock_;
  CountedThreads threads_;
  ProcessList processes_;
  CountedLog log_;
  memstore::Provider provider_;
  plat::Substitute<plat::ClockService> installedClock_;
  plat::Substitute<plat::TimeService> installedTime_;
  plat::Substitute<plat::SystemInfoService> installedSystem_;
  plat::Substitute<plat::ThreadService> installedThreads_;
  plat::Substitute<plat::ProcessService> installedProcesses_;
  plat::Substitute<plat::DiagnosticsService> installedLog_;
  plat::Substitute<plat::MapiService> installedMapi_;
  std::mt19937 chooserRandom_;
  std::vector<memstore::EntryNumber> entries_;
  std::mutex addedMutex_;
  std::deque<memstore::ItemId> added_;
  long scans_ = 0;
};

}  // namespace

std::unique_ptr<World> MakeWorld(const Options& options) { return std::make_unique<NativeWorld>(options); }

}  // namespace soak
