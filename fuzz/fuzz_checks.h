// What the fuzzers check beyond the sanitizers.
//
// Every byte of a value ends up in exactly one field that was read (the
// trailing bytes take what is left), so the widths of the reported fields add
// up to the size. Writing the parsed structure back gives the input again
// whenever no fixed-width read was refused; a refused read leaves a zero
// field that the writer still writes, so the output can only be longer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"

#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"


namespace fuzzcheck {

// Values up to this size are also parsed with a sink that names each field.
constexpr size_t kNamedParseLimit = 1024;

// Adds up the bytes behind each reported field.
class WidthSink : public BlobFieldSink {
 public:
  void Number(const std::string& name, long long) override { total += IsWord(name) ? 2 : 4; }
  void Text8(const std::string&, const std::string& bytes) override { total += bytes.size(); }
  void Text16(const std::string&, const WString& text) override { total += 2 * text.size(); }
  void Bytes(const std::string&, const std::vector<BYTE>& bytes) override { total += bytes.size(); }
  unsigned long long total = 0;

 private:
  static bool EndsWith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0 &&
           (s.size() == t.size() || s[s.size() - t.size() - 1] == '.');
  }
  static bool IsWord(const std::string& name) {
    static const char* const words[] = {"ReaderVersion", "WriterVersion", "RecurFrequency", "PatternType",
                                        "CalendarType", "ExceptionCount", "OverrideFlags", "SubjectLength",
                                        "SubjectLength2", "LocationLength", "LocationLength2",
                                        "WideCharSubjectLength", "WideCharLocationLength", "wStandardYear",
                                        "wDaylightYear", "wYear", "wMonth", "wDayOfWeek", "wDay", "wHour",
                                        "wMinute", "wSecond", "wMilliseconds"};
    for (const char* w : words)
      if (EndsWith(name, w)) return true;
    return false;
  }
};

inline bool InRange(DWORD count) { return count >= 1 && count <= blob::kMaxInstanceCount; }
inline bool BlockInRange(DWORD size) { return size >= 1 && size <= blob::kMaxReservedBlock; }

template <class Block>
void CheckBlock(DWORD size, const Block& block) {
  if (block) FUZZ_CHECK(BlockInRange(size) && block->size() == size);
}

inline void CheckPattern(const RecurrencePattern& p) {
  if (p.DeletedInstanceDates)
    FUZZ_CHECK(InRange(p.DeletedInstanceCount) && p.DeletedInstanceDates->size() == p.DeletedInstanceCount);
  if (p.ModifiedInstanceDates)
    FUZZ_CHECK(InRange(p.ModifiedInstanceCount) && p.ModifiedInstanceCount <= p.DeletedInstanceCount &&
               p.ModifiedInstanceDates->size() == p.ModifiedInstanceCount);
}

inline void CheckAppointment(const AppointmentRecurrencePattern& r) {
  CheckPattern(r.Pattern);
  FUZZ_CHECK(!r.Pattern.Trailing);
  CheckBlock(r.ReservedBlock1Size, r.ReservedBlock1);
  CheckBlock(r.ReservedBlock2Size, r.ReservedBlock2);
  FUZZ_CHECK(r.ExceptionInfo.has_value() == r.ExtendedException.has_value());
  if (!r.ExceptionInfo) return;
  FUZZ_CHECK(r.ExceptionCount != 0 && r.ExceptionCount == r.Pattern.ModifiedInstanceCount &&
             r.ExceptionCount < blob::kMaxExceptionCount);
  FUZZ_CHECK(r.ExceptionInfo->size() == r.ExceptionCount && r.ExtendedException->size() == r.ExceptionCount);
  for (size_t i = 0; i < r.ExceptionInfo->size(); ++i) {
    const ExceptionInfo& e = (*r.ExceptionInfo)[i];
    const ExtendedException& x = (*r.ExtendedException)[i];
    if (e.Subject)
      FUZZ_CHECK((e.OverrideFlags & blob::kOverrideSubject) && e.SubjectLength == e.SubjectLength2 + 1 &&
                 e.Subject->size() == e.SubjectLength2);
    if (e.Location)
      FUZZ_CHECK((e.OverrideFlags & blob::kOverrideLocation) && e.LocationLength == e.LocationLength2 + 1 &&
                 e.Location->size() == e.LocationLength2);
    if (x.WideCharSubject)
      FUZZ_CHECK((e.OverrideFlags & blob::kOverrideSubject) && x.WideCharSubject->size() == x.WideCharSubjectLength);
    if (x.WideCharLocation)
      FUZZ_CHECK((e.OverrideFlags & blob::kOverrideLocation) &&
                 x.WideCharLocation->size() == x.WideCharLocationLength);
    if (x.ChangeHighlightReserved)
      FUZZ_CHECK(r.WriterVersion2 >= blob::kWriterVersionHighlight &&
                 x.ChangeHighlightReserved->size() == x.ChangeHighlightSize - 4ull);
    CheckBlock(x.ReservedBlockEE1Size, x.ReservedBlockEE1);
    CheckBlock(x.ReservedBlockEE2Size, x.ReservedBlockEE2);
  }
}

// The writer's output for a parsed value: never shorter than the input, and
// the input itself when it is as long.
inline void CheckRewrite(const uint8_t* data, size_t size, const std::vector<BYTE>& rewritten) {
  FUZZ_CHECK(rewritten.size() >= size);
  if (rewritten.size() == size && size != 0) FUZZ_CHECK(std::equal(rewritten.begin(), rewritten.end(), data));
}

}  // namespace fuzzcheck
