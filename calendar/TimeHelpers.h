// Instants as the calendar evaluation handles them: FILETIME, SYSTEMTIME and
// whole seconds since 1601-01-01 00:00 UTC, plus small calendar helpers.
#pragma once

#include "platform/wstr.h"

// FILETIME count / 10,000,000, truncating toward zero.
LONGLONG SecondsFromFileTime(const FILETIME& ft);
FILETIME FileTimeFromSeconds(LONGLONG seconds);
// The seconds of a SYSTEMTIME. An invalid date (which the platform refuses to
// convert) gives 0, the first instant of 1601: the value is never read from
// an unset FILETIME.
LONGLONG SecondsFromSystemTime(const SYSTEMTIME& st);
// Minutes since 1601 (the unit of dates inside the recurrence blob): an
// unsigned 32-by-32-bit multiplication by 600,000,000.
FILETIME FileTimeFromMinutes(DWORD minutes);

// The log text of an instant: "hh:mm:ss" on the 12-hour clock without a
// marker, a blank, then the locale's short date. Empty when either part
// cannot be formatted (year 0, for instance).
class TimeText {
 public:
  explicit TimeText(const FILETIME& ft);
  explicit TimeText(LONGLONG seconds);
  explicit TimeText(const SYSTEMTIME* st);

  const WCHAR* Format(LCID locale = LOCALE_SYSTEM_DEFAULT);

 private:
  SYSTEMTIME m_time{};
  WString m_text;
};

// Moves the value to the given weekday (0 Sunday to 6 Saturday) of its week,
// keeping the time of day; returns the shift in days (-6 to +6). An invalid
// date is left as it is and gives 0.
int AdjustDay(SYSTEMTIME& st, int weekday);

// Days of the month; a month above 12 counts as December, 0 as January.
int DaysInMonth(int year, int month);

// Moves wDay to the n-th (1 to 5, 5 = last) occurrence in its month of the
// weekday that wDayOfWeek holds on entry. Only wDay changes.
void SetNthWeekday(SYSTEMTIME& st, int n);

// Weekday (0 Sunday) of the UTC day holding the given seconds.
int WeekdayOfSeconds(LONGLONG seconds);
