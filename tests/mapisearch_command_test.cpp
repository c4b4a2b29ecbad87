// tessaro participants: the demo address book picked by number and walked
// with the control's cursors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/commands.h"
#include "host/page_site.h"
#include "module/SiteLock.h"
#include "module/TessaroModule.h"
#include "tests/support/test_support.h"

namespace {

// Runs the command against a registry of the test's own; the command
// registers the controls for the user, which is undone afterwards.
// policy: the machine's AllowedSites for the run (nullptr: none).
int RunCommand(std::vector<std::string> args, std::string& out, const WCHAR* policy = nullptr) {
  testing_support::TestRegistry registry;
  struct Policy {
    explicit Policy(const WCHAR* sites) {
      HKEY key = nullptr;
      existed = plat::Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, WSTR("Software\\Norvane"), &key) == ERROR_SUCCESS;
      if (existed) plat::Registry().RegCloseKey(key);
      if (sites == nullptr || plat::Registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, tessaro::kSitePolicyKey, 0, nullptr,
                                                               0, KEY_ALL_ACCESS, nullptr, &key,
                                                               nullptr) != ERROR_SUCCESS)
        return;
      set = true;
      plat::Registry().RegSetValueExW(key, tessaro::kAllowedSitesValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(sites),
                                      static_cast<DWORD>((wstr::Len(sites) + 1) * sizeof(WCHAR)));
      plat::Registry().RegCloseKey(key);
    }
    ~Policy() {
      if (!set) return;
      HKEY key = nullptr;
      if (plat::Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, tessaro::kSitePolicyKey, &key) == ERROR_SUCCESS) {
        plat::Registry().RegDeleteValueW(key, tessaro::kAllowedSitesValue);
        plat::Registry().RegCloseKey(key);
      }
      if (existed) return;
      for (const WCHAR* path : {WSTR("Software\\Norvane\\Zelmora\\Tessaro"), WSTR("Software\\Norvane\\Zelmora"),
                                WSTR("Software\\Norvane")})
        plat::Registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    }
    bool existed = false;
    bool set = false;
  } machinePolicy(policy);
  struct Unregister {
    ~Unregister() { DllUnregisterServer(); }
  } unregister;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  testing::internal::CaptureStdout();
  const int status = host::RunParticipants(static_cast<int>(argv.size()), argv.data());
  out = testing::internal::GetCapturedStdout();
  return status;
}

TEST(ParticipantsCommand, PickedEntriesAreWalkedPropertyByProperty) {
  std::string out;
  ASSERT_EQ(0, RunCommand({"--pick", "3,5"}, out));
  EXPECT_NE(std::string::npos, out.find("Get Call Participants\n  1. Ann Lee <SMTP:ann.lee@example.org>\n"));
  EXPECT_NE(std::string::npos, out.find("2 participants\nParticipant 1\n"));
  // The Exchange mailbox: composed name, then its SMTP addresses last.
  EXPECT_NE(std::string::npos, out.find("  PID_FULLNAME = Bob Stone Jr.\n"
                                        "  PID_EMAIL_ADDRESS = bob.stone@example.org\n"
                                        "  PID_EMAIL_ADDRESS = bstone@example.org\nParticipant 2\n"));
  EXPECT_EQ(std::string::npos, out.find("cn=bstone\n"));
  EXPECT_NE(std::string::npos, out.find("  PID_OBJECT_TYPE = Distribution list object\n"));
  EXPECT_EQ(std::string::npos, out.find("Participant 3"));
}

TEST(ParticipantsCommand, NumbersOutsideTheListAreRefused) {
  std::string out;
  EXPECT_EQ(2, RunCommand({"--pick", "0"}, out));
  EXPECT_EQ(2, RunCommand({"--pick", "1,6"}, out));
  EXPECT_EQ(2, RunCommand({"--pick", "x"}, out));
  EXPECT_EQ(2, RunCommand({"--bogus"}, out));
  EXPECT_TRUE(out.empty());
}

// The program as a page: the site lock refuses a page outside the list
// before any dialog, and serves one inside it.
TEST(ParticipantsCommand, APageOutsideTheSiteLockIsRefusedByName) {
  struct NoPage {
    ~NoPage() { host::SetPageUrl(""); }
  } noPage;
  std::string out;
  host::SetPageUrl("https://evil.net/");
  EXPECT_EQ(1, RunCommand({"--pick", "1"}, out, WSTR("https://portal.example.com")));
  EXPECT_EQ("DoGetParticipantsDlg: E_ACCESSDENIED (0x80070005)\nDoLogout: E_ACCESSDENIED (0x80070005)\n", out);

  host::SetPageUrl("https://portal.example.com/call.html");
  EXPECT_EQ(0, RunCommand({"--pick", "1"}, out, WSTR("https://portal.example.com")));
  EXPECT_NE(std::string::npos, out.find("1 participant\nParticipant 1\n")) << out;

  EXPECT_EQ("E_ACCESSDENIED (0x80070005)", host::ResultText(E_ACCESSDENIED));
  EXPECT_EQ("0x80004005", host::ResultText(E_FAIL));
}

}  // namespace
