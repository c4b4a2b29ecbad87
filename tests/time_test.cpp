// The calendar time services (plat::TimeService), the machine-zone
// substitutes and MultiByteToWideChar. The same tests run natively against
// our Linux implementation and under Wine against kernel32.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/services.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

using namespace testing_support;

namespace {

std::string Text(const SYSTEMTIME& st) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u.%03u w%u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
  return buffer;
}

// "YYYY-MM-DD HH:MM:SS.mmm wD", or "failed <error>".
std::string Breakdown(ULONGLONG ticks) {
  const FILETIME ft = FileTime(ticks);
  SYSTEMTIME st{};
  if (!plat::Time().FileTimeToSystemTime(&ft, &st)) return "failed " + std::to_string(plat::Errors().GetLastError());
  return Text(st);
}

std::string ToLocal(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& utc) {
  SYSTEMTIME local{};
  if (!plat::Time().SystemTimeToTzSpecificLocalTime(zone, &utc, &local))
    return "failed " + std::to_string(plat::Errors().GetLastError());
  return Text(local);
}

std::string ToUtc(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& local) {
  SYSTEMTIME utc{};
  if (!plat::Time().TzSpecificLocalTimeToSystemTime(zone, &local, &utc))
    return "failed " + std::to_string(plat::Errors().GetLastError());
  return Text(utc);
}

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr ULONGLONG kTicksPerDay = 86400ULL * kTicksPerSecond;

// Zones as Windows describes them.
const TIME_ZONE_INFORMATION kEastern = Zone(300, -60, Rule(3, 0, 2, 2), Rule(11, 0, 1, 2));
const TIME_ZONE_INFORMATION kCentralEurope = Zone(-60, -60, Rule(3, 0, 5, 2), Rule(10, 0, 5, 3));
const TIME_ZONE_INFORMATION kSydney = Zone(-600, -60, Rule(10, 0, 1, 2), Rule(4, 0, 1, 3));
const TIME_ZONE_INFORMATION kIndia = ZoneWithoutDst(-330);

}  // namespace

// ---- FILETIME <-> SYSTEMTIME -------------------------------------------------

TEST(FileTimes, BreakDownTheEpochAndKnownInstants) {
  EXPECT_EQ("1601-01-01 00:00:00.000 w1", Breakdown(0));
  EXPECT_EQ("1601-01-01 00:00:00.001 w1", Breakdown(10000));
  EXPECT_EQ("1601-01-01 00:00:00.000 w1", Breakdown(9999));  // below a millisecond
  EXPECT_EQ("2010-06-14 12:00:00.000 w1", Breakdown(12920990400ULL * kTicksPerSecond));
  EXPECT_EQ("1970-01-01 00:00:01.000 w4", Breakdown(116444736000000000ULL + kTicksPerSecond));
}

TEST(FileTimes, LeapDaysFollowTheGregorianRules) {
  const auto dayAfter = [](WORD y, WORD m, WORD d) {
    return Breakdown(Ticks(FileTimeOf(SysTime(y, m, d, 12))) + kTicksPerDay);
  };
  EXPECT_EQ("1900-03-01 12:00:00.000 w4", dayAfter(1900, 2, 28));  // 1900 is not a leap year
  EXPECT_EQ("2000-02-29 12:00:00.000 w2", dayAfter(2000, 2, 28));  // 2000 is
  EXPECT_EQ("2004-02-29 12:00:00.000 w0", dayAfter(2004, 2, 28));
  EXPECT_EQ("2100-03-01 12:00:00.000 w1", dayAfter(2100, 2, 28));
  EXPECT_EQ("1604-02-29 12:00:00.000 w0", dayAfter(1604, 2, 28));
  EXPECT_EQ("2001-01-01 12:00:00.000 w1", dayAfter(2000, 12, 31));  // day 366 of 2000
}

