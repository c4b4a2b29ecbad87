// TessaroMemMapi.dll: the in-memory MAPI provider as the Extended MAPI
// library of a mail client on Windows. Named by "DLLPathEx" under
// HKLM\Software\Clients\Mail\NAME (NAME being that key's default value), it
// receives what mapi32.dll hands on to such a library: MAPIInitialize,
// MAPIUninitialize, MAPILogonEx, the buffer functions and HrQueryAllRows.
// mapi32.dll's own helpers (FreeProws, HrGetOneProp, ...) come back to the
// buffer functions here, so every buffer goes back to the allocator it came
// from.
//
// The calendar is the file named by the environment variable
// TESSARO_MEMMAPI_CALENDAR, else the demo calendar; its relative times count
// from the first MAPIInitialize. A calendar that cannot be read makes
// MAPIInitialize fail with MAPI_E_CALL_FAILED and is reported on standard
// error. With TESSARO_MEMMAPI_REFUSE_LOGON set (to anything), every
// MAPILogonEx fails with MAPI_E_LOGON_FAILED, as for a mail client without a
// usable profile. With TESSARO_MEMMAPI_BENCHMARK=N the calendar is the
// benchmark calendar of N appointments around the first MAPIInitialize
// instead (memstore/BenchmarkCalendar.h).
//
// Notifications reach the sinks on the thread that first initialised MAPI,
// through that thread's message loop, as a mail client's do: MAPIInitialize
// makes a message-only window there, and every change made through
// TessaroMemAddMeetings posts it a message on which it delivers what is
// queued.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "calendar/TimeHelpers.h"
#include "memstore/BenchmarkCalendar.h"
#include "memstore/CalendarFile.h"
#include "memstore/MemStore.h"
#include "platform/wstr.h"

namespace {

constexpr UINT kDeliverMessage = WM_APP + 0x4D53;
const wchar_t kWindowClass[] = L"TessaroMemMapiNotifications";

// Lives as long as the process: objects handed out may be released by a
// host during its own shutdown, after this library's static destructors.
memstore::Provider& TheProvider() {
  static memstore::Provider* provider = new memstore::Provider();
  return *provider;
}

std::mutex g_mutex;
bool g_loaded = false;
bool g_loadFailed = false;
HWND g_window = nullptr;
// Notification calls made so far (OnNotify calls).
std::atomic<LONG> g_delivered{0};
// The meetings added through TessaroMemAddMeetings, oldest first.
std::deque<memstore::ItemId> g_added;

FILETIME NowUtc() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return now;
}

void Report(const std::string& text) {
  std::fprintf(stderr, "TessaroMemMapi: %s\n", text.c_str());
  std::fflush(stderr);
}

// Fills the calendar once; false when it could not be read.
bool LoadCalendar() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_loaded) return !g_loadFailed;
  g_loaded = true;
  std::vector<memstore::Appointment> appointments;
  std::string error;
  bool ok = false;
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", path, MAX_PATH);
  wchar_t benchmark[16] = {};
  const DWORD b = ::GetEnvironmentVariableW(L"TESSARO_MEMMAPI_BENCHMARK", benchmark, 16);
  if (b > 0 && b < 16) {
    appointments = memstore::BenchmarkCalendar(static_cast<int>(std::wcstol(benchmark, nullptr, 10)),
                                               SecondsFromFileTime(NowUtc()));
    ok = true;
  } else if (n > 0 && n < MAX_PATH) {
    ok = memstore::LoadCalendarFile(wstr::ToUtf8(WStringView(reinterpret_cast<const WCHAR*>(path))), NowUtc(),
                                    appointments, error);
  } else {
    ok = memstore::ParseCalendar(memstore::DemoCalendarText(), memstore::kDemoCalendarName, NowUtc(), appointments,
                                 error);
  }
  if (!ok) {
    Report(error);
    g_loadFailed = true;
    return false;
  }
  TheProvider().AddQuietly(appointments);
  if (::GetEnvironmentVariableW(L"TESSARO_MEMMAPI_REFUSE_LOGON", nullptr, 0) > 0)
    TheProvider().Fail(memstore::Op::MAPILogonEx, MAPI_E_LOGON_FAILED, -1);
  return true;
}

LRESULT CALLBACK NotificationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kDeliverMessage) {
    g_delivered.fetch_add(TheProvider().Pump());
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&NotificationWindowProc), &module);
  return module;
}

// The delivery window, made on the calling thread the first time.
void MakeDeliveryWindow() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_window != nullptr) return;
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = NotificationWindowProc;
  windowClass.hInstance = ThisModule();
  windowClass.lpszClassName = kWindowClass;
  ::RegisterClassW(&windowClass);
  g_window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                               nullptr);
}

