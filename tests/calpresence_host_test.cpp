// The calendar presence control as a page meets it: created by its ProgID
// from the registered ZLMTessaro.dll, its events taken through the
// connection point by a sink of ours, its methods called through IDispatch,
// the mail client a stand-in outlook.exe and its calendar the in-memory
// provider behind Wine's mapi32.dll. The control's log is read from the
// debugger stream. Each case runs in a process of its own (the control's
// state is process-wide and mapi32.dll reads the mail client once).
//
// Environment: TESSARO_OUTLOOK_STANDIN and TESSARO_MEMMAPI_DLL, Unix paths
// of the stand-in mail client and the provider library.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <psapi.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "calpresence/CalPresenceIds.h"
#include "wine/debug_stream.h"
#include "wine/mail_client.h"

namespace {

const wchar_t kProgId[] = L"ZLMTessaro.CalPresenceAX.214";
// Every level to the debugger stream.
const wchar_t kLogEverything[] = L"134217743";

// ---- the page's side ----------------------------------------------------------------

struct Event {
  DISPID id = 0;
  std::vector<LONG> numbers;
  std::vector<std::wstring> texts;
};

// Records every event, in order, with its arguments in declaration order.
class EventSink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__ICalPresenceEvents) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    Event event;
    event.id = id;
    m_threads.push_back(::GetCurrentThreadId());
    for (UINT i = params != nullptr ? params->cArgs : 0; i-- > 0;) {
      const VARIANT& arg = params->rgvarg[i];  // the last argument comes first
      if (V_VT(&arg) == VT_BSTR) {
        event.texts.push_back(V_BSTR(&arg) != nullptr ? V_BSTR(&arg) : L"");
      } else if (V_VT(&arg) == VT_I4) {
        event.numbers.push_back(V_I4(&arg));
      }
    }
    m_events.push_back(event);
    if (onEvent) onEvent(m_events.back());
    return S_OK;
  }

  // The page's handler, run after the event was recorded.
  std::function<void(const Event&)> onEvent;

  std::vector<Event> Take() {
    std::vector<Event> events;
    events.swap(m_events);
    return events;
  }
  const std::vector<Event>& Events() const { return m_events; }
  const std::vector<DWORD>& Threads() const { return m_threads; }
  LONG Refs() const { return m_refs; }

 private:
  LONG m_refs = 1;
  std::vector<Event> m_events;
  std::vector<DWORD> m_threads;
};

std::vector<DISPID> Ids(const std::vector<Event>& events) {
  std::vector<DISPID> ids;
  for (const Event& e : events) ids.push_back(e.id);
  return ids;
}

// The subjects of the OnCalDataChanged events.
std::vector<std::wstring> Subjects(const std::vector<Event>& events) {
  std::vector<std::wstring> subjects;
  for (const Event& e : events)
    if (e.id == DISPID_CALPRESENCE_ONCALDATACHANGED && !e.texts.empty()) subjects.push_back(e.texts[0]);
  return subjects;
}

// The control created by ProgID, with the sink advised on its event point.
class Page {
 public:
  Page() {
    CLSID clsid{};
    m_created = ::CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(m_created)) return;
    EXPECT_EQ(CLSID_CalPresenceAX, clsid);
    m_created = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&m_control));
    if (FAILED(m_created)) return;
    IConnectionPointContainer* container = nullptr;
    m_created = m_control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(m_created)) return;
    m_created = container->FindConnectionPoint(DIID__ICalPresenceEvents, &m_point);
    container->Release();
    if (FAILED(m_created)) return;
    m_created = m_point->Advise(&m_sink, &m_cookie);
  }

  ~Page() { LetGo(); }

  // Unsubscribes and gives up every reference the page holds to the control.
  void LetGo() {
    if (m_point != nullptr) {
      if (m_cookie != 0) m_point->Unadvise(m_cookie);
      m_point->Release();
      m_point = nullptr;
    }
    if (m_control != nullptr) m_control->Release();
    m_control = nullptr;
  }

  HRESULT created() const { return m_created; }
  EventSink& sink() { return m_sink; }

  // Looks the method up by name and calls it, as a script does.
  HRESULT Call(const wchar_t* method) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(method);
    const HRESULT found = m_control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(found)) return found;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    ::VariantInit(&result);
    const HRESULT hr =
        m_control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
    ::VariantClear(&result);
    return hr;
  }

 private:
  HRESULT m_created = E_FAIL;
  IDispatch* m_control = nullptr;
  IConnectionPoint* m_point = nullptr;
  DWORD m_cookie = 0;
  EventSink m_sink;
};

