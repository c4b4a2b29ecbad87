// tessaro participants: the demo address book picked by number and walked
// with the control's cursors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/commands.h"
#include "module/TessaroModule.h"
#include "tests/support/test_support.h"

namespace {

// Runs the command against a registry of the test's own; the command
// registers the controls for the user, which is undone afterwards.
int RunCommand(std::vector<std::string> args, std::string& out) {
  testing_support::TestRegistry registry;
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

}  // namespace
