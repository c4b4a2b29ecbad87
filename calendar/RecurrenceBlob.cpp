#include "calendar/RecurrenceBlob.h"

#include "calendar/BlobReader.h"

namespace {

// The reader plus the optional inspection sink: each read that succeeded is
// reported under its name, with the array element's prefix when inside one.
// Without a sink no name is ever built.
class FieldReader {
 public:
  FieldReader(BlobReader& reader, BlobFieldSink* sink) : m_in(reader), m_sink(sink) {}

  BlobReader& Reader() { return m_in; }

  void U16(const char* name, WORD& field) {
    if (m_in.Read16(field) && m_sink) m_sink->Number(Name(name), field);
  }
  void U32(const char* name, DWORD& field) {
    if (m_in.Read32(field) && m_sink) m_sink->Number(Name(name), field);
  }
  void S32(const char* name, LONG& field) {
    if (m_in.Read32(field) && m_sink) m_sink->Number(Name(name), field);
  }
  // One entry of a number array: "Name[i]".
  void U32At(const char* array, size_t index, DWORD& field) {
    if (m_in.Read32(field) && m_sink) m_sink->Number(Indexed(array, index), field);
  }
  void Bytes(const char* name, DWORD n, std::optional<std::vector<BYTE>>& target) {
    if (m_in.ReadBytes(n, target) && m_sink) m_sink->Bytes(Name(name), *target);
  }
  // A reserved block is read only when its size is 1 to 65,534.
  void Block(const char* name, DWORD size, std::optional<std::vector<BYTE>>& target) {
    if (size >= 1 && size <= blob::kMaxReservedBlock) Bytes(name, size, target);
  }
  void Text8(const char* name, DWORD n, std::optional<std::string>& target) {
    if (m_in.ReadString8(n, target) && m_sink) m_sink->Text8(Name(name), *target);
  }
  void Text16(const char* name, DWORD n, std::optional<WString>& target) {
    if (m_in.ReadString16(n, target) && m_sink) m_sink->Text16(Name(name), *target);
  }

  // Field names that follow belong to element index of array, or to the
  // structure member name.
  void Enter(const char* array, size_t index) {
    if (m_sink) m_prefix = Indexed(array, index) + ".";
  }
  void Enter(const char* member) {
    if (m_sink) m_prefix = std::string(member) + ".";
  }
  void Leave() { m_prefix.clear(); }

 private:
  std::string Name(const char* name) const { return m_prefix + name; }
  std::string Indexed(const char* array, size_t index) const {
    return m_prefix + array + "[" + std::to_string(index) + "]";
  }