void RequestDelivery() {
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    window = g_window;
  }
  if (window != nullptr) ::PostMessageW(window, kDeliverMessage, 0, 0);
}

}  // namespace

// The exported names are given in TessaroMemMapi.def.
extern "C" {

HRESULT WINAPI MemMapiInitialize(LPVOID lpMapiInit) {
  if (!LoadCalendar()) return MAPI_E_CALL_FAILED;
  const HRESULT hr = TheProvider().MAPIInitialize(lpMapiInit);
  if (SUCCEEDED(hr)) MakeDeliveryWindow();
  return hr;
}

void WINAPI MemMapiUninitialize() { TheProvider().MAPIUninitialize(); }

HRESULT WINAPI MemMapiLogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                              LPMAPISESSION* lppSession) {
  return TheProvider().MAPILogonEx(ulUIParam, lpszProfileName, lpszPassword, ulFlags, lppSession);
}

SCODE WINAPI MemMapiAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  return TheProvider().MAPIAllocateBuffer(cbSize, lppBuffer);
}

SCODE WINAPI MemMapiAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return TheProvider().MAPIAllocateMore(cbSize, lpObject, lppBuffer);
}

ULONG WINAPI MemMapiFreeBuffer(LPVOID lpBuffer) { return TheProvider().MAPIFreeBuffer(lpBuffer); }

HRESULT WINAPI MemMapiQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                                   LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  return TheProvider().HrQueryAllRows(lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax, lppRows);
}

// Adds the appointments of a calendar text (the calendar file form, relative
// times counting from now) to the calendar, each with its notification, and
// has them delivered through the initialising thread's message loop.
// Returns the number added, or -1 when the text has a mistake (nothing is
// added then; the mistake goes to standard error).
LONG WINAPI TessaroMemAddMeetings(LPCWSTR calendarText) {
  if (calendarText == nullptr || !LoadCalendar()) return -1;
  std::vector<memstore::Appointment> appointments;
  std::string error;
  const std::string text = wstr::ToUtf8(WStringView(reinterpret_cast<const WCHAR*>(calendarText)));
  if (!memstore::ParseCalendar(text, "TessaroMemAddMeetings", NowUtc(), appointments, error)) {
    Report(error);
    return -1;
  }
  for (const memstore::Appointment& appointment : appointments) {
    const memstore::ItemId id = TheProvider().Add(appointment);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_added.push_back(id);
  }
  RequestDelivery();
  return static_cast<LONG>(appointments.size());
}

// Deletes the `count` oldest meetings added through TessaroMemAddMeetings,
// each with its notification, delivered as those of the additions are.
// Returns the number deleted.
LONG WINAPI TessaroMemRemoveMeetings(LONG count) {
  LONG removed = 0;
  for (; removed < count; ++removed) {
    memstore::ItemId id = 0;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_added.empty()) break;
      id = g_added.front();
      g_added.pop_front();
    }
    TheProvider().Delete(id);
  }
  if (removed > 0) RequestDelivery();
  return removed;
}

// Failure injection (memstore::Provider::Fail with the operation's number in
// memstore::Op), the provider's count of calls of an operation, and
// forgetting the calls made so far (the call log grows with every call).
void WINAPI TessaroMemFail(LONG op, LONG hr, LONG times, LONG after) {
  if (op < 0 || op >= static_cast<LONG>(memstore::Op::kCount)) return;
  TheProvider().Fail(static_cast<memstore::Op>(op), static_cast<HRESULT>(hr), times, after);
}
void WINAPI TessaroMemClearFailures() { TheProvider().ClearFailures(); }
LONG WINAPI TessaroMemCallCount(LONG op) {
  if (op < 0 || op >= static_cast<LONG>(memstore::Op::kCount)) return -1;
  return TheProvider().CallCount(static_cast<memstore::Op>(op));
}
void WINAPI TessaroMemClearCalls() { TheProvider().ClearCalls(); }

// The notification calls (OnNotify) delivered so far through the message loop.
LONG WINAPI TessaroMemDelivered() { return g_delivered.load(); }

// What is still handed out: sessions not yet released, COM objects of every
// kind, MAPI buffers not yet freed; for the tests to see that a client let
// go of everything.
LONG WINAPI TessaroMemLiveSessions() { return TheProvider().LiveSessions(); }
LONG WINAPI TessaroMemLiveObjects() { return TheProvider().LiveObjects(); }
LONG WINAPI TessaroMemLiveBuffers() { return static_cast<LONG>(TheProvider().LiveBuffers()); }

}  // extern "C"
