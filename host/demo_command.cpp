// tessaro with no command: the demo. It does what a page of the client does
// with the calendar presence control: creates it, listens to its events,
// calls GetCalData once and then CheckProcessChange once a minute, while the
// page's message loop delivers MAPI notifications. The mail client's calendar
// is the in-memory MAPI provider loaded with a calendar file; the clock runs
// faster than real time so that the countdown can be watched.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "calendar/TimeHelpers.h"
#include "calpresence/CalPresenceAX.h"
#include "calpresence/CalPresenceIds.h"
#include "host/CalendarSource.h"
#include "host/activation.h"
#include "host/commands.h"
#include "host/mail_client_standin.h"
#include "host/page_events.h"
#include "host/page_site.h"
#include "memstore/CalendarFile.h"
#include "memstore/MemStore.h"
#include "platform/com.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace host {

namespace {

struct Options {
  double speed = 60;     // demo seconds per real second
  int ticks = 6;         // page ticks (CheckProcessChange calls) before the demo ends
  int changeAtTick = 2;  // after this tick a meeting is added to the calendar
  std::string calendar;  // empty: the built-in demo calendar
  bool haveNow = false;
  LONGLONG now = 0;  // seconds since 1601, UTC
};

// The demo's clock: starts at the chosen instant and runs `speed` times
// faster than the real one. Both clock readings and the local time follow it.
class DemoClock : public plat::ClockService, public plat::TimeService {
 public:
  DemoClock(LONGLONG startSeconds, double speed)
      : start_(startSeconds),
        speed_(speed),
        origin_(std::chrono::steady_clock::now()),
        clock_(static_cast<plat::ClockService&>(*this)),
        time_(static_cast<plat::TimeService&>(*this)) {}

  FILETIME Now() const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count() * speed_;
    const LONGLONG ticks = (start_ * 10000000LL) + static_cast<LONGLONG>(elapsed * 1e7);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32)};
  }
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = Now(); }
  void GetLocalTime(LPSYSTEMTIME st) override {
    SYSTEMTIME utc{};
    const FILETIME now = Now();
    plat::TimeService::FileTimeToSystemTime(&now, &utc);
    plat::TimeService::SystemTimeToTzSpecificLocalTime(nullptr, &utc, st);
  }
  void GetSystemTime(LPSYSTEMTIME st) override {
    const FILETIME now = Now();
    plat::TimeService::FileTimeToSystemTime(&now, st);
  }

 private:
  LONGLONG start_;
  double speed_;
  std::chrono::steady_clock::time_point origin_;
  plat::Substitute<plat::ClockService> clock_;
  plat::Substitute<plat::TimeService> time_;
};

std::string Clock(const FILETIME& ft) {
  SYSTEMTIME utc{}, local{};
  plat::Time().FileTimeToSystemTime(&ft, &utc);
  plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond);
  return text;
}

std::string Now() {
  FILETIME ft;
  plat::Clock().GetSystemTimeAsFileTime(&ft);
  return Clock(ft);
}

class EventPrinter : public CalPresenceEventSink {
 public:
  int meetings = 0;

 protected:
  void OnEvent(DISPID id, const Arguments& arg) override {
    const UINT n = arg.count;
    if (id == DISPID_CALPRESENCE_ONCALDATACHANGED && n == 9) {
      ++meetings;
      std::printf("%s  OnCalDataChanged  \"%s\" at \"%s\": began %ld min ago, %02ld:%02ld-%02ld:%02ld, zone %s\n",
                  Now().c_str(), Text(arg(6)).c_str(), Text(arg(7)).c_str(), -Number(arg(0)) / 60, Number(arg(2)),
                  Number(arg(3)), Number(arg(4)), Number(arg(5)), Text(arg(8)).c_str());
    } else if (id == DISPID_CALPRESENCE_DONE) {
      std::printf("%s  Done(%ld)\n", Now().c_str(), n > 0 ? Number(arg(0)) : 0L);
    } else if (id == DISPID_CALPRESENCE_PASSWORDAVAILABLE) {
      std::printf("%s  PasswordAvailable\n", Now().c_str());
    } else {
      std::printf("%s  event %ld with %u arguments\n", Now().c_str(), static_cast<long>(id), n);
    }
    std::fflush(stdout);
  }
};

// The countdown the control keeps: seconds until it looks at the calendar
// again (0: only when the mail client or the calendar changes).
void ShowCountdown() {
  const DWORD left = CCalPresenceAX::m_whenToClear.load();
  const DWORD next = CCalPresenceAX::m_meetingTable.nextStartMeetingTime;
  if (left != 0) {
    std::printf("%s  countdown: next look at the calendar in %lu s\n", Now().c_str(), static_cast<unsigned long>(left));
  } else if (next != 0) {
    std::printf("%s  countdown: next meeting starts in %lu s\n", Now().c_str(), static_cast<unsigned long>(next));
  }
}

