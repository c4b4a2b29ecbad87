#include <gtest/gtest.h>

#include "calendar/TimeHelpers.h"
#include "platform/services.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

using testing_support::U8;

namespace {

SYSTEMTIME Date(WORD y, WORD m, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD dow = 0) {
  return SYSTEMTIME{y, m, dow, d, h, mi, s, 0};
}

}  // namespace

TEST(TimeHelpers, SecondsAndFileTimesConvertExactly) {
  FILETIME ft{};
  const SYSTEMTIME noon = Date(2010, 6, 14, 12);
  ASSERT_TRUE(plat::Time().SystemTimeToFileTime(&noon, &ft));
  EXPECT_EQ(12920990400LL, SecondsFromFileTime(ft));
  const FILETIME back = FileTimeFromSeconds(12920990400LL);
  EXPECT_EQ(ft.dwLowDateTime, back.dwLowDateTime);
  EXPECT_EQ(ft.dwHighDateTime, back.dwHighDateTime);
  EXPECT_EQ(12920990400LL, SecondsFromSystemTime(noon));
  // Blob minutes: 32 by 32 bits into 64, no overflow for the largest count.
  const FILETIME largest = FileTimeFromMinutes(0xFFFFFFFFu);
  EXPECT_EQ(0xFFFFFFFFULL * 600000000ULL,
            (static_cast<ULONGLONG>(largest.dwHighDateTime) << 32 | largest.dwLowDateTime));
  // An invalid date gives the first instant rather than an unset value.
  EXPECT_EQ(0, SecondsFromSystemTime(Date(2010, 2, 30)));
  EXPECT_EQ(0, SecondsFromSystemTime(Date(2010, 13, 1)));
}

TEST(TimeHelpers, TimeTextIsTwelveHourTimeThenShortDate) {
  testing_support::SystemShortDate locale(WSTR("dd/MM/yyyy"));
  const SYSTEMTIME afternoon = Date(2010, 6, 14, 14, 5, 9);
  EXPECT_EQ("02:05:09 14/06/2010", U8(TimeText(&afternoon).Format()));
  EXPECT_EQ("02:05:09 14/06/2010", U8(TimeText(SecondsFromSystemTime(afternoon)).Format()));
  FILETIME ft{};
  plat::Time().SystemTimeToFileTime(&afternoon, &ft);
  EXPECT_EQ("02:05:09 14/06/2010", U8(TimeText(ft).Format()));
  const SYSTEMTIME midnight = Date(2010, 6, 14, 0, 0, 0);
  EXPECT_EQ("12:00:00 14/06/2010", U8(TimeText(&midnight).Format()));
  // Zero seconds and no time at all have no date to show.
  EXPECT_EQ("", U8(TimeText(LONGLONG{0}).Format()));
  EXPECT_EQ("", U8(TimeText(static_cast<const SYSTEMTIME*>(nullptr)).Format()));
}

TEST(TimeHelpers, DaysInMonthFollowsTheGregorianLeapRule) {
  EXPECT_EQ(28, DaysInMonth(1900, 2));
  EXPECT_EQ(29, DaysInMonth(2000, 2));
  EXPECT_EQ(29, DaysInMonth(2012, 2));
  EXPECT_EQ(28, DaysInMonth(2010, 2));
  EXPECT_EQ(30, DaysInMonth(2010, 4));
  EXPECT_EQ(31, DaysInMonth(2010, 13));
  EXPECT_EQ(31, DaysInMonth(2010, 0));
}

TEST(TimeHelpers, AdjustDayMovesWithinTheWeekKeepingTheTime) {
  SYSTEMTIME wednesday = Date(2010, 6, 16, 9, 30, 0, 3);
  SYSTEMTIME st = wednesday;
  EXPECT_EQ(-2, AdjustDay(st, 1));
  EXPECT_EQ(14, st.wDay);
  EXPECT_EQ(1, st.wDayOfWeek);
  EXPECT_EQ(9, st.wHour);
  EXPECT_EQ(30, st.wMinute);
  st = wednesday;
  EXPECT_EQ(3, AdjustDay(st, 6));
  EXPECT_EQ(19, st.wDay);
  EXPECT_EQ(6, st.wDayOfWeek);
  // Across a month end.
  SYSTEMTIME friday = Date(2010, 4, 30, 8, 0, 0, 5);
  EXPECT_EQ(-5, AdjustDay(friday, 0));
  EXPECT_EQ(25, friday.wDay);
  // Not a date: left alone.
  SYSTEMTIME bad = Date(2010, 2, 30, 9, 0, 0, 2);
  EXPECT_EQ(0, AdjustDay(bad, 5));
  EXPECT_EQ(30, bad.wDay);
}

TEST(TimeHelpers, SetNthWeekdayKeepsTheWeekdayHeldOnEntry) {
  // 2010-05-15 is a Saturday; the value still says Tuesday.
  SYSTEMTIME st = Date(2010, 5, 15, 9, 0, 0, 2);
  SetNthWeekday(st, 2);
  EXPECT_EQ(11, st.wDay);  // the second Tuesday of May 2010
  EXPECT_EQ(2, st.wDayOfWeek);
  // Week 5 means the last: February 2010 has four Wednesdays.
  st = Date(2010, 2, 10, 0, 0, 0, 3);
  SetNthWeekday(st, 5);
  EXPECT_EQ(24, st.wDay);
  st = Date(2010, 3, 10, 0, 0, 0, 3);
  SetNthWeekday(st, 5);
  EXPECT_EQ(31, st.wDay);
  // The kept weekday falls before the 1st: 2010-05-01 is a Saturday and the
  // value holds Monday. The first Monday is the 3rd, the second the 10th.
  st = Date(2010, 5, 1, 0, 0, 0, 1);
  SetNthWeekday(st, 1);
  EXPECT_EQ(3, st.wDay);
  st = Date(2010, 5, 1, 0, 0, 0, 1);
  SetNthWeekday(st, 2);
  EXPECT_EQ(10, st.wDay);
  // Not a date: nothing moves.
  st = Date(2010, 2, 31, 0, 0, 0, 1);
  SetNthWeekday(st, 2);
  EXPECT_EQ(31, st.wDay);
}

TEST(TimeHelpers, WeekdayOfSecondsCountsFromAMonday) {
  EXPECT_EQ(1, WeekdayOfSeconds(0));  // 1601-01-01
  EXPECT_EQ(1, WeekdayOfSeconds(SecondsFromSystemTime(Date(2010, 6, 14, 23, 59, 59))));
  EXPECT_EQ(6, WeekdayOfSeconds(SecondsFromSystemTime(Date(2010, 6, 19))));
  EXPECT_EQ(0, WeekdayOfSeconds(-1));
}
