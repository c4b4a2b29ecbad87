// The mail-client watcher thread over a process list of the test's making,
// and Quit's handshake with it.
#include <gtest/gtest.h>

#include "tests/calpresence_support.h"
#include "tests/support/test_support.h"

using namespace calpresence_testing;
using testing_support::ExpectLinesAtLevels;
using testing_support::LevelLine;
using C = CCalPresenceAX;

namespace {

class Watcher : public CalPresenceTest {
 protected:
  Watcher() { control = Make<ScriptedControl>(page); }

  static std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
  }
  // Runs passes until the watcher has seen the mail client, then the tick
  // that logs on.
  void RunWithMailClient() {
    processes.SetCount(5);
    EXPECT_EQ(S_FALSE, control->GetCalData());
    processes.SetName(3, WSTR("Outlook.exe"));
    ASSERT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
    control->CheckProcessChange();
    ASSERT_EQ(1, control->logons);
    page.Clear();
  }

  EventRecorder page;
  ComPtr<ScriptedControl> control;
};

}  // namespace

TEST_F(Watcher, TheMailClientIsKnownByItsExecutableNameInAnyCase) {
  const WCHAR* matching[] = {WSTR("outlook.exe"), WSTR("OUTLOOK.EXE"), WSTR("OutLook.Exe")};
  const WCHAR* other[] = {WSTR("outlook"), WSTR("outlook.exe.bak"), WSTR("xoutlook.exe"), WSTR("")};
  DWORD index = 0;
  for (const WCHAR* name : matching) {
    processes.SetName(index, name);
    EXPECT_EQ(FakeProcesses::PidAt(index), C::IsMailClientProcess(FakeProcesses::PidAt(index))) << U8(name);
    ++index;
  }
  for (const WCHAR* name : other) {
    processes.SetName(index, name);
    EXPECT_EQ(0u, C::IsMailClientProcess(FakeProcesses::PidAt(index))) << U8(name);
    ++index;
  }
  EXPECT_EQ(static_cast<DWORD>(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ), processes.lastAccess.load());
  EXPECT_EQ(FALSE, processes.lastInherit.load());

  // A process that cannot be opened or whose modules cannot be listed is not
  // the mail client; every handle opened is closed.
  processes.refuseOpen = FakeProcesses::PidAt(0);
  processes.refuseModules = FakeProcesses::PidAt(1);
  EXPECT_EQ(0u, C::IsMailClientProcess(FakeProcesses::PidAt(0)));
  EXPECT_EQ(0u, C::IsMailClientProcess(FakeProcesses::PidAt(1)));
  EXPECT_EQ(processes.opened.load() - 1, processes.closed.load());
}

TEST_F(Watcher, WithoutTheMailClientAPassWaitsForOneWatcherPassAndClearsThePageOnce) {
  processes.SetCount(5);
  EXPECT_EQ(S_FALSE, control->GetCalData());
  EXPECT_EQ("DP", page.Sequence());
  EXPECT_EQ(S_FALSE, control->GetCalData());
  EXPECT_EQ("DPP", page.Sequence());
  EXPECT_EQ(0, control->logons);
  EXPECT_EQ(1, threads.threadsStarted.load());  // one watcher for both passes
  EXPECT_EQ(1, log.Count("LocalGetCalData(122): Create my thread"));
  EXPECT_EQ(1, log.Count("GetCalData(200): Clearing Presence Data"));
  EXPECT_TRUE(log.Has("LocalGetCalData(132): Exiting since process enumeration done"));
  EXPECT_TRUE(log.Has("MyThread(1067): MyThread - Entered"));
  EXPECT_GE(threads.SleepsOf(100), 2);
  EXPECT_GE(threads.WaitsOf(1000), 1);  // the pause between passes
  EXPECT_EQ(4096u, processes.lastBufferBytes.load());
}

