// The input hook library on Windows: low-level keyboard and mouse hooks on a
// thread of their own, whose message loop runs the hook procedures. Each
// procedure notes the time; GetTimeStamp hands the last one out.
#define ZLMACTVHOOK_BUILD
#include "hook/ZLMActvHook.h"

namespace {

HINSTANCE g_module = nullptr;
CRITICAL_SECTION g_lock;
LONG g_installs = 0;  // InstallHook calls not yet ended by UninstallHook
HANDLE g_thread = nullptr;
DWORD g_threadId = 0;
volatile LONG g_stamp = 0;  // seconds since 1970 UTC, cut to 32 bits

// How long UninstallHook (or a failed InstallHook) waits for the thread to
// end.
constexpr DWORD kThreadWaitMs = 10000;

DWORD SecondsSince1970() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<DWORD>((ticks - 116444736000000000ULL) / 10000000ULL);
}

void NoteInput() { ::InterlockedExchange(&g_stamp, static_cast<LONG>(SecondsSince1970())); }

LRESULT CALLBACK KeyboardProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) NoteInput();
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK MouseProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) NoteInput();
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

struct ThreadStart {
  HANDLE ready;  // set once the hooks are in place (or failed)
  BOOL hooked;
};

// The hook thread holds a reference to this library, taken by InstallHook
// and given back as the thread ends, so that the hook procedures stay
// loaded for as long as the hooks can call them.
DWORD WINAPI HookThread(LPVOID parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  MSG msg;
  ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the thread's message queue
  HHOOK keyboard = ::SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardProc, g_module, 0);
  HHOOK mouse = ::SetWindowsHookExW(WH_MOUSE_LL, MouseProc, g_module, 0);
  start->hooked = keyboard != nullptr && mouse != nullptr;
  const BOOL hooked = start->hooked;
  ::SetEvent(start->ready);  // start belongs to InstallHook from here on
  if (hooked) {
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  if (keyboard != nullptr) ::UnhookWindowsHookEx(keyboard);
  if (mouse != nullptr) ::UnhookWindowsHookEx(mouse);
  ::FreeLibraryAndExitThread(g_module, hooked ? 0 : 1);
  return 0;
}

void StopThread(HANDLE thread, DWORD threadId) {
  ::PostThreadMessageW(threadId, WM_QUIT, 0, 0);
  ::WaitForSingleObject(thread, kThreadWaitMs);
  ::CloseHandle(thread);
}

BOOL StartWatching() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HookThread),
                            &self))
    return FALSE;
  ThreadStart start{::CreateEventW(nullptr, TRUE, FALSE, nullptr), FALSE};
  if (start.ready == nullptr) {
    ::FreeLibrary(self);
    return FALSE;
  }
  DWORD threadId = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, HookThread, &start, 0, &threadId);
  if (thread == nullptr) {
    ::CloseHandle(start.ready);
    ::FreeLibrary(self);
    return FALSE;
  }
  // The thread sets ready before anything can keep it from doing so; the
  // wait on the thread itself only guards against its being killed.
  const HANDLE waits[2] = {start.ready, thread};
  const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  ::CloseHandle(start.ready);
  if (woke != WAIT_OBJECT_0 || !start.hooked) {
    ::WaitForSingleObject(thread, kThreadWaitMs);
    ::CloseHandle(thread);
    return FALSE;
  }
  g_thread = thread;
  g_threadId = threadId;
  return TRUE;
}

}  // namespace

BOOL WINAPI InstallHook() {
  ::EnterCriticalSection(&g_lock);
  BOOL ok = TRUE;
  if (g_installs == 0) {
    // Until the first input the stamp is the moment watching began.
    ::InterlockedExchange(&g_stamp, static_cast<LONG>(SecondsSince1970()));
    ok = StartWatching();
  }
  if (ok) ++g_installs;
  ::LeaveCriticalSection(&g_lock);
  return ok;
}

BOOL WINAPI UninstallHook() {
  ::EnterCriticalSection(&g_lock);
  BOOL ok = FALSE;
  if (g_installs > 0) {
    ok = TRUE;
    if (--g_installs == 0) {
      StopThread(g_thread, g_threadId);
      g_thread = nullptr;
      g_threadId = 0;
    }
  }
  ::LeaveCriticalSection(&g_lock);
  return ok;
}

DWORD WINAPI GetTimeStamp() { return static_cast<DWORD>(::InterlockedCompareExchange(&g_stamp, 0, 0)); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::InitializeCriticalSection(&g_lock);
    ::DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    ::DeleteCriticalSection(&g_lock);
  }
  return TRUE;
}