// Runs the thread's message loop for a while, or until `done` holds.
void PumpMessages(DWORD milliseconds, const std::function<bool()>& done = nullptr) {
  const DWORD start = ::GetTickCount();
  do {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (done && done()) return;
    ::Sleep(10);
  } while (::GetTickCount() - start < milliseconds);
}

// ---- the machine around the page --------------------------------------------------------

// The stand-in mail client, running until Stop or the end of the scope.
class MailClientProcess {
 public:
  MailClientProcess() {
    const std::wstring program = e2e::PathFromEnvironment("TESSARO_OUTLOOK_STANDIN");
    if (program.empty()) return;
    const std::wstring event = L"TessaroStandInStop" + std::to_wstring(::GetCurrentProcessId());
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::wstring commandLine = L"\"" + program + L"\" 120 " + event;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &info)) {
      ::CloseHandle(info.hThread);
      m_process = info.hProcess;
      WaitUntilListed();
    }
  }
  ~MailClientProcess() {
    Stop();
    if (m_stop != nullptr) ::CloseHandle(m_stop);
  }
  MailClientProcess(const MailClientProcess&) = delete;
  MailClientProcess& operator=(const MailClientProcess&) = delete;

  bool running() const { return m_process != nullptr; }

  // A process just started is not yet in the list with its name; the
  // watcher looks at it the way this does.
  void WaitUntilListed() {
    for (int i = 0; i < 500; ++i) {
      HMODULE module = nullptr;
      DWORD needed = 0;
      wchar_t name[MAX_PATH] = {};
      if (::EnumProcessModules(m_process, &module, sizeof module, &needed) &&
          ::GetModuleBaseNameW(m_process, module, name, MAX_PATH) > 0 && _wcsicmp(name, L"outlook.exe") == 0)
        return;
      ::Sleep(20);
    }
  }

  void Stop() {
    if (m_process == nullptr) return;
    ::SetEvent(m_stop);
    if (::WaitForSingleObject(m_process, 5000) != WAIT_OBJECT_0) {
      ::TerminateProcess(m_process, 1);
      ::WaitForSingleObject(m_process, 5000);
    }
    ::CloseHandle(m_process);
    m_process = nullptr;
  }

 private:
  HANDLE m_stop = nullptr;
  HANDLE m_process = nullptr;
};

