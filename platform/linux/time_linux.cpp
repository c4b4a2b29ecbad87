// Calendar time on Linux: FILETIME and SYSTEMTIME conversions, the zone
// conversions of a TIME_ZONE_INFORMATION, and the machine's zone from the
// system's time zone database (platform/linux/tzfile.h).
//
// The zone conversions follow Windows (and Wine, which the cross-check
// compares against, tests/zone_crosscheck.cpp):
//   - The year whose rules apply is the year of the instant's local standard
//     time without StandardBias (UTC minus Bias), or of the given local time.
//   - DaylightDate and StandardDate with wYear 0 are resolved in that year:
//     the wDay-th (5 = last) wDayOfWeek of wMonth, at wHour:wMinute:wSecond
//     on the clock in force before the change. A date with wYear other than 0
//     is the day wDay of wMonth at that time; its year is not looked at, so
//     the date applies in every year.
//   - Daylight time runs from the DaylightDate to the StandardDate; when
//     DaylightDate.wMonth is not below StandardDate.wMonth (southern
//     hemisphere) it runs over the new year.
//   - Local to UTC: local times from the DaylightDate on are daylight time
//     (the skipped hour counts as daylight time), and local times before the
//     StandardDate are daylight time too (the repeated hour is taken as its
//     first, daylight, pass).
//   - DaylightDate.wMonth 0: no daylight saving; only Bias applies (not
//     StandardBias). StandardDate.wMonth 0 with a daylight date, or a
//     relative date (wYear 0 in StandardDate) whose wDay, or whose
//     DaylightDate's wDay, is outside 1..5: ERROR_INVALID_PARAMETER.
#include <cstdint>

#include "platform/linux/civil.h"
#include "platform/linux/tzfile.h"
#include "platform/services.h"

