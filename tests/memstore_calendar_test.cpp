// Calendar files: the demo calendar, the values a file gives, and errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "calendar/RecurrenceBlob.h"
#include "memstore/CalendarFile.h"
#include "tests/support/time_support.h"

namespace {

using testing_support::FileTimeOf;
using testing_support::SysTime;
using testing_support::Ticks;

ULONGLONG Minutes(int m) { return static_cast<ULONGLONG>(m) * 600000000ull; }

class CalendarFileTest : public ::testing::Test {
 protected:
  // The machine is in New York (-05:00, summer -04:00); "now" is Wednesday
  // 2026-07-15 14:20:30 UTC, 10:20:30 in New York.
  testing_support::FakeZone machine{
      testing_support::Zone(300, -60, testing_support::Rule(3, 0, 2, 2), testing_support::Rule(11, 0, 1, 2)),
      TIME_ZONE_ID_DAYLIGHT};
  const FILETIME now = FileTimeOf(SysTime(2026, 7, 15, 14, 20, 30));

  std::vector<memstore::Appointment> Parse(const std::string& text) {
    std::vector<memstore::Appointment> out;
    std::string error;
    EXPECT_TRUE(memstore::ParseCalendar(text, "t.txt", now, out, error)) << error;
    return out;
  }
  std::string Error(const std::string& text) {
    std::vector<memstore::Appointment> out(1);
    std::string error;
    EXPECT_FALSE(memstore::ParseCalendar(text, "t.txt", now, out, error));
    EXPECT_TRUE(out.empty());
    return error;
  }
};

TEST_F(CalendarFileTest, TimesAreRelativeToNowInTheAppointmentsZone) {
  const auto a = Parse(
      "# a comment\n"
      "[zone Berlin]\n"
      "bias = -60\n"
      "daylight = last Sun of Mar 02:00\n"
      "standard = last Sun of Oct 03:00\n"
      "\n"
      "[appointment]\n"
      "subject = Größe\n"
      "start = today 09:00\n"
      "end = +1d 10:30\n"
      "zone = Berlin\n"
      "busy = tentative\n"
      "private = yes\n"
      "[appointment]\n"
      "start = now-15m\n"
      "end = now+1h+30m\n"
      "delivered = 2026-01-31 23:59\n"
      "[appointment]\n"
      "start = today 09:00\n"
      "zone = UTC\n");
  ASSERT_EQ(3u, a.size());
  // 09:00 Berlin summer time is 07:00 UTC.
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 15, 7, 0))), Ticks(*a[0].start));
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 16, 8, 30))), Ticks(*a[0].end));
  EXPECT_EQ(WString(WSTR("Gr\u00F6\u00DFe")), *a[0].subject);
  EXPECT_EQ(1, *a[0].busyStatus);
  EXPECT_TRUE(*a[0].isPrivate);
  EXPECT_FALSE(*a[0].recurring);
  ASSERT_TRUE(a[0].zone.has_value());
  EXPECT_EQ(-60, a[0].zone->lBias);
  EXPECT_EQ(3, a[0].zone->stDaylightDate.wMonth);
  EXPECT_EQ(5, a[0].zone->stDaylightDate.wDay);

  // "now" goes by whole minutes; without a zone the appointment has none
  // and dates are the machine's (New York).
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 15, 14, 5))), Ticks(*a[1].start));
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 15, 15, 50))), Ticks(*a[1].end));
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 2, 1, 4, 59))), Ticks(*a[1].deliveryTime));
  EXPECT_FALSE(a[1].zone.has_value());
  EXPECT_FALSE(a[1].subject.has_value());
  EXPECT_FALSE(a[1].busyStatus.has_value());
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 15, 9, 0))), Ticks(*a[2].start));
  EXPECT_FALSE(a[2].end.has_value());
}

