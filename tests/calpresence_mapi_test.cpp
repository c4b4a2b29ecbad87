// The control's MAPI session against the in-memory provider: logon, the
// default store and the calendar registration, every way they can fail,
// the change notifications and the teardown.
#include <gtest/gtest.h>

#include "calpresence/MapiSession.h"
#include "memstore/MemStore.h"
#include "tests/calpresence_support.h"

using namespace calpresence_testing;
using C = CCalPresenceAX;
using memstore::Op;

namespace {

class Mapi : public CalPresenceTest {
 protected:
  Mapi() : installed_(provider) {
    C::m_processFound.store(1);  // the mail client runs
    provider.Add(memstore::SingleAppointment(WSTR("Standup"), FromNow(-600), FromNow(1200)));
    control = Make(page);
  }
  // Everything goes back while the provider is still installed.
  ~Mapi() override {
    ResetClassState();
    EXPECT_EQ(0, provider.LiveSessions());
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
    EXPECT_TRUE(provider.Registrations().empty());
  }

  // Cleanup forgets that the mail client runs; the tests' passes go on
  // knowing it.
  void CleanupKeepingMailClient() {
    control->Cleanup();
    C::m_processFound.store(1);
  }
  int Ops(Op op) const { return provider.CallCount(op); }
  std::vector<Op> AdviseCalls() const {
    std::vector<Op> out;
    for (const memstore::Call& call : provider.Calls())
      if (call.op == Op::Advise || call.op == Op::Unadvise) out.push_back(call.op);
    return out;
  }
  // The messages of one function's lines, in order.
  std::vector<std::string> LinesOf(const std::string& function) const {
    std::vector<std::string> out;
    for (const std::string& m : log.Messages())
      if (m.find(":: " + function + "(") != std::string::npos) out.push_back(m);
    return out;
  }

  memstore::Provider provider;
  EventRecorder page;
  ComPtr<CCalPresenceAX> control;

 private:
  plat::Substitute<plat::MapiService> installed_;
};

std::string Tail(const std::string& message) { return message.substr(message.find(":: ") + 3); }

}  // namespace

TEST_F(Mapi, LogonOpensTheDefaultStoreRegistersOnTheCalendarAndScans) {
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ("CDP", page.Sequence());
  EXPECT_EQ("Standup", page.events[0].texts[0]);

  EXPECT_EQ(1, Ops(Op::MAPIInitialize));
  ASSERT_EQ(1, Ops(Op::MAPILogonEx));
  for (const memstore::Call& call : provider.Calls())
    if (call.op == Op::MAPILogonEx) {
      EXPECT_EQ(0x80028028u, call.flags);
    }
  EXPECT_EQ(2, provider.AccessLevel());
  // SetAdvice registers; the scan runs with the registration removed.
  EXPECT_EQ((std::vector<Op>{Op::Advise, Op::Unadvise, Op::Advise}), AdviseCalls());
  const std::vector<memstore::Registration> regs = provider.Registrations();
  ASSERT_EQ(1u, regs.size());
  EXPECT_EQ(kCalendarEventMask, regs[0].eventMask);
  EXPECT_EQ(provider.EntryIdOf(memstore::Folder::Calendar), regs[0].entryId);
  EXPECT_EQ(regs[0].connection, C::m_ulConnection.load());

  std::vector<std::string> setAdvice;
  for (const std::string& m : LinesOf("SetAdvice")) setAdvice.push_back(Tail(m));
  const std::vector<std::string> expected = {
      "SetAdvice(1180): SetAdvice",          "SetAdvice(1196): GetMsgStoreTable succeeded",
      "SetAdvice(1202): HrQueryAllRows succeeded", "SetAdvice(1208): Calling OpenMsgStore",
      "SetAdvice(1216): Called OpenMsgStore", "SetAdvice(1220): OpenMsgStore succeeded",
      "SetAdvice(1233): GetReceiveFolder succeeded", "SetAdvice(1238): OpenEntry succeeded",
      "SetAdvice(1242): HrGetOneProp succeeded", "SetAdvice(1248): OpenEntry succeeded",
      "SetAdvice(1258): Registering Advise Sink to CNotify", "SetAdvice(1279): pStore->Advice succeeded",
      "SetAdvice(1285): Releasing pMailBox",  "SetAdvice(1299): Freeing pRows",
      "SetAdvice(1303): Releasing pStoreTable"};
  EXPECT_EQ(expected, setAdvice);
  std::vector<std::string> logon;
  for (const std::string& m : LinesOf("CCalPresenceAX::Logon")) logon.push_back(Tail(m));
  EXPECT_EQ((std::vector<std::string>{
                "CCalPresenceAX::Logon(575): Logging on to MAPI", "CCalPresenceAX::Logon(580): MAPI Initialize",
                "CCalPresenceAX::Logon(593): Trying to logon", "CCalPresenceAX::Logon(622): Releasing Advise Sink",
                "CCalPresenceAX::Logon(628): Registering for Advise Sink"}),
            logon);

  // The next pass reuses the session and the store.
  page.Clear();
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ("CDP", page.Sequence());
  EXPECT_EQ(1, Ops(Op::MAPIInitialize));
  EXPECT_EQ(1, Ops(Op::MAPILogonEx));
  EXPECT_EQ(1, Ops(Op::OpenMsgStore));
  EXPECT_EQ(5u, AdviseCalls().size());

  // Logout takes everything down; a second one finds no session. Cleanup
  // afterwards has nothing to release.
  log.Clear();
  EXPECT_EQ(S_OK, control->Logout());
  EXPECT_EQ(0, provider.LiveSessions());
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_EQ(0, provider.LiveBuffers());
  EXPECT_TRUE(provider.Registrations().empty());
  EXPECT_EQ(1, Ops(Op::Logoff));
  EXPECT_TRUE(log.Has("Logout(384): Done with Logout"));
  EXPECT_EQ(S_OK, control->Logout());
  EXPECT_TRUE(log.Has("Tessaro ERROR :: CCalPresenceAX::Logout(380): No valid Session"));
  CleanupKeepingMailClient();
  EXPECT_TRUE(log.Has("Cleanup(317): Cleaned up; no MAPI Session to Release"));

  // A pass after the teardown logs on again, without a second initialisation.
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ(2, Ops(Op::MAPILogonEx));
  EXPECT_EQ(1, Ops(Op::MAPIInitialize));
  log.Clear();
  EXPECT_EQ(S_OK, control->Cleanup());
  EXPECT_TRUE(log.Has("Cleanup(313): Cleaned up; Released MAPI Session"));
  EXPECT_EQ(nullptr, C::m_pNotifyStore.load());
  EXPECT_EQ(nullptr, C::m_pStore.load());
}

