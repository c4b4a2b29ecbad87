// A pass that logs on while the watcher is between its Logout and the flags
// it sets after it: the session of that pass is still the control's work,
// so a Quit afterwards tears it down. Against the in-memory provider, with
// the watcher running over a process list of the test's choosing.
#include <gtest/gtest.h>

#include "memstore/MemStore.h"
#include "tests/calpresence_support.h"

using namespace calpresence_testing;
using C = CCalPresenceAX;

namespace {

// The log, which stops the watcher once, after its Logout is done, until a
// pass on the page's thread has ended (or for half a second at most: a
// watcher that holds the session lock there keeps the pass out).
class LogThatHoldsTheWatcher : public LogCapture {
 public:
  void OutputDebugStringW(LPCWSTR text) override {
    LogCapture::OutputDebugStringW(text);
    if (wstr::ToUtf8(text).find("Logout(384): Done with Logout") == std::string::npos || held.exchange(true)) return;
    for (int i = 0; i < 500 && !passEnded.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::atomic<bool> held{false};
  std::atomic<bool> passEnded{false};
};

using LogoutRace = CalPresenceTest;

TEST_F(LogoutRace, APassThatLogsOnWhileTheWatcherLogsOutIsTornDownByQuit) {
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installedMapi(provider);
  FILETIME now;
  plat::Clock().GetSystemTimeAsFileTime(&now);
  provider.Add(memstore::SingleAppointment(WSTR("Alpha"), now, now));
  processes.SetCount(2);
  processes.SetName(1, WSTR("outlook.exe"));
  EventRecorder page;
  ComPtr<CCalPresenceAX> control = Make(page);
  control->GetCalData();
  ASSERT_TRUE(Eventually([] { return C::m_processFound.load() != 0; }));
  if (C::m_pNotifyStore.load() == nullptr) control->GetCalData();
  ASSERT_NE(nullptr, C::m_pNotifyStore.load());

  // Process-wide and never destroyed: the watcher may still write to it.
  static auto* holding = new LogThatHoldsTheWatcher;
  plat::Substitute<plat::DiagnosticsService> installedLog(*holding);
  processes.SetName(1, WSTR("notepad.exe"));  // the mail client ends
  ASSERT_TRUE(Eventually([] { return holding->held.load(); }));
  control->GetCalData();  // the watcher has not yet marked the mail client gone
  holding->passEnded = true;
  ASSERT_TRUE(Eventually([] { return C::m_processFound.load() == 0; }));

  EXPECT_EQ(S_OK, control->Quit());
  EXPECT_EQ(0, provider.LiveSessions());
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_EQ(0, provider.LiveBuffers());
  control = nullptr;
  ResetClassState();
}

}  // namespace
