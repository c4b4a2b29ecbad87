// The walk over the occurrences of a recurring series.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

#include "calendar/CalendarLog.h"
#include "calendar/Recurrence.h"
#include "calendar/TimeHelpers.h"
#include "platform/services.h"

namespace {

constexpr WORD kDaily = 0x200A;
constexpr WORD kWeekly = 0x200B;
constexpr WORD kMonthly = 0x200C;
constexpr WORD kYearly = 0x200D;
constexpr DWORD kNeverEnds = 0x2023;
constexpr LONGLONG kDay = 86400;
constexpr LONGLONG kNoLimit = std::numeric_limits<LONGLONG>::max();
// With logging on, occurrences are walked one by one (each writes its lines)
// up to this many; a longer walk goes on in strides.
constexpr LONGLONG kLiteralBudget = 1000000;

LONGLONG FloorDiv(LONGLONG a, LONGLONG b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The UTC days of the deleted and modified occurrences. A candidate whose UTC
// day lies farther from every listed day than the zone's largest offset
// cannot be one of them, so IsDeletedOrModified need not be asked.
class ExceptionDays {
 public:
  ExceptionDays(const RecurrencePattern& P, const TIME_ZONE_INFORMATION& zone) {
    for (const auto* dates : {&P.DeletedInstanceDates, &P.ModifiedInstanceDates})
      if (*dates)
        for (DWORD minutes : **dates) days_.push_back(minutes / 1440);
    std::sort(days_.begin(), days_.end());
    const LONGLONG offset = std::llabs(zone.Bias) + std::max(std::llabs(zone.StandardBias), std::llabs(zone.DaylightBias));
    reach_ = (offset + 1439) / 1440;
  }
  bool Near(LONGLONG seconds) const { return NextNear(seconds) <= seconds; }
  // The first instant at or after `from` whose UTC day is within reach of a
  // listed day.
  LONGLONG NextNear(LONGLONG from) const {
    const LONGLONG day = FloorDiv(from, kDay);
    const auto it = std::lower_bound(days_.begin(), days_.end(), day - reach_);
    if (it == days_.end()) return kNoLimit;
    const LONGLONG first = (*it - reach_) * kDay;
    return first <= from ? from : first;
  }

 private:
  std::vector<LONGLONG> days_;
  LONGLONG reach_ = 0;
};

SYSTEMTIME ToSystemTime(const FILETIME& ft) {
  SYSTEMTIME st{};
  plat::Time().FileTimeToSystemTime(&ft, &st);
  return st;
}

// A month or year walker's day may not exist in the month it lands on (the
// 31st, the 29th of February); it then counts as the month's last day.
LONGLONG WalkerSeconds(const SYSTEMTIME& walker) {
  SYSTEMTIME clamped = walker;
  const int last = DaysInMonth(clamped.wYear, clamped.wMonth);
  if (clamped.wDay > last) clamped.wDay = static_cast<WORD>(last);
  return SecondsFromSystemTime(clamped);
}

// Steps between the months (or years) from the one before the first start to
// now, walking back from now. Entry i leads to the i-th period after the
// first start's.
std::vector<LONGLONG> BuildStepTable(LONGLONG count, SYSTEMTIME walker, LONGLONG nowSeconds, int n, bool years) {
  std::vector<LONGLONG> table(static_cast<size_t>(count));
  LONGLONG prev = nowSeconds;
  for (LONGLONG i = count - 1; i >= 0; --i) {
    if (years) {
      --walker.wYear;
    } else if (walker.wMonth == 1) {
      walker.wMonth = 12;
      --walker.wYear;
    } else {
      --walker.wMonth;
    }
    if (n != 0) {
      // The day carried over from a longer month may not exist in this one
      // (31 June); SetNthWeekday needs a real date to find the weekday from.
      walker.wDay = static_cast<WORD>(std::min<int>(walker.wDay, DaysInMonth(walker.wYear, walker.wMonth)));
      SetNthWeekday(walker, n);
    }
    const LONGLONG s = WalkerSeconds(walker);
    table[static_cast<size_t>(i)] = prev - s;
    prev = s;
  }
  return table;
}

void ToZone(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& utc, SYSTEMTIME& local) {
  plat::Time().SystemTimeToTzSpecificLocalTime(zone, &utc, &local);
}

}  // namespace

LONGLONG AdjustForOccurred(const AppointmentRecurrencePattern& R, const FILETIME& firstStart, const FILETIME& now,
                           MeetingEntry& E, BYTE& skip) {
  const RecurrencePattern& P = R.Pattern;
  const TIME_ZONE_INFORMATION* zoneRef = E.meetingTimeZone;
  // An appointment without a zone of its own is evaluated in the machine's
  // zone: the conversions take a null zone as the machine's, and its biases
  // and rules stand in for the appointment's.
  TIME_ZONE_INFORMATION zone{};
  if (zoneRef != nullptr) {
    zone = *zoneRef;
  } else {
    plat::Time().GetTimeZoneInformation(&zone);
  }

  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(258): StartMeetingTime: %s"), TimeText(firstStart).Format());
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(259): AdjustForOccurred Entered - CurrentTime: %s"),
          TimeText(now).Format());
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(270): Recurrence StartDate: %s"),
          TimeText(FileTimeFromMinutes(P.StartDate)).Format());
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(271): AdjustForOccurred - Recurrence EndDate: %s"),
          TimeText(FileTimeFromMinutes(P.EndDate)).Format());

  const LONG savedDuration = E.duration;
  // Held wider than the pattern's signed 32-bit count: a never-ending series
  // starts from the largest 32-bit count, and a weekly series whose first
  // occurrence moves back to today's weekday subtracts a negative shift.
  LONGLONG remainingInstances = static_cast<LONG>(P.OccurrenceCount);
  skip = 0;
  const LONGLONG seriesStartSeconds = SecondsFromFileTime(firstStart);
  LONGLONG candidateSeconds = seriesStartSeconds;
  const LONGLONG nowSeconds = SecondsFromFileTime(now);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(281): Start time from seconds: %s"),
          TimeText(candidateSeconds).Format());
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(286): Original start time from seconds: %s"),
          TimeText(seriesStartSeconds).Format());
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(291): Current time from seconds: %s"),
          TimeText(nowSeconds).Format());
  if (P.EndType == kNeverEnds) remainingInstances = 2147483647;

  SYSTEMTIME nowUtc{};
  plat::Time().GetSystemTime(&nowUtc);
  SYSTEMTIME startUtc = ToSystemTime(firstStart);
  SYSTEMTIME startZone{};
  ToZone(zoneRef, startUtc, startZone);
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(307): Meeting start: %s"), TimeText(&startUtc).Format());
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(308): Meeting start in local time: %s"),
          TimeText(&startZone).Format());

  // Daylight saving: judged from the hours alone and from the transition
  // rules read as plain dates of the first start's year.
  const bool startsInStandardTime =
      std::llabs(60LL * (static_cast<int>(startZone.wHour) - static_cast<int>(startUtc.wHour))) == std::llabs(zone.Bias);
  TIME_ZONE_INFORMATION ofStartYear = zone;
  ofStartYear.DaylightDate.wYear = startUtc.wYear;
  ofStartYear.StandardDate.wYear = startUtc.wYear;
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(322): Meeting Day Light Start Month= %d"),
          static_cast<int>(ofStartYear.DaylightDate.wMonth));
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(323): Meeting Day Light Start Day= %d"),
          static_cast<int>(ofStartYear.DaylightDate.wDay));
  const LONGLONG daylightStart = SecondsFromSystemTime(ofStartYear.DaylightDate);
  const LONGLONG standardStart = SecondsFromSystemTime(ofStartYear.StandardDate);
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(328): Daylight Date: %s"), TimeText(daylightStart).Format());
  TIME_ZONE_INFORMATION machine{};
  const DWORD state = plat::Time().GetTimeZoneInformation(&machine);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(333): Local Machine Day Light Start Month= %d"),
          static_cast<int>(machine.DaylightDate.wMonth));
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(334): Local Machine Day Light Start Day= %d"),
          static_cast<int>(machine.DaylightDate.wDay));
  const bool inWindow = daylightStart <= seriesStartSeconds && seriesStartSeconds < standardStart;
  const LONGLONG daylightBias = zone.DaylightBias;
  LONGLONG dstAdjustment;
  if (state == TIME_ZONE_ID_DAYLIGHT) {
    dstAdjustment = (startsInStandardTime || !inWindow) ? 60 * daylightBias : 0;
  } else {
    dstAdjustment = (!startsInStandardTime || inWindow) ? -60 * daylightBias : 0;
  }

  SYSTEMTIME startZone2{};
  if (!plat::Time().SystemTimeToTzSpecificLocalTime(zoneRef, &startUtc, &startZone2)) {
    CAL_LOG(LOG_ERROR,
            WSTR("Tessaro ERROR :: AdjustForOccurred(355): SystemTimeToTzSpecificLocalTime with original meeting timezone "
                 "failed - err= %ld"),
            static_cast<LONG>(plat::Errors().GetLastError()));
  }
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(357): meeting start in local time: %s"),
          TimeText(&startZone2).Format());
  SYSTEMTIME nowZone{};
  if (!plat::Time().SystemTimeToTzSpecificLocalTime(zoneRef, &nowUtc, &nowZone)) {
    CAL_LOG(LOG_ERROR, WSTR("Tessaro ERROR :: AdjustForOccurred(367): SystemTimeToTzSpecificLocalTime failed - err= %ld"),
            static_cast<LONG>(plat::Errors().GetLastError()));
  }
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(369): current time in local time: %s"),
          TimeText(&nowZone).Format());
  const int today = nowZone.wDayOfWeek;

  LONGLONG step = 0;                // daily and weekly rules
  std::vector<LONGLONG> stepTable;  // monthly and yearly rules
  LONGLONG extraDays = 0;
  const bool everyWeekday = P.RecurFrequency == kDaily && P.PatternType == 1;
  const DWORD mask = P.PatternTypeSpecific[0];
  const int n = static_cast<int>(P.PatternTypeSpecific[1] & 0xFFFF);
  const bool todayInMask = today >= 0 && today <= 6 && (mask & (1u << today)) != 0;

  switch (P.RecurFrequency) {
    case kDaily:
      if (everyWeekday) {
        if (today == 0 || today == 6) return skip = 1, 0;
        step = static_cast<LONGLONG>(P.Period) * kDay;
      } else {
        step = static_cast<LONGLONG>(P.Period) * 60;
      }
      break;
    case kWeekly: {
      bool meetingDay = false;
      for (int bit = 0; bit <= 6; ++bit) {
        if ((mask & (1u << bit)) == 0) continue;
        if (bit == today) {
          meetingDay = true;
        } else {
          ++extraDays;
        }
      }
      if (!meetingDay) {
        CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(459): Meeting doesn't occur on this day"));
        return skip = 1, 0;
      }
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(484): Meeting Local Start before AdjustDay, Day= %d"),
              static_cast<int>(startZone2.wDay));
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(485): Meeting Local Start before AdjustDay, Month= %d"),
              static_cast<int>(startZone2.wMonth));
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(486): Meeting Local Start before AdjustDay, Year= %d"),
              static_cast<int>(startZone2.wYear));
      if (!plat::Time().TzSpecificLocalTimeToSystemTime(zoneRef, &startZone2, &startUtc)) {
        CAL_LOG(LOG_ERROR, WSTR("Tessaro ERROR :: AdjustForOccurred(490): SystemTimeToTzSpecificLocalTime failed - err= %ld"),
                static_cast<LONG>(plat::Errors().GetLastError()));
      }
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(492): Meeting start: %s"), TimeText(&startUtc).Format());
      remainingInstances -= AdjustDay(startZone2, today);
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(494): Meeting Local Start after AdjustDay, Day= %d"),
              static_cast<int>(startZone2.wDay));
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(495): Meeting Local Start after AdjustDay, Month= %d"),
              static_cast<int>(startZone2.wMonth));
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(496): Meeting Local Start after AdjustDay, Year= %d"),
              static_cast<int>(startZone2.wYear));
      plat::Time().TzSpecificLocalTimeToSystemTime(zoneRef, &startZone2, &startUtc);
      CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(498): Meeting start after adjustment: %s"),
              TimeText(&startUtc).Format());
      candidateSeconds = SecondsFromSystemTime(startUtc);
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(500): Meeting start time in secnods: %ld"),
              static_cast<LONG>(candidateSeconds));
      step = static_cast<LONGLONG>(P.Period) * 604800;
      break;
    }
    case kMonthly:
    case kYearly: {
      const bool yearly = P.RecurFrequency == kYearly;
      if (n != 0 && !todayInMask) return skip = 1, 0;
      SYSTEMTIME walker = nowUtc;
      if (yearly && n != 0) SetNthWeekday(walker, n);
      startUtc = ToSystemTime(firstStart);
      remainingInstances = yearly ? nowUtc.wYear - startUtc.wYear + 1
                                  : 12LL * (nowUtc.wYear - startUtc.wYear) + nowUtc.wMonth - startUtc.wMonth + 1;
      if (remainingInstances <= 0) return 0;
      stepTable = BuildStepTable(remainingInstances, walker, nowSeconds, n, yearly);
      break;
    }
    default:
      return 0;
  }

  if (remainingInstances <= 0) return 0;
  const bool tableRule = !stepTable.empty();
  // An every-weekday rule whose step lands only on weekends never counts an
  // occurrence: nothing of it takes place.
  LONGLONG countedPerCycle = 1;
  const LONGLONG cycle = everyWeekday ? 7 : 1;
  if (everyWeekday) {
    countedPerCycle = 0;
    for (LONGLONG j = 0; j < 7; ++j) {
      const int wd = WeekdayOfSeconds(candidateSeconds + j * step);
      if (wd != 0 && wd != 6) ++countedPerCycle;
    }
    if (countedPerCycle == 0) return 0;
  }

  const ExceptionDays exceptionDays(P, zone);
  const bool logging = CalendarLog::Enabled(LOG_ERROR) || CalendarLog::Enabled(LOG_MAJOR) ||
                       CalendarLog::Enabled(LOG_INFO) || CalendarLog::Enabled(LOG_DETAIL);
  size_t passed = 0;  // occurrences over so far: the next table entry to use
  LONGLONG literalSteps = 0;

  for (;;) {
    // Occurrences that are over and lie away from every exception are passed
    // in strides: the walk one by one would reach the same state.
    if (!tableRule && step > 0 && (!logging || literalSteps >= kLiteralBudget)) {
      const LONGLONG duration = static_cast<DWORD>(savedDuration);
      const LONGLONG lastOverByTime =
          std::min(FloorDiv(nowSeconds - dstAdjustment - duration - candidateSeconds, step),
                   FloorDiv(nowSeconds - dstAdjustment - 1 - candidateSeconds, step));
      const LONGLONG nearStart = exceptionDays.NextNear(candidateSeconds);
      const LONGLONG lastAwayFromExceptions =
          nearStart == kNoLimit ? kNoLimit : FloorDiv(nearStart - candidateSeconds - 1, step);
      const LONGLONG steps = std::min(lastOverByTime, lastAwayFromExceptions) + 1;
      LONGLONG cycles = steps > 0 ? steps / cycle : 0;
      cycles = std::min(cycles, (remainingInstances - 1) / (countedPerCycle * (1 + extraDays)));
      if (cycles > 0) {
        candidateSeconds += cycles * cycle * step;
        remainingInstances -= cycles * countedPerCycle * (1 + extraDays);
        E.duration = savedDuration;
      }
    }
    ++literalSteps;

    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(673): AdjustForOccurred: Instance count= %ld"),
            static_cast<LONG>(remainingInstances));
    const LONGLONG base = candidateSeconds;
    CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(677): Save start time from seconds: %s"),
            TimeText(candidateSeconds).Format());

    if (everyWeekday && (WeekdayOfSeconds(candidateSeconds) == 0 || WeekdayOfSeconds(candidateSeconds) == 6)) {
      candidateSeconds = base + step;
      if (remainingInstances > 0) continue;
      return 0;
    }

    bool deleted = false;
    if (exceptionDays.Near(candidateSeconds)) {
      deleted = IsDeletedOrModified(R, candidateSeconds, E);
    } else {
      E.occurrenceOverridden = 0;  // as IsDeletedOrModified answers for a day it does not list
    }
    const LONGLONG adjustment = E.occurrenceOverridden ? 0 : dstAdjustment;
    const LONGLONG occStart = candidateSeconds + adjustment;
    CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(736): currTime: %s"), TimeText(nowSeconds).Format());

    if (occStart >= nowSeconds) {
      CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: AdjustForOccurred(739): Meeting did not start yet."));
      if (P.RecurFrequency == kWeekly) {
        CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(752): tmp1= 0x%lx"), static_cast<DWORD>(604800));
        CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(753): tmp2= 0x%lx"),
                static_cast<DWORD>(occStart - seriesStartSeconds));
      }
      skip = 0;
      return occStart - seriesStartSeconds;
    }
    if (occStart + static_cast<LONGLONG>(static_cast<DWORD>(E.duration)) > nowSeconds) {
      if (deleted) skip = 1;
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(766): Meeting in progress: %s"),
              TimeText(nowSeconds).Format());
      CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: AdjustForOccurred(773): Returning %ld"),
              static_cast<LONG>(occStart - seriesStartSeconds));
      return occStart - seriesStartSeconds;
    }

    // Over: the next occurrence follows from the rule's own date, not from a
    // modified occurrence's.
    E.duration = savedDuration;
    remainingInstances -= 1 + extraDays;
    LONGLONG next = step;
    if (tableRule) {
      ++passed;
      next = passed < stepTable.size() ? stepTable[passed] : 0;
    } else if (step <= 0) {
      return 0;  // the walk cannot advance: every later occurrence is this one, and over
    }
    candidateSeconds = base + next;
    if (remainingInstances <= 0) return 0;
  }
}