  BlobReader& m_in;
  BlobFieldSink* m_sink;
  std::string m_prefix;
};

bool HasFirstSpecificWord(WORD patternType) {
  switch (patternType) {
    case blob::kPatternWeek:
    case blob::kPatternMonth:
    case blob::kPatternMonthNth:
    case blob::kPatternMonthEnd:
    case blob::kPatternHjMonth:
    case blob::kPatternHjMonthNth:
    case blob::kPatternHjMonthEnd:
      return true;
    default:
      return false;
  }
}

bool HasSecondSpecificWord(WORD patternType) {
  return patternType == blob::kPatternMonthNth || patternType == blob::kPatternHjMonthNth;
}

// Reads count entries when the count is in range; the entries that the data
// does not cover stay 0.
void ReadDates(FieldReader& in, const char* name, DWORD count, std::optional<std::vector<DWORD>>& dates) {
  dates.emplace(count, 0);
  for (DWORD i = 0; i < count; ++i) in.U32At(name, i, (*dates)[i]);
}

void ReadPattern(FieldReader& in, RecurrencePattern& p) {
  in.U16("ReaderVersion", p.ReaderVersion);
  in.U16("WriterVersion", p.WriterVersion);
  in.U16("RecurFrequency", p.RecurFrequency);
  in.U16("PatternType", p.PatternType);
  in.U16("CalendarType", p.CalendarType);
  in.U32("FirstDateTime", p.FirstDateTime);
  in.U32("Period", p.Period);
  in.U32("SlidingFlag", p.SlidingFlag);
  if (HasFirstSpecificWord(p.PatternType)) in.U32("PatternTypeSpecific[0]", p.PatternTypeSpecific[0]);
  if (HasSecondSpecificWord(p.PatternType)) in.U32("PatternTypeSpecific[1]", p.PatternTypeSpecific[1]);
  in.U32("EndType", p.EndType);
  in.U32("OccurrenceCount", p.OccurrenceCount);
  in.U32("FirstDOW", p.FirstDOW);
  in.U32("DeletedInstanceCount", p.DeletedInstanceCount);
  // Out of range, the dates are neither read nor skipped: the next count is
  // read from the bytes that follow this one.
  if (p.DeletedInstanceCount >= 1 && p.DeletedInstanceCount <= blob::kMaxInstanceCount)
    ReadDates(in, "DeletedInstanceDates", p.DeletedInstanceCount, p.DeletedInstanceDates);
  in.U32("ModifiedInstanceCount", p.ModifiedInstanceCount);
  if (p.ModifiedInstanceCount >= 1 && p.ModifiedInstanceCount <= blob::kMaxInstanceCount &&
      p.ModifiedInstanceCount <= p.DeletedInstanceCount)
    ReadDates(in, "ModifiedInstanceDates", p.ModifiedInstanceCount, p.ModifiedInstanceDates);
  in.U32("StartDate", p.StartDate);
  in.U32("EndDate", p.EndDate);
}

void ReadExceptionInfo(FieldReader& in, ExceptionInfo& e) {
  in.U32("StartDateTime", e.StartDateTime);
  in.U32("EndDateTime", e.EndDateTime);
  in.U32("OriginalStartDate", e.OriginalStartDate);
  in.U16("OverrideFlags", e.OverrideFlags);
  const WORD flags = e.OverrideFlags;
  if (flags & blob::kOverrideSubject) {
    in.U16("SubjectLength", e.SubjectLength);
    in.U16("SubjectLength2", e.SubjectLength2);
    // Lengths that disagree leave the subject absent and its bytes unread.
    if (e.SubjectLength2 != 0 && e.SubjectLength == e.SubjectLength2 + 1)
      in.Text8("Subject", e.SubjectLength2, e.Subject);
  }
  if (flags & blob::kOverrideMeetingType) in.U32("MeetingType", e.MeetingType);
  if (flags & blob::kOverrideReminderDelta) in.U32("ReminderDelta", e.ReminderDelta);
  if (flags & blob::kOverrideReminder) in.U32("ReminderSet", e.ReminderSet);
  if (flags & blob::kOverrideLocation) {
    in.U16("LocationLength", e.LocationLength);
    in.U16("LocationLength2", e.LocationLength2);
    if (e.LocationLength2 != 0 && e.LocationLength == e.LocationLength2 + 1)
      in.Text8("Location", e.LocationLength2, e.Location);
  }
  if (flags & blob::kOverrideBusyStatus) in.U32("BusyStatus", e.BusyStatus);
  if (flags & blob::kOverrideAttachment) in.U32("Attachment", e.Attachment);
  if (flags & blob::kOverrideSubType) in.U32("SubType", e.SubType);
  if (flags & blob::kOverrideAppointmentColor) in.U32("AppointmentColor", e.AppointmentColor);
}

void ReadExtendedException(FieldReader& in, DWORD writerVersion2, WORD flags, ExtendedException& x) {
  if (writerVersion2 >= blob::kWriterVersionHighlight) {
    in.U32("ChangeHighlightSize", x.ChangeHighlightSize);
    in.U32("ChangeHighlightValue", x.ChangeHighlightValue);
    if (x.ChangeHighlightSize > 4) in.Bytes("ChangeHighlightReserved", x.ChangeHighlightSize - 4, x.ChangeHighlightReserved);
  }
  in.U32("ReservedBlockEE1Size", x.ReservedBlockEE1Size);
  in.Block("ReservedBlockEE1", x.ReservedBlockEE1Size, x.ReservedBlockEE1);
  if (!(flags & (blob::kOverrideSubject | blob::kOverrideLocation))) return;
  in.U32("StartDateTime", x.StartDateTime);
  in.U32("EndDateTime", x.EndDateTime);
  in.U32("OriginalStartDate", x.OriginalStartDate);
  if (flags & blob::kOverrideSubject) {
    in.U16("WideCharSubjectLength", x.WideCharSubjectLength);
    in.Text16("WideCharSubject", x.WideCharSubjectLength, x.WideCharSubject);
  }
  if (flags & blob::kOverrideLocation) {
    in.U16("WideCharLocationLength", x.WideCharLocationLength);
    in.Text16("WideCharLocation", x.WideCharLocationLength, x.WideCharLocation);
  }
  in.U32("ReservedBlockEE2Size", x.ReservedBlockEE2Size);
  in.Block("ReservedBlockEE2", x.ReservedBlockEE2Size, x.ReservedBlockEE2);
}

void ReadSystemTime(FieldReader& in, const char* name, SYSTEMTIME& st) {
  in.Enter(name);
  in.U16("wYear", st.wYear);
  in.U16("wMonth", st.wMonth);
  in.U16("wDayOfWeek", st.wDayOfWeek);
  in.U16("wDay", st.wDay);
  in.U16("wHour", st.wHour);
  in.U16("wMinute", st.wMinute);
  in.U16("wSecond", st.wSecond);
  in.U16("wMilliseconds", st.wMilliseconds);
  in.Leave();
}

}  // namespace

