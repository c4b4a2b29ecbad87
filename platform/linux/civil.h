// Proleptic Gregorian calendar arithmetic for the Linux time services: day
// counts since 1601-01-01 (the FILETIME epoch) and back, weekdays and month
// lengths. Day counts may be negative; all divisions round toward minus
// infinity.
#pragma once

#include <cstdint>

namespace plat::civil {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kTicksPerSecond = 10000000;  // FILETIME units
constexpr std::int64_t kTicksPerMinute = 60 * kTicksPerSecond;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134774;

constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}
constexpr std::int64_t FloorMod(std::int64_t a, std::int64_t b) { return a - FloorDiv(a, b) * b; }

constexpr bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int DaysInMonth(std::int64_t y, int m) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days since 1601-01-01 of a date (month 1..12, day 1..31).
constexpr std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  // Counts in eras of 400 years starting on 1 March, so the leap day is last.
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = FloorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;                                   // [0, 399]
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;  // [0, 365]
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;          // [0, 146096]
  return era * 146097 + doe - 719468 + kDays1601To1970;  // 719468: 0000-03-01 to 1970-01-01
}

struct Date {
  std::int64_t year;
  int month;
  int day;
};

constexpr Date CivilFromDays(std::int64_t days) {
  const std::int64_t z = days - kDays1601To1970 + 719468;
  const std::int64_t era = FloorDiv(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return Date{yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

// 0 = Sunday. 1601-01-01 was a Monday.
constexpr int WeekdayFromDays(std::int64_t days) { return static_cast<int>(FloorMod(days + 1, 7)); }

static_assert(DaysFromCivil(1601, 1, 1) == 0);
static_assert(DaysFromCivil(1970, 1, 1) == kDays1601To1970);
static_assert(CivilFromDays(kDays1601To1970).year == 1970);
static_assert(WeekdayFromDays(DaysFromCivil(2010, 6, 14)) == 1);  // a Monday

}  // namespace plat::civil
