// The soak's world under Wine: the controls come from the registered
// ZLMTessaro.dll by ProgID, the mail client's Extended MAPI library is the
// in-memory provider (TessaroMemMapi.dll, registered for mapi32.dll here),
// whose exports change the calendar, inject failures and tell what is still
// handed out; the mail client in the process list is the stand-in
// outlook.exe, started and stopped. The clock is the real one.
//
// Environment: TESSARO_OUTLOOK_STANDIN and TESSARO_MEMMAPI_DLL, Unix paths
// of the stand-in and the provider library.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <string>

#include "memstore/MemStore.h"
#include "tests/soak/soak_world.h"
#include "wine/mail_client.h"

namespace soak {

namespace {

// The stand-in mail client while it runs.
class MailClientProcess {
 public:
  ~MailClientProcess() { Stop(); }

  void Start() {
    if (process_ != nullptr) return;
    const std::wstring program = e2e::PathFromEnvironment("TESSARO_OUTLOOK_STANDIN");
    if (program.empty()) return;
    const std::wstring event = L"TessaroSoakStandInStop" + std::to_wstring(::GetCurrentProcessId());
    if (stop_ == nullptr) stop_ = ::CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    ::ResetEvent(stop_);
    std::wstring commandLine = L"\"" + program + L"\" 86400 " + event;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &info)) {
      ::CloseHandle(info.hThread);
      process_ = info.hProcess;
    }
  }

  void Stop() {
    if (process_ != nullptr) {
      ::SetEvent(stop_);
      if (::WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 5000);
      }
      ::CloseHandle(process_);
      process_ = nullptr;
    }
  }

  void Release() {
    Stop();
    if (stop_ != nullptr) ::CloseHandle(stop_);
    stop_ = nullptr;
  }

 private:
  HANDLE stop_ = nullptr;
  HANDLE process_ = nullptr;
};

template <class Fn>
Fn ProviderExport(const char* name) {
  HMODULE library = ::GetModuleHandleW(L"TessaroMemMapi.dll");
  if (library == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

long ThreadsOfThisProcess() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  long n = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++n;
  ::CloseHandle(snapshot);
  return n;
}

// The handles of this process in the system's handle table (Wine's
// GetProcessHandleCount answers 0); -1 when it cannot be read.
long HandlesOfThisProcess() {
  struct Entry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  constexpr ULONG kSystemHandleInformation = 16;
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<BYTE> buffer(1 << 16);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const Table* table = reinterpret_cast<const Table*>(buffer.data());
      long n = 0;
      for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].ownerPid == ::GetCurrentProcessId()) ++n;
      return n;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return -1;
}

const memstore::Op kOps[] = {
    memstore::Op::MAPILogonEx,    memstore::Op::GetMsgStoresTable, memstore::Op::StoreTableQueryRows,
    memstore::Op::OpenMsgStore,   memstore::Op::StoreGetProps,     memstore::Op::StoreSetProps,
    memstore::Op::GetReceiveFolder, memstore::Op::OpenEntry,       memstore::Op::OpenInbox,
    memstore::Op::OpenCalendar,   memstore::Op::Advise,            memstore::Op::Unadvise,
    memstore::Op::GetIDsFromNames, memstore::Op::FolderGetProps,   memstore::Op::GetContentsTable,
    memstore::Op::SetColumns,     memstore::Op::GetRowCount,       memstore::Op::QueryRows,
    memstore::Op::OpenAddressBook, memstore::Op::Address,          memstore::Op::Logoff,
};
const HRESULT kFailures[] = {MAPI_E_CALL_FAILED, MAPI_E_NOT_ENOUGH_MEMORY, MAPI_E_NOT_FOUND, MAPI_E_NO_ACCESS,
                             MAPI_E_END_OF_SESSION, MAPI_E_NETWORK_ERROR};

class DllWorld final : public World {
 public:
  explicit DllWorld(const Options& options)
      : options_(options), client_(e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL")) {
    com_ = ::CoInitialize(nullptr);
    if (options.log) ::SetEnvironmentVariableW(L"ZLMTessaroLogLevel", L"134217743");
  }
  ~DllWorld() override {
    outlook_.Release();
    if (!calendarFile_.empty()) ::DeleteFileW(calendarFile_.c_str());
    if (SUCCEEDED(com_)) ::CoUninitialize();
  }

  const char* Name() const override { return "wine"; }

