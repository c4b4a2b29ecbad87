// Writing recurrence blobs and time zone structures in the published layout:
// for the tests, the fuzz corpus and the demo calendar.
//
// Two layers:
//  - Write...: a structure exactly as it stands. Counts, lengths and flags are
//    written as they are and every array, text or block that is present is
//    written whole (an 8-bit text without a terminator), whether or not it
//    agrees with its count; a field whose condition does not hold (a pattern
//    word the PatternType does not call for, a flag not set) is left out as
//    a parser would skip it. So a test can edit a structure into an odd or
//    malformed shape first, and a parser reads back what a well-formed
//    structure held.
//  - Build...: a consistent structure from a plain description of a series.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "calendar/RecurrenceBlob.h"

std::vector<BYTE> WriteRecurrencePattern(const RecurrencePattern& pattern);
// The pattern's Trailing bytes, when a caller set them, are written between
// the pattern and ReaderVersion2 (a parser never fills them in there).
std::vector<BYTE> WriteAppointmentRecurrence(const AppointmentRecurrencePattern& recurrence);
std::vector<BYTE> WriteTimeZoneStruct(const TimeZoneStruct& tz);

// Minutes since 1601-01-01 00:00 of a Gregorian date and time, the unit of
// every date in the blob.
DWORD BlobMinutes(int year, int month, int day, int hour = 0, int minute = 0);

enum class RecurrenceKind { Daily, Weekly, Monthly, Yearly };
enum class RecurrenceEnd { Never, AfterCount, ByDate };

// One changed occurrence. Times are wall-clock minutes since 1601 in the
// appointment's zone.
struct ModifiedOccurrence {
  DWORD originalStart = 0;  // where the rule put the occurrence
  DWORD newStart = 0;
  DWORD newEnd = 0;
  std::optional<WString> subject;
  std::optional<WString> location;
  std::optional<DWORD> busyStatus;  // 0 free, 1 tentative, 2 busy, 3 away
};

struct RecurrenceDescription {
  RecurrenceKind frequency = RecurrenceKind::Daily;
  // blob::kPatternDay, kPatternWeek, kPatternMonth, kPatternMonthNth, ...
  WORD patternType = blob::kPatternDay;
  // In the layout's units: minutes for daily rules (1440 a day), weeks for
  // weekly, months for monthly and yearly (12 a year).
  DWORD period = 1440;
  DWORD weekdayMask = 0;  // bit 0 Sunday .. bit 6 Saturday (week and nth patterns)
  DWORD dayOfMonth = 0;   // month patterns
  DWORD weekNumber = 0;   // nth patterns: 1 to 5, 5 = last
  RecurrenceEnd end = RecurrenceEnd::Never;
  DWORD occurrenceCount = 0;  // with AfterCount; 0 with Never writes the customary 10
  DWORD startDate = 0;        // midnight of the first day (any minute of it is taken as the day)
  DWORD endDate = 0;          // midnight of the last day; 0 with Never writes blob::kNoEndDate
  DWORD startTimeOffset = 0;  // each occurrence's start, minutes after midnight
  DWORD duration = 0;         // minutes
  std::vector<DWORD> deletedDates;  // any minute of the original day
  std::vector<ModifiedOccurrence> modified;
  DWORD firstDOW = 0;  // first day of the week, 0 Sunday
  // 0x3009 and above give each ExtendedException a change highlight.
  DWORD writerVersion2 = blob::kWriterVersionHighlight;
};

// A consistent structure for the description: DeletedInstanceDates hold the
// days of the deleted and of the modified occurrences' original starts, sorted
// and without repeats; ModifiedInstanceDates the days of the modified
// occurrences' new starts, sorted; one ExceptionInfo and one
// ExtendedException per modified occurrence, in the order of their new starts,
// with matching flags and lengths. The 8-bit copy of a subject or location
// holds each character below U+0100 as its byte and any other as '?'. Counts
// are not limited: a description with more than 499 dates builds a blob whose
// arrays a parser leaves unread.
AppointmentRecurrencePattern BuildAppointmentRecurrence(const RecurrenceDescription& description);

// A transition rule in the zone's form: the week-th (1 to 5, 5 = last)
// dayOfWeek (0 Sunday) of month, at hour:minute local time; year 0.
SYSTEMTIME TransitionRule(WORD month, WORD dayOfWeek, WORD week, WORD hour, WORD minute = 0);

// A zone from its biases (minutes; UTC = local + bias) and its two rules.
// A zone without daylight saving passes empty rules ({}) and daylightBias 0.
TimeZoneStruct BuildTimeZoneStruct(LONG bias, LONG standardBias, LONG daylightBias, const SYSTEMTIME& standardRule,
                                   const SYSTEMTIME& daylightRule);
TimeZoneStruct TimeZoneStructFromInformation(const TIME_ZONE_INFORMATION& info);
