// iCalendar files through libical. Reading happens in three steps: an outline
// of the text (its unfolded lines, the nesting of BEGIN and END, and the
// line of every event's properties, so that errors can name lines, which
// libical does not keep), libical's parse, then one appointment per event.
#include "host/IcsCalendar.h"

#include <libical/ical.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <map>
#include <memory>

#include "calendar/BlobWriter.h"
#include "platform/services.h"

namespace host {

namespace {

struct Failure {
  int line;
  std::string message;
};

[[noreturn]] void Fail(int line, const std::string& message) { throw Failure{line, message}; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// ---- the outline ------------------------------------------------------------------

struct EventLines {
  int begin = 0;
  std::map<std::string, int> properties;  // the first line of each property
  int Line(const std::string& name) const {
    auto it = properties.find(name);
    return it == properties.end() ? begin : it->second;
  }
};

class Outline {
 public:
  std::vector<EventLines> events;

  void Content(const std::string& content, int line) {
    size_t nameEnd = 0;
    while (nameEnd < content.size() && (std::isalnum(static_cast<unsigned char>(content[nameEnd])) || content[nameEnd] == '-'))
      ++nameEnd;
    if (nameEnd == 0 || nameEnd == content.size() || (content[nameEnd] != ':' && content[nameEnd] != ';'))
      Fail(line, "expected NAME:VALUE or NAME;PARAMETERS:VALUE, found '" + content.substr(0, 60) + "'");
    const std::string name = Upper(content.substr(0, nameEnd));
    size_t colon = nameEnd;
    for (bool quoted = false; colon < content.size(); ++colon) {
      if (content[colon] == '"') quoted = !quoted;
      if (content[colon] == ':' && !quoted) break;
    }
    if (colon == content.size()) Fail(line, name + ": the line has no ':' before its value");
    const std::string value = Upper(content.substr(colon + 1));
    if (open_.empty() && !(name == "BEGIN" && value == "VCALENDAR"))
      Fail(line, "expected BEGIN:VCALENDAR, found '" + content.substr(0, 60) + "'");
    if (name == "BEGIN") {
      open_.emplace_back(value, line);
      if (value == "VEVENT" && open_.size() == 2) events.push_back(EventLines{line, {}});
    } else if (name == "END") {
      if (open_.back().first != value)
        Fail(line, "END:" + value + " where BEGIN:" + open_.back().first + " of line " +
                       std::to_string(open_.back().second) + " ends");
      open_.pop_back();
    } else if (open_.size() == 2 && open_.back().first == "VEVENT") {
      events.back().properties.emplace(name, line);
    }
  }

  void End() const {
    if (!open_.empty())
      Fail(open_.back().second, "BEGIN:" + open_.back().first + " is never ended");
  }

 private:
  std::vector<std::pair<std::string, int>> open_;
};

// Unfolds the text's lines (a line that starts with a blank continues the one
// before) and hands each to the outline with the number of its first line.
Outline Lines(std::string_view text) {
  Outline outline;
  std::string logical;
  int logicalLine = 0, line = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string s(text.substr(at, end - at));
    at = end + 1;
    ++line;
    if (!s.empty() && s.back() == '\r') s.pop_back();
    if (line == 1 && s.rfind("\xEF\xBB\xBF", 0) == 0) s.erase(0, 3);
    if (!s.empty() && (s[0] == ' ' || s[0] == '\t') && logicalLine != 0) {
      logical += s.substr(1);
      continue;
    }
    if (logicalLine != 0) outline.Content(logical, logicalLine);
    logical.clear();
    logicalLine = 0;
    if (s.find_first_not_of(" \t") == std::string::npos) continue;
    logical = s;
    logicalLine = line;
  }
  if (logicalLine != 0) outline.Content(logical, logicalLine);
  outline.End();
  return outline;
}

// ---- times ----------------------------------------------------------------------------

constexpr long long kDay = 1440;
constexpr long long kUnixEpochSeconds = 11644473600LL;  // 1601 to 1970

FILETIME FileTimeOfUnix(time_t t) {
  const unsigned long long ticks = static_cast<unsigned long long>(static_cast<long long>(t) + kUnixEpochSeconds) * 10000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

int DaysIn(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// 0 Sunday .. 6 Saturday.
int WeekdayOf(const icaltimetype& t) { return icaltime_day_of_week(t) - 1; }

// Where an event's times are: the machine's zone (floating times and dates),
// UTC, or a zone of the file.
struct Frame {
  enum Kind { Machine, Utc, Zoned } kind = Machine;
  icaltimezone* zone = nullptr;
  TimeZoneStruct blob;
};

long long WallMinutes(const icaltimetype& t, int line) {
  if (t.year < 1601 || t.year > 4500) Fail(line, "the year " + std::to_string(t.year) + " is outside 1601 to 4500");
  return BlobMinutes(t.year, t.month, t.day, t.is_date ? 0 : t.hour, t.is_date ? 0 : t.minute);
}

SYSTEMTIME SystemTimeOfMinutes(long long minutes) {
  const unsigned long long ticks = static_cast<unsigned long long>(minutes) * 600000000ull;
  const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME st{};
  plat::Time().FileTimeToSystemTime(&ft, &st);
  return st;
}

// The UTC instant of a time; floating times and dates are in the frame.
FILETIME UtcOf(const icaltimetype& t, const Frame& frame) {
  if (icaltime_is_utc(t)) return FileTimeOfUnix(icaltime_as_timet(t));
  if (t.zone != nullptr && !t.is_date) return FileTimeOfUnix(icaltime_as_timet_with_zone(t, t.zone));
  if (frame.kind == Frame::Zoned) return FileTimeOfUnix(icaltime_as_timet_with_zone(t, frame.zone));
  if (frame.kind == Frame::Utc) return FileTimeOfUnix(icaltime_as_timet(t));
  const SYSTEMTIME local = SystemTimeOfMinutes(WallMinutes(t, 0));
  SYSTEMTIME utc{};
  FILETIME ft{};
  plat::Time().TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc);
  plat::Time().SystemTimeToFileTime(&utc, &ft);
  return ft;
}

// The wall-clock minutes of a time in the frame.
long long LocalMinutes(const icaltimetype& t, const Frame& frame, int line) {
  const bool utc = icaltime_is_utc(t);
  const bool inFrame = t.is_date || (!utc && (t.zone == nullptr || t.zone == frame.zone)) ||
                       (utc && frame.kind == Frame::Utc);
  if (inFrame) return WallMinutes(t, line);
  const FILETIME instant = UtcOf(t, frame);
  const time_t unix = static_cast<time_t>(
      static_cast<long long>(((static_cast<unsigned long long>(instant.dwHighDateTime) << 32) | instant.dwLowDateTime) /
                             10000000ull) -
      kUnixEpochSeconds);
  if (frame.kind != Frame::Machine) {
    icaltimezone* zone = frame.kind == Frame::Zoned ? frame.zone : icaltimezone_get_utc_timezone();
    return WallMinutes(icaltime_from_timet_with_zone(unix, 0, zone), line);
  }
  SYSTEMTIME u{}, local{};
  plat::Time().FileTimeToSystemTime(&instant, &u);
  plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &u, &local);
  return BlobMinutes(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute);
}

// ---- zones --------------------------------------------------------------------------------

icaltimezone* FindZone(icalcomponent* calendar, const char* tzid, int line, const std::string& property) {
  icaltimezone* zone = icalcomponent_get_timezone(calendar, tzid);
  if (zone == nullptr) zone = icaltimezone_get_builtin_timezone(tzid);
  if (zone == nullptr)
    Fail(line, property + ": unknown time zone '" + tzid + "' (the file has no VTIMEZONE for it)");
  return zone;
}

// A time property's value with its zone attached.
icaltimetype TimeOf(icalproperty* p, icaltimetype value, icalcomponent* calendar, int line, const std::string& name) {
  if (icaltime_is_null_time(value) || !icaltime_is_valid_time(value))
    Fail(line, name + ": the value is not a date or a date and time");
  if (value.is_date || icaltime_is_utc(value)) return value;
  if (icalparameter* tzid = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER))
    value.zone = FindZone(calendar, icalparameter_get_tzid(tzid), line, name);
  return value;
}

// One STANDARD or DAYLIGHT part of a zone as it applies in a year.
struct Observance {
  bool found = false;
  bool current = false;  // its rule gives a change in the year
  icaltimetype start{};
  int offsetTo = 0;  // seconds east of UTC
  SYSTEMTIME rule{};
};

SYSTEMTIME RuleOfDate(const icaltimetype& t) {
  const WORD week = t.day + 7 > DaysIn(t.year, t.month) ? 5 : static_cast<WORD>((t.day - 1) / 7 + 1);
  return TransitionRule(static_cast<WORD>(t.month), static_cast<WORD>(WeekdayOf(t)), week, static_cast<WORD>(t.hour),
                        static_cast<WORD>(t.minute));
}

SYSTEMTIME RuleOfRecurrence(const icalrecurrencetype& r, const icaltimetype& start) {
  const int month = r.by_month[0] != ICAL_RECURRENCE_ARRAY_MAX ? icalrecurrencetype_month_month(r.by_month[0]) : start.month;
  if (r.by_day[0] == ICAL_RECURRENCE_ARRAY_MAX) return RuleOfDate(start);
  const int weekday = static_cast<int>(icalrecurrencetype_day_day_of_week(r.by_day[0])) - 1;
  int position = icalrecurrencetype_day_position(r.by_day[0]);
  int week = position >= 1 && position <= 4 ? position : position == -1 ? 5 : 0;
  if (position == 0 && r.by_month_day[0] != ICAL_RECURRENCE_ARRAY_MAX)  // "the Sunday on or after the 8th"
    week = r.by_month_day[0] > 0 ? (r.by_month_day[0] - 1) / 7 + 1 : 5;
  if (week == 0) return RuleOfDate(start);
  return TransitionRule(static_cast<WORD>(month), static_cast<WORD>(weekday), static_cast<WORD>(week),
                        static_cast<WORD>(start.hour), static_cast<WORD>(start.minute));
}

Observance ObservanceIn(icalcomponent* zone, icalcomponent_kind kind, int year) {
  Observance best, past;
  for (icalcomponent* c = icalcomponent_get_first_component(zone, kind); c != nullptr;
       c = icalcomponent_get_next_component(zone, kind)) {
    const icaltimetype start = icalcomponent_get_dtstart(c);
    icalproperty* to = icalcomponent_get_first_property(c, ICAL_TZOFFSETTO_PROPERTY);
    if (icaltime_is_null_time(start) || to == nullptr || start.year > year) continue;
    Observance o;
    o.found = true;
    o.start = start;
    o.offsetTo = icalproperty_get_tzoffsetto(to);
    if (icalproperty* rrule = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY)) {
      const icalrecurrencetype r = icalproperty_get_rrule(rrule);
      o.current = icaltime_is_null_time(r.until) || r.until.year >= year;
      o.rule = RuleOfRecurrence(r, start);
    } else {
      o.current = start.year == year;
      o.rule = RuleOfDate(start);
    }
    Observance& slot = o.current ? best : past;
    if (!slot.found || icaltime_compare(start, slot.start) > 0) slot = o;
  }
  return best.found ? best : past;
}