TEST(FileTimes, TheLastRepresentableInstantAndBeyond) {
  EXPECT_EQ("30828-09-14 02:48:05.477 w4", Breakdown(0x7FFFFFFFFFFFFFFFULL));
  // Values with the top bit set fail and leave the output as it was.
  for (ULONGLONG t : {0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    const FILETIME ft = FileTime(t);
    SYSTEMTIME st;
    std::memset(&st, 0x55, sizeof st);
    plat::Errors().SetLastError(0);
    EXPECT_FALSE(plat::Time().FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::Errors().GetLastError());
    EXPECT_EQ(0x5555, st.wYear);
    EXPECT_EQ(0x5555, st.wMilliseconds);
  }
}

TEST(FileTimes, RoundTripAcrossTheWholeRange) {
  // Steps of a prime number of milliseconds from 1601 to 30828.
  const ULONGLONG step = 1000003ULL * 1009ULL * 10000ULL;
  int checked = 0;
  for (ULONGLONG t = 0; t < 0x7FFFFFFFFFFFFFFFULL - step; t += step, ++checked) {
    const ULONGLONG ms = t - t % 10000;
    const FILETIME ft = FileTime(ms);
    SYSTEMTIME st{};
    ASSERT_TRUE(plat::Time().FileTimeToSystemTime(&ft, &st)) << ms;
    FILETIME back{};
    if (st.wYear > 30827) break;
    ASSERT_TRUE(plat::Time().SystemTimeToFileTime(&st, &back)) << Text(st);
    ASSERT_EQ(ms, Ticks(back)) << Text(st);
  }
  EXPECT_GT(checked, 900);
}

TEST(FileTimes, TheYearLimitsOfSystemTimeToFileTime) {
  EXPECT_EQ(0u, Ticks(FileTimeOf(SysTime(1601, 1, 1))));
  const SYSTEMTIME last = SysTime(30827, 12, 31, 23, 59, 59, 999);
  FILETIME ft{1, 2};
  EXPECT_TRUE(plat::Time().SystemTimeToFileTime(&last, &ft));
  EXPECT_EQ("30827-12-31 23:59:59.999 w5", Breakdown(Ticks(ft)));
}

TEST(FileTimes, WeekdayIsIgnoredOnTheWayIn) {
  SYSTEMTIME st = SysTime(2010, 6, 14, 9, 30);
  const ULONGLONG monday = Ticks(FileTimeOf(st));
  for (WORD dow : {0, 3, 6, 7, 100}) {
    st.wDayOfWeek = dow;
    EXPECT_EQ(monday, Ticks(FileTimeOf(st))) << dow;
  }
}

TEST(FileTimes, InvalidDatesFailAndLeaveTheOutputUntouched) {
  const SYSTEMTIME invalid[] = {
      SysTime(2010, 0, 1),         SysTime(2010, 13, 1),         SysTime(2010, 1, 0),
      SysTime(2010, 1, 32),        SysTime(2010, 4, 31),         SysTime(2010, 2, 30),
      SysTime(2000, 2, 30),        SysTime(2010, 1, 1, 24),      SysTime(2010, 1, 1, 0, 60),
      SysTime(2010, 1, 1, 0, 0, 60), SysTime(2010, 1, 1, 0, 0, 0, 1000), SysTime(1600, 12, 31, 23, 59, 59, 999),
      SysTime(0, 1, 1),            SysTime(60000, 1, 1),
  };
  for (const SYSTEMTIME& st : invalid) {
    FILETIME ft{0x11111111, 0x22222222};
    plat::Errors().SetLastError(0);
    EXPECT_FALSE(plat::Time().SystemTimeToFileTime(&st, &ft)) << Text(st);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::Errors().GetLastError()) << Text(st);
    EXPECT_EQ(0x11111111u, ft.dwLowDateTime) << Text(st);
    EXPECT_EQ(0x22222222u, ft.dwHighDateTime) << Text(st);
  }
}

TEST(FileTimes, WindowsRejectsFebruary29OfCommonYearsAndYearsAfter30827) {
  if (RunningUnderWine())
    GTEST_SKIP() << "Wine 8 accepts February 29 of any year and years above 30827 (Windows does not)";
  for (const SYSTEMTIME& st :
       {SysTime(2001, 2, 29), SysTime(1900, 2, 29), SysTime(2100, 2, 29), SysTime(30828, 1, 1)}) {
    FILETIME ft{7, 7};
    EXPECT_FALSE(plat::Time().SystemTimeToFileTime(&st, &ft)) << Text(st);
    EXPECT_EQ(7u, ft.dwLowDateTime);
  }
}

