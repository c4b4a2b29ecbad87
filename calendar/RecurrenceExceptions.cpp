// Deleted and modified occurrences of a recurring series.
#include <limits>
#include <memory>

#include "calendar/CalendarLog.h"
#include "calendar/Recurrence.h"
#include "calendar/TimeHelpers.h"
#include "platform/services.h"

namespace {

SYSTEMTIME FromMinutes(DWORD minutes) {
  SYSTEMTIME st{};
  const FILETIME ft = FileTimeFromMinutes(minutes);
  plat::Time().FileTimeToSystemTime(&ft, &st);
  return st;
}

// The number of a calendar day since 1601-01-01, or -1 when the value is not
// a date. A blob date lies on the day minutes / 1440, so comparing day
// numbers compares year, month and day.
LONGLONG DayNumber(const SYSTEMTIME& st) {
  SYSTEMTIME midnight{st.wYear, st.wMonth, 0, st.wDay, 0, 0, 0, 0};
  FILETIME ft;
  if (!plat::Time().SystemTimeToFileTime(&midnight, &ft)) return -1;
  return SecondsFromFileTime(ft) / 86400;
}

bool Listed(const std::optional<std::vector<DWORD>>& dates, LONGLONG day) {
  if (!dates || day < 0) return false;
  for (DWORD date : *dates)
    if (date / 1440 == day) return true;
  return false;
}

// An 8-bit text of the blob as a new string, or no string when it cannot be
// converted.
BSTR ConvertText(const std::string& text) {
  const size_t withTerminator = text.size() + 1;
  if (withTerminator > 0x3FFFFFFF) return nullptr;
  const int bytes = static_cast<int>(withTerminator);
  const int chars = plat::Locale().MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), bytes, nullptr, 0);
  if (chars <= 0) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(chars - 1));
  if (result == nullptr) return nullptr;
  if (plat::Locale().MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), bytes, result, chars) == 0) {
    SysFreeString(result);
    return nullptr;
  }
  return result;
}

// The UTC start of an exception record, converted from the appointment's
// wall clock. When the conversion fails the wall-clock time itself is taken.
LONGLONG RecordStartSeconds(const SYSTEMTIME& exStart, const TIME_ZONE_INFORMATION* zone) {
  SYSTEMTIME exUtc = exStart;
  if (!plat::Time().TzSpecificLocalTimeToSystemTime(zone, &exStart, &exUtc)) {
    CAL_LOG(LOG_ERROR, WSTR("Tessaro ERROR :: IsDeletedOrModified(163): TzSpecificLocalTimeToSystemTime failed - err= %ld"),
            static_cast<LONG>(plat::Errors().GetLastError()));
  }
  return SecondsFromSystemTime(exUtc);
}

bool FreeOrTentative(const ExceptionInfo& record) {
  return (record.OverrideFlags & 0x0020) != 0 && (record.BusyStatus == 0 || record.BusyStatus == 1);
}

void Fill(MeetingEntry& E, const ExceptionInfo& record, const SYSTEMTIME& exStart) {
  E.startHour = exStart.wHour;
  E.startMinute = exStart.wMinute;
  E.duration = static_cast<LONG>((record.EndDateTime - record.StartDateTime) * 60u);
  const SYSTEMTIME exEnd = FromMinutes(record.EndDateTime);
  E.endHour = exEnd.wHour;
  E.endMinute = exEnd.wMinute;
  if (record.Subject) E.subject.Attach(ConvertText(*record.Subject));
  if (record.Location) E.location.Attach(ConvertText(*record.Location));
  E.occurrenceOverridden = 1;
}

}  // namespace

bool IsDeletedOrModified(const AppointmentRecurrencePattern& R, LONGLONG& candidateSeconds, MeetingEntry& E) {
  const RecurrencePattern& P = R.Pattern;
  const LONGLONG original = candidateSeconds;
  // The candidate's day in the appointment's zone. A failed conversion leaves
  // a day that matches no date.
  SYSTEMTIME utc{}, day{};
  const FILETIME ft = FileTimeFromSeconds(candidateSeconds);
  plat::Time().FileTimeToSystemTime(&ft, &utc);
  plat::Time().SystemTimeToTzSpecificLocalTime(E.meetingTimeZone, &utc, &day);
  E.occurrenceOverridden = 0;

  // A day listed among the modified dates is modified even when it is also
  // listed among the deleted ones.
  const LONGLONG dayNumber = DayNumber(day);
  if (!Listed(P.ModifiedInstanceDates, dayNumber)) return Listed(P.DeletedInstanceDates, dayNumber);

  if (R.ExceptionInfo) {
    // Each record examined is converted to UTC; only the one that ends the
    // search keeps its result, so while failures would not be logged the
    // others need no conversion.
    const bool logFailures = CalendarLog::Enabled(LOG_ERROR);
    for (const ExceptionInfo& record : *R.ExceptionInfo) {
      const SYSTEMTIME exStart = FromMinutes(record.StartDateTime);
      if (exStart.wDay != day.wDay) {
        if (logFailures) RecordStartSeconds(exStart, E.meetingTimeZone);
        continue;
      }
      candidateSeconds = RecordStartSeconds(exStart, E.meetingTimeZone);
      if (FreeOrTentative(record) && exStart.wMonth == day.wMonth && exStart.wYear == day.wYear) return true;
      Fill(E, record, exStart);
      return false;
    }
  }
  // Listed as modified, but no record starts on this day (the records are
  // absent, or the occurrence was moved to another day): the occurrence is
  // taken as the rule places it, rather than with the times and texts of
  // whichever record happened to be examined last.
  candidateSeconds = original;
  return false;
}