  bool Start(const std::string& calendarText) override {
    if (!client_.ok()) {
      std::fprintf(stderr, "soak: the mail client could not be registered (TESSARO_MEMMAPI_DLL?)\n");
      return false;
    }
    if (options_.benchmark > 0) {
      ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_BENCHMARK", std::to_wstring(options_.benchmark).c_str());
      return true;
    }
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"sok", 0, path);
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) return false;
    std::fwrite(calendarText.data(), 1, calendarText.size(), f);
    std::fclose(f);
    calendarFile_ = path;
    ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", path);
    return true;
  }

  HRESULT Create(ControlKind kind, IDispatch** control) override {
    const wchar_t* progId = kind == ControlKind::CalPresence  ? L"ZLMTessaro.CalPresenceAX.214"
                            : kind == ControlKind::ActiveMon ? L"ZLMTessaro.ActiveMonAX.214"
                                                             : L"ZLMTessaro.MapiSearchAX.214";
    CLSID clsid{};
    const HRESULT found = ::CLSIDFromProgID(progId, &clsid);
    if (FAILED(found)) return found;
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(control));
  }

  void SetMailClient(bool running) override {
    if (running) {
      outlook_.Start();
    } else {
      outlook_.Stop();
    }
  }
  void Advance(long) override {}

  int Pump() override {
    const auto delivered = ProviderExport<LONG(WINAPI*)()>("TessaroMemDelivered");
    const LONG before = delivered != nullptr ? delivered() : 0;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (++pumps_ % 64 == 0) peakThreads_ = std::max(peakThreads_, ThreadsOfThisProcess());
    return delivered != nullptr ? static_cast<int>(delivered() - before) : 0;
  }

  bool AddMeetings(const std::string& calendarText) override {
    const auto add = ProviderExport<LONG(WINAPI*)(LPCWSTR)>("TessaroMemAddMeetings");
    if (add == nullptr) return false;  // mapi32.dll has not loaded the provider yet
    std::wstring text;
    for (char c : calendarText) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return add(text.c_str()) > 0;
  }
  int RemoveOldest(int count) override {
    const auto remove = ProviderExport<LONG(WINAPI*)(LONG)>("TessaroMemRemoveMeetings");
    return remove != nullptr ? static_cast<int>(remove(count)) : 0;
  }

  std::string InjectFailure(std::mt19937& random) override {
    const memstore::Op op = kOps[random() % (sizeof kOps / sizeof kOps[0])];
    const HRESULT hr = kFailures[random() % (sizeof kFailures / sizeof kFailures[0])];
    const auto fail = ProviderExport<void(WINAPI*)(LONG, LONG, LONG, LONG)>("TessaroMemFail");
    if (fail != nullptr) fail(static_cast<LONG>(op), static_cast<LONG>(hr), 1, static_cast<LONG>(random() % 4));
    return "operation " + std::to_string(static_cast<int>(op));  // the provider library has the names
  }
  void ClearFailures() override {
    const auto clear = ProviderExport<void(WINAPI*)()>("TessaroMemClearFailures");
    if (clear != nullptr) clear();
    scans_ = Scans();
    const auto forget = ProviderExport<void(WINAPI*)()>("TessaroMemClearCalls");
    if (forget != nullptr) forget();
  }

  Live LiveNow() override {
    using Count = LONG(WINAPI*)();
    const auto sessions = ProviderExport<Count>("TessaroMemLiveSessions");
    const auto objects = ProviderExport<Count>("TessaroMemLiveObjects");
    const auto buffers = ProviderExport<Count>("TessaroMemLiveBuffers");
    if (sessions == nullptr || objects == nullptr || buffers == nullptr) return Live{};
    return Live{sessions(), objects(), buffers()};
  }
  long Scans() override {
    const auto count = ProviderExport<LONG(WINAPI*)(LONG)>("TessaroMemCallCount");
    return count != nullptr ? scans_ + count(static_cast<LONG>(memstore::Op::GetContentsTable)) : 0;
  }

  void Baseline() override {
    baseThreads_ = ThreadsOfThisProcess();
    baseHandles_ = HandlesOfThisProcess();
  }

  std::vector<std::string> Leftovers() override {
    std::vector<std::string> left;
    long threads = ThreadsOfThisProcess();
    for (int i = 0; i < 50 && threads > baseThreads_; ++i) {
      ::Sleep(100);
      threads = ThreadsOfThisProcess();
    }
    const long handles = HandlesOfThisProcess();
    std::fprintf(stderr,
                 "soak: wine: threads %ld (at the start %ld, at most %ld during the run), handles %ld (at the "
                 "start %ld)\n",
                 threads, baseThreads_, peakThreads_, handles, baseHandles_);
    if (threads > baseThreads_) left.push_back(std::to_string(threads - baseThreads_) + " thread(s) left running");
    // A few handles are the system's own caches; a leak per pass or per
    // control would be hundreds.
    if (handles > baseHandles_ + kHandleSlack)
      left.push_back(std::to_string(handles - baseHandles_) + " more handle(s) open than at the start");
    return left;
  }

 private:
  static constexpr long kHandleSlack = 32;
  Options options_;
  HRESULT com_ = E_FAIL;
  e2e::MailClient client_;
  MailClientProcess outlook_;
  std::wstring calendarFile_;
  long scans_ = 0;
  long baseThreads_ = 0;
  long baseHandles_ = 0;
  long peakThreads_ = 0;
  long pumps_ = 0;
};

}  // namespace

std::unique_ptr<World> MakeWorld(const Options& options) { return std::make_unique<DllWorld>(options); }

}  // namespace soak