TEST(FileTimes, SystemTimeComesFromTheSubstitutedClock) {
  FakeNow now(SysTime(2010, 6, 14, 12, 0, 5, 250));
  SYSTEMTIME st{};
  plat::Time().GetSystemTime(&st);
  EXPECT_EQ("2010-06-14 12:00:05.250 w1", Text(st));
  FILETIME ft{};
  plat::Clock().GetSystemTimeAsFileTime(&ft);
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2010, 6, 14, 12, 0, 5, 250))), Ticks(ft));
  now.Advance(1000);
  plat::Time().GetSystemTime(&st);
  EXPECT_EQ("2010-06-14 12:00:06.250 w1", Text(st));
}

// ---- zone rules -----------------------------------------------------------------

TEST(ZoneRules, EasternTimeAroundBothChanges) {
  // 2010: daylight time from Sunday 14 March 02:00 EST to Sunday 7 November 02:00 EDT.
  EXPECT_EQ("2010-03-14 01:59:59.999 w0", ToLocal(&kEastern, SysTime(2010, 3, 14, 6, 59, 59, 999)));
  EXPECT_EQ("2010-03-14 03:00:00.000 w0", ToLocal(&kEastern, SysTime(2010, 3, 14, 7)));
  EXPECT_EQ("2010-11-07 01:59:59.000 w0", ToLocal(&kEastern, SysTime(2010, 11, 7, 5, 59, 59)));
  EXPECT_EQ("2010-11-07 01:00:00.000 w0", ToLocal(&kEastern, SysTime(2010, 11, 7, 6)));
  EXPECT_EQ("2010-07-01 08:00:00.000 w4", ToLocal(&kEastern, SysTime(2010, 7, 1, 12)));
  EXPECT_EQ("2010-01-01 07:00:00.000 w5", ToLocal(&kEastern, SysTime(2010, 1, 1, 12)));
}

TEST(ZoneRules, TheSkippedAndTheRepeatedLocalHour) {
  // Local times from the change on count as daylight time, so the skipped
  // hour maps like daylight time...
  EXPECT_EQ("2010-03-14 06:59:59.000 w0", ToUtc(&kEastern, SysTime(2010, 3, 14, 1, 59, 59)));
  EXPECT_EQ("2010-03-14 06:00:00.000 w0", ToUtc(&kEastern, SysTime(2010, 3, 14, 2)));
  EXPECT_EQ("2010-03-14 06:30:00.000 w0", ToUtc(&kEastern, SysTime(2010, 3, 14, 2, 30)));
  EXPECT_EQ("2010-03-14 07:00:00.000 w0", ToUtc(&kEastern, SysTime(2010, 3, 14, 3)));
  // ...and the repeated hour is taken as its first, daylight, pass.
  EXPECT_EQ("2010-11-07 05:00:00.000 w0", ToUtc(&kEastern, SysTime(2010, 11, 7, 1)));
  EXPECT_EQ("2010-11-07 05:59:59.999 w0", ToUtc(&kEastern, SysTime(2010, 11, 7, 1, 59, 59, 999)));
  EXPECT_EQ("2010-11-07 07:00:00.000 w0", ToUtc(&kEastern, SysTime(2010, 11, 7, 2)));
}