// The zone in the form an appointment carries: bias and the two transition
// rules in force in the year.
TimeZoneStruct ZoneStruct(icaltimezone* zone, int year) {
  icalcomponent* c = icaltimezone_get_component(zone);
  const Observance standard = c != nullptr ? ObservanceIn(c, ICAL_XSTANDARD_COMPONENT, year) : Observance{};
  const Observance daylight = c != nullptr ? ObservanceIn(c, ICAL_XDAYLIGHT_COMPONENT, year) : Observance{};
  if (!standard.found && daylight.found)  // a zone that keeps "daylight" time all year
    return BuildTimeZoneStruct(-daylight.offsetTo / 60, 0, 0, SYSTEMTIME{}, SYSTEMTIME{});
  const LONG bias = -standard.offsetTo / 60;
  if (!(standard.current && daylight.found && daylight.current))
    return BuildTimeZoneStruct(bias, 0, 0, SYSTEMTIME{}, SYSTEMTIME{});
  return BuildTimeZoneStruct(bias, 0, -(daylight.offsetTo - standard.offsetTo) / 60, standard.rule, daylight.rule);
}

TimeZoneStruct MachineZoneStruct() {
  TIME_ZONE_INFORMATION info{};
  plat::Time().GetTimeZoneInformation(&info);
  return TimeZoneStructFromInformation(info);
}

