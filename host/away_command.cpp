// tessaro away: the page's use of the away timer. Installs the input hook,
// reports the moment of the last activity and how long the user has been
// idle every few seconds until interrupted, then removes the hook.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "activemon/ActiveMonAX.h"
#include "host/activation.h"
#include "host/commands.h"
#include "host/page_site.h"
#include "platform/services.h"

namespace host {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

bool ParseCount(const char* text, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == 0 && value > 0 && value <= 86400;
}

// "2026-05-03 12:00:01 UTC" for seconds since 1970.
std::string UtcText(DWORD seconds) {
  const ULONGLONG ticks = 116444736000000000ULL + static_cast<ULONGLONG>(seconds) * 10000000ULL;
  FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME st{};
  if (!plat::Time().FileTimeToSystemTime(&ft, &st)) return "?";
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond);
  return text;
}

}  // namespace

int RunAway(int argc, char** argv) {
  long seconds = 5;
  long polls = 0;  // 0: until interrupted
  for (int i = 0; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--seconds") == 0 && hasValue && ParseCount(argv[i + 1], seconds)) {
      ++i;
    } else if (std::strcmp(argv[i], "--polls") == 0 && hasValue && ParseCount(argv[i + 1], polls)) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: tessaro away [--seconds N] [--polls N]\n");
      return 2;
    }
  }

  ComPtr<IActiveMon> mon;
  if (FAILED(CreateControl(WSTR("ZLMTessaro.ActiveMonAX.214"), IID_IActiveMon, mon.ReceiveVoid()))) {
    std::fprintf(stderr, "tessaro away: the away timer could not be created\n");
    return 1;
  }
  const HRESULT init = mon->MonInit();
  if (ReportRefused("MonInit", init)) return 1;
  if (init != S_OK) {
    const WString dir = static_cast<CActiveMonAX*>(mon.Get())->m_moduleDir;
    std::fprintf(stderr, "tessaro away: the input hook library ZLMActvHook.dll could not be used from %s\n",
                 wstr::ToUtf8(dir).c_str());
    return 1;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  std::printf("watching keyboard and mouse every %ld s; interrupt to stop\n", seconds);
  std::fflush(stdout);

  int status = 0;
  for (long done = 0; !g_interrupted && (polls == 0 || done < polls); ++done) {
    if (done > 0) {
      for (long waited = 0; waited < seconds * 10 && !g_interrupted; ++waited) plat::Threads().Sleep(100);
      if (g_interrupted) break;
    }
    LONG stamp = 0;
    if (mon->GetIdleTime(&stamp) != S_OK) {
      std::fprintf(stderr, "tessaro away: the hook gives no time\n");
      status = 1;
      break;
    }
    const auto last = static_cast<DWORD>(stamp);
    const LONGLONG idle = plat::SystemInfo().CurrentTimeSeconds() - static_cast<LONGLONG>(last);
    std::printf("last activity %s (%lu), idle %lld s\n", UtcText(last).c_str(), static_cast<unsigned long>(last),
                static_cast<long long>(idle > 0 ? idle : 0));
    std::fflush(stdout);
  }
  mon->MonUnInit();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::printf("hook removed\n");
  return status;
}

}  // namespace host