bool ParseNow(const char* text, LONGLONG& seconds) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  const int got = std::sscanf(text, "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  if (got < 3) return false;
  const SYSTEMTIME st{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                      static_cast<WORD>(mi), static_cast<WORD>(s), 0};
  FILETIME ft;
  if (!plat::Time().SystemTimeToFileTime(&st, &ft)) return false;
  seconds = SecondsFromFileTime(ft);
  return true;
}

int Usage() {
  std::fputs(
      "usage: tessaro [--speed N] [--now YYYY-MM-DDTHH:MM[:SS]] [--ticks N] [--calendar FILE]\n"
      "  --speed N      the demo clock runs N times faster than real time (default 60:\n"
      "                 the page's one-minute tick comes every second)\n"
      "  --now T        the demo starts at this UTC instant (default: now)\n"
      "  --ticks N      CheckProcessChange calls before the demo ends (default 6)\n"
      "  --calendar F   the mail client's calendar (default: the built-in demo calendar)\n",
      stderr);
  return 2;
}

}  // namespace

int RunDemo(int argc, char** argv) {
  Options options;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--speed" && hasValue) {
      options.speed = std::atof(argv[++i]);
      if (options.speed <= 0) return Usage();
    } else if (arg == "--ticks" && hasValue) {
      options.ticks = std::atoi(argv[++i]);
      if (options.ticks < 0) return Usage();
    } else if (arg == "--calendar" && hasValue) {
      options.calendar = argv[++i];
    } else if (arg == "--now" && hasValue) {
      if (!ParseNow(argv[++i], options.now)) return Usage();
      options.haveNow = true;
    } else {
      return Usage();
    }
  }
  if (!options.haveNow) {
    FILETIME real;
    plat::Clock().GetSystemTimeAsFileTime(&real);
    options.now = SecondsFromFileTime(real);
  }

  DemoClock clock(options.now, options.speed);
  MailClientInProcessList mailClient;
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> mapi(provider);

  LoadedCalendar calendar;
  std::string error;
  if (!LoadCalendarOrDemo(options.calendar, clock.Now(), calendar, error)) {
    std::fprintf(stderr, "tessaro: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& line : calendar.leftOut) std::fprintf(stderr, "tessaro: %s\n", line.c_str());
  const std::vector<memstore::Appointment>& appointments = calendar.appointments;
  provider.AddQuietly(appointments);
  std::printf("Tessaro demo: %zu appointments from %s; the clock starts at %s and runs %gx real time.\n",
              appointments.size(), options.calendar.empty() ? memstore::kDemoCalendarName : options.calendar.c_str(),
              Now().c_str(), options.speed);
  std::printf("The mail client (outlook.exe) is running. One page tick every 60 demo seconds.\n\n");

  IDispatch* control = nullptr;
  if (FAILED(CreateControl(WSTR("ZLMTessaro.CalPresenceAX.214"), IID_IDispatch, reinterpret_cast<void**>(&control)))) {
    std::fprintf(stderr, "tessaro: the calendar presence control could not be created\n");
    return 1;
  }
  EventPrinter printer;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  if (FAILED(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) ||
      FAILED(container->FindConnectionPoint(DIID__ICalPresenceEvents, &point)) ||
      FAILED(point->Advise(&printer, &cookie))) {
    std::fprintf(stderr, "tessaro: could not subscribe to the control's events\n");
    return 1;
  }

  std::printf("%s  page calls GetCalData\n", Now().c_str());
  if (ReportRefused("GetCalData", Call(control, WSTR("GetCalData")))) {
    // The site lock refused the page: every call gets the same answer.
    ReportRefused("Quit", Call(control, WSTR("Quit")));
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    control->Release();
    return 1;
  }
  ShowCountdown();
  const auto tick = std::chrono::duration<double>(60.0 / options.speed);
  for (int t = 1; t <= options.ticks; ++t) {
    // The page's message loop between two ticks: MAPI notifications arrive here.
    const auto until = std::chrono::steady_clock::now() + tick;
    while (std::chrono::steady_clock::now() < until) {
      PumpCalPresenceNotifications();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("%s  page tick %d: CheckProcessChange\n", Now().c_str(), t);
    Call(control, WSTR("CheckProcessChange"));
    ShowCountdown();
    if (t == options.changeAtTick) {
      const LONGLONG now = SecondsFromFileTime(clock.Now());
      memstore::Appointment adHoc = memstore::SingleAppointment(
          WSTR("Ad-hoc call"), FileTimeFromSeconds(now - 60), FileTimeFromSeconds(now + 15 * 60));
      adHoc.location = WString(WSTR("Phone"));
      provider.Add(adHoc);
      std::printf("%s  (the calendar changes: \"Ad-hoc call\" added; the notification comes through the message "
                  "loop)\n",
                  Now().c_str());
    }
  }
  PumpCalPresenceNotifications();
  std::printf("%s  page calls Quit\n", Now().c_str());
  Call(control, WSTR("Quit"));
  point->Unadvise(cookie);
  point->Release();
  container->Release();
  control->Release();
  std::printf("\nDemo over: %d meeting reports received.\n", printer.meetings);
  return 0;
}

}  // namespace host