TEST(ZoneRules, LastSundayOfTheMonth) {
  // Central Europe 2010: 28 March 02:00 CET and 31 October 03:00 CEST, both 01:00 UTC.
  EXPECT_EQ("2010-03-28 01:59:59.000 w0", ToLocal(&kCentralEurope, SysTime(2010, 3, 28, 0, 59, 59)));
  EXPECT_EQ("2010-03-28 03:00:00.000 w0", ToLocal(&kCentralEurope, SysTime(2010, 3, 28, 1)));
  EXPECT_EQ("2010-10-31 02:59:59.000 w0", ToLocal(&kCentralEurope, SysTime(2010, 10, 31, 0, 59, 59)));
  EXPECT_EQ("2010-10-31 02:00:00.000 w0", ToLocal(&kCentralEurope, SysTime(2010, 10, 31, 1)));
  // 2012: the last Sunday of March is the 25th, of October the 28th.
  EXPECT_EQ("2012-03-25 03:00:00.000 w0", ToLocal(&kCentralEurope, SysTime(2012, 3, 25, 1)));
  EXPECT_EQ("2012-10-28 02:00:00.000 w0", ToLocal(&kCentralEurope, SysTime(2012, 10, 28, 1)));
}

TEST(ZoneRules, WeekFiveInAFourWeekMonthIsTheLast) {
  // Daylight time from the last Sunday of February 02:00 to the last
  // Saturday of October 23:00.
  const TIME_ZONE_INFORMATION zone = Zone(0, -60, Rule(2, 0, 5, 2), Rule(10, 6, 5, 23));
  // February 2015 has four Sundays (1, 8, 15, 22); February 2004 five (up to the 29th).
  EXPECT_EQ("2015-02-22 01:59:59.000 w0", ToLocal(&zone, SysTime(2015, 2, 22, 1, 59, 59)));
  EXPECT_EQ("2015-02-22 03:00:00.000 w0", ToLocal(&zone, SysTime(2015, 2, 22, 2)));
  EXPECT_EQ("2015-02-15 02:00:00.000 w0", ToLocal(&zone, SysTime(2015, 2, 15, 2)));
  EXPECT_EQ("2004-02-22 02:00:00.000 w0", ToLocal(&zone, SysTime(2004, 2, 22, 2)));
  EXPECT_EQ("2004-02-29 03:00:00.000 w0", ToLocal(&zone, SysTime(2004, 2, 29, 2)));
  // Last Saturday of October 2015 is the 31st: 23:00 daylight is 22:00 UTC.
  EXPECT_EQ("2015-10-31 22:59:59.000 w6", ToLocal(&zone, SysTime(2015, 10, 31, 21, 59, 59)));
  EXPECT_EQ("2015-10-31 22:00:00.000 w6", ToLocal(&zone, SysTime(2015, 10, 31, 22)));
}

TEST(ZoneRules, SouthernHemisphereDaylightSpansTheNewYear) {
  // Sydney: daylight time ends Sunday 4 April 2010 03:00 AEDT (16:00 UTC the
  // day before) and starts Sunday 3 October 2010 02:00 AEST (16:00 UTC).
  EXPECT_EQ("2010-01-15 23:00:00.000 w5", ToLocal(&kSydney, SysTime(2010, 1, 15, 12)));  // summer
  EXPECT_EQ("2010-07-15 22:00:00.000 w4", ToLocal(&kSydney, SysTime(2010, 7, 15, 12)));  // winter
  EXPECT_EQ("2010-04-04 02:59:59.000 w0", ToLocal(&kSydney, SysTime(2010, 4, 3, 15, 59, 59)));
  EXPECT_EQ("2010-04-04 02:00:00.000 w0", ToLocal(&kSydney, SysTime(2010, 4, 3, 16)));
  EXPECT_EQ("2010-10-03 01:59:59.000 w0", ToLocal(&kSydney, SysTime(2010, 10, 2, 15, 59, 59)));
  EXPECT_EQ("2010-10-03 03:00:00.000 w0", ToLocal(&kSydney, SysTime(2010, 10, 2, 16)));
  // Across the new year, on daylight time.
  EXPECT_EQ("2011-01-01 00:30:00.000 w6", ToLocal(&kSydney, SysTime(2010, 12, 31, 13, 30)));
  EXPECT_EQ("2010-12-31 13:30:00.000 w5", ToUtc(&kSydney, SysTime(2011, 1, 1, 0, 30)));
  // Local to UTC around the end: the repeated hour 02:00-02:59 is daylight time.
  EXPECT_EQ("2010-04-03 15:30:00.000 w6", ToUtc(&kSydney, SysTime(2010, 4, 4, 2, 30)));
  EXPECT_EQ("2010-04-03 17:00:00.000 w6", ToUtc(&kSydney, SysTime(2010, 4, 4, 3)));
}