// ---- the values of an event -------------------------------------------------------------

std::string Text(icalcomponent* e, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(e, kind);
  icalvalue* v = p != nullptr ? icalproperty_get_value(p) : nullptr;
  const char* text = v != nullptr && icalvalue_isa(v) == ICAL_TEXT_VALUE ? icalvalue_get_text(v) : nullptr;
  return text != nullptr ? text : "";
}

bool Has(icalcomponent* e, icalproperty_kind kind) { return icalcomponent_get_first_property(e, kind) != nullptr; }

// 0 free, 1 tentative, 2 busy, 3 away: a cancelled event is free; then the
// mail client's own busy status, when the file has it; then TRANSP; then a
// tentative STATUS.
LONG BusyOf(icalcomponent* e) {
  if (icalcomponent_get_status(e) == ICAL_STATUS_CANCELLED) return 0;
  for (icalproperty* p = icalcomponent_get_first_property(e, ICAL_X_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(e, ICAL_X_PROPERTY)) {
    if (Upper(icalproperty_get_x_name(p)) != "X-MICROSOFT-CDO-BUSYSTATUS") continue;
    const std::string v = Upper(icalproperty_get_x(p) != nullptr ? icalproperty_get_x(p) : "");
    if (v == "FREE" || v == "WORKINGELSEWHERE") return 0;
    if (v == "TENTATIVE") return 1;
    if (v == "BUSY") return 2;
    if (v == "OOF") return 3;
  }
  if (icalproperty* t = icalcomponent_get_first_property(e, ICAL_TRANSP_PROPERTY))
    if (icalproperty_get_transp(t) == ICAL_TRANSP_TRANSPARENT) return 0;
  return icalcomponent_get_status(e) == ICAL_STATUS_TENTATIVE ? 1 : 2;
}

bool PrivateOf(icalcomponent* e) {
  icalproperty* p = icalcomponent_get_first_property(e, ICAL_CLASS_PROPERTY);
  if (p == nullptr) return false;
  const icalproperty_class c = icalproperty_get_class(p);
  return c == ICAL_CLASS_PRIVATE || c == ICAL_CLASS_CONFIDENTIAL;
}

struct Times {
  icaltimetype start{}, end{};
  Frame frame;
  long long startLocal = 0, endLocal = 0;
};

// DTSTART and DTEND (or DURATION) of an event in the frame given, or in its
// own when frame is null.
Times TimesOf(icalcomponent* e, icalcomponent* calendar, const EventLines& lines, const Frame* frame) {
  Times t;
  icalproperty* ps = icalcomponent_get_first_property(e, ICAL_DTSTART_PROPERTY);
  t.start = TimeOf(ps, icalproperty_get_dtstart(ps), calendar, lines.Line("DTSTART"), "DTSTART");
  if (frame != nullptr) {
    t.frame = *frame;
  } else if (t.start.is_date || (t.start.zone == nullptr && !icaltime_is_utc(t.start))) {
    t.frame.kind = Frame::Machine;
  } else if (icaltime_is_utc(t.start)) {
    t.frame.kind = Frame::Utc;
    t.frame.zone = icaltimezone_get_utc_timezone();
    t.frame.blob = BuildTimeZoneStruct(0, 0, 0, SYSTEMTIME{}, SYSTEMTIME{});
  } else {
    t.frame.kind = Frame::Zoned;
    t.frame.zone = const_cast<icaltimezone*>(t.start.zone);
    t.frame.blob = ZoneStruct(t.frame.zone, t.start.year);
  }
  if (icalproperty* pe = icalcomponent_get_first_property(e, ICAL_DTEND_PROPERTY)) {
    t.end = TimeOf(pe, icalproperty_get_dtend(pe), calendar, lines.Line("DTEND"), "DTEND");
  } else if (icalproperty* pd = icalcomponent_get_first_property(e, ICAL_DURATION_PROPERTY)) {
    t.end = icaltime_add(t.start, icalproperty_get_duration(pd));
  } else {
    // Without either, a day's event lasts the day and a timed one no time.
    t.end = t.start;
    if (t.start.is_date) icaltime_adjust(&t.end, 1, 0, 0, 0);
  }
  // Appointments are kept in whole minutes, as the recurrence value keeps them.
  t.start.second = 0;
  t.end.second = 0;
  t.startLocal = LocalMinutes(t.start, t.frame, lines.Line("DTSTART"));
  t.endLocal = LocalMinutes(t.end, t.frame, lines.Line("DTEND"));
  if (t.endLocal < t.startLocal) Fail(lines.Line("DTEND"), "DTEND: the event ends before it starts");
  return t;
}

// ---- rules ----------------------------------------------------------------------------------

int Count(const short* values, int size) {
  int n = 0;
  while (n < size && values[n] != ICAL_RECURRENCE_ARRAY_MAX) ++n;
  return n;
}

struct Unsupported {
  std::string reason;
};
[[noreturn]] void Cannot(const std::string& reason) { throw Unsupported{reason}; }

// The day of the month that is the n-th (5: last) of the weekdays in mask.
int NthDay(int year, int month, DWORD mask, int n) {
  std::vector<int> days;
  const icaltimetype first = icaltime_from_day_of_year(1, year);
  for (int d = 1; d <= DaysIn(year, month); ++d) {
    icaltimetype t = first;
    t.month = month;
    t.day = d;
    if (mask & (1u << WeekdayOf(t))) days.push_back(d);
  }
  if (days.empty()) return 0;
  return n == 5 ? days.back() : (static_cast<size_t>(n) <= days.size() ? days[static_cast<size_t>(n - 1)] : 0);
}

DWORD WeekdayMask(const icalrecurrencetype& r, int count) {
  DWORD mask = 0;
  for (int i = 0; i < count; ++i) mask |= 1u << (static_cast<int>(icalrecurrencetype_day_day_of_week(r.by_day[i])) - 1);
  return mask;
}

// The day of the month of monthly and yearly rules.
void MonthDay(const icalrecurrencetype& r, const icaltimetype& start, bool yearly, RecurrenceDescription& d) {
  const int days = Count(r.by_day, ICAL_BY_DAY_SIZE), monthDays = Count(r.by_month_day, ICAL_BY_MONTHDAY_SIZE);
  const int setPositions = Count(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  if (monthDays > 1) Cannot("several BYMONTHDAY values");
  if (monthDays == 1 && days > 0) Cannot("BYMONTHDAY together with BYDAY");
  if (days == 0) {
    if (setPositions > 0) Cannot("BYSETPOS without BYDAY");
    const int day = monthDays == 1 ? r.by_month_day[0] : start.day;
    if (day == -1) {
      if (start.day != DaysIn(start.year, start.month)) Cannot("DTSTART is not on the last day of its month");
      d.patternType = blob::kPatternMonthEnd;
      d.dayOfMonth = 31;
      return;
    }
    if (day < 1) Cannot("BYMONTHDAY counted from the end other than the last day");
    if (day != start.day) Cannot("DTSTART is not on the rule's day of the month");
    if (!yearly && day > 28)
      Cannot("monthly on day " + std::to_string(day) +
             ": the recurrence value would move it to the last day of shorter months, the file skips them");
    if (yearly && start.month == 2 && day == 29) Cannot("yearly on 29 February");
    d.patternType = blob::kPatternMonth;
    d.dayOfMonth = static_cast<DWORD>(day);
    return;
  }
  int n = 0;
  if (setPositions == 0) {
    const int position = icalrecurrencetype_day_position(r.by_day[0]);
    if (days > 1 || position == 0) Cannot("several weekdays of the month (BYDAY without a position)");
    if (position < -1 || position > 4) Cannot("the weekday in position " + std::to_string(position) + " of the month");
    n = position == -1 ? 5 : position;
  } else {
    for (int i = 0; i < days; ++i)
      if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("BYSETPOS with positioned BYDAY values");
    if (setPositions > 1) Cannot("several BYSETPOS values");
    const int position = r.by_set_pos[0];
    if (position < -1 || position > 4 || position == 0)
      Cannot("BYSETPOS=" + std::to_string(position) + " (only 1 to 4 and -1 are n-th weekday forms)");
    n = position == -1 ? 5 : position;
  }
  d.patternType = blob::kPatternMonthNth;
  d.weekdayMask = WeekdayMask(r, days);
  d.weekNumber = static_cast<DWORD>(n);
  d.dayOfMonth = 0;
  if (NthDay(start.year, start.month, d.weekdayMask, n) != start.day) Cannot("DTSTART is not on the rule's weekday");
}

// The rule as the recurrence value describes it (frequency, pattern, period).
void Describe(const icalrecurrencetype& r, const icaltimetype& start, RecurrenceDescription& d) {
  if (r.freq == ICAL_SECONDLY_RECURRENCE || r.freq == ICAL_MINUTELY_RECURRENCE || r.freq == ICAL_HOURLY_RECURRENCE)
    Cannot("a rule more often than daily");
  if (r.freq == ICAL_NO_RECURRENCE) Cannot("a rule without a frequency");
  if (Count(r.by_second, ICAL_BY_SECOND_SIZE) || Count(r.by_minute, ICAL_BY_MINUTE_SIZE) ||
      Count(r.by_hour, ICAL_BY_HOUR_SIZE))
    Cannot("BYHOUR, BYMINUTE or BYSECOND (several times of day)");
  if (Count(r.by_year_day, ICAL_BY_YEARDAY_SIZE)) Cannot("BYYEARDAY");
  if (Count(r.by_week_no, ICAL_BY_WEEKNO_SIZE)) Cannot("BYWEEKNO");
  const int interval = r.interval > 0 ? r.interval : 1;
  if (interval > 99) Cannot("an interval above 99");
  const int days = Count(r.by_day, ICAL_BY_DAY_SIZE), months = Count(r.by_month, ICAL_BY_MONTH_SIZE);
  const bool dayParts = Count(r.by_month_day, ICAL_BY_MONTHDAY_SIZE) || Count(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  const DWORD startBit = 1u << WeekdayOf(start);
  d.firstDOW = static_cast<DWORD>(r.week_start) >= 1 ? static_cast<DWORD>(r.week_start) - 1 : 1;
  switch (r.freq) {
    case ICAL_DAILY_RECURRENCE:
      if (months || dayParts) Cannot("a daily rule limited by month or day of the month");
      if (days == 0) {
        d.frequency = RecurrenceKind::Daily;
        d.patternType = blob::kPatternDay;
        d.period = static_cast<DWORD>(interval * kDay);
        return;
      }
      if (interval != 1) Cannot("a rule every " + std::to_string(interval) + " days limited to weekdays");
      for (int i = 0; i < days; ++i)
        if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("a daily rule with positioned weekdays");
      d.weekdayMask = WeekdayMask(r, days);
      if (!(d.weekdayMask & startBit)) Cannot("DTSTART is not on one of the rule's weekdays");
      d.frequency = d.weekdayMask == 0x3E ? RecurrenceKind::Daily : RecurrenceKind::Weekly;
      d.patternType = blob::kPatternWeek;
      d.period = 1;
      return;
    case ICAL_WEEKLY_RECURRENCE:
      if (months || dayParts) Cannot("a weekly rule limited by month or day of the month");
      for (int i = 0; i < days; ++i)
        if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("a weekly rule with positioned weekdays");
      d.frequency = RecurrenceKind::Weekly;
      d.patternType = blob::kPatternWeek;
      d.period = static_cast<DWORD>(interval);
      d.weekdayMask = days > 0 ? WeekdayMask(r, days) : startBit;
      if (!(d.weekdayMask & startBit)) Cannot("DTSTART is not on one of the rule's weekdays");
      return;
    case ICAL_MONTHLY_RECURRENCE:
      if (months) Cannot("a monthly rule limited to some months");
      d.frequency = RecurrenceKind::Monthly;
      d.period = static_cast<DWORD>(interval);
      MonthDay(r, start, false, d);
      return;
    case ICAL_YEARLY_RECURRENCE:
      if (months > 1) Cannot("several BYMONTH values");
      if (months == 1 && icalrecurrencetype_month_month(r.by_month[0]) != start.month)
        Cannot("BYMONTH other than the month of DTSTART");
      d.frequency = RecurrenceKind::Yearly;
      d.period = static_cast<DWORD>(12 * interval);
      MonthDay(r, start, true, d);
      return;
    default:
      Cannot("an unknown frequency");
  }
}

// How the series ends: its count and the day of its last occurrence, from
// libical's own walk of the rule.
void Ending(const icalrecurrencetype& r, const icaltimetype& start, const Frame& frame, int line,
            RecurrenceDescription& d) {
  if (r.count <= 0 && icaltime_is_null_time(r.until)) {
    d.end = RecurrenceEnd::Never;
    return;
  }
  std::unique_ptr<icalrecur_iterator, void (*)(icalrecur_iterator*)> walk(icalrecur_iterator_new(r, start),
                                                                           icalrecur_iterator_free);
  if (!walk) Cannot("libical cannot walk the rule");
  DWORD n = 0;
  icaltimetype last = start;
  for (icaltimetype t = icalrecur_iterator_next(walk.get()); !icaltime_is_null_time(t);
       t = icalrecur_iterator_next(walk.get())) {
    if (t.year > start.year + 200 || ++n > 999999) Cannot("a series running more than 200 years");
    last = t;
  }
  if (n == 0) Cannot("a rule whose end comes before its first occurrence");
  const long long lastLocal = LocalMinutes(last, frame, line);
  d.end = r.count > 0 ? RecurrenceEnd::AfterCount : RecurrenceEnd::ByDate;
  d.occurrenceCount = n;
  d.endDate = static_cast<DWORD>(lastLocal - lastLocal % kDay);
}

// ---- events -----------------------------------------------------------------------------------

struct Event {
  icalcomponent* component;
  icalcomponent* calendar;
  const EventLines* lines;
};

std::string Uid(icalcomponent* e) {
  const char* uid = icalcomponent_get_uid(e);
  return uid != nullptr ? uid : "";
}

class Reader {
 public:
  Reader(IcsCalendar& out) : out_(out) {}

  void Read(const std::vector<Event>& events) {
    std::map<std::string, std::vector<const Event*>> overrides;
    std::map<std::string, bool> masters;
    for (const Event& e : events) {
      if (Has(e.component, ICAL_RECURRENCEID_PROPERTY))
        overrides[Uid(e.component)].push_back(&e);
      else
        masters[Uid(e.component)] = true;
    }
    for (const Event& e : events) {
      const bool isOverride = Has(e.component, ICAL_RECURRENCEID_PROPERTY);
      // A changed occurrence whose series is not in the file stands alone.
      if (isOverride && masters.count(Uid(e.component))) continue;
      const auto found = overrides.find(Uid(e.component));
      static const std::vector<const Event*> none;
      ReadEvent(e, isOverride ? none : (found != overrides.end() ? found->second : none));
    }
  }

 private:
  void ReadEvent(const Event& e, const std::vector<const Event*>& changes) {
    const std::string summary = Text(e.component, ICAL_SUMMARY_PROPERTY);
    try {
      if (!Has(e.component, ICAL_DTSTART_PROPERTY)) Cannot("it has no DTSTART");
      const Times t = TimesOf(e.component, e.calendar, *e.lines, nullptr);
      memstore::Appointment a;
      // A mail item always has both, if only empty.
      a.subject = wstr::FromUtf8(summary);
      a.location = wstr::FromUtf8(Text(e.component, ICAL_LOCATION_PROPERTY));
      a.start = UtcOf(t.start, t.frame);
      a.end = UtcOf(t.end, t.frame);
      a.busyStatus = BusyOf(e.component);
      a.isPrivate = PrivateOf(e.component);
      // Floating times and dates are the machine's; the appointment carries
      // its zone, as a mail client gives every appointment one.
      a.zone = t.frame.kind != Frame::Machine ? t.frame.blob : MachineZoneStruct();
      std::string origin = "UID " + Uid(e.component);
      if (Has(e.component, ICAL_RDATE_PROPERTY)) Cannot("RDATE (occurrences on extra dates)");
      if (Has(e.component, ICAL_EXRULE_PROPERTY)) Cannot("EXRULE");
      icalproperty* rrule = icalcomponent_get_first_property(e.component, ICAL_RRULE_PROPERTY);
      a.recurring = rrule != nullptr;
      if (rrule != nullptr) {
        if (icalcomponent_get_next_property(e.component, ICAL_RRULE_PROPERTY) != nullptr) Cannot("several RRULEs");
        const icalrecurrencetype r = icalproperty_get_rrule(rrule);
        a.recurrence = Series(e, r, t, changes);
        origin += "; RRULE:" + std::string(icalproperty_get_value_as_string(rrule));
      } else if (!changes.empty()) {
        Cannot("changed occurrences (RECURRENCE-ID) of an event that does not repeat");
      }
      out_.appointments.push_back(std::move(a));
      out_.origins.push_back(origin);
    } catch (const Unsupported& u) {
      out_.leftOut.push_back(IcsLeftOut{e.lines->begin, summary, u.reason});
    }
  }

  RecurrenceDescription Series(const Event& e, const icalrecurrencetype& r, const Times& t,
                               const std::vector<const Event*>& changes) {
    RecurrenceDescription d;
    Describe(r, t.start, d);
    d.startDate = static_cast<DWORD>(t.startLocal - t.startLocal % kDay);
    d.startTimeOffset = static_cast<DWORD>(t.startLocal % kDay);
    d.duration = static_cast<DWORD>(t.endLocal - t.startLocal);
    Ending(r, t.start, t.frame, e.lines->Line("RRULE"), d);
    for (icalproperty* p = icalcomponent_get_first_property(e.component, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(e.component, ICAL_EXDATE_PROPERTY)) {
      const int line = e.lines->Line("EXDATE");
      const long long local = LocalMinutes(TimeOf(p, icalproperty_get_exdate(p), e.calendar, line, "EXDATE"), t.frame, line);
      d.deletedDates.push_back(static_cast<DWORD>(local - local % kDay));
    }
    const LONG busy = BusyOf(e.component);
    const std::string subject = Text(e.component, ICAL_SUMMARY_PROPERTY);
    const std::string location = Text(e.component, ICAL_LOCATION_PROPERTY);
    for (const Event* c : changes) {
      icalproperty* id = icalcomponent_get_first_property(c->component, ICAL_RECURRENCEID_PROPERTY);
      if (icalparameter* range = icalproperty_get_first_parameter(id, ICAL_RANGE_PARAMETER))
        if (icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE)
          Cannot("a change to this and all later occurrences (RANGE=THISANDFUTURE, line " +
                 std::to_string(c->lines->Line("RECURRENCE-ID")) + ")");
      const int line = c->lines->Line("RECURRENCE-ID");
      const long long original =
          LocalMinutes(TimeOf(id, icalproperty_get_recurrenceid(id), c->calendar, line, "RECURRENCE-ID"), t.frame, line);
      if (icalcomponent_get_status(c->component) == ICAL_STATUS_CANCELLED) {
        d.deletedDates.push_back(static_cast<DWORD>(original - original % kDay));
        continue;
      }
      ModifiedOccurrence o;
      o.originalStart = static_cast<DWORD>(original);
      if (Has(c->component, ICAL_DTSTART_PROPERTY)) {
        const Times own = TimesOf(c->component, c->calendar, *c->lines, &t.frame);
        o.newStart = static_cast<DWORD>(own.startLocal);
        o.newEnd = static_cast<DWORD>(own.endLocal);
      } else {
        o.newStart = o.originalStart;
        o.newEnd = o.newStart + d.duration;
      }
      const std::string s = Text(c->component, ICAL_SUMMARY_PROPERTY), l = Text(c->component, ICAL_LOCATION_PROPERTY);
      if (s != subject) o.subject = wstr::FromUtf8(s);
      if (l != location) o.location = wstr::FromUtf8(l);
      const LONG b = BusyOf(c->component);
      if (b != busy) o.busyStatus = static_cast<DWORD>(b);
      d.modified.push_back(std::move(o));
    }
    return d;
  }

  IcsCalendar& out_;
};

// libical keeps a value it cannot read as an X-LIC-ERROR property of the
// component; one about a property the reading relies on is the file's error.
void CheckValues(const Event& e) {
  static const char* const used[] = {"DTSTART", "DTEND", "DURATION", "RRULE", "EXDATE", "RECURRENCE-ID", "RDATE"};
  for (icalproperty* p = icalcomponent_get_first_property(e.component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(e.component, ICAL_XLICERROR_PROPERTY)) {
    const std::string text = icalproperty_get_xlicerror(p) != nullptr ? icalproperty_get_xlicerror(p) : "";
    for (const char* name : used)
      if (text.find(name) != std::string::npos)
        Fail(e.lines->Line(name), std::string(name) + ": the value cannot be read (" + text + ")");
  }
}

}  // namespace

bool ReadICalendar(std::string_view text, const std::string& fileName, IcsCalendar& calendar, std::string& error) {
  calendar = IcsCalendar{};
  error.clear();
  try {
    const Outline outline = Lines(text);
    std::unique_ptr<icalcomponent, void (*)(icalcomponent*)> root(icalparser_parse_string(std::string(text).c_str()),
                                                                   icalcomponent_free);
    if (!root) Fail(1, "libical cannot read the file");
    std::vector<icalcomponent*> calendars;
    if (icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT) {
      calendars.push_back(root.get());
    } else {
      for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_VCALENDAR_COMPONENT); c != nullptr;
           c = icalcomponent_get_next_component(root.get(), ICAL_VCALENDAR_COMPONENT))
        calendars.push_back(c);
    }
    std::vector<Event> events;
    for (icalcomponent* cal : calendars)
      for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e != nullptr;
           e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        if (events.size() >= outline.events.size()) Fail(1, "libical finds more events than the file's lines hold");
        events.push_back(Event{e, cal, &outline.events[events.size()]});
      }
    for (const Event& e : events) CheckValues(e);
    Reader(calendar).Read(events);
    return true;
  } catch (const Failure& f) {
    calendar = IcsCalendar{};
    error = fileName + ":" + std::to_string(f.line) + ": " + f.message;
    return false;
  }
}

}  // namespace host
