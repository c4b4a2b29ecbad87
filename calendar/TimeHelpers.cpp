#include "calendar/TimeHelpers.h"

#include "platform/services.h"
#include "platform/wformat.h"

namespace {

constexpr LONGLONG kTicksPerSecond = 10000000;
constexpr LONGLONG kSecondsPerDay = 86400;

ULONGLONG Ticks(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG t) {
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// The true weekday of the value's date, or -1 when it is not a valid date.
int TrueWeekday(const SYSTEMTIME& st) {
  FILETIME ft;
  SYSTEMTIME copy;
  if (!plat::Time().SystemTimeToFileTime(&st, &ft) || !plat::Time().FileTimeToSystemTime(&ft, &copy)) return -1;
  return copy.wDayOfWeek;
}

}  // namespace

LONGLONG SecondsFromFileTime(const FILETIME& ft) {
  return static_cast<LONGLONG>(Ticks(ft)) / kTicksPerSecond;
}

FILETIME FileTimeFromSeconds(LONGLONG seconds) {
  return FromTicks(static_cast<ULONGLONG>(seconds * kTicksPerSecond));
}

LONGLONG SecondsFromSystemTime(const SYSTEMTIME& st) {
  FILETIME ft{0, 0};
  plat::Time().SystemTimeToFileTime(&st, &ft);
  return SecondsFromFileTime(ft);
}

FILETIME FileTimeFromMinutes(DWORD minutes) {
  return FromTicks(static_cast<ULONGLONG>(minutes) * 600000000ULL);
}

int WeekdayOfSeconds(LONGLONG seconds) {
  // 1601-01-01 was a Monday.
  LONGLONG days = seconds / kSecondsPerDay;
  if (seconds < 0 && seconds % kSecondsPerDay != 0) --days;
  return static_cast<int>(((days + 1) % 7 + 7) % 7);
}

TimeText::TimeText(const FILETIME& ft) { plat::Time().FileTimeToSystemTime(&ft, &m_time); }

TimeText::TimeText(LONGLONG seconds) {
  if (seconds == 0) return;
  const FILETIME ft = FileTimeFromSeconds(seconds);
  plat::Time().FileTimeToSystemTime(&ft, &m_time);
}

TimeText::TimeText(const SYSTEMTIME* st) {
  if (st != nullptr) m_time = *st;
}

const WCHAR* TimeText::Format(LCID locale) {
  WCHAR time[MAX_PATH];
  WCHAR date[MAX_PATH];
  if (plat::Locale().GetTimeFormatW(locale, 0, &m_time, WSTR("hh':'mm':'ss"), time, MAX_PATH) != 0 &&
      plat::Locale().GetDateFormatW(locale, 0, &m_time, nullptr, date, MAX_PATH) != 0) {
    m_text = wfmt::String(WSTR("%s %s"), time, date);
  }
  return m_text.c_str();
}

int AdjustDay(SYSTEMTIME& st, int weekday) {
  FILETIME ft;
  if (!plat::Time().SystemTimeToFileTime(&st, &ft)) return 0;
  const int shift = weekday - st.wDayOfWeek;
  const FILETIME moved = FileTimeFromSeconds(SecondsFromFileTime(ft) + shift * kSecondsPerDay);
  plat::Time().FileTimeToSystemTime(&moved, &st);
  return shift;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month > 12) month = 12;
  if (month < 1) month = 1;
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

void SetNthWeekday(SYSTEMTIME& st, int n) {
  const int trueWeekday = TrueWeekday(st);
  if (trueWeekday < 0) return;  // not a date: nothing to move
  int d = st.wDay + (st.wDayOfWeek - trueWeekday);
  // When the kept weekday falls before the 1st, its first occurrence in the
  // month is a week later; counting from there keeps "n-th" meaning n-th.
  if (d <= 0) d += 7;
  int w = 1;
  for (int rest = d; rest > 7; rest -= 7) ++w;
  d += 7 * (n - w);
  if (d > DaysInMonth(st.wYear, st.wMonth)) d -= 7;
  st.wDay = static_cast<WORD>(d);
}
