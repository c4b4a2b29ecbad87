// The machine's time zone on Linux, from the system's time zone database,
// described the way Windows describes a zone (TIME_ZONE_INFORMATION).
//
// Where the zone comes from, as the C library does it:
//   - TZ unset: /etc/localtime;
//   - TZ empty: UTC;
//   - TZ ":NAME": the TZif file NAME (absolute, or under $TZDIR, by default
//     /usr/share/zoneinfo);
//   - TZ "NAME": that file if there is one, else NAME read as a POSIX TZ
//     string ("EST5EDT,M3.2.0,M11.1.0");
//   - anything that cannot be read: UTC.
//
// From a TZif file the rule of a given year comes from the footer TZ string
// (version 2 and later) when it describes that year, that is when the file
// has no explicit transitions in or after it or its explicit transitions of
// that year are the ones the footer gives; otherwise from the year's own
// transitions (the first change into and the first change out of daylight
// time), and without such a pair the zone has no daylight saving that year
// and the local time type in force at the end of the year gives the bias.
//
// How a year's rule becomes TIME_ZONE_INFORMATION:
//   - Bias is minus the standard offset in minutes, StandardBias 0, and
//     DaylightBias minus the daylight saving (usually -60; -30 for Lord Howe).
//   - DaylightDate and StandardDate are "n-th weekday of the month, 5 = last"
//     rules (wYear 0) with the local time of the change on the clock that is
//     in force before it, as Windows stores them. A POSIX rule Mm.w.d whose
//     time lies within the day is taken over as it is. Any other rule (Jn, n,
//     a time outside 0:00..23:59:59 such as Israel's "M3.4.4/26" or Chile's
//     "M9.1.6/24", or a date derived from explicit transitions) is resolved
//     for the year and written as the weekday and week of the resulting day
//     (week 5 when the rule asked for the last week, or for a derived date in
//     the last seven days of its month): exact for that year, which is the
//     year the zone is asked for.
//   - Negative daylight saving (tzdata's Europe/Dublin, where winter time is
//     the "daylight" time) is turned around so that DaylightBias is negative,
//     as on Windows; all-year daylight time becomes a zone without daylight
//     saving whose Bias is the daylight offset.
//   - A zone without daylight saving has DaylightDate.wMonth 0 and, as the
//     zones of Windows have, a DaylightBias of -60 that nothing uses.
//   - Names: Windows' zone names ("Eastern Standard Time") are not available,
//     so StandardName and DaylightName are tzdata's abbreviations ("EST",
//     "EDT"; "+0530" for "<+0530>"); a zone without daylight saving has its
//     standard abbreviation in both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace plat::tzfile {

struct LocalType {
  std::int32_t utoff = 0;  // seconds east of UTC
  bool isdst = false;
  std::string abbr;
};

struct Tzif {
  std::vector<std::int64_t> times;  // transitions, seconds since 1970-01-01 UTC, ascending
  std::vector<std::uint8_t> types;  // the local type each transition leads to
  std::vector<LocalType> localTypes;
  std::string footer;  // the TZ string of a version 2+ file, "" when absent
};

// Parses TZif data of versions 1 to 4 (RFC 8536); false for anything
// malformed. Leap second records are skipped.
bool ParseTzif(std::string_view bytes, Tzif& out);

// A POSIX TZ rule date: Jn (1..365, February 29 never counted), n (0..365),
// or Mm.w.d (week 5 = last), with the local time of the change in seconds.
struct PosixDate {
  enum Kind { kJulian1, kJulian0, kMonthWeekDay };
  Kind kind = kMonthWeekDay;
  int day = 0;
  int month = 0, week = 0, weekday = 0;
  std::int32_t time = 2 * 3600;
};

struct PosixTz {
  std::string stdName, dstName;
  std::int32_t stdOffset = 0;  // seconds east of UTC (the TZ string's sign turned around)
  std::int32_t dstOffset = 0;
  bool hasDst = false;
  PosixDate start, end;  // daylight time starts (on the standard clock) and ends (on the daylight clock)
};

// Parses a POSIX TZ string (with the version 3 extension of hours up to
// 167). A daylight zone without rules gets the US rules M3.2.0,M11.1.0.
bool ParsePosixTz(std::string_view text, PosixTz& out);

void ZoneFromPosix(const PosixTz& tz, int year, TIME_ZONE_INFORMATION& out);
void ZoneFromTzif(const Tzif& tz, int year, TIME_ZONE_INFORMATION& out);

// A zone as read from the database: a TZif file or, failing that, a POSIX string.
struct SystemZone {
  bool isTzif = false;
  Tzif tzif;
  PosixTz posix;
};

// Reads the zone that a TZ value names (nullptr: TZ unset).
SystemZone LoadSystemZone(const char* tzValue);
void ZoneForYear(const SystemZone& zone, int year, TIME_ZONE_INFORMATION& out);

// The machine's zone for a year: LoadSystemZone(getenv("TZ")) and
// ZoneForYear, cached per TZ value and year (the files are read once per TZ
// value for the life of the process).
void MachineZone(int year, TIME_ZONE_INFORMATION& out);

}  // namespace plat::tzfile