class ComApartment {
 public:
  ComApartment() { m_hr = ::CoInitialize(nullptr); }
  ~ComApartment() {
    if (SUCCEEDED(m_hr)) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT m_hr;
};

std::wstring WriteTempFile(const char* text) {
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  ::GetTempPathW(MAX_PATH, dir);
  ::GetTempFileNameW(dir, L"cal", 0, path);
  FILE* f = _wfopen(path, L"wb");
  if (f != nullptr) {
    std::fputs(text, f);
    std::fclose(f);
  }
  return path;
}

void EnableControlLog() { ::SetEnvironmentVariableW(L"ZLMTessaroLogLevel", kLogEverything); }

// The control's log lines the cases look for.
const char kProcessFound[] = "MyThread(1122): Outlook Process Found";
const char kProcessGone[] = "MyThread(1135): Outlook Process Gone";
const char kEnumerating[] = "MyThread(1079): Enumerate the processes";
const char kWatcherExits[] = "MyThread(1157): Exiting MyThread";
const char kLoggingOn[] = "Logon(575): Logging on to MAPI";
const char kInitializeFailed[] = "Logon(586): MAPIInitialize failed will try again later";
const char kLogonFailed[] = "Logon(604): Logon failed will try again later";

// An export of the provider library that mapi32.dll loaded.
template <class Fn>
Fn ProviderExport(const char* name) {
  HMODULE library = ::GetModuleHandleW(L"TessaroMemMapi.dll");
  if (library == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

void ExpectNothingHandedOut() {
  using Count = LONG(WINAPI*)();
  for (const char* name : {"TessaroMemLiveSessions", "TessaroMemLiveObjects", "TessaroMemLiveBuffers"}) {
    const auto live = ProviderExport<Count>(name);
    ASSERT_NE(nullptr, live) << name;
    EXPECT_EQ(0, live()) << name;
  }
}

// The page's first call starts the watcher and mostly ends with the
// watcher's first look at the process list, just before it marks the mail
// client found; the page's next tick then runs the pass that logs on.
// Returns the events of the pass that logged on, whichever call ran it.
std::vector<Event> PassWithMailClientFound(Page& page, const e2e::DebugStream& log) {
  EXPECT_TRUE(SUCCEEDED(page.Call(L"GetCalData")));
  EXPECT_TRUE(log.WaitFor(kProcessFound, 1, 3000)) << log.Text();
  if (log.Settled(kLoggingOn, 0) == 0) {
    page.sink().Take();
    EXPECT_EQ(S_OK, page.Call(L"CheckProcessChange"));
  }
  return page.sink().Take();
}

// What a case with a mail client needs, made in this order: the mail
// client's Extended MAPI library named in the registry (empty: none), the
// control's log read from the debugger stream, the stand-in outlook.exe
// running, and a page with the control.
struct MailClientScene {
  explicit MailClientScene(const std::wstring& extendedMapiLibrary) : client(extendedMapiLibrary) {
    EnableControlLog();
  }
  bool ready() const { return client.ok() && log.ok() && outlook.running() && page.created() == S_OK; }

  e2e::MailClient client;
  e2e::DebugStream log;
  MailClientProcess outlook;
  ComApartment com;
  Page page;
};

// ---- the cases ----------------------------------------------------------------------

TEST(CalPresenceHost, WithoutAMailClientGetCalDataAnswersDoneAndPasswordAvailable) {
  ComApartment com;
  Page page;
  ASSERT_EQ(S_OK, page.created());

  EXPECT_TRUE(SUCCEEDED(page.Call(L"GetCalData")));
  const std::vector<Event> events = page.sink().Take();
  ASSERT_EQ((std::vector<DISPID>{DISPID_CALPRESENCE_DONE, DISPID_CALPRESENCE_PASSWORDAVAILABLE}), Ids(events));
  EXPECT_EQ(std::vector<LONG>{0}, events[0].numbers);
  for (DWORD thread : page.sink().Threads()) EXPECT_EQ(::GetCurrentThreadId(), thread);

  EXPECT_EQ(S_OK, page.Call(L"Quit"));
}

TEST(CalPresenceHost, TheWatcherFindsTheMailClientAndQuitStopsIt) {
  MailClientScene scene(L"");
  ASSERT_TRUE(scene.ready());
  Page& page = scene.page;
  e2e::DebugStream& log = scene.log;

  // Found: a pass logs on.
  PassWithMailClientFound(page, log);
  EXPECT_TRUE(log.WaitFor(kLoggingOn, 1, 3000)) << log.Text();

  // The mail client goes: the watcher sees it on its next pass, and the
  // page's tick then runs a pass that finds nothing.
  scene.outlook.Stop();
  EXPECT_TRUE(log.WaitFor(kProcessGone, 1, 5000));
  page.sink().Take();
  EXPECT_EQ(S_OK, page.Call(L"CheckProcessChange"));
  const std::vector<Event> tick = page.sink().Take();
  ASSERT_FALSE(tick.empty());
  EXPECT_EQ(DISPID_CALPRESENCE_PASSWORDAVAILABLE, tick.back().id);
  EXPECT_TRUE(Subjects(tick).empty());

  // Quit stops the watcher promptly, and it enumerates no more.
  const DWORD before = ::GetTickCount();
  EXPECT_EQ(S_OK, page.Call(L"Quit"));
  EXPECT_LT(::GetTickCount() - before, 5000u);
  EXPECT_EQ(1, log.Settled(kWatcherExits, 1));
  const int passes = log.Count(kEnumerating);
  ::Sleep(2500);
  EXPECT_EQ(passes, log.Count(kEnumerating));
}

TEST(CalPresenceHost, MeetingsInProgressReachThePageAndACalendarChangeStartsANewPass) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  // One meeting in progress; the others are not meetings now (private,
  // free, tentative, to come).
  const std::wstring calendar = WriteTempFile(
      "[appointment]\nsubject = Design review\nlocation = Room 4.12\nstart = now-20m\nend = now+40m\nbusy = busy\n"
      "[appointment]\nsubject = Dentist\nstart = now-10m\nend = now+50m\nbusy = busy\nprivate = yes\n"
      "[appointment]\nsubject = Lunch\nstart = now-5m\nend = now+55m\nbusy = free\n"
      "[appointment]\nsubject = Guild\nstart = now-5m\nend = now+55m\nbusy = tentative\n"
      "[appointment]\nsubject = Budget planning\nstart = now+3h\nend = now+4h\nbusy = busy\n");
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", calendar.c_str());
  MailClientScene scene(provider);
  ASSERT_TRUE(scene.ready());
  Page& page = scene.page;
  e2e::DebugStream& log = scene.log;

  std::vector<Event> events = PassWithMailClientFound(page, log);
  ASSERT_EQ(std::vector<std::wstring>{L"Design review"}, Subjects(events));
  const Event& meeting = events.front();
  ASSERT_EQ(DISPID_CALPRESENCE_ONCALDATACHANGED, meeting.id);
  ASSERT_EQ(6u, meeting.numbers.size());
  ASSERT_EQ(3u, meeting.texts.size());
  EXPECT_EQ(L"Room 4.12", meeting.texts[1]);
  EXPECT_EQ(DISPID_CALPRESENCE_PASSWORDAVAILABLE, events.back().id);
  EXPECT_EQ(DISPID_CALPRESENCE_DONE, events[events.size() - 2].id);

  // A meeting added through the provider: its notification reaches the
  // control through this thread's message loop and starts a new pass.
  const auto add = ProviderExport<LONG(WINAPI*)(LPCWSTR)>("TessaroMemAddMeetings");
  ASSERT_NE(nullptr, add);
  ASSERT_EQ(1, add(L"[appointment]\nsubject = Hallway chat\nlocation = Kitchen\nstart = now-2m\nend = now+20m\n"
                   L"busy = busy\n"));
  EXPECT_TRUE(page.sink().Events().empty());  // nothing before the loop runs
  PumpMessages(5000, [&] { return !page.sink().Events().empty() && page.sink().Events().back().id ==
                                                                          DISPID_CALPRESENCE_PASSWORDAVAILABLE; });
  events = page.sink().Take();
  std::vector<std::wstring> subjects = Subjects(events);
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ((std::vector<std::wstring>{L"Design review", L"Hallway chat"}), subjects);
  for (DWORD thread : page.sink().Threads()) EXPECT_EQ(::GetCurrentThreadId(), thread);

  // Quit logs off and lets go of everything the provider handed out.
  EXPECT_EQ(S_OK, page.Call(L"Quit"));
  ExpectNothingHandedOut();
  ::DeleteFileW(calendar.c_str());
}

// The provider with its built-in demo calendar: the single busy meeting in
// progress is among those reported; the private, free and tentative ones in
// progress and the meetings to come are not.
TEST(CalPresenceHost, TheDemoCalendarsMeetingsInProgressReachThePage) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", nullptr);
  MailClientScene scene(provider);
  ASSERT_TRUE(scene.ready());
  Page& page = scene.page;
  e2e::DebugStream& log = scene.log;

  const std::vector<std::wstring> subjects = Subjects(PassWithMailClientFound(page, log));
  const auto reported = [&](const wchar_t* subject) {
    return std::find(subjects.begin(), subjects.end(), subject) != subjects.end();
  };
  EXPECT_TRUE(reported(L"Design review")) << log.Text();
  for (const wchar_t* notNow : {L"Dentist", L"Lunch with the team (optional)", L"Architecture guild",
                                L"Customer call with Lindqvist AB", L"Budget planning"})
    EXPECT_FALSE(reported(notNow));

  EXPECT_EQ(S_OK, page.Call(L"Quit"));
  ExpectNothingHandedOut();
}

// Two meetings in progress; the page's first pass with them logged on.
const char kTwoMeetings[] =
    "[appointment]\nsubject = Design review\nlocation = Room 4.12\nstart = now-20m\nend = now+40m\nbusy = busy\n"
    "[appointment]\nsubject = Standup\nlocation = Kitchen\nstart = now-10m\nend = now+20m\nbusy = busy\n";

// The event ids as letters: C OnCalDataChanged, D Done, P PasswordAvailable.
std::string Letters(const std::vector<Event>& events) {
  std::string s;
  for (const Event& e : events)
    s += e.id == DISPID_CALPRESENCE_ONCALDATACHANGED ? 'C' : e.id == DISPID_CALPRESENCE_DONE ? 'D' : 'P';
  return s;
}

// The subjects of the events at the positions, sorted: the meetings of one
// pass, whatever order the calendar lists them in.
std::vector<std::wstring> SubjectsAt(const std::vector<Event>& events, std::vector<size_t> positions) {
  std::vector<std::wstring> subjects;
  for (size_t i : positions)
    subjects.push_back(i < events.size() && !events[i].texts.empty() ? events[i].texts[0] : L"");
  std::sort(subjects.begin(), subjects.end());
  return subjects;
}

// A handler of the first OnCalDataChanged runs `during`; the page's next
// GetCalData is the pass looked at.
std::vector<Event> PassWithHandler(MailClientScene& scene, const std::function<void()>& during) {
  PassWithMailClientFound(scene.page, scene.log);
  bool done = false;
  scene.page.sink().onEvent = [&](const Event& e) {
    if (done || e.id != DISPID_CALPRESENCE_ONCALDATACHANGED) return;
    done = true;
    during();
  };
  EXPECT_EQ(S_OK, scene.page.Call(L"GetCalData"));
  scene.page.sink().onEvent = nullptr;
  EXPECT_TRUE(done);
  return scene.page.sink().Take();
}

TEST(CalPresenceHost, AHandlerThatCallsGetCalDataAgainSeesAWholeNestedPass) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  const std::wstring calendar = WriteTempFile(kTwoMeetings);
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", calendar.c_str());
  MailClientScene scene(provider);
  ASSERT_TRUE(scene.ready());

