// tessaro status: one calendar pass through the calendar presence control,
// as a page makes it (create, GetCalData, collect the events, Quit), then the
// meetings in progress and the next start, for a status bar or a script.
// Exit status: 0 in a meeting, 1 not, 2 on an error.
#include <cstdio>
#include <string>
#include <vector>

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
#include "platform/com.h"

namespace host {

namespace {

struct Meeting {
  std::string subject, location;
  long startTime = 0;  // seconds, start minus now
  long startHour = 0, startMinute = 0, endHour = 0, endMinute = 0;
};

// The page's event handler: keeps the meetings reported.
class MeetingCollector : public CalPresenceEventSink {
 public:
  std::vector<Meeting> meetings;

 protected:
  void OnEvent(DISPID id, const Arguments& arg) override {
    if (id != DISPID_CALPRESENCE_ONCALDATACHANGED || arg.count != 9) return;
    meetings.push_back(Meeting{Text(arg(6)), Text(arg(7)), Number(arg(0)), Number(arg(2)), Number(arg(3)),
                               Number(arg(4)), Number(arg(5))});
  }
};

// YYYY-MM-DDTHH:MM[:SS], UTC; a trailing Z is allowed.
bool ParseInstant(const std::string& text, FILETIME& ft) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  const int got = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n:%2d%n", &y, &mo, &d, &h, &mi, &used, &s, &used);
  if (got < 5 || (text.size() != static_cast<size_t>(used) &&
                  !(text.size() == static_cast<size_t>(used) + 1 && (text.back() == 'Z' || text.back() == 'z'))))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || y < 1601) return false;
  const SYSTEMTIME st{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                      static_cast<WORD>(mi), static_cast<WORD>(s), 0};
  return plat::Time().SystemTimeToFileTime(&st, &ft) != FALSE;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Clock(long hour, long minute) {
  char text[8];
  std::snprintf(text, sizeof text, "%02ld:%02ld", hour, minute);
  return text;
}

// The local wall-clock time of an instant, "YYYY-MM-DD HH:MM".
std::string LocalText(LONGLONG seconds) {
  const FILETIME ft = FileTimeFromSeconds(seconds);
  SYSTEMTIME utc{}, local{};
  plat::Time().FileTimeToSystemTime(&ft, &utc);
  plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                local.wMinute);
  return text;
}

void PrintText(const std::vector<Meeting>& meetings, LONGLONG now, DWORD nextStart) {
  for (const Meeting& m : meetings) {
    std::printf("In a meeting: \"%s\"", m.subject.c_str());
    if (!m.location.empty()) std::printf(" at \"%s\"", m.location.c_str());
    std::printf(", %s-%s (began %ld min ago)\n", Clock(m.startHour, m.startMinute).c_str(),
                Clock(m.endHour, m.endMinute).c_str(), -m.startTime / 60);
  }
  if (meetings.empty()) std::printf("Not in a meeting.\n");
  if (nextStart != 0)
    std::printf("Next meeting starts in %lu min (%s).\n", static_cast<unsigned long>(nextStart / 60),
                LocalText(now + nextStart).c_str());
  else
    std::printf("No meeting to come.\n");
}

void PrintJson(const std::vector<Meeting>& meetings, LONGLONG now, DWORD nextStart) {
  std::printf("{\"in_meeting\": %s, \"now\": %s, \"meetings\": [", meetings.empty() ? "false" : "true",
              Json(LocalText(now)).c_str());
  for (size_t i = 0; i < meetings.size(); ++i) {
    const Meeting& m = meetings[i];
    std::printf("%s{\"subject\": %s, \"location\": %s, \"start\": %s, \"end\": %s, \"began_seconds_ago\": %ld}",
                i == 0 ? "" : ", ", Json(m.subject).c_str(), Json(m.location).c_str(),
                Json(Clock(m.startHour, m.startMinute)).c_str(), Json(Clock(m.endHour, m.endMinute)).c_str(),
                -m.startTime);
  }
  std::printf("], \"next_start\": ");
  if (nextStart != 0)
    std::printf("%s, \"next_start_in_seconds\": %lu}\n", Json(LocalText(now + nextStart)).c_str(),
                static_cast<unsigned long>(nextStart));
  else
    std::printf("null, \"next_start_in_seconds\": null}\n");
}

