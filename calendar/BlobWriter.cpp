#include "calendar/BlobWriter.h"

#include <algorithm>

namespace {

class Out {
 public:
  void U16(WORD v) {
    m_bytes.push_back(static_cast<BYTE>(v));
    m_bytes.push_back(static_cast<BYTE>(v >> 8));
  }
  void U32(DWORD v) {
    for (int shift = 0; shift < 32; shift += 8) m_bytes.push_back(static_cast<BYTE>(v >> shift));
  }
  void S32(LONG v) { U32(static_cast<DWORD>(v)); }
  void Bytes(const std::optional<std::vector<BYTE>>& b) {
    if (b) m_bytes.insert(m_bytes.end(), b->begin(), b->end());
  }
  void Text8(const std::optional<std::string>& s) {
    if (s) m_bytes.insert(m_bytes.end(), s->begin(), s->end());
  }
  void Text16(const std::optional<WString>& s) {
    if (!s) return;
    for (WCHAR c : *s) U16(static_cast<WORD>(c));
  }
  void SystemTime(const SYSTEMTIME& st) {
    U16(st.wYear), U16(st.wMonth), U16(st.wDayOfWeek), U16(st.wDay);
    U16(st.wHour), U16(st.wMinute), U16(st.wSecond), U16(st.wMilliseconds);
  }
  std::vector<BYTE> Take() { return std::move(m_bytes); }

