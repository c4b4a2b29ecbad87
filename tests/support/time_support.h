// Substitutes for the calendar time services that work the same on both
// targets, and small builders for times and zones.
//
// Each substitute installs itself for its own lifetime and passes everything
// it does not override on to the service that was installed before it, so
// they combine: a FakeNow and a FakeZone together give a fixed "now" in a
// fixed machine zone (destroy them in reverse order of creation, as scopes do).
#pragma once

#include "platform/services.h"
#include "platform/wstr.h"

namespace testing_support {

// ---- builders ----------------------------------------------------------------

SYSTEMTIME SysTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                WORD milliseconds = 0);
// A transition rule: the week-th (5 = last) weekday (0 = Sunday) of month at
// hour:minute on the clock in force before the change (wYear 0).
SYSTEMTIME Rule(WORD month, WORD weekday, WORD week, WORD hour, WORD minute = 0);
// A zone; names are set to "Test Standard Time" / "Test Daylight Time".
TIME_ZONE_INFORMATION Zone(LONG bias, LONG daylightBias, const SYSTEMTIME& daylightDate,
                           const SYSTEMTIME& standardDate, LONG standardBias = 0);
// A zone without daylight saving (DaylightDate.wMonth 0, DaylightBias -60).
TIME_ZONE_INFORMATION ZoneWithoutDst(LONG bias);

ULONGLONG Ticks(const FILETIME& ft);
FILETIME FileTime(ULONGLONG ticks);
// SystemTimeToFileTime through the platform; the time must be valid.
FILETIME FileTimeOf(const SYSTEMTIME& st);

// ---- substitutes ---------------------------------------------------------------

// A fixed "now", in UTC: ClockService::GetSystemTimeAsFileTime and
// TimeService::GetSystemTime give it, and ClockService::GetLocalTime gives it
// in the machine's zone (SystemTimeToTzSpecificLocalTime with no zone, so a
// FakeZone applies).
class FakeNow {
 public:
  explicit FakeNow(const SYSTEMTIME& utc);
  explicit FakeNow(const FILETIME& utc);
  ~FakeNow();
  FakeNow(const FakeNow&) = delete;
  FakeNow& operator=(const FakeNow&) = delete;

  void Set(const SYSTEMTIME& utc);
  void Set(const FILETIME& utc) { now_ = utc; }
  // Moves the clock on (or back) by a number of milliseconds.
  void Advance(LONGLONG milliseconds);
  FILETIME Now() const { return now_; }

 private:
  class ClockPart;
  class TimePart;
  FILETIME now_{};
  ClockPart* clock_;
  TimePart* time_;
};

// A fixed machine zone with its state: GetTimeZoneInformation gives them,
// and the two zone conversions use the zone where they are given none.
class FakeZone : public plat::TimeService {
 public:
  FakeZone(const TIME_ZONE_INFORMATION& zone, DWORD state);
  ~FakeZone() override;
  FakeZone(const FakeZone&) = delete;
  FakeZone& operator=(const FakeZone&) = delete;

  void GetSystemTime(LPSYSTEMTIME st) override;
  BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) override;
  BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) override;
  BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                       LPSYSTEMTIME local) override;
  BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                       LPSYSTEMTIME utc) override;
  DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) override;

  TIME_ZONE_INFORMATION zone;
  DWORD state;

 private:
  plat::TimeService* next_;
};

// The system locale's short date picture: GetDateFormatW with
// LOCALE_SYSTEM_DEFAULT and no picture formats with the given one (such as
// "dd/MM/yyyy"); everything else goes on unchanged.
class SystemShortDate : public plat::LocaleService {
 public:
  explicit SystemShortDate(const WCHAR* picture);
  ~SystemShortDate() override;
  SystemShortDate(const SystemShortDate&) = delete;
  SystemShortDate& operator=(const SystemShortDate&) = delete;

  int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                     int size) override;
  int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR out,
                     int size) override;
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size) override;

 private:
  WString picture_;
  plat::LocaleService* next_;
};

// True when the Windows build runs under Wine (for the few places where Wine
// is known to differ from Windows).
bool RunningUnderWine();

}  // namespace testing_support
