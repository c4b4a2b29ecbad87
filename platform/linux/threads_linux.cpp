// Threads, events and the process list on Linux.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

namespace {

// A waitable object behind a HANDLE. The handle holds one reference; a
// running thread holds another on its own object.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // Waits until signalled; returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return signalled_; };
    if (milliseconds == INFINITE) {
      cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
      return WAIT_TIMEOUT;
    }
    Consumed();
    return WAIT_OBJECT_0;
  }
  void Signal(bool on) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = on;
    }
    if (on) cv_.notify_all();
  }

 protected:
  // Called under the lock after a successful wait.
  virtual void Consumed() {}
  bool signalled_ = false;

 private:
  std::atomic<int> refs_{1};
  std::mutex mutex_;
  std::condition_variable cv_;
};

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool initial) : manual_(manualReset) { signalled_ = initial; }

 protected:
  // An auto-reset event lets one waiter through and resets itself.
  void Consumed() override {
    if (!manual_) signalled_ = false;
  }

 private:
  bool manual_;
};

class Thread : public KernelObject {
 public:
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
};

// A process handle: the process id, checked to exist when opened.
struct ProcessHandle {
  DWORD magic = 0x50524F43;  // "PROC"
  DWORD pid;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string BaseName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool EndsWithExe(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (auto& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".exe";
}

// The executable's base name. A Windows program run under Wine shows its
// .exe name as the first word of its command line, while its executable is
// Wine's loader; that name is the one a Windows process list would show.
std::string ExecutableName(DWORD pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  const std::string cmdline = ReadFile(dir + "/cmdline");
  const std::string first = BaseName(cmdline.substr(0, cmdline.find('\0')));
  if (EndsWithExe(first)) return first;
  char target[4096];
  const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
  if (n > 0) return BaseName(std::string(target, static_cast<size_t>(n)));
  std::string comm = ReadFile(dir + "/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

void SetLastErrorCode(DWORD code) { Errors().SetLastError(code); }

}  // namespace

HANDLE ThreadService::CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                   DWORD, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* thread = new Thread;
  thread->AddRef();  // the running thread's own reference
  std::atomic<DWORD> id{0};
  std::mutex started;
  std::condition_variable startedCv;
  bool haveId = false;
  try {
    std::thread([thread, start, parameter, &id, &started, &startedCv, &haveId] {
      {
        // Notified under the lock: once CreateThread sees the id it may
        // return and these locals of its are gone.
        std::lock_guard<std::mutex> lock(started);
        id = Clock().GetCurrentThreadId();
        haveId = true;
        startedCv.notify_one();
      }
      const DWORD code = start(parameter);
      thread->exitCode = code;
      thread->Signal(true);
      thread->Release();
    }).detach();
  } catch (const std::system_error&) {
    thread->Release();
    thread->Release();
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(started);
  startedCv.wait(lock, [&] { return haveId; });
  if (threadId != nullptr) *threadId = id;
  return static_cast<KernelObject*>(thread);
}

HANDLE ThreadService::CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name != nullptr && name[0] != 0) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);  // named events are not needed
    return nullptr;
  }
  return static_cast<KernelObject*>(new Event(manualReset != FALSE, initialState != FALSE));
}

BOOL ThreadService::SetEvent(HANDLE event) {
  auto* e = dynamic_cast<Event*>(static_cast<KernelObject*>(event));
  if (e == nullptr) return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  e->Signal(true);
  return TRUE;
}

BOOL ThreadService::ResetEvent(HANDLE event) {
  auto* e = dynamic_cast<Event*>(static_cast<KernelObject*>(event));
  if (e == nullptr) return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  e->Signal(false);
  return TRUE;
}

DWORD ThreadService::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == nullptr) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return static_cast<KernelObject*>(handle)->Wait(milliseconds);
}

BOOL ThreadService::GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  auto* t = dynamic_cast<Thread*>(static_cast<KernelObject*>(thread));
  if (t == nullptr || exitCode == nullptr) return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  *exitCode = t->exitCode;
  return TRUE;
}

void ThreadService::Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

BOOL ThreadService::CloseHandle(HANDLE handle) {
  if (handle == nullptr) return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  static_cast<KernelObject*>(handle)->Release();
  return TRUE;
}

BOOL ProcessService::EnumProcesses(DWORD* ids, DWORD bytes, LPDWORD bytesReturned) {
  if (ids == nullptr || bytesReturned == nullptr) return SetLastErrorCode(ERROR_INVALID_PARAMETER), FALSE;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return SetLastErrorCode(ERROR_ACCESS_DENIED), FALSE;
  const DWORD capacity = bytes / sizeof(DWORD);
  DWORD count = 0;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != 0) continue;
    if (count == capacity) break;
    ids[count++] = static_cast<DWORD>(pid);
  }
  ::closedir(proc);
  *bytesReturned = count * static_cast<DWORD>(sizeof(DWORD));
  return TRUE;
}

HANDLE ProcessService::OpenProcess(DWORD, BOOL, DWORD processId) {
  if (::access(("/proc/" + std::to_string(processId)).c_str(), F_OK) != 0) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return new ProcessHandle{0x50524F43, processId};
}

BOOL ProcessService::EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded) {
  const auto* p = static_cast<const ProcessHandle*>(process);
  if (p == nullptr || p->magic != 0x50524F43 || bytesNeeded == nullptr) {
    return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  }
  if (ExecutableName(p->pid).empty()) return SetLastErrorCode(ERROR_ACCESS_DENIED), FALSE;
  // One module: the executable, named by a token that stands for it.
  *bytesNeeded = sizeof(HMODULE);
  if (modules != nullptr && bytes >= sizeof(HMODULE)) modules[0] = reinterpret_cast<HMODULE>(1);
  return TRUE;
}

DWORD ProcessService::GetModuleBaseNameW(HANDLE process, HMODULE, LPWSTR name, DWORD size) {
  const auto* p = static_cast<const ProcessHandle*>(process);
  if (p == nullptr || p->magic != 0x50524F43 || name == nullptr || size == 0) {
    return SetLastErrorCode(ERROR_INVALID_HANDLE), 0;
  }
  const WString text = wstr::FromUtf8(ExecutableName(p->pid));
  const size_t n = text.size() < size ? text.size() : size - 1;
  text.copy(name, n);
  name[n] = 0;
  return static_cast<DWORD>(n);
}

BOOL ProcessService::CloseHandle(HANDLE handle) {
  auto* p = static_cast<ProcessHandle*>(handle);
  if (p == nullptr || p->magic != 0x50524F43) return SetLastErrorCode(ERROR_INVALID_HANDLE), FALSE;
  p->magic = 0;
  delete p;
  return TRUE;
}

}  // namespace plat
