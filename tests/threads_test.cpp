#include <gtest/gtest.h>

#include <atomic>

#include "platform/services.h"
#include "tests/support/test_support.h"

using testing_support::U8;

namespace {

DWORD WINAPI WaitThenFinish(LPVOID parameter) {
  auto* event = static_cast<HANDLE*>(parameter);
  return plat::Threads().WaitForSingleObject(*event, 5000) == WAIT_OBJECT_0 ? 42 : 7;
}

}  // namespace

TEST(Threads, AutoResetEventsLetOneWaitThroughAndKeepUnconsumedSignals) {
  auto& t = plat::Threads();
  HANDLE event = t.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), t.WaitForSingleObject(event, 10));
  EXPECT_TRUE(t.SetEvent(event));
  EXPECT_TRUE(t.SetEvent(event));  // a second signal does not count twice
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), t.WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), t.WaitForSingleObject(event, 10));
  EXPECT_TRUE(t.CloseHandle(event));

  HANDLE manual = t.CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), t.WaitForSingleObject(manual, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), t.WaitForSingleObject(manual, 0));
  EXPECT_TRUE(t.ResetEvent(manual));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), t.WaitForSingleObject(manual, 0));
  t.CloseHandle(manual);
}

TEST(Threads, AThreadRunsWaitsAndEndsWithItsExitCode) {
  auto& t = plat::Threads();
  HANDLE go = t.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = t.CreateThread(nullptr, 0, WaitThenFinish, &go, 0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, id);
  DWORD code = 0;
  EXPECT_TRUE(t.GetExitCodeThread(thread, &code));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), t.WaitForSingleObject(thread, 20));
  t.SetEvent(go);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), t.WaitForSingleObject(thread, 5000));
  EXPECT_TRUE(t.GetExitCodeThread(thread, &code));
  EXPECT_EQ(42u, code);
  t.CloseHandle(thread);
  t.CloseHandle(go);
}

TEST(Processes, TheProcessListShowsThisProgramByItsBaseName) {
  WCHAR self[MAX_PATH];
  ASSERT_GT(plat::Modules().GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  WString own = self;
  own = own.substr(own.rfind('\\') + 1);

  DWORD ids[4096];
  DWORD bytes = 0;
  ASSERT_TRUE(plat::Processes().EnumProcesses(ids, sizeof ids, &bytes));
  ASSERT_GT(bytes, 0u);
  int found = 0;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE process = plat::Processes().OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
    if (process == nullptr) continue;
    HMODULE module = nullptr;
    DWORD needed = 0;
    WCHAR name[MAX_PATH] = {};
    if (plat::Processes().EnumProcessModules(process, &module, sizeof module, &needed) &&
        plat::Processes().GetModuleBaseNameW(process, module, name, MAX_PATH) > 0 &&
        wstr::EqualsNoCase(name, own))
      ++found;
    plat::Processes().CloseHandle(process);
  }
  EXPECT_GE(found, 1) << U8(own);

  // A buffer for one id gets one.
  DWORD one[1];
  ASSERT_TRUE(plat::Processes().EnumProcesses(one, sizeof one, &bytes));
  EXPECT_EQ(sizeof(DWORD), bytes);
}