TEST(ZoneRules, MidnightChangesMoveTheDate) {
  // Daylight time ends on the third Sunday of February at 00:00 daylight
  // time, which is Saturday 23:00 standard time.
  const TIME_ZONE_INFORMATION zone = Zone(180, -60, Rule(10, 0, 3, 0), Rule(2, 0, 3, 0));
  // 2010-02-21 00:00 -02:00 is 02:00 UTC.
  EXPECT_EQ("2010-02-20 23:59:59.000 w6", ToLocal(&zone, SysTime(2010, 2, 21, 1, 59, 59)));
  EXPECT_EQ("2010-02-20 23:00:00.000 w6", ToLocal(&zone, SysTime(2010, 2, 21, 2)));
}

TEST(ZoneRules, AnEndOfYearChangeInAZeroBiasZone) {
  // Windows and Wine agree on this one from Wine's own tests.
  const TIME_ZONE_INFORMATION zone = Zone(0, -60, Rule(4, 0, 1, 2), Rule(10, 0, 5, 2));
  EXPECT_EQ("2012-12-31 23:01:00.000 w1", ToLocal(&zone, SysTime(2012, 12, 31, 23, 1)));
}

TEST(ZoneRules, WithoutDaylightSavingOnlyTheBiasApplies) {
  EXPECT_EQ("2010-06-14 17:30:00.000 w1", ToLocal(&kIndia, SysTime(2010, 6, 14, 12)));
  EXPECT_EQ("2010-06-14 06:30:00.000 w1", ToUtc(&kIndia, SysTime(2010, 6, 14, 12)));
  // StandardBias does not count when there is no daylight saving.
  TIME_ZONE_INFORMATION zone = kIndia;
  zone.StandardBias = -123;
  zone.DaylightBias = 456;
  EXPECT_EQ("2010-06-14 17:30:00.000 w1", ToLocal(&zone, SysTime(2010, 6, 14, 12)));
  // With daylight saving it does.
  TIME_ZONE_INFORMATION eastern = kEastern;
  eastern.StandardBias = 15;
  EXPECT_EQ("2010-01-01 06:45:00.000 w5", ToLocal(&eastern, SysTime(2010, 1, 1, 12)));
}

TEST(ZoneRules, UnreadableZonesAndInvalidTimesFail) {
  const TIME_ZONE_INFORMATION noStandardDate = Zone(300, -60, Rule(3, 0, 2, 2), SYSTEMTIME{});
  const TIME_ZONE_INFORMATION weekZero = Zone(300, -60, Rule(3, 0, 0, 2), Rule(11, 0, 1, 2));
  const TIME_ZONE_INFORMATION weekSix = Zone(300, -60, Rule(3, 0, 2, 2), Rule(11, 0, 6, 2));
  for (const TIME_ZONE_INFORMATION* zone : {&noStandardDate, &weekZero, &weekSix}) {
    SYSTEMTIME out;
    std::memset(&out, 0x55, sizeof out);
    const SYSTEMTIME in = SysTime(2010, 6, 14, 12);
    plat::Errors().SetLastError(0);
    EXPECT_FALSE(plat::Time().SystemTimeToTzSpecificLocalTime(zone, &in, &out));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::Errors().GetLastError());
    EXPECT_FALSE(plat::Time().TzSpecificLocalTimeToSystemTime(zone, &in, &out));
    EXPECT_EQ(0x5555, out.wYear);
  }
  EXPECT_EQ("failed 87", ToLocal(&kEastern, SysTime(2010, 2, 30, 12)));
  EXPECT_EQ("failed 87", ToUtc(&kEastern, SysTime(2010, 1, 1, 24)));
  // Before 1601 in local time.
  EXPECT_EQ("failed 87", ToLocal(&kEastern, SysTime(1601, 1, 1, 4, 59)));
  EXPECT_EQ("1601-01-01 00:00:00.000 w1", ToLocal(&kEastern, SysTime(1601, 1, 1, 5)));
  EXPECT_EQ("failed 87", ToUtc(&kSydney, SysTime(1601, 1, 1, 10, 59)));
}

