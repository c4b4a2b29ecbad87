// The bounded reader, the three parsers, the writer and the inspection output.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "calendar/BlobReader.h"
#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"
#include "host/commands.h"

namespace {

std::vector<BYTE> Hex(const char* text) {
  std::vector<BYTE> bytes;
  std::string error;
  EXPECT_TRUE(host::ParseHex(text, bytes, error)) << error;
  return bytes;
}

std::unique_ptr<AppointmentRecurrencePattern> Parse(const std::vector<BYTE>& b) {
  static const BYTE none = 0;
  return ParseAppointmentRecurrence(static_cast<DWORD>(b.size()), b.empty() ? &none : b.data());
}

// A weekly Monday/Wednesday/Friday series at 09:00-10:00 from 2010-06-07 with
// one deleted and two modified occurrences.
RecurrenceDescription WeeklySeries() {
  RecurrenceDescription d;
  d.frequency = RecurrenceKind::Weekly;
  d.patternType = blob::kPatternWeek;
  d.period = 1;
  d.weekdayMask = 0x2A;
  d.startDate = BlobMinutes(2010, 6, 7);
  d.startTimeOffset = 9 * 60;
  d.duration = 60;
  d.deletedDates = {BlobMinutes(2010, 6, 11, 9)};
  ModifiedOccurrence later;  // moved to 11:00-11:30 with a new subject and location
  later.originalStart = BlobMinutes(2010, 6, 16, 9);
  later.newStart = BlobMinutes(2010, 6, 16, 11);
  later.newEnd = BlobMinutes(2010, 6, 16, 11, 30);
  later.subject = WString(WSTR("Design review"));
  later.location = WString(WSTR("Room 4"));
  ModifiedOccurrence earlier;  // made tentative only
  earlier.originalStart = earlier.newStart = BlobMinutes(2010, 6, 9, 9);
  earlier.newEnd = BlobMinutes(2010, 6, 9, 10);
  earlier.busyStatus = 1;
  d.modified = {later, earlier};
  return d;
}

TEST(BlobReaderTest, ReadsAreBoundedAndLeaveTheFieldAlone) {
  const BYTE data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  BlobReader r(sizeof data, data);
  DWORD d = 0;
  WORD w = 0;
  EXPECT_TRUE(r.Read32(d));
  EXPECT_EQ(0x04030201u, d);
  d = 77;
  EXPECT_FALSE(r.Read32(d));  // three bytes left
  EXPECT_EQ(77u, d);
  EXPECT_TRUE(r.Read16(w));  // a narrower read still fits
  EXPECT_EQ(0x0605, w);
  EXPECT_EQ(6u, r.Consumed());
  EXPECT_EQ(1u, r.Remaining());

  std::optional<std::vector<BYTE>> bytes;
  std::optional<WString> text;
  EXPECT_FALSE(r.ReadBytes(0, bytes));
  EXPECT_FALSE(r.ReadBytes(0xFFFFFFFF, bytes));  // must not wrap around the end
  // 2n of this count is 2 in 32-bit arithmetic.
  BlobReader wide(4, data);
  EXPECT_FALSE(wide.ReadString16(0x80000001, text));
  EXPECT_FALSE(text.has_value());
  EXPECT_TRUE(wide.ReadString16(2, text));
  EXPECT_EQ(WString({WCHAR(0x0201), WCHAR(0x0403)}), *text);

  LONG negative = 0;
  const BYTE minusTwo[] = {0xFE, 0xFF, 0xFF, 0xFF};
  BlobReader s(4, minusTwo);
  EXPECT_TRUE(s.Read32(negative));
  EXPECT_EQ(-2, negative);
}

TEST(BlobReaderTest, SkipStopsAtTheEndAndNullDataIsEmpty) {
  const BYTE data[8] = {};
  BlobReader r(sizeof data, data);
  r.Skip(3);
  EXPECT_EQ(3u, r.Consumed());
  r.Skip(0xFFFFFFFF);
  EXPECT_EQ(8u, r.Consumed());
  EXPECT_EQ(0u, r.Remaining());
  WORD w = 9;
  EXPECT_FALSE(r.Read16(w));

  BlobReader none(100, nullptr);
  EXPECT_EQ(0u, none.Remaining());
  EXPECT_FALSE(none.Read16(w));
  EXPECT_EQ(nullptr, ParseRecurrencePattern(4, nullptr));
  EXPECT_EQ(nullptr, ParseAppointmentRecurrence(4, nullptr));
  EXPECT_EQ(nullptr, ParseTimeZoneStruct(4, nullptr));
}

// The daily example of the published format: every three days from
// 2011-04-07 to 2011-05-04, 08:00-08:30, two occurrences deleted.
TEST(RecurrenceParseTest, PublishedDailyBlob) {
  const auto blob = Hex(
      "043004300A2000000000A0050000E010000000000000212000000A0000000000000002000000A0C1DC0C80D2DC0C00000000"
      "207EDC0C0016DD0C0630000009300000E0010000FE01000000000000000000000000");
  const auto r = Parse(blob);
  const RecurrencePattern& p = r->Pattern;
  EXPECT_EQ(blob::kFrequencyDaily, p.RecurFrequency);
  EXPECT_EQ(1440u, p.FirstDateTime);
  EXPECT_EQ(4320u, p.Period);
  EXPECT_EQ(blob::kEndAfterDate, p.EndType);
  EXPECT_EQ(10u, p.OccurrenceCount);
  ASSERT_TRUE(p.DeletedInstanceDates);
  EXPECT_EQ((std::vector<DWORD>{BlobMinutes(2011, 4, 19), BlobMinutes(2011, 4, 22)}), *p.DeletedInstanceDates);
  EXPECT_FALSE(p.ModifiedInstanceDates);
  EXPECT_EQ(BlobMinutes(2011, 4, 7), p.StartDate);
  EXPECT_EQ(BlobMinutes(2011, 5, 4), p.EndDate);
  EXPECT_EQ(0x3009u, r->WriterVersion2);
  EXPECT_EQ(480u, r->StartTimeOffset);
  EXPECT_EQ(510u, r->EndTimeOffset);
  EXPECT_FALSE(r->ExceptionInfo);
  EXPECT_FALSE(r->Trailing);
  EXPECT_EQ(blob, WriteAppointmentRecurrence(*r));

  RecurrenceDescription d;
  d.period = 4320;
  d.startDate = BlobMinutes(2011, 4, 7);
  EXPECT_EQ(1440u, BuildAppointmentRecurrence(d).Pattern.FirstDateTime);
}

TEST(RecurrenceParseTest, PatternTypeDecidesTheSpecificWords) {
  for (WORD type = 0; type <= 13; ++type) {
    RecurrencePattern p;
    p.PatternType = type;
    p.PatternTypeSpecific[0] = 0x2A;
    p.PatternTypeSpecific[1] = 2;
    p.EndType = blob::kEndNever;
    const auto bytes = WriteRecurrencePattern(p);
    const bool one = type == 1 || type == 2 || type == 3 || type == 4 || type == 10 || type == 11 || type == 12;
    const bool two = type == 3 || type == 11;
    const size_t endTypeAt = 22 + (one ? 4 : 0) + (two ? 4 : 0);
    ASSERT_EQ(endTypeAt + 7 * 4, bytes.size()) << type;
    EXPECT_EQ(0x23, bytes[endTypeAt]) << type;
    DWORD consumed = 0;
    const auto back = ParseRecurrencePattern(static_cast<DWORD>(bytes.size()), bytes.data(), &consumed);
    EXPECT_EQ(bytes.size(), consumed);
    EXPECT_EQ(blob::kEndNever, back->EndType) << type;
    EXPECT_EQ(one ? 0x2Au : 0u, back->PatternTypeSpecific[0]) << type;
    EXPECT_EQ(two ? 2u : 0u, back->PatternTypeSpecific[1]) << type;
    EXPECT_FALSE(back->Trailing);
  }
}

TEST(RecurrenceParseTest, CountsOutOfRangeLeaveArraysAbsentAndUnskipped) {
  // 500 deleted dates: none are read; the modified count comes from the next
  // four bytes, which are the first "date".
  RecurrencePattern p;
  p.DeletedInstanceCount = 500;
  p.DeletedInstanceDates = std::vector<DWORD>(500, 0);
  (*p.DeletedInstanceDates)[0] = 3;
  auto bytes = WriteRecurrencePattern(p);
  auto back = ParseRecurrencePattern(static_cast<DWORD>(bytes.size()), bytes.data());
  EXPECT_EQ(500u, back->DeletedInstanceCount);
  EXPECT_FALSE(back->DeletedInstanceDates);
  EXPECT_EQ(3u, back->ModifiedInstanceCount);
  EXPECT_EQ(std::vector<DWORD>(3, 0), back->ModifiedInstanceDates.value_or(std::vector<DWORD>()));
  ASSERT_TRUE(back->Trailing);
  EXPECT_EQ(2000u + 4 + 8 - (4 + 12 + 8), back->Trailing->size());  // dates and the rest, less what was read

  // 499 is the largest count read: 499 modified occurrences come back whole.
  RecurrenceDescription most = WeeklySeries();
  most.deletedDates.clear();
  most.modified.resize(499, most.modified[0]);
  for (DWORD i = 0; i < 499; ++i) most.modified[i].originalStart = most.modified[i].newStart = i * 1440;
  const auto largest = Parse(WriteAppointmentRecurrence(BuildAppointmentRecurrence(most)));
  EXPECT_EQ(499u, largest->Pattern.DeletedInstanceDates.value_or(std::vector<DWORD>()).size());
  EXPECT_EQ(499u, largest->Pattern.ModifiedInstanceDates.value_or(std::vector<DWORD>()).size());
  ASSERT_TRUE(largest->ExtendedException);
  EXPECT_EQ(WString(WSTR("Room 4")), largest->ExtendedException->back().WideCharLocation.value_or(WString()));
  EXPECT_FALSE(largest->Trailing);

  // Modified dates need a count not above the deleted count.
  RecurrencePattern q;
  q.DeletedInstanceCount = 1;
  q.DeletedInstanceDates = std::vector<DWORD>{1440};
  q.ModifiedInstanceCount = 2;
  q.StartDate = 7;
  bytes = WriteRecurrencePattern(q);
  back = ParseRecurrencePattern(static_cast<DWORD>(bytes.size()), bytes.data());
  EXPECT_EQ(2u, back->ModifiedInstanceCount);
  EXPECT_FALSE(back->ModifiedInstanceDates);
  EXPECT_EQ(7u, back->StartDate);

  // An ExceptionCount that differs from ModifiedInstanceCount: no records, and
  // ReservedBlock1Size is read right after the count.
  AppointmentRecurrencePattern r = BuildAppointmentRecurrence(WeeklySeries());
  r.ExceptionCount = 1;
  r.ExceptionInfo.reset();
  r.ExtendedException.reset();
  r.ReservedBlock1Size = 4;
  r.ReservedBlock1 = std::vector<BYTE>{9, 8, 7, 6};
  const auto parsed = Parse(WriteAppointmentRecurrence(r));
  EXPECT_EQ(1, parsed->ExceptionCount);
  EXPECT_FALSE(parsed->ExceptionInfo);
  EXPECT_FALSE(parsed->ExtendedException);
  EXPECT_EQ(r.ReservedBlock1, parsed->ReservedBlock1);
}

TEST(RecurrenceParseTest, SubjectNeedsLengthOneAboveTheSecondLength) {
  AppointmentRecurrencePattern r = BuildAppointmentRecurrence(WeeklySeries());
  ExceptionInfo& later = r.ExceptionInfo->at(1);  // the record with the subject
  ASSERT_TRUE(later.Subject);
  later.Subject = std::string("Hello");
  later.SubjectLength = 6, later.SubjectLength2 = 5;
  later.Location.reset();
  later.OverrideFlags = blob::kOverrideSubject;
  r.ExtendedException->at(1).WideCharLocation.reset();
  auto parsed = Parse(WriteAppointmentRecurrence(r));
  EXPECT_EQ("Hello", parsed->ExceptionInfo->at(1).Subject.value_or("(absent)"));
  EXPECT_EQ(r.ReservedBlock1Size, parsed->ReservedBlock1Size);

  // Equal lengths: no subject, and its bytes are not skipped, so what follows
  // is read out of step.
  later.SubjectLength = 5;
  parsed = Parse(WriteAppointmentRecurrence(r));
  EXPECT_FALSE(parsed->ExceptionInfo->at(1).Subject);
  EXPECT_EQ(0x6C6C6548u, parsed->ReservedBlock1Size);  // "Hell"
}

TEST(RecurrenceParseTest, ExtendedExceptionLayoutFollowsVersionAndFlags) {
  RecurrenceDescription d = WeeklySeries();
  d.writerVersion2 = 0x3008;  // no change highlight
  auto r = BuildAppointmentRecurrence(d);
  const auto withoutHighlight = WriteAppointmentRecurrence(r);
  auto parsed = Parse(withoutHighlight);
  ASSERT_TRUE(parsed->ExtendedException);
  EXPECT_EQ(0u, parsed->ExtendedException->at(1).ChangeHighlightSize);
  EXPECT_EQ(WString(WSTR("Design review")), parsed->ExtendedException->at(1).WideCharSubject.value_or(WString()));

  // With the highlight, a size above 4 carries size - 4 reserved bytes; the
  // records after it stay in step.
  r.WriterVersion2 = 0x3009;
  for (auto& x : *r.ExtendedException) {
    x.ChangeHighlightSize = 7;
    x.ChangeHighlightReserved = std::vector<BYTE>{1, 2, 3};
  }
  r.ReservedBlock2Size = 2;
  r.ReservedBlock2 = std::vector<BYTE>{0xAA, 0xBB};
  const auto bytes = WriteAppointmentRecurrence(r);
  EXPECT_EQ(withoutHighlight.size() + 2 * 11 + 2, bytes.size());
  parsed = Parse(bytes);
  EXPECT_EQ(r.ExtendedException->at(1).ChangeHighlightReserved, parsed->ExtendedException->at(1).ChangeHighlightReserved);
  EXPECT_EQ(WString(WSTR("Room 4")), parsed->ExtendedException->at(1).WideCharLocation.value_or(WString()));
  EXPECT_EQ(r.ReservedBlock2, parsed->ReservedBlock2);
  EXPECT_FALSE(parsed->Trailing);
  EXPECT_EQ(bytes, WriteAppointmentRecurrence(*parsed));

  // A block of 65,535 bytes is beyond the range: its size is kept, the
  // bytes become trailing.
  r.ReservedBlock2Size = 65535;
  r.ReservedBlock2 = std::vector<BYTE>(65535, 0x11);
  parsed = Parse(WriteAppointmentRecurrence(r));
  EXPECT_EQ(65535u, parsed->ReservedBlock2Size);
  EXPECT_FALSE(parsed->ReservedBlock2);
  ASSERT_TRUE(parsed->Trailing);
  EXPECT_EQ(65535u, parsed->Trailing->size());
}

TEST(RecurrenceParseTest, EveryTruncationParsesWithinTheValue) {
  const auto full = WriteAppointmentRecurrence(BuildAppointmentRecurrence(WeeklySeries()));
  for (size_t n = 0; n <= full.size(); ++n) {
    // An exact-size heap copy, so that a read past the end is caught by the
    // address sanitizer build.
    std::unique_ptr<BYTE[]> copy(new BYTE[n + 1]);
    std::copy(full.begin(), full.begin() + n, copy.get());
    const auto r = ParseAppointmentRecurrence(static_cast<DWORD>(n), copy.get());
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(n >= 2 ? 0x3004 : 0, r->Pattern.ReaderVersion);
  }
  // Cut in the middle of the second record's subject: the first record and
  // the second's start survive; the subject is not there, so the location's
  // lengths come from its first bytes, and the rest is zero.
  const auto parsed = Parse(full);
  const size_t cut = std::string(full.begin(), full.end()).find("Design") + 3;
  const auto cutParse = Parse(std::vector<BYTE>(full.begin(), full.begin() + cut));
  ASSERT_TRUE(cutParse->ExceptionInfo);
  EXPECT_EQ(parsed->ExceptionInfo->at(0).BusyStatus, cutParse->ExceptionInfo->at(0).BusyStatus);
  EXPECT_EQ(parsed->ExceptionInfo->at(1).StartDateTime, cutParse->ExceptionInfo->at(1).StartDateTime);
  EXPECT_FALSE(cutParse->ExceptionInfo->at(1).Subject);
  EXPECT_EQ('D' | 'e' << 8, cutParse->ExceptionInfo->at(1).LocationLength);
  EXPECT_FALSE(cutParse->ExceptionInfo->at(1).Location);
  EXPECT_EQ(0u, cutParse->ExtendedException->at(1).StartDateTime);
}

TEST(BlobWriterTest, BuilderMakesAConsistentSeriesThatParsesBack) {
  const AppointmentRecurrencePattern r = BuildAppointmentRecurrence(WeeklySeries());
  const RecurrencePattern& p = r.Pattern;
  EXPECT_EQ(blob::kFrequencyWeekly, p.RecurFrequency);
  EXPECT_EQ(0x2Au, p.PatternTypeSpecific[0]);
  EXPECT_EQ(blob::kEndNever, p.EndType);
  EXPECT_EQ(blob::kNoEndDate, p.EndDate);
  // Deleted dates: the deleted day and both modified days, sorted midnights.
  EXPECT_EQ(3u, p.DeletedInstanceCount);
  EXPECT_EQ((std::vector<DWORD>{BlobMinutes(2010, 6, 9), BlobMinutes(2010, 6, 11), BlobMinutes(2010, 6, 16)}),
            *p.DeletedInstanceDates);
  EXPECT_EQ((std::vector<DWORD>{BlobMinutes(2010, 6, 9), BlobMinutes(2010, 6, 16)}), *p.ModifiedInstanceDates);
  ASSERT_EQ(2, r.ExceptionCount);
  const ExceptionInfo& tentative = r.ExceptionInfo->at(0);
  EXPECT_EQ(blob::kOverrideBusyStatus, tentative.OverrideFlags);
  EXPECT_EQ(1u, tentative.BusyStatus);
  const ExceptionInfo& moved = r.ExceptionInfo->at(1);
  EXPECT_EQ(blob::kOverrideSubject | blob::kOverrideLocation, moved.OverrideFlags);
  EXPECT_EQ(14, moved.SubjectLength);
  EXPECT_EQ(13, moved.SubjectLength2);
  EXPECT_EQ(BlobMinutes(2010, 6, 16, 11), moved.StartDateTime);
  EXPECT_EQ(BlobMinutes(2010, 6, 16, 9), moved.OriginalStartDate);
  EXPECT_EQ(0x1Bu, r.ExtendedException->at(1).ChangeHighlightValue);  // start, end, location, subject
  EXPECT_EQ(0u, r.ExtendedException->at(0).ChangeHighlightValue);

  const auto bytes = WriteAppointmentRecurrence(r);
  const auto parsed = Parse(bytes);
  EXPECT_EQ(bytes, WriteAppointmentRecurrence(*parsed));
  EXPECT_EQ("Design review", parsed->ExceptionInfo->at(1).Subject.value_or(""));
  EXPECT_EQ("Room 4", parsed->ExceptionInfo->at(1).Location.value_or(""));
  EXPECT_FALSE(parsed->Trailing);

  // Characters beyond the 8-bit range keep their place in the 8-bit copy.
  RecurrenceDescription d = WeeklySeries();
  d.modified[0].subject = WString({WCHAR('A'), WCHAR(0xE9), WCHAR(0x20AC)});
  EXPECT_EQ("A\xE9?", BuildAppointmentRecurrence(d).ExceptionInfo->at(1).Subject.value_or(""));
}

TEST(TimeZoneTest, LayoutRoundTripAndConversion) {
  const TimeZoneStruct tz = BuildTimeZoneStruct(300, 0, -60, TransitionRule(11, 0, 1, 2), TransitionRule(3, 0, 2, 2));
  auto bytes = WriteTimeZoneStruct(tz);
  ASSERT_EQ(48u, bytes.size());
  EXPECT_EQ(0xC4, bytes[8]);   // -60 at offset 8
  EXPECT_EQ(11, bytes[16]);    // stStandardDate.wMonth
  EXPECT_EQ(3, bytes[34]);     // stDaylightDate.wMonth
  EXPECT_EQ(2, bytes[38]);     // stDaylightDate.wDay: the second week
  bytes.push_back(0x5A);
  auto parsed = ParseTimeZoneStruct(static_cast<DWORD>(bytes.size()), bytes.data());
  EXPECT_EQ(300, parsed->lBias);
  EXPECT_EQ(-60, parsed->lDaylightBias);
  EXPECT_EQ(2, parsed->stStandardDate.wHour);
  EXPECT_EQ(std::vector<BYTE>{0x5A}, parsed->Trailing.value_or(std::vector<BYTE>()));

  const TIME_ZONE_INFORMATION info = TimeZoneInformationFromStruct(*parsed);
  EXPECT_EQ(300, info.Bias);
  EXPECT_EQ(-60, info.DaylightBias);
  EXPECT_EQ(3, info.DaylightDate.wMonth);
  EXPECT_EQ(0, info.StandardName[0]);
  EXPECT_EQ(bytes.size() - 1, WriteTimeZoneStruct(TimeZoneStructFromInformation(info)).size());

  // A short value: what it does not cover stays zero.
  parsed = ParseTimeZoneStruct(20, bytes.data());
  EXPECT_EQ(11, parsed->stStandardDate.wMonth);
  EXPECT_EQ(0, parsed->stStandardDate.wHour);
  EXPECT_EQ(0, parsed->stDaylightDate.wMonth);
}

TEST(InspectTest, PrintsTheFieldsReadInOrder) {
  RecurrenceDescription d = WeeklySeries();
  d.modified.resize(1);
  d.modified[0].location.reset();
  d.modified[0].subject = WString(WSTR("Tab\there"));
  d.deletedDates.clear();
  const auto bytes = WriteAppointmentRecurrence(BuildAppointmentRecurrence(d));
  std::string hex;
  for (BYTE b : bytes) hex += "0123456789abcdef"[b >> 4], hex += "0123456789ABCDEF"[b & 15], hex += ' ';
  std::string out, err;
  ASSERT_EQ(0, host::InspectValue(host::InspectKind::Recurrence, hex, out, err));
  EXPECT_EQ("", err);
  EXPECT_EQ(0u, out.find("ReaderVersion=12292\nWriterVersion=12292\nRecurFrequency=8203\nPatternType=1\n"
                         "CalendarType=0\nFirstDateTime="));
  EXPECT_NE(std::string::npos,
            out.find("\nSlidingFlag=0\nPatternTypeSpecific[0]=42\nEndType=8227\nOccurrenceCount=10\nFirstDOW=0\n"
                     "DeletedInstanceCount=1\nDeletedInstanceDates[0]=" +
                     std::to_string(BlobMinutes(2010, 6, 16)) + "\nModifiedInstanceCount=1\nModifiedInstanceDates[0]="));
  EXPECT_EQ(std::string::npos, out.find("PatternTypeSpecific[1]"));
  EXPECT_NE(std::string::npos, out.find("\nExceptionCount=1\nExceptionInfo[0].StartDateTime="));
  EXPECT_NE(std::string::npos, out.find("\nExceptionInfo[0].OverrideFlags=1\nExceptionInfo[0].SubjectLength=9\n"
                                        "ExceptionInfo[0].SubjectLength2=8\nExceptionInfo[0].Subject=Tab\\there\n"
                                        "ReservedBlock1Size=0\nExtendedException[0].ChangeHighlightSize=4\n"));
  EXPECT_NE(std::string::npos, out.find("\nExtendedException[0].WideCharSubject=Tab\\there\n"
                                        "ExtendedException[0].ReservedBlockEE2Size=0\nReservedBlock2Size=0\n"));
  EXPECT_EQ(out.size() - 21, out.rfind("\nReservedBlock2Size=0\n") + 1);  // the last line

  out.clear();
  ASSERT_EQ(0, host::InspectValue(host::InspectKind::Recurrence, "0430 0430 0A", out, err));
  EXPECT_EQ("ReaderVersion=12292\nWriterVersion=12292\nTrailing=0A\n", out);

  out.clear();
  ASSERT_EQ(0, host::InspectValue(host::InspectKind::TimeZone, "C4FFFFFF000000", out, err));
  // Three bytes are too few for the next biases but enough for the year.
  EXPECT_EQ("lBias=-60\nwStandardYear=0\nTrailing=00\n", out);
}

TEST(InspectTest, MalformedHexIsRefused) {
  std::string out, err;
  EXPECT_EQ(2, host::InspectValue(host::InspectKind::Recurrence, "04 3", out, err));
  EXPECT_NE(std::string::npos, err.find("odd number of digits")) << err;
  err.clear();
  EXPECT_EQ(2, host::InspectValue(host::InspectKind::TimeZone, "04zz", out, err));
  EXPECT_NE(std::string::npos, err.find("'z' at position 3")) << err;
  EXPECT_EQ("", out);
  EXPECT_EQ(0, host::InspectValue(host::InspectKind::TimeZone, " \n", out, err));
}

}  // namespace
