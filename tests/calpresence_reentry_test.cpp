// A page that calls back into the calendar presence control from its event
// handlers, a notification delivered while a handler runs a modal loop, and
// the watcher logging the session out while a pass still scans: against the
// in-memory provider, with the watcher running over a process list that
// shows the mail client.
#include <gtest/gtest.h>

#include <map>

#include "mapisearch/MapiSearchAX.h"
#include "memstore/MemStore.h"
#include "tests/calpresence_support.h"
#include "tests/support/test_support.h"

using namespace calpresence_testing;
using C = CCalPresenceAX;
using memstore::Op;

namespace {

memstore::Appointment Meeting(const WCHAR* subject, const WCHAR* location, LONGLONG start, LONGLONG end) {
  memstore::Appointment a = memstore::SingleAppointment(subject, FromNow(start), FromNow(end));
  a.location = WString(location);
  return a;
}

// A site whose browser offers DWebBrowserEvents2, so that the control
// subscribes and SetSite(NULL) has a subscription to undo.
class Browser final : public IDispatch, public plat::ConnectionPointContainer {
 public:
  Browser() { OfferConnectionPoint(&events); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser2) *ppv = static_cast<IDispatch*>(this);
    if (riid == IID_IConnectionPointContainer) *ppv = static_cast<IConnectionPointContainer*>(this);
    if (*ppv == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  ULONG refs = 1;
  plat::ConnectionPoint events{this, DIID_DWebBrowserEvents2};
};

class Reentry : public CalPresenceTest {
 protected:
  Reentry() : installed_(provider) {
    provider.Add(Meeting(WSTR("Alpha"), WSTR("Room A"), -600, 1200));
    provider.Add(Meeting(WSTR("Beta"), WSTR("Room B"), -300, 2400));
    processes.SetCount(2);
    Start();
  }
  // A control (a new one after the last went) on a page with a browser; the
  // watcher runs and has seen the mail client; a pass has logged on.
  void Start() {
    if (!control) {
      control = Make(page);
      EXPECT_EQ(S_OK, control->SetSite(static_cast<IDispatch*>(&browser)));
    }
    processes.SetName(1, WSTR("outlook.exe"));
    if (C::m_hThread.load() == nullptr) control->GetCalData();
    EXPECT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
    if (C::m_pNotifyStore.load() == nullptr) control->GetCalData();
    EXPECT_NE(nullptr, C::m_pNotifyStore.load());
    page.Clear();
    log.Clear();
  }
  ~Reentry() override {
    control = nullptr;
    ResetClassState();
    EXPECT_EQ(0, provider.LiveSessions());
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
    EXPECT_TRUE(provider.Registrations().empty());
  }

  // Every OnCalDataChanged carries the fields of one meeting of the
  // calendar: the subject decides the location.
  void ExpectWholeMeetings() const {
    const std::map<std::string, std::string> locations = {
        {"Alpha", "Room A"}, {"Beta", "Room B"}, {"Gamma", "Room C"}};
    for (const FiredEvent& e : page.events) {
      if (e.dispid != DISPID_CALPRESENCE_ONCALDATACHANGED) continue;
      ASSERT_EQ(3u, e.texts.size());
      ASSERT_EQ(1u, locations.count(e.texts[0])) << e.texts[0];
      EXPECT_EQ(locations.at(e.texts[0]), e.texts[1]);
      EXPECT_LT(e.longs[0], 0);
    }
  }
  std::string Subjects() const {
    std::string s;
    for (const FiredEvent& e : page.events)
      if (e.dispid == DISPID_CALPRESENCE_ONCALDATACHANGED) s += e.texts[0].substr(0, 1);
    return s;
  }

  memstore::Provider provider;
  EventRecorder page;
  Browser browser;
  ComPtr<CCalPresenceAX> control;