// ---- the machine's zone and its substitutes ----------------------------------------

TEST(MachineZone, AFakeZoneIsTheMachineZone) {
  FakeZone zone(kSydney, TIME_ZONE_ID_DAYLIGHT);
  TIME_ZONE_INFORMATION info{};
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), plat::Time().GetTimeZoneInformation(&info));
  EXPECT_EQ(-600, info.Bias);
  EXPECT_EQ(10, info.DaylightDate.wMonth);
  EXPECT_EQ("2010-01-15 23:00:00.000 w5", ToLocal(nullptr, SysTime(2010, 1, 15, 12)));
  EXPECT_EQ("2010-07-15 02:00:00.000 w4", ToUtc(nullptr, SysTime(2010, 7, 15, 12)));
  // A zone that is given still wins.
  EXPECT_EQ("2010-01-15 07:00:00.000 w5", ToLocal(&kEastern, SysTime(2010, 1, 15, 12)));
}

TEST(MachineZone, LocalTimeIsTheFakeNowInTheFakeZone) {
  FakeNow now(SysTime(2010, 3, 14, 6, 59, 59, 640));
  FakeZone zone(kEastern, TIME_ZONE_ID_STANDARD);
  SYSTEMTIME local{};
  plat::Clock().GetLocalTime(&local);
  EXPECT_EQ("2010-03-14 01:59:59.640 w0", Text(local));
  now.Advance(360);
  plat::Clock().GetLocalTime(&local);
  EXPECT_EQ("2010-03-14 03:00:00.000 w0", Text(local));
  SYSTEMTIME utc{};
  plat::Time().GetSystemTime(&utc);
  EXPECT_EQ("2010-03-14 07:00:00.000 w0", Text(utc));
}

TEST(MachineZone, SubstitutesStackInEitherOrder) {
  FakeZone zone(kIndia, TIME_ZONE_ID_UNKNOWN);
  FakeNow now(SysTime(2010, 6, 14, 12));
  SYSTEMTIME local{};
  plat::Clock().GetLocalTime(&local);
  EXPECT_EQ("2010-06-14 17:30:00.000 w1", Text(local));
  TIME_ZONE_INFORMATION info{};
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN), plat::Time().GetTimeZoneInformation(&info));
  EXPECT_EQ(-330, info.Bias);
}

TEST(MachineZone, TheRealZoneIsReadable) {
  TIME_ZONE_INFORMATION info{};
  const DWORD state = plat::Time().GetTimeZoneInformation(&info);
  EXPECT_TRUE(state == TIME_ZONE_ID_UNKNOWN || state == TIME_ZONE_ID_STANDARD || state == TIME_ZONE_ID_DAYLIGHT)
      << state;
  EXPECT_EQ(0, info.StandardBias);
  // Local time is UTC minus the bias of the current state.
  SYSTEMTIME utc{}, local{};
  plat::Time().GetSystemTime(&utc);
  ASSERT_TRUE(plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  const LONG bias = info.Bias + (state == TIME_ZONE_ID_DAYLIGHT ? info.DaylightBias : 0);
  const LONGLONG minutes = (static_cast<LONGLONG>(Ticks(FileTimeOf(utc))) -
                            static_cast<LONGLONG>(Ticks(FileTimeOf(local)))) / 600000000LL;
  EXPECT_EQ(bias, minutes);
}

TEST(SystemShortDate, FormatsTheSystemDateWithThePicture) {
  SystemShortDate picture(WSTR("dd/MM/yyyy"));
  const SYSTEMTIME date = SysTime(2010, 6, 14, 14, 5, 9);
  WCHAR buffer[260] = {};
  ASSERT_GT(plat::Locale().GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &date, nullptr, buffer, 260), 0);
  EXPECT_EQ("14/06/2010", U8(buffer));
  ASSERT_GT(plat::Locale().GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &date, WSTR("yyyy-MM-dd"), buffer, 260), 0);
  EXPECT_EQ("2010-06-14", U8(buffer));
  ASSERT_GT(plat::Locale().GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &date, WSTR("hh':'mm':'ss"), buffer, 260), 0);
  EXPECT_EQ("02:05:09", U8(buffer));
}