int Usage() {
  std::fputs(
      "usage: tessaro status [--calendar FILE] [--now YYYY-MM-DDTHH:MM[:SS]] [--json]\n"
      "  one look at the calendar: the meetings in progress and the next start;\n"
      "  exit status 0 in a meeting, 1 not, 2 on an error\n"
      "  --calendar F   a calendar file or an iCalendar (.ics) file (default: the demo calendar)\n"
      "  --now T        look at this UTC instant (default: now)\n"
      "  --json         one JSON object instead of text\n",
      stderr);
  return 2;
}

}  // namespace

int RunStatus(int argc, char** argv) {
  std::string calendarPath;
  bool json = false, haveNow = false;
  FILETIME now{};
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--calendar" && i + 1 < argc) {
      calendarPath = argv[++i];
    } else if (arg == "--now" && i + 1 < argc) {
      if (!ParseInstant(argv[++i], now)) return Usage();
      haveNow = true;
    } else if (arg == "--json") {
      json = true;
    } else {
      return Usage();
    }
  }
  if (!haveNow) plat::Clock().GetSystemTimeAsFileTime(&now);
  StoppedClock clock(now);
  MailClientInProcessList mailClient;
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> mapi(provider);

  LoadedCalendar calendar;
  std::string error;
  if (!LoadCalendarOrDemo(calendarPath, now, calendar, error)) {
    std::fprintf(stderr, "tessaro: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& line : calendar.leftOut) std::fprintf(stderr, "tessaro: %s\n", line.c_str());
  provider.AddQuietly(calendar.appointments);

  IDispatch* control = nullptr;
  if (FAILED(CreateControl(WSTR("ZLMTessaro.CalPresenceAX.214"), IID_IDispatch, reinterpret_cast<void**>(&control)))) {
    std::fprintf(stderr, "tessaro: the calendar presence control could not be created\n");
    return 2;
  }
  MeetingCollector collector;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  int status = 2;
  if (SUCCEEDED(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) &&
      SUCCEEDED(container->FindConnectionPoint(DIID__ICalPresenceEvents, &point)) &&
      SUCCEEDED(point->Advise(&collector, &cookie))) {
    // The first pass may end before the watcher has seen the mail client;
    // the page then asks again, as it would on its next tick.
    HRESULT hr = Call(control, WSTR("GetCalData"));
    for (int retry = 0; hr == S_FALSE && retry < 50; ++retry) {
      plat::Threads().Sleep(100);
      hr = Call(control, WSTR("GetCalData"));
    }
    const DWORD nextStart = CCalPresenceAX::m_meetingTable.nextStartMeetingTime;
    if (hr == S_OK) {
      const LONGLONG seconds = SecondsFromFileTime(now);
      if (json)
        PrintJson(collector.meetings, seconds, nextStart);
      else
        PrintText(collector.meetings, seconds, nextStart);
      status = collector.meetings.empty() ? 1 : 0;
    } else {
      // A refused page (the site lock) is named: E_ACCESSDENIED (0x80070005).
      std::fprintf(stderr, "tessaro: the control could not read the calendar (%s)\n", ResultText(hr).c_str());
    }
    Call(control, WSTR("Quit"));
    point->Unadvise(cookie);
  } else {
    std::fprintf(stderr, "tessaro: could not subscribe to the control's events\n");
  }
  if (point != nullptr) point->Release();
  if (container != nullptr) container->Release();
  control->Release();
  std::fflush(stdout);
  return status;
}

}  // namespace host