TEST_F(Watcher, TheMailClientStartingAndEndingFlipsTheFlagsAndLogsTheSessionOut) {
  RunWithMailClient();
  EXPECT_TRUE(log.Has("MyThread(1102): Found process ID: " + Hex(FakeProcesses::PidAt(3))));
  EXPECT_TRUE(log.Has("MyThread(1122): Outlook Process Found"));
  EXPECT_EQ(0, C::m_processSwitch.load());  // the pass that logged on took it
  C::m_clearPending.store(0);

  // Ends while this process did work: the session is logged out.
  processes.SetName(3, WSTR("notepad.exe"));
  ASSERT_TRUE(Eventually([] { return C::m_processSwitch.load() != 0; }));
  EXPECT_TRUE(log.Has("MyThread(1135): Outlook Process Gone"));
  EXPECT_TRUE(log.Has("MyThread(1138): Logout"));
  EXPECT_TRUE(log.Has("CCalPresenceAX::Logout(335): Start Logout"));
  EXPECT_EQ(0, C::m_processFound.load());
  EXPECT_EQ(0, C::m_doingWork.load());
  EXPECT_EQ(1, C::m_clearPending.load());
  // The next tick's pass finds no mail client and clears the page.
  control->CheckProcessChange();
  EXPECT_EQ("DP", page.Sequence());

  // Starts again and ends while no pass has run since: nothing to log out.
  processes.SetName(3, WSTR("OUTLOOK.EXE"));
  ASSERT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
  C::m_processSwitch.store(0);
  C::m_doingWork.store(0);
  processes.SetName(3, WSTR("notepad.exe"));
  ASSERT_TRUE(Eventually([] { return C::m_processSwitch.load() != 0; }));
  EXPECT_TRUE(log.Has("MyThread(1144): Not doing work in this instance"));
  EXPECT_EQ(1, log.Count("Start Logout"));
}

TEST_F(Watcher, OnlyTheFirst1024ProcessesAreLookedAt) {
  processes.SetCount(1500);
  processes.SetName(1024, WSTR("outlook.exe"));
  EXPECT_EQ(S_FALSE, control->GetCalData());
  const int after = processes.passes.load();
  ASSERT_TRUE(Eventually([&] { return processes.passes.load() >= after + 2; }));
  EXPECT_EQ(0, C::m_processFound.load());
  EXPECT_EQ(4096u, processes.lastBufferBytes.load());

  processes.SetName(1023, WSTR("outlook.exe"));
  ASSERT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
  EXPECT_TRUE(log.Has("Found process ID: " + Hex(FakeProcesses::PidAt(1023))));
}

TEST_F(Watcher, QuitStopsTheWatcherThenTearsDown) {
  // Nothing started in this process: nothing to do (logged because another
  // instance switched logging on).
  C::SetLogEnabled(0x0F);
  EXPECT_EQ(S_OK, control->Quit());
  const std::vector<std::string> idle = {
      "Tessaro INFO  :: CCalPresenceAX::Quit(477): Quit method called",
      "Tessaro INFO  :: CCalPresenceAX::Quit(511): Not doing work in this instance, nothing to do."};
  EXPECT_EQ(idle, log.Messages());

  processes.SetCount(3);
  control->GetCalData();
  log.Clear();
  EXPECT_EQ(S_OK, control->Quit());
  EXPECT_TRUE(log.Has("MyThread(1157): Exiting MyThread; set ThreadWaitEvent"));
  EXPECT_TRUE(log.Has("Quit(485): Waiting for ThreadWaitEvent"));
  EXPECT_FALSE(log.Has("Quit(496)"));
  EXPECT_TRUE(log.Has("Quit(504): Setting m_exitThread to false"));
  EXPECT_TRUE(log.Has("Cleanup(317): Cleaned up; no MAPI Session to Release"));
  EXPECT_EQ(1, threads.WaitsOf(60000));
  EXPECT_EQ(nullptr, C::m_hThread.load());
  EXPECT_EQ(1, threads.handlesClosed.load());  // the dropped handle is released
  EXPECT_EQ(0, C::m_exitThread.load());
  EXPECT_EQ(0, C::m_doingWork.load());

  // A later pass starts a new watcher.
  control->GetCalData();
  EXPECT_EQ(2, threads.threadsStarted.load());
}

TEST_F(Watcher, QuitGoesOnWhenTheWatcherDoesNotAnswer) {
  processes.SetCount(3);
  control->GetCalData();
  processes.holdThroughStop = true;
  processes.holdPid = FakeProcesses::PidAt(1);
  ASSERT_TRUE(Eventually([&] { return processes.held.load(); }));
  threads.quitWait = 20;
  EXPECT_EQ(S_OK, control->Quit());
  EXPECT_TRUE(log.Has("Quit(496): ThreadWaitEvent expired"));
  EXPECT_TRUE(log.Has("Cleanup(326): Done with Cleanup"));
  EXPECT_EQ(nullptr, C::m_hThread.load());
  // Freed later, the watcher finds the stop signal Quit left and ends.
  processes.releaseHold = true;
  EXPECT_TRUE(log.WaitFor("MyThread(1157)"));

  // A wait that ends abandoned is logged as such.
  processes.Reset();
  processes.SetCount(3);
  threads.forceQuitResult = WAIT_ABANDONED;
  control->GetCalData();
  control->Quit();
  EXPECT_TRUE(log.Has("Quit(492): ThreadWaitEvent Abandoned"));
  EXPECT_TRUE(log.WaitFor("MyThread(1157)", 2));
}

