// iCalendar times and zones: where a time is, in UTC and on the wall clock,
// and a file's zone in the form an appointment carries.
#include <ctime>

#include "host/IcsInternal.h"
#include "platform/services.h"

namespace host::ics {

namespace {

constexpr long long kUnixEpochSeconds = 11644473600LL;  // 1601 to 1970

FILETIME FileTimeOfUnix(time_t t) {
  const unsigned long long ticks =
      static_cast<unsigned long long>(static_cast<long long>(t) + kUnixEpochSeconds) * 10000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

void Fail(int line, const std::string& message) { throw Failure{line, message}; }
void Cannot(const std::string& reason) { throw Unsupported{reason}; }

int DaysIn(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

int WeekdayOf(const icaltimetype& t) { return icaltime_day_of_week(t) - 1; }

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


}  // namespace host::ics
