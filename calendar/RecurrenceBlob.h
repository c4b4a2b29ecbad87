// The appointment recurrence blob and the time zone structure: the parsed
// structures and their parsers.
//
// Field names follow the published layout ([MS-OXOCAL]). Every number is zero
// until it is read; an array, text or block that may be absent is an
// std::optional and is absent unless it was read. The parsers never fail as a
// whole: a field that the data does not cover keeps its zero value, and a
// count outside its range leaves its array absent while the count keeps the
// value read. Consumers take an absent array as holding no entries.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wintypes.h"
#include "platform/wstr.h"

// Values of the published layout that the parsers, the writer and the
// calendar evaluation share.
namespace blob {

constexpr WORD kFrequencyDaily = 0x200A;
constexpr WORD kFrequencyWeekly = 0x200B;
constexpr WORD kFrequencyMonthly = 0x200C;
constexpr WORD kFrequencyYearly = 0x200D;

constexpr WORD kPatternDay = 0x0000;
constexpr WORD kPatternWeek = 0x0001;
constexpr WORD kPatternMonth = 0x0002;
constexpr WORD kPatternMonthNth = 0x0003;
constexpr WORD kPatternMonthEnd = 0x0004;
constexpr WORD kPatternHjMonth = 0x000A;
constexpr WORD kPatternHjMonthNth = 0x000B;
constexpr WORD kPatternHjMonthEnd = 0x000C;

constexpr DWORD kEndAfterDate = 0x2021;
constexpr DWORD kEndAfterCount = 0x2022;
constexpr DWORD kEndNever = 0x2023;
// The end date that a never-ending series carries (31 December 4500).
constexpr DWORD kNoEndDate = 0x5AE980DF;

// ExceptionInfo OverrideFlags.
constexpr WORD kOverrideSubject = 0x0001;
constexpr WORD kOverrideMeetingType = 0x0002;
constexpr WORD kOverrideReminderDelta = 0x0004;
constexpr WORD kOverrideReminder = 0x0008;
constexpr WORD kOverrideLocation = 0x0010;
constexpr WORD kOverrideBusyStatus = 0x0020;
constexpr WORD kOverrideAttachment = 0x0040;
constexpr WORD kOverrideSubType = 0x0080;
constexpr WORD kOverrideAppointmentColor = 0x0100;

// From this WriterVersion2 on, each ExtendedException starts with a change
// highlight.
constexpr DWORD kWriterVersionHighlight = 0x3009;

// Instance date arrays are read for counts 1 to this; ExceptionInfo arrays for
// counts below kMaxExceptionCount.
constexpr DWORD kMaxInstanceCount = 499;
constexpr DWORD kMaxExceptionCount = 500;
// Reserved blocks are read when their size is 1 to this.
constexpr DWORD kMaxReservedBlock = 65534;

}  // namespace blob

struct RecurrencePattern {
  WORD ReaderVersion = 0;
  WORD WriterVersion = 0;
  WORD RecurFrequency = 0;
  WORD PatternType = 0;
  WORD CalendarType = 0;
  DWORD FirstDateTime = 0;
  DWORD Period = 0;
  DWORD SlidingFlag = 0;
  // [0]: weekday mask (bit 0 Sunday .. bit 6 Saturday) for PatternType 1, 3
  // and 11, the day of the month for 2, 4, 10 and 12; [1]: the week of the
  // month (1 to 5, 5 = last) for 3 and 11.
  DWORD PatternTypeSpecific[2] = {0, 0};
  DWORD EndType = 0;
  DWORD OccurrenceCount = 0;
  DWORD FirstDOW = 0;
  DWORD DeletedInstanceCount = 0;
  // Minutes since 1601 at midnight: the original dates of deleted and of
  // modified occurrences.
  std::optional<std::vector<DWORD>> DeletedInstanceDates;
  DWORD ModifiedInstanceCount = 0;
  // Minutes since 1601 at midnight: the dates of modified occurrences.
  std::optional<std::vector<DWORD>> ModifiedInstanceDates;
  DWORD StartDate = 0;
  DWORD EndDate = 0;
  // Whatever followed, when the pattern was parsed on its own; unused.
  std::optional<std::vector<BYTE>> Trailing;
};