TEST_F(CalendarFileTest, SeriesCarryTheirRuleEndAndExceptions) {
  const auto a = Parse(
      "[appointment]\n"
      "zone = UTC\n"
      "start = 2026-07-06 09:00\n"
      "end = 2026-07-06 09:45\n"
      "repeat = weekly every 2 weeks on Mon, Thu\n"
      "until = 2026-08-06\n"
      "deleted = 2026-07-09\n"
      "[modified]\n"
      "original = 2026-07-20\n"
      "start = 2026-07-21 11:00\n"
      "subject = Moved\n"
      "busy = free\n"
      "[appointment]\n"
      "zone = UTC\n"
      "start = today-2mo 13:00\n"
      "end = today-2mo 14:00\n"
      "repeat = monthly on last Fri\n"
      "count = 3\n"
      "recurring = none\n");
  ASSERT_EQ(2u, a.size());
  ASSERT_TRUE(a[0].recurrence.has_value());
  const RecurrenceDescription& d = *a[0].recurrence;
  EXPECT_TRUE(*a[0].recurring);
  EXPECT_EQ(RecurrenceKind::Weekly, d.frequency);
  EXPECT_EQ(2u, d.period);
  EXPECT_EQ(0x12u, d.weekdayMask);
  EXPECT_EQ(BlobMinutes(2026, 7, 6), d.startDate);
  EXPECT_EQ(540u, d.startTimeOffset);
  EXPECT_EQ(45u, d.duration);
  // Jul 6, 9, 20, 23 and Aug 3, 6.
  EXPECT_EQ(RecurrenceEnd::ByDate, d.end);
  EXPECT_EQ(6u, d.occurrenceCount);
  EXPECT_EQ((std::vector<DWORD>{BlobMinutes(2026, 7, 9)}), d.deletedDates);
  ASSERT_EQ(1u, d.modified.size());
  const ModifiedOccurrence& m = d.modified[0];
  EXPECT_EQ(BlobMinutes(2026, 7, 20, 9, 0), m.originalStart);
  EXPECT_EQ(BlobMinutes(2026, 7, 21, 11, 0), m.newStart);
  EXPECT_EQ(BlobMinutes(2026, 7, 21, 11, 45), m.newEnd);  // moved, it keeps its length
  EXPECT_EQ(WString(WSTR("Moved")), *m.subject);
  EXPECT_EQ(0u, *m.busyStatus);

  const RecurrenceDescription& monthly = *a[1].recurrence;
  EXPECT_FALSE(a[1].recurring.has_value());
  EXPECT_EQ(blob::kPatternMonthNth, monthly.patternType);
  EXPECT_EQ(5u, monthly.weekNumber);
  EXPECT_EQ(0x20u, monthly.weekdayMask);
  EXPECT_EQ(BlobMinutes(2026, 5, 15), monthly.startDate);
  // The last Fridays of May, June and July 2026.
  EXPECT_EQ(RecurrenceEnd::AfterCount, monthly.end);
  EXPECT_EQ(BlobMinutes(2026, 7, 31), monthly.endDate);
  // The blob made from it reads back.
  const auto blob = WriteAppointmentRecurrence(BuildAppointmentRecurrence(d));
  const auto parsed = ParseAppointmentRecurrence(static_cast<DWORD>(blob.size()), blob.data());
  EXPECT_EQ(2u, parsed->Pattern.DeletedInstanceCount);
  EXPECT_EQ(1u, parsed->Pattern.ModifiedInstanceCount);
}