TEST_F(Mapi, WithoutTheDefaultStoreEveryAttemptRetriesAndNothingLeaks) {
  struct Case {
    const char* name;
    std::function<void(memstore::Provider&)> arrange;
    const char* lastLine;   // the line that shows how far SetAdvice got
    const char* notLogged;  // a line it never reaches
  };
  const Case cases[] = {
      {"stores table", [](memstore::Provider& p) { p.Fail(Op::GetMsgStoresTable, E_FAIL, -1); }, "SetAdvice(1180)",
       "SetAdvice(1196)"},
      {"row query", [](memstore::Provider& p) { p.Fail(Op::StoreTableQueryRows, E_FAIL, -1); }, "SetAdvice(1303)",
       "SetAdvice(1202)"},
      {"no rows", [](memstore::Provider& p) { p.SetStoreTable(memstore::StoreTable::Empty); },
       "SetAdvice(1297): Empty MsgStore", "SetAdvice(1208)"},
      {"no default store", [](memstore::Provider& p) { p.SetStoreTable(memstore::StoreTable::OtherOnly); },
       "SetAdvice(1297): Empty MsgStore", "SetAdvice(1208)"},
      {"store open", [](memstore::Provider& p) { p.Fail(Op::OpenMsgStore, MAPI_E_NOT_FOUND, -1); },
       "SetAdvice(1216)", "SetAdvice(1220)"},
      {"store open throws", [](memstore::Provider& p) { p.Throw(Op::OpenMsgStore, 100); },
       "Tessaro ERROR :: SetAdvice(1214): Caught an Exception trying to open msg store", "SetAdvice(1220)"},
  };
  const int attempts = 1 + C::kMaxNestedLogonRetries;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    provider.ClearFailures();
    provider.SetStoreTable(memstore::StoreTable::DefaultAndOther);
    c.arrange(provider);
    page.Clear();
    log.Clear();
    EXPECT_EQ(S_OK, control->GetCalData());
    std::string each;
    for (int i = 0; i < attempts; ++i) each += "DP";
    EXPECT_EQ(each, page.Sequence());
    EXPECT_EQ(attempts, log.Count("SetAdvice(1180)"));
    EXPECT_EQ(attempts, log.Count(c.lastLine));
    EXPECT_FALSE(log.Has(c.notLogged));
    EXPECT_EQ(nullptr, C::m_pStore.load());
    EXPECT_EQ(20u, C::m_whenToClear.load());
    EXPECT_EQ(1, provider.LiveSessions());  // the session stays for the next try
    CleanupKeepingMailClient();
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
  }
}