 private:
  plat::Substitute<plat::MapiService> installed_;
};

}  // namespace

// Each call a page may make from a handler, from each of the three events,
// once: the pass that fired the event reports its own meetings to the end,
// and what the handler started runs in full inside it.
TEST_F(Reentry, AHandlerMayCallBackFromAnyEvent) {
  enum class Action { GetCalData, CheckProcessChange, Quit, SetSiteNull, FinalRelease };
  struct Case {
    const char* name;
    Action action;
    char event;
    const char* sequence;  // what the page sees of the outer GetCalData
    const char* subjects;
  };
  const Case cases[] = {
      {"GetCalData in OnCalDataChanged", Action::GetCalData, 'C', "CCCDPCDP", "AABB"},
      {"GetCalData in Done", Action::GetCalData, 'D', "CCDCCDPP", "ABAB"},
      {"GetCalData in PasswordAvailable", Action::GetCalData, 'P', "CCDPCCDP", "ABAB"},
      {"CheckProcessChange in OnCalDataChanged", Action::CheckProcessChange, 'C', "CPCDP", "AB"},
      {"CheckProcessChange in Done", Action::CheckProcessChange, 'D', "CCDPP", "AB"},
      {"CheckProcessChange in PasswordAvailable", Action::CheckProcessChange, 'P', "CCDPP", "AB"},
      {"Quit in OnCalDataChanged", Action::Quit, 'C', "CCDP", "AB"},
      {"Quit in Done", Action::Quit, 'D', "CCDP", "AB"},
      {"Quit in PasswordAvailable", Action::Quit, 'P', "CCDP", "AB"},
      {"SetSite(NULL) in OnCalDataChanged", Action::SetSiteNull, 'C', "CCDP", "AB"},
      {"SetSite(NULL) in Done", Action::SetSiteNull, 'D', "CCDP", "AB"},
      {"SetSite(NULL) in PasswordAvailable", Action::SetSiteNull, 'P', "CCDP", "AB"},
      {"final Release in OnCalDataChanged", Action::FinalRelease, 'C', "CCDP", "AB"},
      {"final Release in Done", Action::FinalRelease, 'D', "CCDP", "AB"},
      {"final Release in PasswordAvailable", Action::FinalRelease, 'P', "CCDP", "AB"},
  };
  const DISPID dispids[] = {0, DISPID_CALPRESENCE_ONCALDATACHANGED, DISPID_CALPRESENCE_DONE,
                            DISPID_CALPRESENCE_PASSWORDAVAILABLE};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    const DISPID trigger = dispids[c.event == 'C' ? 1 : c.event == 'D' ? 2 : 3];
    bool done = false;
    CCalPresenceAX* raw = control.Get();  // the page's reference may go in the handler
    page.onEvent = [&](const FiredEvent& e) {
      if (done || e.dispid != trigger) return;
      done = true;
      switch (c.action) {
        case Action::GetCalData: EXPECT_EQ(S_OK, raw->GetCalData()); break;
        case Action::CheckProcessChange: EXPECT_EQ(S_OK, raw->CheckProcessChange()); break;
        case Action::Quit: EXPECT_EQ(S_OK, raw->Quit()); break;
        case Action::SetSiteNull: EXPECT_EQ(S_OK, raw->SetSite(nullptr)); break;
        case Action::FinalRelease: control = nullptr; break;
      }
    };
    EXPECT_EQ(S_OK, raw->GetCalData());
    page.onEvent = nullptr;
    EXPECT_TRUE(done);
    EXPECT_EQ(c.sequence, page.Sequence());
    EXPECT_EQ(c.subjects, Subjects());
    ExpectWholeMeetings();
    if (c.action == Action::Quit || c.action == Action::FinalRelease) {
      // Stopped and logged off once the call is over; nothing of the
      // provider's is held any more.
      EXPECT_EQ(nullptr, C::m_hThread.load());
      EXPECT_EQ(0, provider.LiveSessions());
      EXPECT_EQ(0, provider.LiveObjects());
      EXPECT_TRUE(provider.Registrations().empty());
    }
    if (c.action == Action::FinalRelease) {
      EXPECT_EQ(1u, page.refs);  // the control let go of the page's sink
      EXPECT_EQ(1u, browser.refs);
    }
    if (c.action == Action::SetSiteNull) {
      EXPECT_EQ(1u, browser.refs);
      EXPECT_EQ(0u, browser.events.ConnectionCount());
      control->SetSite(static_cast<IDispatch*>(&browser));
    }
  }
}

// A calendar change is delivered while a handler of the first meeting runs
// a modal loop: the notification's pass reports the new calendar in full,
// and the interrupted pass goes on with its own second meeting.
TEST_F(Reentry, ANotificationDuringAHandlersModalLoopRunsAWholePass) {
  bool done = false;
  page.onEvent = [&](const FiredEvent& e) {
    if (done || e.dispid != DISPID_CALPRESENCE_ONCALDATACHANGED) return;
    done = true;
    provider.Add(Meeting(WSTR("Gamma"), WSTR("Room C"), -60, 600));
    PumpCalPresenceNotifications();  // the modal loop
  };
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_TRUE(done);
  EXPECT_EQ("CCCCDPCDP", page.Sequence());
  EXPECT_EQ("AABGB", Subjects());
  ExpectWholeMeetings();
  // The outer pass's countdown counts its own meetings too: Gamma's end
  // (600 s) stays the earliest.
  EXPECT_LE(C::m_whenToClear.load(), 600u);
  EXPECT_EQ(1u, provider.Registrations().size());
}