TEST_F(Watcher, AStopRequestDuringAPassCountsAsTheMailClientGone) {
  RunWithMailClient();
  processes.holdPid = FakeProcesses::PidAt(1);  // before the mail client's entry
  ASSERT_TRUE(Eventually([&] { return processes.held.load(); }));
  log.Clear();
  EXPECT_EQ(S_OK, control->Quit());
  const std::vector<std::string> messages = log.Messages();
  auto at = [&](const std::string& text) {
    for (size_t i = 0; i < messages.size(); ++i)
      if (messages[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
  };
  // Both lines written, the first before the second.
  auto before = [&](const std::string& first, const std::string& second) -> ::testing::AssertionResult {
    const int a = at(first), b = at(second);
    if (a < 0 || b < 0) return ::testing::AssertionFailure() << (a < 0 ? first : second) << " not written";
    if (a >= b) return ::testing::AssertionFailure() << first << " after " << second;
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(before("MyThread(1095): m_exitThread is on", "MyThread(1135): Outlook Process Gone"));
  EXPECT_TRUE(before("MyThread(1135)", "Logout(335): Start Logout"));
  EXPECT_TRUE(before("Logout(380): No valid Session", "MyThread(1157)"));
  EXPECT_TRUE(before("MyThread(1157)", "Quit(504)"));
  EXPECT_TRUE(before("Quit(504)", "Cleanup(317)"));
  EXPECT_EQ(-1, at("Quit(496)"));
  EXPECT_EQ(1, C::m_clearPending.load());
}

TEST_F(Watcher, AStopRequestAsTheMailClientIsFoundEndsTheWatcherAndLeavesItsSignal) {
  processes.SetCount(3);
  EXPECT_EQ(S_FALSE, control->GetCalData());
  processes.holdPid = FakeProcesses::PidAt(0);  // the mail client itself
  processes.SetName(0, WSTR("outlook.exe"));
  ASSERT_TRUE(Eventually([&] { return processes.held.load(); }));
  EXPECT_EQ(S_OK, control->Quit());
  EXPECT_TRUE(log.Has("MyThread(1116): Set ThreadWaitEvent"));
  EXPECT_EQ(0, C::m_processFound.load());

  // The stop signal nobody consumed ends the next watcher after one pass;
  // the pass after that finds it gone and starts another one.
  processes.holdPid = 0;
  processes.SetName(0, WSTR("svc0.exe"));
  EXPECT_EQ(S_FALSE, control->GetCalData());
  EXPECT_TRUE(log.WaitFor("MyThread(1157)"));
  ASSERT_TRUE(Eventually([] { return !C::WatcherRunning(C::m_hThread.load()); }));
  EXPECT_EQ(S_FALSE, control->GetCalData());
  EXPECT_EQ(3, threads.threadsStarted.load());
}

TEST_F(Watcher, AWatcherThatCannotReadTheProcessListLeavesNoPassWaiting) {
  processes.enumFails = true;
  EXPECT_EQ(S_FALSE, control->GetCalData());
  EXPECT_TRUE(log.Has("Tessaro WARN  :: MyThread(1082): EnumProcesses returned 0"));
  EXPECT_EQ("DP", page.Sequence());

  // The next pass replaces the ended watcher; once the list can be read the
  // mail client is found.
  processes.enumFails = false;
  processes.SetName(0, WSTR("outlook.exe"));
  control->GetCalData();
  EXPECT_EQ(2, threads.threadsStarted.load());
  ASSERT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));

  // Quit does not wait a minute for a watcher that has already ended.
  processes.enumFails = true;
  C::m_processFound.store(0);
  control->GetCalData();
  ASSERT_TRUE(Eventually([] { return !C::WatcherRunning(C::m_hThread.load()); }));
  log.Clear();
  EXPECT_EQ(S_OK, control->Quit());
  EXPECT_EQ(0, threads.WaitsOf(60000));
  EXPECT_FALSE(log.Has("Quit(496)"));
  EXPECT_TRUE(log.Has("Cleanup(326)"));
  EXPECT_EQ(nullptr, C::m_hThread.load());

  // A watcher that cannot even be started leaves no pass waiting either.
  threads.failCreate = true;
  EXPECT_EQ(S_FALSE, control->GetCalData());
}

TEST_F(Watcher, EachLineIsWrittenAtItsLevel) {
  // The page's lines, then the watcher's: each thread writes its own in a
  // fixed order. A line the page's poll repeats while it waits for the
  // watcher counts once (how often it polls depends on the scheduler).
  char pageThread[16];
  std::snprintf(pageThread, sizeof pageThread, "[0x%08x]", static_cast<unsigned>(plat::Clock().GetCurrentThreadId()));
  auto byThread = [&] {
    std::vector<std::string> page, watcher;
    const std::vector<std::string> lines = log.Lines();
    for (const std::string& l : lines) {
      const size_t at = l.find("Tessaro ");
      if (at == std::string::npos) continue;
      std::string text = l.substr(at, l.size() - at - (l.back() == '\n' ? 1 : 0));
      std::vector<std::string>& own = l.find(pageThread) != std::string::npos ? page : watcher;
      if (own.empty() || own.back() != text) own.push_back(text);
    }
    page.push_back("--");
    page.insert(page.end(), watcher.begin(), watcher.end());
    return page;
  };
  const std::string cp = "Tessaro INFO  :: CCalPresenceAX::";
  const std::string watcher = "Tessaro INFO  :: MyThread(";
  const std::vector<LevelLine> table = {
      // The watcher cannot read the process list: the page's pass...
      {LOG_INFO, cp + "LocalGetCalData(82): Entered"},
      {LOG_DETAIL, cp + "LocalGetCalData(85): We're doing work in this instance"},
      {LOG_DETAIL, cp + "LocalGetCalData(117): pSession and pStore null && we haven't found the process"},
      {LOG_DETAIL, cp + "LocalGetCalData(122): Create my thread"},
      {LOG_DETAIL, cp + "LocalGetCalData(128): While process not found"},
      {LOG_INFO, cp + "GetCalData(200): Clearing Presence Data"},
      {LOG_INFO, cp + "GetCalData(206): Firing PasswordAvailable Event"},
      {0, "--"},
      // ...and the watcher.
      {LOG_INFO, watcher + "1067): MyThread - Entered"},
      {LOG_DETAIL, watcher + "1079): Enumerate the processes"},
      {LOG_MAJOR, "Tessaro WARN  :: MyThread(1082): EnumProcesses returned 0"},
      // A stop request during a pass: Quit...
      {LOG_INFO, cp + "Quit(477): Quit method called"},
      {LOG_DETAIL, cp + "Quit(485): Waiting for ThreadWaitEvent"},
      {LOG_INFO, cp + "Quit(504): Setting m_exitThread to false"},
      {LOG_INFO, cp + "Cleanup(271): Start Cleanup"},
      {LOG_MAJOR, cp + "Cleanup(317): Cleaned up; no MAPI Session to Release"},
      {LOG_INFO, cp + "Cleanup(326): Done with Cleanup"},
      {0, "--"},
      // ...and the watcher, which logs the session out.
      {LOG_INFO, watcher + "1095): m_exitThread is on"},
      {LOG_DETAIL, watcher + "1107): Done enumerating the processes"},
      {LOG_DETAIL, watcher + "1135): Outlook Process Gone"},
      {LOG_DETAIL, watcher + "1138): Logout"},
      {LOG_INFO, cp + "Logout(335): Start Logout"},
      {LOG_ERROR, "Tessaro ERROR :: CCalPresenceAX::Logout(380): No valid Session"},
      {LOG_DETAIL, watcher + "1157): Exiting MyThread; set ThreadWaitEvent"},
  };
  ExpectLinesAtLevels(table, [&](DWORD flags) {
    std::vector<std::string> out;
    for (bool enumFails : {true, false}) {
      ResetClassState();
      processes.Reset();
      log.Clear();
      ComPtr<ScriptedControl> c = Make<ScriptedControl>(page, flags);
      if (enumFails) {
        // The watcher cannot read the process list.
        processes.enumFails = true;
        EXPECT_EQ(S_FALSE, c->GetCalData());
      } else {
        // A stop request while the watcher walks the list with the mail
        // client running.
        processes.SetCount(5);
        EXPECT_EQ(S_FALSE, c->GetCalData());
        processes.SetName(3, WSTR("Outlook.exe"));
        EXPECT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
        c->CheckProcessChange();
        processes.holdPid = FakeProcesses::PidAt(1);
        EXPECT_TRUE(Eventually([&] { return processes.held.load(); }));
        log.Clear();
        EXPECT_EQ(S_OK, c->Quit());
      }
      const std::vector<std::string> lines = byThread();
      out.insert(out.end(), lines.begin(), lines.end());
    }
    return out;
  });
}