std::unique_ptr<RecurrencePattern> ParseRecurrencePattern(DWORD size, const BYTE* data, DWORD* consumed,
                                                          BlobFieldSink* sink) {
  if (data == nullptr) return nullptr;
  auto pattern = std::make_unique<RecurrencePattern>();
  BlobReader reader(size, data);
  FieldReader in(reader, sink);
  ReadPattern(in, *pattern);
  if (consumed != nullptr)
    *consumed = reader.Consumed();
  else
    in.Bytes("Trailing", reader.Remaining(), pattern->Trailing);
  return pattern;
}

std::unique_ptr<AppointmentRecurrencePattern> ParseAppointmentRecurrence(DWORD size, const BYTE* data,
                                                                         BlobFieldSink* sink) {
  if (data == nullptr) return nullptr;
  auto result = std::make_unique<AppointmentRecurrencePattern>();
  AppointmentRecurrencePattern& r = *result;

  BlobReader reader(size, data);
  {
    // The pattern is parsed first over the same bytes; the reader then skips
    // what it consumed.
    BlobReader patternReader(size, data);
    FieldReader patternIn(patternReader, sink);
    ReadPattern(patternIn, r.Pattern);
    reader.Skip(patternReader.Consumed());
  }

  FieldReader in(reader, sink);
  in.U32("ReaderVersion2", r.ReaderVersion2);
  in.U32("WriterVersion2", r.WriterVersion2);
  in.U32("StartTimeOffset", r.StartTimeOffset);
  in.U32("EndTimeOffset", r.EndTimeOffset);
  in.U16("ExceptionCount", r.ExceptionCount);

  // The records are read only when there is one for each modified date.
  // Otherwise neither array is read and the block size below comes from the
  // bytes right after the count.
  const bool readExceptions = r.ExceptionCount != 0 && r.ExceptionCount == r.Pattern.ModifiedInstanceCount &&
                              r.ExceptionCount < blob::kMaxExceptionCount;
  if (readExceptions) {
    r.ExceptionInfo.emplace(r.ExceptionCount);
    for (size_t i = 0; i < r.ExceptionInfo->size(); ++i) {
      in.Enter("ExceptionInfo", i);
      ReadExceptionInfo(in, (*r.ExceptionInfo)[i]);
      in.Leave();
    }
  }

  in.U32("ReservedBlock1Size", r.ReservedBlock1Size);
  in.Block("ReservedBlock1", r.ReservedBlock1Size, r.ReservedBlock1);

  if (readExceptions && r.ExceptionInfo) {
    r.ExtendedException.emplace(r.ExceptionCount);
    for (size_t i = 0; i < r.ExtendedException->size(); ++i) {
      in.Enter("ExtendedException", i);
      ReadExtendedException(in, r.WriterVersion2, (*r.ExceptionInfo)[i].OverrideFlags, (*r.ExtendedException)[i]);
      in.Leave();
    }
  }

  in.U32("ReservedBlock2Size", r.ReservedBlock2Size);
  in.Block("ReservedBlock2", r.ReservedBlock2Size, r.ReservedBlock2);
  in.Bytes("Trailing", reader.Remaining(), r.Trailing);
  return result;
}

std::unique_ptr<TimeZoneStruct> ParseTimeZoneStruct(DWORD size, const BYTE* data, BlobFieldSink* sink) {
  if (data == nullptr) return nullptr;
  auto tz = std::make_unique<TimeZoneStruct>();
  BlobReader reader(size, data);
  FieldReader in(reader, sink);
  in.S32("lBias", tz->lBias);
  in.S32("lStandardBias", tz->lStandardBias);
  in.S32("lDaylightBias", tz->lDaylightBias);
  in.U16("wStandardYear", tz->wStandardYear);
  ReadSystemTime(in, "stStandardDate", tz->stStandardDate);
  in.U16("wDaylightYear", tz->wDaylightYear);
  ReadSystemTime(in, "stDaylightDate", tz->stDaylightDate);
  in.Bytes("Trailing", reader.Remaining(), tz->Trailing);
  return tz;
}

TIME_ZONE_INFORMATION TimeZoneInformationFromStruct(const TimeZoneStruct& tz) {
  TIME_ZONE_INFORMATION info{};
  info.Bias = tz.lBias;
  info.StandardBias = tz.lStandardBias;
  info.DaylightBias = tz.lDaylightBias;
  info.StandardDate = tz.stStandardDate;
  info.DaylightDate = tz.stDaylightDate;
  return info;
}