  const std::vector<Event> events =
      PassWithHandler(scene, [&] { EXPECT_EQ(S_OK, scene.page.Call(L"GetCalData")); });
  ASSERT_EQ("CCCDPCDP", Letters(events));
  const std::vector<std::wstring> both = {L"Design review", L"Standup"};
  EXPECT_EQ(both, SubjectsAt(events, {0, 5}));  // the outer pass
  EXPECT_EQ(both, SubjectsAt(events, {1, 2}));  // the nested one
  for (const Event& e : events)
    if (e.id == DISPID_CALPRESENCE_ONCALDATACHANGED)
      EXPECT_EQ(e.texts[0] == L"Standup" ? L"Kitchen" : L"Room 4.12", e.texts[1]);

  EXPECT_EQ(S_OK, scene.page.Call(L"Quit"));
  ExpectNothingHandedOut();
  ::DeleteFileW(calendar.c_str());
}

// A meeting is added while the handler runs a modal loop: its notification
// starts a whole pass inside the handler, and the interrupted pass then
// reports its own second meeting.
TEST(CalPresenceHost, ANotificationDuringAHandlersModalLoopRunsAWholePass) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  const std::wstring calendar = WriteTempFile(kTwoMeetings);
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", calendar.c_str());
  MailClientScene scene(provider);
  ASSERT_TRUE(scene.ready());

  const std::vector<Event> events = PassWithHandler(scene, [&] {
    // The provider's library is loaded by the first pass's logon.
    const auto add = ProviderExport<LONG(WINAPI*)(LPCWSTR)>("TessaroMemAddMeetings");
    ASSERT_NE(nullptr, add);
    ASSERT_EQ(1, add(L"[appointment]\nsubject = Hallway chat\nstart = now-2m\nend = now+20m\nbusy = busy\n"));
    PumpMessages(5000, [&] { return scene.page.sink().Events().back().id == DISPID_CALPRESENCE_PASSWORDAVAILABLE; });
  });
  ASSERT_EQ("CCCCDPCDP", Letters(events));
  EXPECT_EQ((std::vector<std::wstring>{L"Design review", L"Standup"}), SubjectsAt(events, {0, 6}));
  EXPECT_EQ((std::vector<std::wstring>{L"Design review", L"Hallway chat", L"Standup"}), SubjectsAt(events, {1, 2, 3}));

  EXPECT_EQ(S_OK, scene.page.Call(L"Quit"));
  ExpectNothingHandedOut();
  ::DeleteFileW(calendar.c_str());
}