TEST_F(Mapi, WithoutInboxOrCalendarTheStoreIsScannedButNotWatched) {
  struct Case {
    const char* name;
    Op op;
    int after;
    const char* missing;  // the first line SetAdvice does not reach
    HRESULT result;       // of GetCalData
    bool entryId;         // the calendar's entry id is kept
  };
  const Case cases[] = {
      {"receive folder", Op::GetReceiveFolder, 0, "SetAdvice(1233)", S_OK, false},
      {"inbox", Op::OpenInbox, 0, "SetAdvice(1238)", S_OK, false},
      {"calendar id", Op::FolderGetProps, 0, "SetAdvice(1242)", S_OK, false},
      // Only the calendar folder failed: the registration is made with no
      // sink and its failure is the pass's result.
      {"calendar folder", Op::OpenCalendar, 0, "SetAdvice(1248)", MAPI_E_INVALID_PARAMETER, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    provider.Fail(c.op, MAPI_E_NOT_FOUND, 1, c.after);  // the scan's own calls succeed
    page.Clear();
    log.Clear();
    EXPECT_EQ(c.result, control->GetCalData());
    EXPECT_EQ("CDP", page.Sequence());  // scanned all the same
    EXPECT_FALSE(log.Has(c.missing));
    EXPECT_TRUE(log.Has("SetAdvice(1303)"));
    EXPECT_NE(nullptr, C::m_pNotifyStore.load());
    EXPECT_EQ(c.entryId, C::m_pCalendarEntryID.load() != nullptr);
    EXPECT_EQ(nullptr, C::m_pAdviseSink.load());
    EXPECT_TRUE(provider.Registrations().empty());
    EXPECT_EQ(c.result != S_OK, log.Has("Tessaro ERROR :: CCalPresenceAX::Logon(635): m_pNotifyStore->Advice failed"));
    CleanupKeepingMailClient();
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
  }
}

TEST_F(Mapi, RegistrationFailuresAreLoggedAndTheLastOneIsThePassResult) {
  // SetAdvice's registration fails; Logon's own succeeds.
  provider.Fail(Op::Advise, MAPI_E_NO_SUPPORT, 1);
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_TRUE(log.Has("Tessaro ERROR :: SetAdvice(1275): pStore->Advice failed"));
  EXPECT_EQ(1u, provider.Registrations().size());

  // Logon's registration fails: the page's call fails with it.
  provider.Fail(Op::Advise, MAPI_E_NO_SUPPORT, 1);
  page.Clear();
  EXPECT_EQ(MAPI_E_NO_SUPPORT, control->GetCalData());
  EXPECT_EQ("CDP", page.Sequence());
  EXPECT_TRUE(log.Has("Logon(635): m_pNotifyStore->Advice failed"));
  EXPECT_TRUE(provider.Registrations().empty());
}

TEST_F(Mapi, AFailedInitialisationOrLogonIsRetriedAndASuccessfulOneKept) {
  provider.Fail(Op::MAPIInitialize, E_FAIL, 1);
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ(1, log.Count("Logon(586): MAPIInitialize failed will try again later"));
  EXPECT_EQ(2, Ops(Op::MAPIInitialize));
  // The nested attempt logged on and scanned; the outer pass reports the
  // same table after it.
  EXPECT_EQ("CDPCDP", page.Sequence());
  CleanupKeepingMailClient();

  provider.Fail(Op::MAPILogonEx, MAPI_E_LOGON_FAILED, 1);
  page.Clear();
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ(1, log.Count("Tessaro ERROR :: CCalPresenceAX::Logon(604): Logon failed will try again later"));
  EXPECT_EQ(2, Ops(Op::MAPIInitialize));  // never repeated after it succeeded
  EXPECT_EQ(3, Ops(Op::MAPILogonEx));
  EXPECT_EQ("CDPCDP", page.Sequence());
}

TEST_F(Mapi, CalendarChangesRunAPassFromTheNotification) {
  ASSERT_EQ(S_OK, control->GetCalData());
  page.Clear();
  const memstore::ItemId added =
      provider.Add(memstore::SingleAppointment(WSTR("Review"), FromNow(-60), FromNow(600)));
  PumpCalPresenceNotifications();
  EXPECT_EQ("CCDP", page.Sequence());
  EXPECT_EQ(1u, provider.Registrations().size());  // registered again by the pass

  // A change that does not touch the calendar link is only logged.
  page.Clear();
  memstore::Appointment moved = memstore::SingleAppointment(WSTR("Review"), FromNow(-60), FromNow(900));
  provider.Modify(added, moved, {PR_SUBJECT_W});
  PumpCalPresenceNotifications();
  EXPECT_TRUE(page.events.empty());
  EXPECT_TRUE(log.Has("OnNotify(82): Property Id= 0x37001f"));
}

TEST(CalPresenceSink, OnlyTheFirstNotificationCountsAndOnlyCalendarChangesRunAPass) {
  LogCapture& log = LogCapture::Instance();
  plat::Substitute<plat::DiagnosticsService> installed(log);
  ResetClassState();
  ComPtr<ScriptedControl> control(new ScriptedControl);
  PresetFlags(*control, kAllLogging);
  C::m_processFound.store(1);
  control->GetCalData();  // the current control, logging on

  SizedSPropTagArray(3, withLink) = {3, {PR_SUBJECT_W, PR_IPM_APPOINTMENT_ENTRYID, PR_ENTRYID}};
  SizedSPropTagArray(1, withoutLink) = {1, {PR_SUBJECT_W}};
  SizedSPropTagArray(1, noTags) = {0, {0}};
  auto tags = [](auto& array) { return reinterpret_cast<LPSPropTagArray>(&array); };
  struct Case {
    ULONG event;
    ULONG object;
    LPSPropTagArray tags;
    bool pass;
    int tagLines;
    const char* line;  // a line the notification logs
  };
  const Case cases[] = {
      {fnevObjectCreated, MAPI_MESSAGE, nullptr, true, 0, "OnNotify(71): Object Type= 5"},
      {fnevObjectDeleted, MAPI_FOLDER, nullptr, true, 0, "OnNotify(71): Object Type= 3"},
      {fnevObjectModified, MAPI_MESSAGE, tags(withLink), true, 2, "OnNotify(56): Event Type= 16"},
      {fnevObjectModified, MAPI_MESSAGE, tags(withoutLink), false, 1, "OnNotify(71)"},
      {fnevObjectModified, MAPI_MESSAGE, tags(noTags), false, 0, "OnNotify(71)"},
      {fnevObjectCreated, MAPI_ATTACH, nullptr, false, 0, "OnNotify(71): Object Type= 7"},
      {fnevObjectMoved, MAPI_MESSAGE, nullptr, false, 0, "OnNotify(97): Object Moved"},
      {fnevObjectCopied, MAPI_MESSAGE, nullptr, false, 0, "OnNotify(100): Object Copied"},
      {fnevTableModified, 0, nullptr, false, 0, "OnNotify(103): Table Modified"},
      {fnevNewMail, 0, nullptr, false, 0, "OnNotify(66): New Mail"},
      {fnevCriticalError, 0, nullptr, false, 0, "OnNotify(63): Critical Error"},
      {fnevExtended, 0, nullptr, false, 0, "OnNotify(61): Extended event type"},
  };
  auto* sink = new CMAPIAdviseSink(nullptr, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    NOTIFICATION n[2] = {};
    n[0].ulEventType = c.event;
    n[0].info.obj.ulObjType = c.object;
    n[0].info.obj.lpPropTagArray = c.tags;
    // A second notification that would run a pass is never looked at.
    n[1].ulEventType = fnevObjectCreated;
    n[1].info.obj.ulObjType = MAPI_MESSAGE;
    log.Clear();
    const int before = control->logons;
    EXPECT_EQ(0u, sink->OnNotify(2, n));
    EXPECT_EQ(c.pass ? before + 1 : before, control->logons);
    EXPECT_EQ(c.tagLines, log.Count("OnNotify(82)"));
    EXPECT_TRUE(log.Has(c.line));
    EXPECT_EQ(1, log.Count("OnNotify(55): In OnNotify"));
  }
  EXPECT_EQ(1, log.Count("OnNotify(63)"));  // the extended event is also logged as critical

  void* queried = nullptr;
  EXPECT_EQ(S_OK, sink->QueryInterface(IID_IMAPIAdviseSink, &queried));
  EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IDispatch, &queried));
  EXPECT_EQ(nullptr, queried);
  EXPECT_EQ(1u, sink->Release());
  EXPECT_EQ(0u, sink->Release());
  control.Reset();
  ResetClassState();
}