 private:
  std::vector<BYTE> m_bytes;
};

void PutPattern(Out& out, const RecurrencePattern& p) {
  out.U16(p.ReaderVersion);
  out.U16(p.WriterVersion);
  out.U16(p.RecurFrequency);
  out.U16(p.PatternType);
  out.U16(p.CalendarType);
  out.U32(p.FirstDateTime);
  out.U32(p.Period);
  out.U32(p.SlidingFlag);
  switch (p.PatternType) {
    case blob::kPatternMonthNth:
    case blob::kPatternHjMonthNth:
      out.U32(p.PatternTypeSpecific[0]);
      out.U32(p.PatternTypeSpecific[1]);
      break;
    case blob::kPatternWeek:
    case blob::kPatternMonth:
    case blob::kPatternMonthEnd:
    case blob::kPatternHjMonth:
    case blob::kPatternHjMonthEnd:
      out.U32(p.PatternTypeSpecific[0]);
      break;
    default:
      break;
  }
  out.U32(p.EndType);
  out.U32(p.OccurrenceCount);
  out.U32(p.FirstDOW);
  out.U32(p.DeletedInstanceCount);
  if (p.DeletedInstanceDates)
    for (DWORD d : *p.DeletedInstanceDates) out.U32(d);
  out.U32(p.ModifiedInstanceCount);
  if (p.ModifiedInstanceDates)
    for (DWORD d : *p.ModifiedInstanceDates) out.U32(d);
  out.U32(p.StartDate);
  out.U32(p.EndDate);
}

void PutExceptionInfo(Out& out, const ExceptionInfo& e) {
  out.U32(e.StartDateTime);
  out.U32(e.EndDateTime);
  out.U32(e.OriginalStartDate);
  out.U16(e.OverrideFlags);
  const WORD flags = e.OverrideFlags;
  if (flags & blob::kOverrideSubject) {
    out.U16(e.SubjectLength);
    out.U16(e.SubjectLength2);
    out.Text8(e.Subject);
  }
  if (flags & blob::kOverrideMeetingType) out.U32(e.MeetingType);
  if (flags & blob::kOverrideReminderDelta) out.U32(e.ReminderDelta);
  if (flags & blob::kOverrideReminder) out.U32(e.ReminderSet);
  if (flags & blob::kOverrideLocation) {
    out.U16(e.LocationLength);
    out.U16(e.LocationLength2);
    out.Text8(e.Location);
  }
  if (flags & blob::kOverrideBusyStatus) out.U32(e.BusyStatus);
  if (flags & blob::kOverrideAttachment) out.U32(e.Attachment);
  if (flags & blob::kOverrideSubType) out.U32(e.SubType);
  if (flags & blob::kOverrideAppointmentColor) out.U32(e.AppointmentColor);
}

void PutExtendedException(Out& out, DWORD writerVersion2, WORD flags, const ExtendedException& x) {
  if (writerVersion2 >= blob::kWriterVersionHighlight) {
    out.U32(x.ChangeHighlightSize);
    out.U32(x.ChangeHighlightValue);
    out.Bytes(x.ChangeHighlightReserved);
  }
  out.U32(x.ReservedBlockEE1Size);
  out.Bytes(x.ReservedBlockEE1);
  if (!(flags & (blob::kOverrideSubject | blob::kOverrideLocation))) return;
  out.U32(x.StartDateTime);
  out.U32(x.EndDateTime);
  out.U32(x.OriginalStartDate);
  if (flags & blob::kOverrideSubject) {
    out.U16(x.WideCharSubjectLength);
    out.Text16(x.WideCharSubject);
  }
  if (flags & blob::kOverrideLocation) {
    out.U16(x.WideCharLocationLength);
    out.Text16(x.WideCharLocation);
  }
  out.U32(x.ReservedBlockEE2Size);
  out.Bytes(x.ReservedBlockEE2);
}

// Days between 1970-01-01 and a Gregorian date, and back (the era-based civil
// calendar arithmetic: years start in March so that the leap day comes last).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

const long long kDays1601 = DaysFromCivil(1601, 1, 1);

DWORD Midnight(DWORD minutes) { return minutes - minutes % 1440; }

// The day of the week of a minute count (1601-01-01 was a Monday): 0 Sunday.
DWORD WeekdayOfMinutes(DWORD minutes) { return (minutes / 1440 + 1) % 7; }

// The month number (0 = January 1601) of a minute count.
DWORD MonthIndexOfMinutes(DWORD minutes) {
  long long y;
  unsigned m, d;
  CivilFromDays(kDays1601 + minutes / 1440, y, m, d);
  return static_cast<DWORD>((y - 1601) * 12 + (m - 1));
}

// The series' first period laid back to the start of the calendar, as the
// layout carries it; nothing here reads it back.
DWORD FirstDateTimeOf(const RecurrenceDescription& d) {
  if (d.period == 0) return 0;
  const DWORD start = Midnight(d.startDate);
  switch (d.frequency) {
    case RecurrenceKind::Daily:
      return start % d.period;
    case RecurrenceKind::Weekly: {
      const DWORD back = (WeekdayOfMinutes(start) + 7 - d.firstDOW % 7) % 7;
      const DWORD weekStart = start >= back * 1440 ? start - back * 1440 : 0;
      const unsigned long long span = 10080ull * d.period;
      return static_cast<DWORD>(weekStart % span);
    }
    case RecurrenceKind::Monthly:
    case RecurrenceKind::Yearly: {
      const DWORD m = MonthIndexOfMinutes(start) % d.period;
      return BlobMinutes(1601 + static_cast<int>(m / 12), static_cast<int>(m % 12) + 1, 1);
    }
  }
  return 0;
}

WORD FrequencyValue(RecurrenceKind kind) {
  switch (kind) {
    case RecurrenceKind::Daily:
      return blob::kFrequencyDaily;
    case RecurrenceKind::Weekly:
      return blob::kFrequencyWeekly;
    case RecurrenceKind::Monthly:
      return blob::kFrequencyMonthly;
    case RecurrenceKind::Yearly:
      return blob::kFrequencyYearly;
  }
  return 0;
}

// The longest text whose lengths still fit the 16-bit length fields.
constexpr size_t kMaxTextLength = 0xFFFE;

WString Clipped(const WString& s) { return s.size() > kMaxTextLength ? s.substr(0, kMaxTextLength) : s; }

std::string EightBit(const WString& s) {
  std::string out(s.size(), '?');
  for (size_t i = 0; i < s.size(); ++i)
    if (static_cast<unsigned>(s[i]) < 0x100) out[i] = static_cast<char>(s[i]);
  return out;
}

// Change highlight bits of an ExtendedException.
constexpr DWORD kChangedStart = 0x01;
constexpr DWORD kChangedEnd = 0x02;
constexpr DWORD kChangedLocation = 0x08;
constexpr DWORD kChangedSubject = 0x10;

}  // namespace

std::vector<BYTE> WriteRecurrencePattern(const RecurrencePattern& pattern) {
  Out out;
  PutPattern(out, pattern);
  out.Bytes(pattern.Trailing);
  return out.Take();
}