TEST_F(CalendarFileTest, MistakesNameTheLineAndFieldAndLoadNothing) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"[appointment]\nsubject = a\nstart = today 25:00\n", "t.txt:3: start: expected a time of day HH:MM: '25:00'"},
      {"\n[appointment]\nbusy = maybe\n", "t.txt:3: busy: expected free, tentative, busy or away: 'maybe'"},
      {"[appointment]\ncolour = red\n", "t.txt:2: colour: unknown field in a [appointment] block"},
      {"[appointment]\nzone = Paris\n", "t.txt:2: zone: unknown zone 'Paris' (define it in a [zone] block above)"},
      {"subject = a\n", "t.txt:1: subject: a field outside any block"},
      {"[meeting]\n", "t.txt:1: [meeting]: unknown block; the blocks are [zone NAME], [appointment] and [modified]"},
      {"[modified]\n", "t.txt:1: [modified]: a [modified] block follows the [appointment] it changes"},
      {"[appointment]\nsubject = a\nsubject = b\n", "t.txt:3: subject: given twice in the block (first on line 2)"},
      {"[appointment]\nstart = today 09:00\nrepeat = daily\n",
       "t.txt:3: repeat: a repeating appointment needs its start and end"},
      {"[appointment]\nstart = today 09:00\nend = today 10:00\nrepeat = fortnightly\n",
       "t.txt:4: repeat: expected daily, daily every 2 days, weekdays, weekly on Mon,Thu, weekly every 2 weeks, "
       "monthly on day 15, monthly on 2nd Tue, monthly on last day, yearly or yearly on last Sun"},
      {"[appointment]\nstart = today 09:00\nend = today 10:00\nrepeat = daily\nuntil = +3d\ncount = 2\n",
       "t.txt:6: count: a series ends either by until or by count"},
      {"[appointment]\nstart = today 09:00\nend = today 10:00\ndeleted = +1d\n",
       "t.txt:4: deleted: only a repeating appointment (with repeat) has this field"},
      {"[appointment]\nstart = today 09:00\nend = today 10:00\nrepeat = daily\ndeleted = +1d, 2026-02-30\n",
       "t.txt:5: deleted: expected a date: today, today+2d, -1w, +3mo or YYYY-MM-DD: '2026-02-30'"},
      {"[zone X]\nbias = -60\ndaylight = last Sun of Mar 02:00\n",
       "t.txt:3: standard: a zone with daylight saving needs both rules, daylight and standard"},
      {"[zone X]\nbias = 60\nstandard = first Sun in Oct 03:00\ndaylight = last Sun of Mar 02:00\n",
       "t.txt:3: standard: expected a rule such as 'last Sun of Mar 02:00': 'first Sun in Oct 03:00'"},
      {"[appointment]\nstart = now+5x\n", "t.txt:2: start: units are m, h, d, w, mo and y"},
      {"[appointment]\nstart = now-99999999d\n", "t.txt:2: start: the date falls outside the years 1601 to 4500"},
      {"[appointment]\nstart = today+3000y 10:00\n", "t.txt:2: start: the date falls outside the years 1601 to 4500"},
      {"[appointment]\nstart = today 09:00\nend = today 10:00\nrepeat = daily\n[modified]\nstart = +1d 11:00\n",
       "t.txt:5: original: a changed occurrence names the day the rule put it on"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error, Error(c.text)) << c.text;
}

TEST_F(CalendarFileTest, TheDemoCalendarLoadsWithMeetingsInProgress) {
  std::vector<memstore::Appointment> demo;
  std::string error;
  ASSERT_TRUE(memstore::ParseCalendar(memstore::DemoCalendarText(), memstore::kDemoCalendarName, now, demo, error))
      << error;
  ASSERT_GE(demo.size(), 10u);
  int singleInProgress = 0, series = 0, modified = 0, deleted = 0;
  bool daylightZone = false;
  for (const memstore::Appointment& a : demo) {
    if (a.recurrence) {
      ++series;
      modified += static_cast<int>(a.recurrence->modified.size());
      deleted += static_cast<int>(a.recurrence->deletedDates.size());
    } else if (Ticks(*a.start) <= Ticks(now) && Ticks(now) < Ticks(*a.end) && a.busyStatus.value_or(2) >= 2 &&
               !a.isPrivate.value_or(false)) {
      ++singleInProgress;
    }
    if (a.zone && a.zone->stDaylightDate.wMonth != 0) daylightZone = true;
  }
  EXPECT_GE(singleInProgress, 1);
  EXPECT_GE(series, 5);
  EXPECT_GE(modified, 2);
  EXPECT_GE(deleted, 3);
  EXPECT_TRUE(daylightZone);
  // Whatever the day, it loads.
  for (int day = 0; day < 366; day += 7) {
    const FILETIME later = testing_support::FileTime(Ticks(now) + Minutes(day * 1440 + 77));
    EXPECT_TRUE(memstore::ParseCalendar(memstore::DemoCalendarText(), "demo", later, demo, error)) << error;
  }
}

