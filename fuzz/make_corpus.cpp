// Writes the fuzzers' seed corpus with the blob writer:
//   make_corpus DIR   ->  DIR/appointment_recurrence/*, DIR/recurrence_pattern/*, DIR/time_zone_struct/*
#include <cstdio>
#include <string>
#include <vector>

#include "calendar/BlobWriter.h"

namespace {

bool Save(const std::string& dir, const std::string& name, const std::vector<BYTE>& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

ModifiedOccurrence Moved(DWORD original, int minutes, int length, const char16_t* subject, const char16_t* location,
                         int busy) {
  ModifiedOccurrence m;
  m.originalStart = original;
  m.newStart = original + minutes;
  m.newEnd = m.newStart + length;
  if (subject) m.subject = WString(subject, subject + std::char_traits<char16_t>::length(subject));
  if (location) m.location = WString(location, location + std::char_traits<char16_t>::length(location));
  if (busy >= 0) m.busyStatus = static_cast<DWORD>(busy);
  return m;
}

std::vector<std::pair<std::string, RecurrenceDescription>> Series() {
  std::vector<std::pair<std::string, RecurrenceDescription>> all;

  RecurrenceDescription daily;
  daily.period = 1440;
  daily.startDate = BlobMinutes(2010, 6, 1);
  daily.startTimeOffset = 9 * 60;
  daily.duration = 60;
  all.emplace_back("daily", daily);

  RecurrenceDescription dailyEnds = daily;
  dailyEnds.end = RecurrenceEnd::AfterCount;
  dailyEnds.occurrenceCount = 5;
  dailyEnds.endDate = BlobMinutes(2010, 6, 5);
  dailyEnds.deletedDates = {BlobMinutes(2010, 6, 2), BlobMinutes(2010, 6, 4)};
  all.emplace_back("daily-count-deleted", dailyEnds);

  RecurrenceDescription weekly;
  weekly.frequency = RecurrenceKind::Weekly;
  weekly.patternType = blob::kPatternWeek;
  weekly.period = 1;
  weekly.weekdayMask = 0x2A;
  weekly.startDate = BlobMinutes(2010, 6, 7);
  weekly.startTimeOffset = 9 * 60;
  weekly.duration = 60;
  weekly.deletedDates = {BlobMinutes(2010, 6, 11)};
  const DWORD wed = BlobMinutes(2010, 6, 16, 9);
  weekly.modified = {Moved(wed, 120, 30, u"Design review", u"Room 4", -1),
                     Moved(BlobMinutes(2010, 6, 9, 9), 0, 60, nullptr, nullptr, 1),
                     Moved(BlobMinutes(2010, 6, 21, 9), 30, 60, u"Caf\u00e9 \u20ac", nullptr, 2)};
  all.emplace_back("weekly-exceptions", weekly);

  RecurrenceDescription weeklyOld = weekly;
  weeklyOld.writerVersion2 = 0x3008;
  all.emplace_back("weekly-exceptions-3008", weeklyOld);

  RecurrenceDescription monthlyNth;
  monthlyNth.frequency = RecurrenceKind::Monthly;
  monthlyNth.patternType = blob::kPatternMonthNth;
  monthlyNth.period = 1;
  monthlyNth.weekdayMask = 0x04;
  monthlyNth.weekNumber = 2;
  monthlyNth.startDate = BlobMinutes(2010, 6, 8);
  monthlyNth.end = RecurrenceEnd::ByDate;
  monthlyNth.endDate = BlobMinutes(2011, 6, 14);
  monthlyNth.startTimeOffset = 14 * 60;
  monthlyNth.duration = 90;
  monthlyNth.modified = {Moved(BlobMinutes(2010, 7, 13, 14), 60, 90, nullptr, u"Hall", 3)};
  all.emplace_back("monthly-nth", monthlyNth);

  RecurrenceDescription yearly;
  yearly.frequency = RecurrenceKind::Yearly;
  yearly.patternType = blob::kPatternMonth;
  yearly.period = 12;
  yearly.dayOfMonth = 29;
  yearly.startDate = BlobMinutes(2012, 2, 29);
  yearly.duration = 1440;
  all.emplace_back("yearly", yearly);
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_corpus DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  for (const auto& [name, description] : Series()) {
    AppointmentRecurrencePattern r = BuildAppointmentRecurrence(description);
    ok &= Save(dir + "/appointment_recurrence", name, WriteAppointmentRecurrence(r));
    ok &= Save(dir + "/recurrence_pattern", name, WriteRecurrencePattern(r.Pattern));
  }
  // Reserved blocks and trailing bytes, which the builder never makes.
  AppointmentRecurrencePattern blocks = BuildAppointmentRecurrence(Series()[2].second);
  blocks.ReservedBlock1Size = 3;
  blocks.ReservedBlock1 = std::vector<BYTE>{1, 2, 3};
  for (auto& x : *blocks.ExtendedException) {
    x.ChangeHighlightSize = 6;
    x.ChangeHighlightReserved = std::vector<BYTE>{0xAB, 0xCD};
    x.ReservedBlockEE1Size = 1;
    x.ReservedBlockEE1 = std::vector<BYTE>{0xEE};
  }
  blocks.ReservedBlock2Size = 2;
  blocks.ReservedBlock2 = std::vector<BYTE>{4, 5};
  blocks.Trailing = std::vector<BYTE>{0xFF};
  ok &= Save(dir + "/appointment_recurrence", "reserved-blocks", WriteAppointmentRecurrence(blocks));

  const TimeZoneStruct eastern =
      BuildTimeZoneStruct(300, 0, -60, TransitionRule(11, 0, 1, 2), TransitionRule(3, 0, 2, 2));
  const TimeZoneStruct berlin =
      BuildTimeZoneStruct(-60, 0, -60, TransitionRule(10, 0, 5, 3), TransitionRule(3, 0, 5, 2));
  ok &= Save(dir + "/time_zone_struct", "eastern", WriteTimeZoneStruct(eastern));
  ok &= Save(dir + "/time_zone_struct", "berlin", WriteTimeZoneStruct(berlin));
  ok &= Save(dir + "/time_zone_struct", "utc", WriteTimeZoneStruct(BuildTimeZoneStruct(0, 0, 0, {}, {})));
  TimeZoneStruct longer = eastern;
  longer.Trailing = std::vector<BYTE>{0, 1, 2, 3};
  ok &= Save(dir + "/time_zone_struct", "trailing", WriteTimeZoneStruct(longer));
  return ok ? 0 : 1;
}