std::vector<BYTE> WriteAppointmentRecurrence(const AppointmentRecurrencePattern& r) {
  Out out;
  PutPattern(out, r.Pattern);
  out.Bytes(r.Pattern.Trailing);
  out.U32(r.ReaderVersion2);
  out.U32(r.WriterVersion2);
  out.U32(r.StartTimeOffset);
  out.U32(r.EndTimeOffset);
  out.U16(r.ExceptionCount);
  if (r.ExceptionInfo)
    for (const ExceptionInfo& e : *r.ExceptionInfo) PutExceptionInfo(out, e);
  out.U32(r.ReservedBlock1Size);
  out.Bytes(r.ReservedBlock1);
  if (r.ExtendedException) {
    // Which optional parts a record has follows the matching ExceptionInfo's
    // flags; a record without one has none of them.
    const auto& records = *r.ExtendedException;
    for (size_t i = 0; i < records.size(); ++i) {
      const WORD flags =
          (r.ExceptionInfo && i < r.ExceptionInfo->size()) ? (*r.ExceptionInfo)[i].OverrideFlags : WORD(0);
      PutExtendedException(out, r.WriterVersion2, flags, records[i]);
    }
  }
  out.U32(r.ReservedBlock2Size);
  out.Bytes(r.ReservedBlock2);
  out.Bytes(r.Trailing);
  return out.Take();
}

std::vector<BYTE> WriteTimeZoneStruct(const TimeZoneStruct& tz) {
  Out out;
  out.S32(tz.lBias);
  out.S32(tz.lStandardBias);
  out.S32(tz.lDaylightBias);
  out.U16(tz.wStandardYear);
  out.SystemTime(tz.stStandardDate);
  out.U16(tz.wDaylightYear);
  out.SystemTime(tz.stDaylightDate);
  out.Bytes(tz.Trailing);
  return out.Take();
}

DWORD BlobMinutes(int year, int month, int day, int hour, int minute) {
  const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDays1601;
  const long long minutes = days * 1440 + hour * 60LL + minute;
  return static_cast<DWORD>(minutes);
}