// The page lets go of the control from a handler: the pass ends, and the
// control's end (the watcher stopped, the session logged off) follows once
// the page's call has returned.
TEST(CalPresenceHost, ThePageMayLetGoOfTheControlInsideAnEvent) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  const std::wstring calendar = WriteTempFile(kTwoMeetings);
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", calendar.c_str());
  MailClientScene scene(provider);
  ASSERT_TRUE(scene.ready());

  const std::vector<Event> events = PassWithHandler(scene, [&] { scene.page.LetGo(); });
  EXPECT_EQ("C", Letters(events));  // nothing reaches a page that unsubscribed
  EXPECT_EQ(1, scene.log.Settled(kWatcherExits, 1));
  ExpectNothingHandedOut();
  ::DeleteFileW(calendar.c_str());
}

// A pass whose logon fails retries a few times, nested, and leaves the rest
// to the page's next tick, which tries as many times again.
void ExpectCappedRetries(const std::wstring& extendedMapiLibrary, const char* failureLine) {
  MailClientScene scene(extendedMapiLibrary);
  ASSERT_TRUE(scene.ready());
  Page& page = scene.page;
  e2e::DebugStream& log = scene.log;

  // The pass and three nested retries.
  constexpr int kAttempts = 1 + 3;
  std::vector<Event> events = PassWithMailClientFound(page, log);
  EXPECT_EQ(kAttempts, log.Settled(failureLine, kAttempts)) << log.Text();
  EXPECT_TRUE(Subjects(events).empty());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(DISPID_CALPRESENCE_PASSWORDAVAILABLE, events.back().id);

  EXPECT_EQ(S_OK, page.Call(L"CheckProcessChange"));
  EXPECT_EQ(2 * kAttempts, log.Settled(failureLine, 2 * kAttempts));
  EXPECT_EQ(2 * kAttempts, log.Count(kLoggingOn));  // no logon beyond the retries
  EXPECT_TRUE(Subjects(page.sink().Take()).empty());

  EXPECT_EQ(S_OK, page.Call(L"Quit"));
  if (!extendedMapiLibrary.empty()) ExpectNothingHandedOut();
}

// Wine's mapi32.dll without an Extended MAPI library refuses MAPIInitialize.
TEST(CalPresenceHost, WithoutTheProviderMapiInitializeFailsAndIsRetriedAFewTimes) {
  ExpectCappedRetries(L"", kInitializeFailed);
}

TEST(CalPresenceHost, WhenTheProviderRefusesTheLogonItIsRetriedAFewTimes) {
  const std::wstring provider = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(provider.empty());
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_REFUSE_LOGON", L"1");
  ExpectCappedRetries(provider, kLogonFailed);
}

}  // namespace
