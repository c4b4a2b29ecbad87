// The presence update cycle as the page sees it: events, their arguments,
// the countdown between passes and the retry while no store can be opened.
#include <gtest/gtest.h>

#include "calendar/CalendarLog.h"
#include "module/ModuleLock.h"
#include "tests/calpresence_support.h"
#include "tests/support/time_support.h"

using namespace calpresence_testing;

namespace {

class Cycle : public CalPresenceTest {
 protected:
  // The mail client counts as running, so a pass goes straight to Logon;
  // logging is on as after an earlier pass.
  Cycle() {
    CCalPresenceAX::m_processFound.store(1);
    CCalPresenceAX::SetLogEnabled(0x0F);
  }

  ComPtr<ScriptedControl> MakeScripted(std::function<HRESULT(ScriptedControl&)> logon = nullptr) {
    ComPtr<ScriptedControl> control = Make<ScriptedControl>(page);
    control->logon = std::move(logon);
    return control;
  }

  EventRecorder page;
};

DWORD WhenToClear() { return CCalPresenceAX::m_whenToClear.load(); }

}  // namespace

TEST_F(Cycle, TicksCountDownByAMinuteAndRunAPassOnceAMinuteOrLessIsLeft) {
  struct Case {
    DWORD start;
    std::vector<DWORD> leftAfterTicks;  // before the tick that runs the pass
  };
  const Case cases[] = {{130, {70, 10}}, {60, {}}, {1, {}}, {61, {1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    ComPtr<ScriptedControl> control = MakeScripted();
    CCalPresenceAX::m_processSwitch.store(0);
    CCalPresenceAX::m_whenToClear.store(c.start);
    for (DWORD left : c.leftAfterTicks) {
      page.Clear();
      EXPECT_EQ(S_OK, control->CheckProcessChange());
      EXPECT_EQ("P", page.Sequence());
      EXPECT_EQ(left, WhenToClear());
      EXPECT_TRUE(log.Has("CheckProcessChange(243): When to Clear= " + std::to_string(left)));
      EXPECT_EQ(0, control->logons);
    }
    page.Clear();
    const DWORD due = WhenToClear();
    EXPECT_EQ(S_OK, control->CheckProcessChange());
    EXPECT_EQ("DP", page.Sequence());  // the pass found no meeting
    EXPECT_EQ(1, control->logons);
    EXPECT_TRUE(log.Has("CheckProcessChange(233): call GetCalData; m_whenToClear= " + std::to_string(due)));
    EXPECT_EQ(0u, WhenToClear());
    page.Clear();
  }
}

TEST_F(Cycle, WithoutMeetingsTheNextStartIsTakenOverByTheFirstTick) {
  ComPtr<ScriptedControl> control = MakeScripted([](ScriptedControl&) {
    CCalPresenceAX::m_meetingTable.nextStartMeetingTime = 3600;
    return S_OK;
  });
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ("DP", page.Sequence());
  EXPECT_EQ(0u, WhenToClear());

  page.Clear();
  log.Clear();
  control->CheckProcessChange();
  EXPECT_EQ("P", page.Sequence());
  EXPECT_EQ(3540u, WhenToClear());
  EXPECT_EQ(0u, CCalPresenceAX::m_meetingTable.nextStartMeetingTime);
  const std::vector<std::string> expected = {
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(219): Entered; process switch=0",
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(226): m_whenToClear == 0; next meeting time= 3600",
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(243): When to Clear= 3540",
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(246): Fire PasswordAvailable Event; m_whenToClear= 3540",
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(249): Exited; m_whenToClear= 3540",
  };
  EXPECT_EQ(expected, log.Messages());
}

TEST_F(Cycle, WithNothingToComeTicksOnlyAnswerUntilASwitch) {
  ComPtr<ScriptedControl> control = MakeScripted();
  control->GetCalData();
  page.Clear();
  for (int i = 0; i < 3; ++i) control->CheckProcessChange();
  EXPECT_EQ("PPP", page.Sequence());
  EXPECT_EQ(1, control->logons);
  EXPECT_EQ(0u, WhenToClear());

  // The mail client started or ended: the next tick runs a pass whatever
  // the countdown says, and the pass clears the switch.
  CCalPresenceAX::m_processSwitch.store(1);
  CCalPresenceAX::m_whenToClear.store(500);
  page.Clear();
  control->CheckProcessChange();
  EXPECT_EQ("DP", page.Sequence());
  EXPECT_EQ(2, control->logons);
  EXPECT_EQ(0, CCalPresenceAX::m_processSwitch.load());
}

TEST_F(Cycle, MeetingsInProgressAreReportedInTableOrderAndSetTheCountdown) {
  // A meeting that starts exactly now is neither reported nor counted.
  ComPtr<ScriptedControl> control = MakeScripted([](ScriptedControl&) {
    AddMeeting(0, 60, WSTR("Starts now"));
    AddMeeting(-600, 900, WSTR("Long"));
    AddMeeting(-60, 300, WSTR("Short"));
    CCalPresenceAX::m_meetingTable.nextStartMeetingTime = 120;
    return S_OK;
  });
  EXPECT_EQ(S_OK, control->GetCalData());
  EXPECT_EQ("CCDP", page.Sequence());
  ASSERT_EQ(4u, page.events.size());
  EXPECT_EQ("Long", page.events[0].texts[0]);
  EXPECT_EQ("Short", page.events[1].texts[0]);
  EXPECT_EQ(120u, WhenToClear());  // the next start comes before either end

  // Without a start to come the earliest end decides.
  control->logon = [](ScriptedControl&) {
    AddMeeting(-600, 900);
    AddMeeting(-60, 300);
    AddMeeting(0, 10);
    CCalPresenceAX::m_meetingTable.nextStartMeetingTime = 0;
    return S_OK;
  };
  page.Clear();
  control->GetCalData();
  EXPECT_EQ("CCDP", page.Sequence());
  EXPECT_EQ(300u, WhenToClear());

  // A start to come after the earliest end does not count.
  control->logon = [](ScriptedControl&) {
    AddMeeting(-60, 300);
    CCalPresenceAX::m_meetingTable.nextStartMeetingTime = 301;
    return S_OK;
  };
  control->GetCalData();
  EXPECT_EQ(300u, WhenToClear());
}

TEST_F(Cycle, EventArgumentsFollowTheDispatchConventions) {
  using namespace testing_support;
  TIME_ZONE_INFORMATION zone = Zone(-60, -60, Rule(3, 0, 5, 2), Rule(10, 0, 5, 3));
  FakeZone machine(zone, TIME_ZONE_ID_DAYLIGHT);
  ComPtr<ScriptedControl> control = MakeScripted([](ScriptedControl&) {
    MeetingEntry& e = AddMeeting(-900, 2700, WSTR("Plan"), WSTR("Room 1"));
    e.deliveryTime = 12345678;
    e.startHour = 9;
    e.startMinute = 15;
    e.endHour = 10;
    e.endMinute = 45;
    MeetingEntry& cut = AddMeeting(-10, 20);
    cut.subject.Attach(SysAllocStringLen(WSTR("ab\0cd"), 5));  // a text with a NUL inside
    return S_OK;
  });
  control->GetCalData();
  ASSERT_EQ("CCDP", page.Sequence());

  const FiredEvent& changed = page.events[0];
  const std::vector<VARTYPE> reversed = {VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, VT_I4, VT_I4, VT_I4, VT_I4, VT_I4};
  EXPECT_EQ(reversed, changed.types);
  // startTime, then the delivery time in the place of the duration.
  EXPECT_EQ((std::vector<LONG>{-900, 12345678, 9, 15, 10, 45}), changed.longs);
  EXPECT_EQ((std::vector<std::string>{"Plan", "Room 1", "Test Daylight Time"}), changed.texts);
  // The entry keeps the whole 32-character name field; the page's copy ends
  // at its first NUL.
  EXPECT_EQ(18u, changed.textLengths[2]);
  EXPECT_EQ(32u, SysStringLen(CCalPresenceAX::m_meetingTable.m_meetings[0]->timeZone.Get()));
  EXPECT_TRUE(changed.withResult);
  EXPECT_EQ(static_cast<LCID>(0x0400), changed.lcid);
  EXPECT_EQ(DISPATCH_METHOD, changed.flags);

  const FiredEvent& cut = page.events[1];
  EXPECT_EQ((std::vector<std::string>{"ab", "(null)", "Test Daylight Time"}), cut.texts);
  EXPECT_EQ((std::vector<UINT>{2, 0, 18}), cut.textLengths);

  const FiredEvent& done = page.events[2];
  EXPECT_EQ((std::vector<LONG>{0}), done.longs);
  EXPECT_FALSE(done.withResult);
  EXPECT_TRUE(page.events[3].withResult);
  EXPECT_TRUE(page.events[3].types.empty());

  // In standard time the page gets the standard name.
  machine.state = TIME_ZONE_ID_STANDARD;
  page.Clear();
  control->GetCalData();
  ASSERT_FALSE(page.events.empty());
  EXPECT_EQ("Test Standard Time", page.events[0].texts[2]);
}

TEST_F(Cycle, APassLogsItsStepsThroughTheInstance) {
  ComPtr<ScriptedControl> control = MakeScripted([](ScriptedControl&) {
    AddMeeting(-60, 600, WSTR("Review"));
    return S_OK;
  });
  control->GetCalData();
  const std::vector<std::string> messages = log.Messages();
  const std::vector<std::string> expected = {
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(82): Entered",
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(85): We're doing work in this instance",
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(140): process found, call Logon",
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(160): Firing OnCalDataChanged Event",
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(167): Published Presence for Subject: Review",
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(168): TimeZone: ",  // the zone name follows
      "Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(178): Firing Done Event",
      "Tessaro INFO  :: CCalPresenceAX::GetCalData(206): Firing PasswordAvailable Event",
  };
  ASSERT_EQ(expected.size(), messages.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(0u, messages[i].find(expected[i])) << messages[i];
  // Each line carries the header with the control's prefix.
  EXPECT_EQ(static_cast<int>(expected.size()), log.Count("] CCalPresenceAX :: Tessaro INFO  :: "));
}

TEST_F(Cycle, TheLowByteOfTheLastCallersFlagsSwitchesAllLoggingOnOrOff) {
  EventRecorder other;
  ComPtr<ScriptedControl> loud = MakeScripted();
  ComPtr<ScriptedControl> quiet = Make<ScriptedControl>(other, 0x08000100);  // no level bit in the low byte

  loud->GetCalData();
  EXPECT_TRUE(log.Has("LocalGetCalData(82)"));
  EXPECT_EQ(0x0F, CCalPresenceAX::m_logEnabled.load());
  EXPECT_TRUE(CalendarLog::Enabled(LOG_INFO));

  quiet->GetCalData();
  EXPECT_EQ(0, CCalPresenceAX::m_logEnabled.load());
  log.Clear();
  loud->CheckProcessChange();  // its own flags would allow it
  loud->Quit();
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_FALSE(CalendarLog::Enabled(LOG_ERROR));
}

TEST_F(Cycle, NoTickWorkWhileQuitIsStoppingTheWatcher) {
  ComPtr<ScriptedControl> control = MakeScripted();
  CCalPresenceAX::m_exitThread.store(1);
  CCalPresenceAX::m_whenToClear.store(30);
  EXPECT_EQ(S_OK, control->CheckProcessChange());
  EXPECT_TRUE(page.events.empty());
  EXPECT_EQ(0, control->logons);
  EXPECT_EQ(30u, WhenToClear());
  const std::vector<std::string> only = {
      "Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(219): Entered; process switch=1"};
  EXPECT_EQ(only, log.Messages());
  CCalPresenceAX::m_exitThread.store(0);
}

TEST_F(Cycle, AFailingLogonRetriesAFewNestedTimesThenLeavesItToTheNextTick) {
  // No MAPI: every Logon fails its initialisation and asks for a retry.
  struct NoMapi : plat::PortableMapiService {
    HRESULT MAPIInitialize(LPVOID) override {
      ++initialisations;
      return E_FAIL;
    }
    int initialisations = 0;
  } mapi;
  plat::Substitute<plat::MapiService> installed(mapi);
  ComPtr<CCalPresenceAX> control = Make(page);

  const int attempts = 1 + CCalPresenceAX::kMaxNestedLogonRetries;
  EXPECT_EQ(S_OK, control->GetCalData());
  std::string each;
  for (int i = 0; i < attempts; ++i) each += "DP";
  EXPECT_EQ(each, page.Sequence());  // every attempt reports as a pass of its own
  EXPECT_EQ(attempts, mapi.initialisations);
  EXPECT_EQ(attempts, log.Count("Logon(586): MAPIInitialize failed will try again later"));
  EXPECT_EQ(attempts - 1, log.Count("CheckProcessChange(233): call GetCalData; m_whenToClear= 20"));
  EXPECT_EQ(20u, WhenToClear());
  EXPECT_EQ(-1, CCalPresenceAX::m_mapiInitResult.load());

  // The page's next tick finds 20 seconds left and tries again.
  page.Clear();
  control->CheckProcessChange();
  EXPECT_EQ(each, page.Sequence());
  EXPECT_EQ(2 * attempts, mapi.initialisations);
}

TEST_F(Cycle, AReleasedControlIsNoLongerReachedThroughTheCurrentControl) {
  // Every live control holds one count of the module lock until its memory
  // goes.
  const LONG before = tessaro::ModuleLockCount();
  auto locks = [before] { return tessaro::ModuleLockCount() - before; };
  EventRecorder second;
  {
    ComPtr<ScriptedControl> first = MakeScripted();
    ComPtr<ScriptedControl> other = Make<ScriptedControl>(second);
    EXPECT_EQ(2, locks());
    first->GetCalData();
    EXPECT_EQ(first.Get(), CCalPresenceAX::CurrentControl().get());
    other->GetCalData();
    EXPECT_EQ(other.Get(), CCalPresenceAX::CurrentControl().get());

    // A pinned reference (as the watcher takes one) keeps the memory and
    // the logger usable after the final release, but the released instance
    // stops being the current one.
    CalPresenceRef pinned = CCalPresenceAX::CurrentControl();
    other.Reset();
    EXPECT_TRUE(log.Has("FinalRelease(264): DLL Released"));
    EXPECT_FALSE(CCalPresenceAX::CurrentControl());
    EXPECT_EQ(nullptr, CalendarLog::For(0));
    EXPECT_EQ("CCalPresenceAX :: ", U8(pinned->GetLogPrefix()));
    EXPECT_EQ(2, locks());
    pinned = CalPresenceRef();
    EXPECT_EQ(1, locks());
    EXPECT_EQ(1u, second.refs);  // the released control let go of its subscriber
  }
  EXPECT_EQ(0, locks());
}