TEST_F(CalendarFileTest, FilesAreReadFromDisk) {
  std::vector<memstore::Appointment> out;
  std::string error;
  EXPECT_FALSE(memstore::LoadCalendarFile("no-such-calendar.txt", now, out, error));
  EXPECT_EQ("no-such-calendar.txt: cannot read the file", error);
  const char* name = "memstore_calendar_test.txt";
  {
    std::ofstream file(name, std::ios::binary);
    file << "[appointment]\r\nsubject = From disk\r\nbusy = away\r\n";
  }
  EXPECT_TRUE(memstore::LoadCalendarFile(name, now, out, error)) << error;
  std::remove(name);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(WString(WSTR("From disk")), *out[0].subject);
  EXPECT_EQ(3, *out[0].busyStatus);
}

}  // namespace

#include "calendar/CalendarScan.h"
#include "calendar/TimeHelpers.h"

namespace {

// What the calendar scan makes of the demo calendar at a given moment: the
// subjects of the meetings in progress and the seconds to the next start.
struct Scanned {
  std::vector<WString> inProgress;
  DWORD nextStart = 0;
};

Scanned ScanDemo(const FILETIME& at) {
  testing_support::FakeNow clock(at);
  std::vector<memstore::Appointment> demo;
  std::string error;
  EXPECT_TRUE(memstore::ParseCalendar(memstore::DemoCalendarText(), "demo", at, demo, error)) << error;
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed(provider);
  provider.AddQuietly(demo);
  ComPtr<IMAPISession> session;
  ComPtr<IMsgStore> store;
  EXPECT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
  EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE, session.Receive()));
  std::vector<BYTE> id = provider.StoreEntryId(true);
  EXPECT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                                        nullptr, 0, store.Receive()));
  MeetingTable table;
  table.Reset();
  EXPECT_EQ(S_OK, GetCalEntries(session, store, table));
  Scanned out;
  for (LONG i = 0; i < table.m_meetingIndex; ++i) {
    const WCHAR* subject = table.m_meetings[static_cast<size_t>(i)]->subject.Get();
    out.inProgress.emplace_back(subject != nullptr ? subject : WSTR(""));
  }
  out.nextStart = table.nextStartMeetingTime;
  return out;
}

TEST_F(CalendarFileTest, TheScanFindsTheDemoBusyWhateverTheDay) {
  for (int day = 0; day < 366; day += 11) {
    const FILETIME at = testing_support::FileTime(Ticks(now) + Minutes(day * 1440 + day * 37));
    const Scanned s = ScanDemo(at);
    EXPECT_NE(s.inProgress.end(), std::find(s.inProgress.begin(), s.inProgress.end(), WString(WSTR("Design review"))))
        << day;
    EXPECT_GT(s.nextStart, 0u) << day;
    EXPECT_LE(s.nextStart, 25u * 60) << day;
    // Private, free and tentative ones never show.
    for (const WString& subject : s.inProgress) {
      EXPECT_NE(WString(WSTR("Dentist")), subject);
      EXPECT_NE(WString(WSTR("Architecture guild")), subject);
    }
  }
}

}  // namespace

namespace {

std::string HexOf(const std::vector<BYTE>& bytes) {
  std::string s;
  char two[3];
  for (BYTE b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    s += two;
  }
  return s;
}

// A weekly series on Monday 2026-07-13 09:00-10:00 and the Berlin zone, as an
// item would carry them.
struct RawValues {
  std::string recurrence, zone;
  RawValues() {
    RecurrenceDescription d;
    d.frequency = RecurrenceKind::Weekly;
    d.patternType = blob::kPatternWeek;
    d.period = 1;
    d.weekdayMask = 0x02;
    d.startDate = BlobMinutes(2026, 7, 13);
    d.startTimeOffset = 9 * 60;
    d.duration = 60;
    d.deletedDates = {BlobMinutes(2026, 7, 20)};
    recurrence = HexOf(WriteAppointmentRecurrence(BuildAppointmentRecurrence(d)));
    zone = HexOf(WriteTimeZoneStruct(BuildTimeZoneStruct(-60, 0, -60, TransitionRule(10, 0, 5, 3),
                                                         TransitionRule(3, 0, 5, 2))));
  }
};

}  // namespace