namespace plat {

namespace {

using namespace civil;

constexpr std::uint64_t kSignBit = 1ULL << 63;

std::uint64_t Ticks(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(std::uint64_t t) {
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// FileTimeToSystemTime: false for values with the top bit set.
bool Breakdown(std::uint64_t t, SYSTEMTIME& st) {
  if (t & kSignBit) return false;
  const auto secs = static_cast<std::int64_t>(t / kTicksPerSecond);
  const std::int64_t days = secs / kSecondsPerDay;
  const std::int64_t sod = secs % kSecondsPerDay;
  const Date d = CivilFromDays(days);
  st.wYear = static_cast<WORD>(d.year);
  st.wMonth = static_cast<WORD>(d.month);
  st.wDayOfWeek = static_cast<WORD>(WeekdayFromDays(days));
  st.wDay = static_cast<WORD>(d.day);
  st.wHour = static_cast<WORD>(sod / 3600);
  st.wMinute = static_cast<WORD>(sod / 60 % 60);
  st.wSecond = static_cast<WORD>(sod % 60);
  st.wMilliseconds = static_cast<WORD>(t / 10000 % 1000);
  return true;
}

// SystemTimeToFileTime: false for an invalid date; wDayOfWeek is not read.
bool Compose(const SYSTEMTIME& st, std::uint64_t& t) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
      st.wMilliseconds > 999)
    return false;
  const std::int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
  const std::int64_t secs = days * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  t = static_cast<std::uint64_t>(secs) * kTicksPerSecond + st.wMilliseconds * 10000ULL;
  return true;
}

// An instant (local seconds since 1601, possibly negative) broken down for
// comparison with a transition rule.
struct Fields {
  std::int64_t year;
  int month, day, weekday;
  std::int64_t secondOfDay;
};

Fields FieldsOf(std::int64_t seconds) {
  const std::int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const Date d = CivilFromDays(days);
  return Fields{d.year, d.month, d.day, WeekdayFromDays(days), seconds - days * kSecondsPerDay};
}

// Below 0: the instant lies before the rule's change in the instant's year.
std::int64_t CompareToRule(const Fields& f, const SYSTEMTIME& rule) {
  if (f.month < rule.wMonth) return -1;
  if (f.month > rule.wMonth) return 1;
  std::int64_t day = rule.wDay;
  if (rule.wYear == 0) {
    // The first such weekday of the month, then the wDay-th; 5 means the last.
    const std::int64_t first = FloorMod(rule.wDayOfWeek - f.weekday + f.day - 1, 7) + 1;
    day = first + 7 * (rule.wDay - 1);
    if (day > DaysInMonth(f.year, f.month)) day -= 7;
  }
  const std::int64_t limit = day * kSecondsPerDay + rule.wHour * 3600 + rule.wMinute * 60 + rule.wSecond;
  return f.day * kSecondsPerDay + f.secondOfDay - limit;
}

// TIME_ZONE_ID_UNKNOWN (no daylight saving), _STANDARD or _DAYLIGHT for an
// instant given in ticks, UTC or local; TIME_ZONE_ID_INVALID for a zone
// whose rules cannot be read.
DWORD ZoneState(const TIME_ZONE_INFORMATION& z, std::int64_t ticks, bool isLocal) {
  const SYSTEMTIME& dst = z.DaylightDate;
  const SYSTEMTIME& standard = z.StandardDate;
  if (dst.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
  if (standard.wMonth == 0 ||
      (standard.wYear == 0 && (standard.wDay < 1 || standard.wDay > 5 || dst.wDay < 1 || dst.wDay > 5))) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  std::int64_t secs = FloorDiv(ticks, kTicksPerSecond);
  if (!isLocal) secs -= std::int64_t{z.Bias} * 60;
  const Fields base = FieldsOf(secs);
  const std::int64_t year = base.year;

  const Fields onDaylightClock = isLocal ? base : FieldsOf(secs - std::int64_t{z.DaylightBias} * 60);
  const bool beforeStandard = onDaylightClock.year == year ? CompareToRule(onDaylightClock, standard) < 0
                                                           : onDaylightClock.year < year;
  const Fields onStandardClock = isLocal ? base : FieldsOf(secs - std::int64_t{z.StandardBias} * 60);
  const bool afterDaylight = onStandardClock.year == year ? CompareToRule(onStandardClock, dst) >= 0
                                                          : onStandardClock.year > year;
  const bool daylight = dst.wMonth < standard.wMonth ? beforeStandard && afterDaylight  // northern hemisphere
                                                     : beforeStandard || afterDaylight;
  return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL ConvertWithZone(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* in, LPSYSTEMTIME out, bool toLocal) {
  TIME_ZONE_INFORMATION machine;
  if (zone == nullptr) {
    if (Time().GetTimeZoneInformation(&machine) == TIME_ZONE_ID_INVALID) return FALSE;
    zone = &machine;
  }
  std::uint64_t t = 0;
  if (in == nullptr || out == nullptr || !Compose(*in, t)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::int64_t bias = zone->Bias;
  switch (ZoneState(*zone, static_cast<std::int64_t>(t), !toLocal)) {
    case TIME_ZONE_ID_UNKNOWN: break;
    case TIME_ZONE_ID_STANDARD: bias += zone->StandardBias; break;
    case TIME_ZONE_ID_DAYLIGHT: bias += zone->DaylightBias; break;
    default: return FALSE;
  }
  const std::uint64_t delta = static_cast<std::uint64_t>(bias * kTicksPerMinute);
  t = toLocal ? t - delta : t + delta;
  SYSTEMTIME result;
  if (!Breakdown(t, result)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *out = result;
  return TRUE;
}

std::int64_t YearOfTicks(std::uint64_t t) {
  if (t & kSignBit) return 30828;
  return CivilFromDays(static_cast<std::int64_t>(t / kTicksPerSecond) / kSecondsPerDay).year;
}

}  // namespace

void TimeService::GetSystemTime(LPSYSTEMTIME st) {
  FILETIME ft;
  Clock().GetSystemTimeAsFileTime(&ft);
  if (!Breakdown(Ticks(ft), *st)) *st = SYSTEMTIME{};
}

BOOL TimeService::FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
  SYSTEMTIME result;
  if (ft == nullptr || st == nullptr || !Breakdown(Ticks(*ft), result)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *st = result;
  return TRUE;
}

BOOL TimeService::SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
  std::uint64_t t = 0;
  if (st == nullptr || ft == nullptr || !Compose(*st, t)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *ft = FromTicks(t);
  return TRUE;
}

BOOL TimeService::SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                                  LPSYSTEMTIME local) {
  return ConvertWithZone(zone, utc, local, true);
}

BOOL TimeService::TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                                  LPSYSTEMTIME utc) {
  return ConvertWithZone(zone, local, utc, false);
}

DWORD TimeService::GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) {
  if (zone == nullptr) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  FILETIME now;
  Clock().GetSystemTimeAsFileTime(&now);
  const std::uint64_t t = Ticks(now);
  // The rules of the local year (near the new year it can differ from UTC's).
  std::int64_t year = YearOfTicks(t);
  TIME_ZONE_INFORMATION info;
  tzfile::MachineZone(static_cast<int>(year), info);
  const std::int64_t localYear = YearOfTicks(t - static_cast<std::uint64_t>(std::int64_t{info.Bias} * kTicksPerMinute));
  if (localYear != year && localYear >= 1601 && localYear <= 30827) {
    year = localYear;
    tzfile::MachineZone(static_cast<int>(year), info);
  }
  *zone = info;
  const DWORD state = ZoneState(info, static_cast<std::int64_t>(t), false);
  return state == TIME_ZONE_ID_INVALID ? TIME_ZONE_ID_UNKNOWN : state;
}

}  // namespace plat