// Quit from a handler of a pass that a notification started: the sink whose
// notification is being handled loses its registration and its last
// reference on the way, and the pass and the delivery end cleanly.
TEST_F(Reentry, QuitFromAHandlerOfANotificationsPass) {
  bool quit = false;
  page.onEvent = [&](const FiredEvent& e) {
    if (quit || e.dispid != DISPID_CALPRESENCE_ONCALDATACHANGED) return;
    quit = true;
    EXPECT_EQ(S_OK, control->Quit());
  };
  provider.Add(Meeting(WSTR("Gamma"), WSTR("Room C"), -60, 600));
  EXPECT_EQ(1, provider.Pump());
  EXPECT_TRUE(quit);
  EXPECT_EQ("CCCDP", page.Sequence());
  ExpectWholeMeetings();
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_TRUE(provider.Registrations().empty());
}

// The mail client ends while a pass is inside a call on the store or one
// of its tables: the watcher's Logout waits until the pass is done with the
// store, then tears everything down once; the pass reports its meetings.
TEST_F(Reentry, TheWatchersLogoutWaitsForThePassThatUsesTheStore) {
  for (const Op blockIn : {Op::QueryRows, Op::Unadvise}) {
    SCOPED_TRACE(memstore::OpName(blockIn));
    Start();
    provider.ClearCalls();
    const DWORD pageThread = plat::Clock().GetCurrentThreadId();
    std::atomic<bool> blocked{false};
    bool loggedOutMeanwhile = false;
    provider.SetCallHook([&](Op op) {
      if (op != blockIn || blocked.load() || plat::Clock().GetCurrentThreadId() != pageThread) return;
      blocked = true;
      processes.SetName(1, WSTR("notepad.exe"));  // the mail client ends
      EXPECT_TRUE(log.WaitFor("Logout(335): Start Logout"));
      // A Logout that does not wait would be done well within this.
      for (int i = 0; i < 200 && !loggedOutMeanwhile; ++i) {
        loggedOutMeanwhile = log.Has("Logout(384): Done with Logout");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    EXPECT_EQ(S_OK, control->GetCalData());
    provider.SetCallHook(nullptr);
    EXPECT_TRUE(blocked.load());
    EXPECT_FALSE(loggedOutMeanwhile);
    EXPECT_EQ("CCDP", page.Sequence());
    ExpectWholeMeetings();

    ASSERT_TRUE(log.WaitFor("Logout(384): Done with Logout"));
    ASSERT_TRUE(Eventually([] { return C::m_processFound.load() == 0; }));
    const std::vector<std::string> messages = log.Messages();
    const auto at = [&](const std::string& text) {
      for (size_t i = 0; i < messages.size(); ++i)
        if (messages[i].find(text) != std::string::npos) return static_cast<int>(i);
      ADD_FAILURE() << "no line " << text;
      return -1;
    };
    EXPECT_LT(at("Logout(335): Start Logout"), at("Logon(628): Registering for Advise Sink"));
    EXPECT_LT(at("Logon(628): Registering for Advise Sink"), at("Logout(384): Done with Logout"));
    EXPECT_EQ(1, log.Count("Start Logout"));
    EXPECT_EQ(1, provider.CallCount(Op::Logoff));
    EXPECT_EQ(0, provider.LiveSessions());
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
    EXPECT_TRUE(provider.Registrations().empty());
  }
}

// The page's script runs on while the participant search's dialog is up: it
// may tick, unsite, stop and let go of the calendar presence control, and
// let go of the search itself, before the dialog closes.
TEST_F(Reentry, ThePageMayUseTheCalendarControlWhileTheSearchDialogIsUp) {
  const testing_support::TestRegistry registry;  // the search loads its settings
  ComPtr<IMapiSearch> search;
  ASSERT_EQ(S_OK, CreateMapiSearchAX(nullptr, IID_IMapiSearch, search.ReceiveVoid()));
  const memstore::EntryNumber ann = provider.AddEntry(memstore::SmtpUser(WSTR("Ann Lee"), WSTR("ann@example.org")));
  IMapiSearch* raw = search.Get();
  provider.SetChooser([&](const ADRPARM&, ULONG_PTR) {
    EXPECT_EQ(S_OK, control->CheckProcessChange());
    EXPECT_EQ(S_OK, control->SetSite(nullptr));
    EXPECT_EQ(S_OK, control->Quit());
    control = nullptr;
    search = nullptr;
    return memstore::DialogChoice::Pick({ann});
  });
  VARIANT window{};
  window.vt = VT_I4;
  EXPECT_EQ(S_OK, raw->DoGetParticipantsDlg(window));
  EXPECT_EQ("P", page.Sequence());
  EXPECT_EQ(1u, page.refs);
  EXPECT_EQ(1u, browser.refs);
  EXPECT_EQ(0, provider.LiveSessions());
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_TRUE(provider.Registrations().empty());
}
