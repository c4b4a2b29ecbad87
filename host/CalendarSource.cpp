#include "host/CalendarSource.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "memstore/CalendarFile.h"
#ifdef TESSARO_HAVE_LIBICAL
#include "host/IcsCalendar.h"
#endif

namespace host {

namespace {

bool LooksLikeICalendarText(const std::string& text) {
  size_t at = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  at = text.find_first_not_of(" \t\r\n", at);
  if (at == std::string::npos) return false;
  std::string head = text.substr(at, 15);
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return head == "BEGIN:VCALENDAR";
}

}  // namespace

bool LoadCalendar(const std::string& path, const FILETIME& now, LoadedCalendar& calendar, std::string& error) {
  calendar = LoadedCalendar{};
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    error = path + ": cannot read the file";
    return false;
  }
  if (!LooksLikeICalendarText(text.str()))
    return memstore::ParseCalendar(text.str(), path, now, calendar.appointments, error);
  calendar.iCalendar = true;
#ifdef TESSARO_HAVE_LIBICAL
  IcsCalendar ics;
  if (!ReadICalendar(text.str(), path, ics, error)) return false;
  calendar.appointments = std::move(ics.appointments);
  calendar.origins = std::move(ics.origins);
  for (const IcsLeftOut& l : ics.leftOut)
    calendar.leftOut.push_back(path + ":" + std::to_string(l.line) + ": event \"" + l.summary + "\" left out: " + l.reason);
  return true;
#else
  error = path + ": an iCalendar file; this build reads calendar files only (convert it with tessaro convert on Linux)";
  return false;
#endif
}

bool LoadCalendarOrDemo(const std::string& path, const FILETIME& now, LoadedCalendar& calendar, std::string& error) {
  if (!path.empty()) return LoadCalendar(path, now, calendar, error);
  calendar = LoadedCalendar{};
  return memstore::ParseCalendar(memstore::DemoCalendarText(), memstore::kDemoCalendarName, now, calendar.appointments,
                                 error);
}

}  // namespace host
