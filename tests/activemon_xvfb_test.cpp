// The away timer end to end on Linux: a virtual X server of the test's own,
// the real hook library, input made with xdotool.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "activemon/ActiveMonAX.h"
#include "platform/linux/paths.h"
#include "tests/support/test_support.h"

extern char** environ;

using namespace testing_support;

namespace {

std::string ProgramDirUnix() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/') + 1);
}

// Runs a shell command within a time limit; returns its exit status (124
// when it ran over) and, when asked, what it printed.
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen(("timeout -k 5 30 " + command).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    if (output != nullptr) output->append(buffer, got);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An Xvfb on a display number it picks itself (-displayfd), stopped at the
// end of the scope.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      pid_ = 0;
      ::close(fds[0]);
      return;
    }
    // The server writes its display number once it accepts clients.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(fds[0], &c, 1) != 1) break;
      if (c == '\n') break;
      number.push_back(c);
    }
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& Name() const { return display_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

// Windows XP, so that the system's last-input tick is read as well.
class WindowsXp : public plat::SystemInfoService {
 public:
  WindowsXp() : installed_(*this) {}
  BOOL GetVersionExW(LPOSVERSIONINFOW info) override {
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    return TRUE;
  }

 private:
  plat::Substitute<plat::SystemInfoService> installed_;
};

bool MoveMouse(int x, int y) {
  return Shell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y)) == 0;
}

// Polls until the control answers more than before, for up to 5 seconds.
LONG WaitForLater(IActiveMon* mon, LONG before) {
  LONG now = before;
  for (int i = 0; i < 50 && now <= before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(S_OK, mon->GetIdleTime(&now));
  }
  return now;
}

}  // namespace

TEST(AwayTimerUnderX, MouseMovesAdvanceTheLastActivity) {
  VirtualDisplay display;
  ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
  ScopedEnv displayVar(WSTR("DISPLAY"), wstr::FromUtf8(display.Name()).c_str());
  CapturedDiagnostics diag;

  // The module as if it lay beside the tessaro program, where the build puts
  // the hook library.
  const std::string hostDir = ProgramDirUnix() + "../host/";
  WString moduleName = WSTR("Z:") + wstr::FromUtf8(hostDir) + WSTR("ZLMTessaro.dll");
  for (auto& c : moduleName)
    if (c == '/') c = '\\';
  ModuleAt module(moduleName);

  ComPtr<IActiveMon> mon;
  ASSERT_EQ(S_OK, CreateActiveMonAX(nullptr, IID_IActiveMon, mon.ReceiveVoid()));
  ASSERT_EQ(S_OK, mon->MonInit());
  LONG first = 0;
  ASSERT_EQ(S_OK, mon->GetIdleTime(&first));
  EXPECT_GT(first, 0);

  // Stamps are whole seconds: input a second later must show.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  LONG still = 0;
  ASSERT_EQ(S_OK, mon->GetIdleTime(&still));
  EXPECT_EQ(first, still) << "no input, no change";
  ASSERT_TRUE(MoveMouse(100, 100)) << "xdotool failed";
  const LONG moved = WaitForLater(mon.Get(), first);
  EXPECT_GT(moved, first);

  // The system's last-input tick on a platform that reads it.
  {
    WindowsXp xp;
    LONG withTick = 0;
    ASSERT_EQ(S_OK, mon->GetIdleTime(&withTick));
    CActiveMonAX& object = *static_cast<CActiveMonAX*>(mon.Get());
    ASSERT_NE(nullptr, object.m_pfnGetLastInputInfo) << "GetLastInputInfo with a display";
    const DWORD tick = object.m_lastInputTick;
    EXPECT_NE(0u, tick);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(S_OK, mon->GetIdleTime(&withTick));
    EXPECT_EQ(tick, object.m_lastInputTick) << "no input, same tick";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(MoveMouse(200, 150));
    const LONG later = WaitForLater(mon.Get(), withTick);
    EXPECT_GT(later, withTick);
    EXPECT_GT(object.m_lastInputTick, tick);
  }

  EXPECT_EQ(S_OK, mon->MonUnInit());
  LONG after = -1;
  EXPECT_EQ(S_FALSE, mon->GetIdleTime(&after));
  EXPECT_EQ(0, after);
}

TEST(AwayTimerUnderX, TessaroAwayReportsAndStops) {
  VirtualDisplay display;
  ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
  ScopedEnv displayVar(WSTR("DISPLAY"), wstr::FromUtf8(display.Name()).c_str());
  // The program registers its controls for the user: in a registry of the
  // test's own, not the user's.
  testing_support::TempDir registryDir;
  std::string registryPath;
  ASSERT_TRUE(plat::linux_paths::ToUnix(registryDir.path(), registryPath));
  ScopedEnv registryVar(WSTR("TESSARO_REGISTRY_DIR"), wstr::FromUtf8(registryPath).c_str());
  std::string output;
  const std::string program = ProgramDirUnix() + "../host/tessaro";
  ASSERT_EQ(0, Shell(program + " away --seconds 1 --polls 2", &output)) << output;
  size_t reports = 0;
  for (size_t at = output.find("last activity"); at != std::string::npos; at = output.find("last activity", at + 1))
    ++reports;
  EXPECT_EQ(2u, reports) << output;
  EXPECT_NE(std::string::npos, output.find("idle")) << output;
}