AppointmentRecurrencePattern BuildAppointmentRecurrence(const RecurrenceDescription& d) {
  AppointmentRecurrencePattern r;
  RecurrencePattern& p = r.Pattern;
  p.ReaderVersion = 0x3004;
  p.WriterVersion = 0x3004;
  p.RecurFrequency = FrequencyValue(d.frequency);
  p.PatternType = d.patternType;
  p.CalendarType = 0;  // Gregorian
  p.FirstDateTime = FirstDateTimeOf(d);
  p.Period = d.period;
  p.SlidingFlag = 0;
  const bool maskPattern = d.patternType == blob::kPatternWeek || d.patternType == blob::kPatternMonthNth ||
                           d.patternType == blob::kPatternHjMonthNth;
  p.PatternTypeSpecific[0] = maskPattern ? d.weekdayMask : d.dayOfMonth;
  p.PatternTypeSpecific[1] =
      (d.patternType == blob::kPatternMonthNth || d.patternType == blob::kPatternHjMonthNth) ? d.weekNumber : 0;
  switch (d.end) {
    case RecurrenceEnd::Never:
      p.EndType = blob::kEndNever;
      p.OccurrenceCount = d.occurrenceCount != 0 ? d.occurrenceCount : 10;
      p.EndDate = d.endDate != 0 ? Midnight(d.endDate) : blob::kNoEndDate;
      break;
    case RecurrenceEnd::AfterCount:
      p.EndType = blob::kEndAfterCount;
      p.OccurrenceCount = d.occurrenceCount;
      p.EndDate = Midnight(d.endDate);
      break;
    case RecurrenceEnd::ByDate:
      p.EndType = blob::kEndAfterDate;
      p.OccurrenceCount = d.occurrenceCount;
      p.EndDate = Midnight(d.endDate);
      break;
  }
  p.FirstDOW = d.firstDOW;
  p.StartDate = Midnight(d.startDate);

  std::vector<ModifiedOccurrence> modified = d.modified;
  std::stable_sort(modified.begin(), modified.end(),
                   [](const ModifiedOccurrence& a, const ModifiedOccurrence& b) { return a.newStart < b.newStart; });

  std::vector<DWORD> deleted;
  deleted.reserve(d.deletedDates.size() + modified.size());
  for (DWORD date : d.deletedDates) deleted.push_back(Midnight(date));
  for (const ModifiedOccurrence& m : modified) deleted.push_back(Midnight(m.originalStart));
  std::sort(deleted.begin(), deleted.end());
  deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
  p.DeletedInstanceCount = static_cast<DWORD>(deleted.size());
  if (!deleted.empty()) p.DeletedInstanceDates = std::move(deleted);

  p.ModifiedInstanceCount = static_cast<DWORD>(modified.size());
  if (!modified.empty()) {
    std::vector<DWORD> dates;
    dates.reserve(modified.size());
    for (const ModifiedOccurrence& m : modified) dates.push_back(Midnight(m.newStart));
    p.ModifiedInstanceDates = std::move(dates);
  }

  r.ReaderVersion2 = 0x3006;
  r.WriterVersion2 = d.writerVersion2;
  r.StartTimeOffset = d.startTimeOffset;
  r.EndTimeOffset = d.startTimeOffset + d.duration;
  r.ExceptionCount = static_cast<WORD>(modified.size());

  if (!modified.empty()) {
    r.ExceptionInfo.emplace();
    r.ExtendedException.emplace();
    r.ExceptionInfo->reserve(modified.size());
    r.ExtendedException->reserve(modified.size());
  }
  for (const ModifiedOccurrence& m : modified) {
    ExceptionInfo e;
    ExtendedException x;
    e.StartDateTime = x.StartDateTime = m.newStart;
    e.EndDateTime = x.EndDateTime = m.newEnd;
    e.OriginalStartDate = x.OriginalStartDate = m.originalStart;
    DWORD highlight = 0;
    if (m.newStart != m.originalStart) highlight |= kChangedStart;
    if (m.newEnd != m.originalStart + d.duration) highlight |= kChangedEnd;
    if (m.subject) {
      const WString text = Clipped(*m.subject);
      e.OverrideFlags |= blob::kOverrideSubject;
      e.SubjectLength2 = static_cast<WORD>(text.size());
      e.SubjectLength = static_cast<WORD>(text.size() + 1);
      if (!text.empty()) e.Subject = EightBit(text);
      x.WideCharSubjectLength = static_cast<WORD>(text.size());
      if (!text.empty()) x.WideCharSubject = text;
      highlight |= kChangedSubject;
    }
    if (m.location) {
      const WString text = Clipped(*m.location);
      e.OverrideFlags |= blob::kOverrideLocation;
      e.LocationLength2 = static_cast<WORD>(text.size());
      e.LocationLength = static_cast<WORD>(text.size() + 1);
      if (!text.empty()) e.Location = EightBit(text);
      x.WideCharLocationLength = static_cast<WORD>(text.size());
      if (!text.empty()) x.WideCharLocation = text;
      highlight |= kChangedLocation;
    }
    if (m.busyStatus) {
      e.OverrideFlags |= blob::kOverrideBusyStatus;
      e.BusyStatus = *m.busyStatus;
    }
    if (d.writerVersion2 >= blob::kWriterVersionHighlight) {
      x.ChangeHighlightSize = 4;
      x.ChangeHighlightValue = highlight;
    }
    if (!(e.OverrideFlags & (blob::kOverrideSubject | blob::kOverrideLocation))) {
      // Without a text the record carries no dates of its own.
      x.StartDateTime = x.EndDateTime = x.OriginalStartDate = 0;
    }
    r.ExceptionInfo->push_back(std::move(e));
    r.ExtendedException->push_back(std::move(x));
  }
  return r;
}

SYSTEMTIME TransitionRule(WORD month, WORD dayOfWeek, WORD week, WORD hour, WORD minute) {
  SYSTEMTIME st{};
  st.wMonth = month;
  st.wDayOfWeek = dayOfWeek;
  st.wDay = week;
  st.wHour = hour;
  st.wMinute = minute;
  return st;
}

TimeZoneStruct BuildTimeZoneStruct(LONG bias, LONG standardBias, LONG daylightBias, const SYSTEMTIME& standardRule,
                                   const SYSTEMTIME& daylightRule) {
  TimeZoneStruct tz;
  tz.lBias = bias;
  tz.lStandardBias = standardBias;
  tz.lDaylightBias = daylightBias;
  tz.wStandardYear = standardRule.wYear;
  tz.stStandardDate = standardRule;
  tz.wDaylightYear = daylightRule.wYear;
  tz.stDaylightDate = daylightRule;
  return tz;
}

TimeZoneStruct TimeZoneStructFromInformation(const TIME_ZONE_INFORMATION& info) {
  return BuildTimeZoneStruct(info.Bias, info.StandardBias, info.DaylightBias, info.StandardDate, info.DaylightDate);
}