TEST_F(CalendarFileTest, RawValuesAreWrittenUnchangedAndTimesReadInTheirZone) {
  const RawValues raw;
  // Blanks inside the hex are allowed, as a copied value often has them.
  std::string spaced = raw.zone.substr(0, 8) + " " + raw.zone.substr(8);
  const auto a = Parse("[appointment]\nsubject = Standup\nstart = 2026-07-13 09:00\nend = 2026-07-13 10:00\n"
                       "recurrence-blob = " + raw.recurrence + "\ntimezone-blob = " + spaced + "\n");
  ASSERT_EQ(1u, a.size());
  ASSERT_TRUE(a[0].recurrenceBlob && a[0].zoneBlob);
  EXPECT_EQ(raw.recurrence, HexOf(*a[0].recurrenceBlob));
  EXPECT_EQ(raw.zone, HexOf(*a[0].zoneBlob));
  EXPECT_FALSE(a[0].recurrence);
  EXPECT_FALSE(a[0].zone);
  EXPECT_EQ(true, a[0].recurring);
  // 09:00 Berlin summer time is 07:00 UTC.
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 7, 13, 7))), Ticks(*a[0].start));
}

TEST_F(CalendarFileTest, RawValuesThatDisagreeWithTheOtherFieldsAreReported) {
  const RawValues raw;
  const std::string berlin = "[zone Berlin]\nbias = -60\ndaylight = last Sun of Mar 02:00\nstandard = last Sun of Oct 03:00\n";
  const std::string head = "[appointment]\nstart = 2026-07-13 09:00\nend = 2026-07-13 10:00\ntimezone-blob = " + raw.zone + "\n";
  // The same zone named and given raw is fine; another one is not.
  EXPECT_EQ(1u, Parse(berlin + "[appointment]\nzone = Berlin\ntimezone-blob = " + raw.zone + "\n").size());
  EXPECT_EQ("t.txt:5: timezone-blob: does not match the zone New York: bias -60 here, 300 in the zone",
            Error("[zone New York]\nbias = 300\n[appointment]\nzone = New York\ntimezone-blob = " + raw.zone + "\n"));
  EXPECT_EQ("t.txt:2: start: the recurrence value's first occurrence starts 2026-07-13 09:00, not 2026-07-13 08:00",
            Error("[appointment]\nstart = 2026-07-13 08:00\nend = 2026-07-13 09:00\ntimezone-blob = " + raw.zone +
                  "\nrecurrence-blob = " + raw.recurrence + "\n"));
  EXPECT_EQ("t.txt:3: end: the recurrence value's occurrences last 60 minutes, not 90",
            Error("[appointment]\nstart = 2026-07-13 09:00\nend = 2026-07-13 10:30\ntimezone-blob = " + raw.zone +
                  "\nrecurrence-blob = " + raw.recurrence + "\n"));
  EXPECT_EQ("t.txt:6: repeat: the series comes from recurrence-blob (line 5); give the one or the other",
            Error(head + "recurrence-blob = " + raw.recurrence + "\nrepeat = weekly\n"));
  EXPECT_EQ("t.txt:6: recurring: an appointment with a recurrence-blob is recurring",
            Error(head + "recurrence-blob = " + raw.recurrence + "\nrecurring = no\n"));
  EXPECT_EQ("t.txt:6: [modified]: the series comes from recurrence-blob (line 5), which holds its changes",
            Error(head + "recurrence-blob = " + raw.recurrence + "\n[modified]\noriginal = 2026-07-20\n"));
  // Malformed values.
  EXPECT_EQ("t.txt:2: timezone-blob: the zone value takes 48 bytes; this one has 2",
            Error("[appointment]\ntimezone-blob = C4FF\n"));
  EXPECT_EQ("t.txt:2: recurrence-blob: an odd number of hexadecimal digits; each byte takes two",
            Error("[appointment]\nrecurrence-blob = 043\n"));
  EXPECT_EQ("t.txt:2: recurrence-blob: expected hexadecimal digits, found 'x'",
            Error("[appointment]\nrecurrence-blob = 0x04\n"));
  EXPECT_EQ("t.txt:2: recurrence-blob: not a recurrence value: its frequency is 0",
            Error("[appointment]\nrecurrence-blob = 04300430\n"));
}
