// The mail-client watcher thread and Quit, which stops it.
#include <memory>
#include <mutex>
#include <new>

#include "calpresence/CalPresenceAX.h"
#include "calpresence/CalPresenceLog.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace {

constexpr DWORD kMaxProcessIds = 1024;
constexpr DWORD kNameChars = 260;
constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kPassPause = 1000;    // ms between passes
constexpr DWORD kQuitWait = 60000;    // ms Quit waits for the watcher
// After the watcher answered, the little it has left to do (return from its
// function) is waited for before its handle is released.
constexpr DWORD kThreadEndWait = 5000;

const WCHAR kMailClient[] = WSTR("outlook.exe");

// The two events live as long as the process. They are made at the first
// use, through the thread service, rather than when the module is loaded:
// everything that waits on or signals them comes through here first.
struct WatcherEvents {
  HANDLE exit;
  HANDLE wait;
};

const WatcherEvents& Events() {
  static const WatcherEvents events{plat::Threads().CreateEventW(nullptr, FALSE, FALSE, nullptr),
                                    plat::Threads().CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  return events;
}

}  // namespace

HANDLE CCalPresenceAX::ThreadExitEvent() { return Events().exit; }
HANDLE CCalPresenceAX::ThreadWaitEvent() { return Events().wait; }

bool CCalPresenceAX::WatcherRunning(HANDLE thread) {
  return thread != nullptr && plat::Threads().WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

DWORD CCalPresenceAX::IsMailClientProcess(DWORD processId) {
  plat::ProcessService& processes = plat::Processes();
  HANDLE process = processes.OpenProcess(kProcessAccess, FALSE, processId);
  if (process == nullptr) return 0;
  HMODULE module = nullptr;
  DWORD needed = 0;
  if (!processes.EnumProcessModules(process, &module, sizeof module, &needed)) {
    processes.CloseHandle(process);
    return 0;
  }
  std::unique_ptr<WCHAR[]> name(new (std::nothrow) WCHAR[kNameChars]());
  bool match = false;
  if (name != nullptr) {
    processes.GetModuleBaseNameW(process, module, name.get(), kNameChars);
    name[kNameChars - 1] = 0;
    match = wstr::EqualsNoCase(WStringView(name.get()), WStringView(kMailClient));
  }
  processes.CloseHandle(process);
  return match ? processId : 0;
}

DWORD WINAPI CCalPresenceAX::MyThread(LPVOID) {
  CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: MyThread(1067): MyThread - Entered"));
  m_processFound.store(0);
  m_enumerationDone.store(0);

  std::unique_ptr<DWORD[]> ids(new (std::nothrow) DWORD[kMaxProcessIds]);
  for (;;) {
    CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1079): Enumerate the processes"));
    DWORD bytes = 0;
    if (ids == nullptr || !plat::Processes().EnumProcesses(ids.get(), kMaxProcessIds * sizeof(DWORD), &bytes)) {
      CP_LOG_CURRENT(LOG_MAJOR, WSTR("Tessaro WARN  :: MyThread(1082): EnumProcesses returned 0"));
      return 0;
    }
    DWORD count = bytes / sizeof(DWORD);
    if (count > kMaxProcessIds) count = kMaxProcessIds;
    bool found = false;
    for (DWORD i = 0; i < count; ++i) {
      if (m_exitThread.load() != 0) {
        CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: MyThread(1095): m_exitThread is on"));
        break;
      }
      if (IsMailClientProcess(ids[i]) != 0) {
        found = true;
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1102): Found process ID: 0x%x"),
                       static_cast<unsigned>(ids[i]));
        break;
      }
    }
    CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1107): Done enumerating the processes"));
    m_enumerationDone.store(1);

    if (found) {
      CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1111): MyThread - Process found"));
      if (m_processFound.load() == 0) {
        if (m_exitThread.load() != 0) {
          CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1116): Set ThreadWaitEvent"));
          plat::Threads().SetEvent(ThreadWaitEvent());
          return 0;
        }
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1120): m_exitThread == false"));
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1122): Outlook Process Found"));
        m_processFound.store(1);
        m_processSwitch.store(1);
      }
    } else if (m_processFound.load() != 0) {
      CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1135): Outlook Process Gone"));
      if (m_doingWork.load() != 0) {
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1138): Logout"));
        // The session goes even when no control is current any more; the
        // lines of Logout are then not written.
        const CalPresenceRef current = CurrentControl();
        if (current) {
          current->Logout();
        } else {
          LogoutSession(nullptr);
        }
        {
          // A pass that logged on again since the Logout holds a session:
          // that is work, which Quit and the final release must still end.
          const std::lock_guard<std::recursive_mutex> serialised(SessionLock());
          if (m_pSession.load() == nullptr) m_doingWork.store(0);
        }
        m_clearPending.store(1);
      } else {
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1144): Not doing work in this instance"));
      }
      m_processFound.store(0);
      m_processSwitch.store(1);
    }

    if (plat::Threads().WaitForSingleObject(ThreadExitEvent(), kPassPause) == WAIT_OBJECT_0) {
      CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: MyThread(1157): Exiting MyThread; set ThreadWaitEvent"));
      plat::Threads().SetEvent(ThreadWaitEvent());
      return 0;
    }
  }
}

HRESULT CCalPresenceAX::Quit() {
  if (FAILED(CheckSite())) return E_ACCESSDENIED;
  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(477): Quit method called"));
  if (m_doingWork.load() == 0) {
    CP_LOG(this, LOG_INFO,
           WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(511): Not doing work in this instance, nothing to do."));
    return S_OK;
  }
  HANDLE thread = m_hThread.load();
  if (thread == nullptr) return S_OK;

  // A watcher that has already ended by itself (the process list could not
  // be read) can answer no stop request: waiting a minute for it would only
  // block the page, and the signal would stay pending and end the next
  // watcher after its first pass.
  const bool running = WatcherRunning(thread);
  DWORD waited = WAIT_OBJECT_0;
  if (running) {
    m_exitThread.store(1);
    plat::Threads().SetEvent(ThreadExitEvent());
    CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(485): Waiting for ThreadWaitEvent"));
    waited = plat::Threads().WaitForSingleObject(ThreadWaitEvent(), kQuitWait);
    if (waited == WAIT_ABANDONED) {
      CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(492): ThreadWaitEvent Abandoned"));
    } else if (waited != WAIT_OBJECT_0) {
      CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(496): ThreadWaitEvent expired"));
    }
  }

  // The handle is released here. A watcher that answered is only returning
  // from its function and is waited for; one that did not answer keeps
  // running on its own (releasing a handle does not stop a thread).
  thread = m_hThread.exchange(nullptr);
  if (thread != nullptr) {
    if (running && waited == WAIT_OBJECT_0) plat::Threads().WaitForSingleObject(thread, kThreadEndWait);
    plat::Threads().CloseHandle(thread);
  }

  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Quit(504): Setting m_exitThread to false"));
  m_exitThread.store(0);
  Cleanup();
  return S_OK;
}