struct ExceptionInfo {
  DWORD StartDateTime = 0;  // wall-clock minutes since 1601 in the appointment's zone
  DWORD EndDateTime = 0;
  DWORD OriginalStartDate = 0;
  WORD OverrideFlags = 0;
  WORD SubjectLength = 0;   // flag 0x0001
  WORD SubjectLength2 = 0;  // flag 0x0001
  std::optional<std::string> Subject;  // 8-bit text as read, no terminator
  DWORD MeetingType = 0;               // flag 0x0002
  DWORD ReminderDelta = 0;             // flag 0x0004
  DWORD ReminderSet = 0;               // flag 0x0008
  WORD LocationLength = 0;             // flag 0x0010
  WORD LocationLength2 = 0;            // flag 0x0010
  std::optional<std::string> Location;
  DWORD BusyStatus = 0;        // flag 0x0020: 0 free, 1 tentative, 2 busy, 3 away
  DWORD Attachment = 0;        // flag 0x0040
  DWORD SubType = 0;           // flag 0x0080
  DWORD AppointmentColor = 0;  // flag 0x0100
};

// Read to keep the reader in step; nothing in it is used.
struct ExtendedException {
  DWORD ChangeHighlightSize = 0;  // WriterVersion2 >= 0x3009
  DWORD ChangeHighlightValue = 0;
  std::optional<std::vector<BYTE>> ChangeHighlightReserved;  // size - 4 bytes when size > 4
  DWORD ReservedBlockEE1Size = 0;
  std::optional<std::vector<BYTE>> ReservedBlockEE1;
  // The rest is there when the matching ExceptionInfo has flag 0x0001 or 0x0010.
  DWORD StartDateTime = 0;
  DWORD EndDateTime = 0;
  DWORD OriginalStartDate = 0;
  WORD WideCharSubjectLength = 0;  // flag 0x0001
  std::optional<WString> WideCharSubject;
  WORD WideCharLocationLength = 0;  // flag 0x0010
  std::optional<WString> WideCharLocation;
  DWORD ReservedBlockEE2Size = 0;
  std::optional<std::vector<BYTE>> ReservedBlockEE2;
};

struct AppointmentRecurrencePattern {
  RecurrencePattern Pattern;
  DWORD ReaderVersion2 = 0;
  DWORD WriterVersion2 = 0;
  DWORD StartTimeOffset = 0;  // minutes after midnight
  DWORD EndTimeOffset = 0;
  WORD ExceptionCount = 0;
  // Qualified type names: the members carry the names of their types.
  std::optional<std::vector<::ExceptionInfo>> ExceptionInfo;
  DWORD ReservedBlock1Size = 0;
  std::optional<std::vector<BYTE>> ReservedBlock1;
  std::optional<std::vector<::ExtendedException>> ExtendedException;
  DWORD ReservedBlock2Size = 0;
  std::optional<std::vector<BYTE>> ReservedBlock2;
  std::optional<std::vector<BYTE>> Trailing;  // everything left; unused
};

struct TimeZoneStruct {
  LONG lBias = 0;  // minutes, signed
  LONG lStandardBias = 0;
  LONG lDaylightBias = 0;
  WORD wStandardYear = 0;
  SYSTEMTIME stStandardDate{};
  WORD wDaylightYear = 0;
  SYSTEMTIME stDaylightDate{};
  std::optional<std::vector<BYTE>> Trailing;  // bytes from offset 48 on; unused
};

// Receives, in reading order, every field that a parser actually read: its
// name ("ReaderVersion", "DeletedInstanceDates[3]",
// "ExceptionInfo[0].Subject") and its value. Used by the inspection command;
// the calendar evaluation parses without one.
class BlobFieldSink {
 public:
  virtual ~BlobFieldSink() = default;
  virtual void Number(const std::string& name, long long value) = 0;
  virtual void Text8(const std::string& name, const std::string& bytes) = 0;
  virtual void Text16(const std::string& name, const WString& text) = 0;
  virtual void Bytes(const std::string& name, const std::vector<BYTE>& bytes) = 0;
};

// A new RecurrencePattern, or nullptr when data is nullptr. With consumed, the
// number of bytes read is stored there and no trailing bytes are kept.
std::unique_ptr<RecurrencePattern> ParseRecurrencePattern(DWORD size, const BYTE* data, DWORD* consumed = nullptr,
                                                          BlobFieldSink* sink = nullptr);

// A new AppointmentRecurrencePattern, or nullptr when data is nullptr.
std::unique_ptr<AppointmentRecurrencePattern> ParseAppointmentRecurrence(DWORD size, const BYTE* data,
                                                                         BlobFieldSink* sink = nullptr);

// A new TimeZoneStruct, or nullptr when data is nullptr.
std::unique_ptr<TimeZoneStruct> ParseTimeZoneStruct(DWORD size, const BYTE* data, BlobFieldSink* sink = nullptr);

// The zone as the time services take it: the three biases and the two
// transition rules; the names are empty.
TIME_ZONE_INFORMATION TimeZoneInformationFromStruct(const TimeZoneStruct& tz);