// ---- MultiByteToWideChar ----------------------------------------------------------

TEST(MultiByteToWideChar, CountsConvertsAndTerminates) {
  for (UINT cp : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_THREAD_ACP)}) {
    EXPECT_EQ(4, plat::Locale().MultiByteToWideChar(cp, 0, "abc", -1, nullptr, 0)) << cp;
    EXPECT_EQ(3, plat::Locale().MultiByteToWideChar(cp, 0, "abc", 3, nullptr, 0)) << cp;
    WCHAR out[8];
    for (auto& c : out) c = 0x2222;
    EXPECT_EQ(4, plat::Locale().MultiByteToWideChar(cp, 0, "abc", -1, out, 8)) << cp;
    EXPECT_EQ("abc", U8(out));
    EXPECT_EQ(0x2222, out[4]);
    EXPECT_EQ(2, plat::Locale().MultiByteToWideChar(cp, 0, "xyz", 2, out, 8)) << cp;
    EXPECT_EQ('y', out[1]);
    EXPECT_EQ('c', out[2]);  // no terminator without one in the input
  }
}

TEST(MultiByteToWideChar, Utf8AcrossPlanes) {
  const char* text = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € 😀
  WCHAR out[8] = {};
  ASSERT_EQ(5, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 8));
  EXPECT_EQ(0x00E9, out[0]);
  EXPECT_EQ(0x20AC, out[1]);
  EXPECT_EQ(0xD83D, out[2]);
  EXPECT_EQ(0xDE00, out[3]);
  EXPECT_EQ(0, out[4]);
  EXPECT_EQ(4, plat::Locale().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, 9, nullptr, 0));
}

TEST(MultiByteToWideChar, MalformedBytesBecomeReplacementCharacters) {
  WCHAR out[8] = {};
  ASSERT_EQ(3, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, "a\xFFz", 3, out, 8));
  EXPECT_EQ(0xFFFD, out[1]);
  ASSERT_EQ(2, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, "a\xE2\x82", 3, out, 8));  // a cut sequence is one
  EXPECT_EQ(0xFFFD, out[1]);
  ASSERT_EQ(3, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, "a\xE2\x82z", 4, out, 8));
  EXPECT_EQ('z', out[2]);
  plat::Errors().SetLastError(0);
  EXPECT_EQ(0, plat::Locale().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFFz", 3, out, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), plat::Errors().GetLastError());
}

TEST(MultiByteToWideChar, ABufferTooSmallFails) {
  WCHAR out[8];
  plat::Errors().SetLastError(0);
  EXPECT_EQ(0, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), plat::Errors().GetLastError());
  plat::Errors().SetLastError(0);
  EXPECT_EQ(0, plat::Locale().MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9\xC3\xA9", 4, out, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), plat::Errors().GetLastError());
}

TEST(MultiByteToWideChar, InvalidArguments) {
  WCHAR out[8];
  const auto fails = [](UINT cp, LPCSTR text, int bytes, LPWSTR o, int size) {
    plat::Errors().SetLastError(0);
    return plat::Locale().MultiByteToWideChar(cp, 0, text, bytes, o, size) == 0 &&
           plat::Errors().GetLastError() == ERROR_INVALID_PARAMETER;
  };
  EXPECT_TRUE(fails(CP_UTF8, nullptr, -1, out, 8));
  EXPECT_TRUE(fails(CP_UTF8, "abc", 0, out, 8));
  EXPECT_TRUE(fails(CP_UTF8, "abc", -1, out, -1));
  EXPECT_TRUE(fails(CP_UTF8, "abc", -1, nullptr, 8));
  EXPECT_TRUE(fails(12345, "abc", -1, out, 8));
  plat::Errors().SetLastError(0);
  EXPECT_EQ(0, plat::Locale().MultiByteToWideChar(CP_UTF8, 0x10, "abc", -1, out, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), plat::Errors().GetLastError());
}
