// iCalendar files: what an event becomes, what is left out and why, errors
// that name the line, the conversion to the calendar file form, and the
// status command's answers.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "calendar/TimeHelpers.h"
#include "host/CalendarSource.h"
#include "host/IcsCalendar.h"
#include "memstore/CalendarFile.h"
#include "memstore/CalendarWriter.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

namespace {

using testing_support::FileTimeOf;
using testing_support::SysTime;
using testing_support::Ticks;

const std::string kData = TESSARO_TEST_DATA;

std::string Calendar(const std::string& events) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//t//t//EN\r\n"
         "BEGIN:VTIMEZONE\r\nTZID:Pacific/Auckland\r\n"
         "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+1200\r\nTZOFFSETTO:+1300\r\nDTSTART:19700927T020000\r\n"
         "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=9\r\nEND:DAYLIGHT\r\n"
         "BEGIN:STANDARD\r\nTZOFFSETFROM:+1300\r\nTZOFFSETTO:+1200\r\nDTSTART:19700405T030000\r\n"
         "RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=4\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n" +
         events + "END:VCALENDAR\r\n";
}

// An event with its own UID, or the one given.
std::string Event(const std::string& lines, std::string uid = "") {
  static int next = 0;
  if (uid.empty()) uid = "event-" + std::to_string(++next);
  return "BEGIN:VEVENT\r\nUID:" + uid + "\r\n" + lines + "END:VEVENT\r\n";
}

class IcsTest : public ::testing::Test {
 protected:
  // The machine is in Berlin, in winter.
  testing_support::FakeZone machine{
      testing_support::Zone(-60, -60, testing_support::Rule(3, 0, 5, 2), testing_support::Rule(10, 0, 5, 3)),
      TIME_ZONE_ID_STANDARD};

  host::IcsCalendar Read(const std::string& text) {
    host::IcsCalendar out;
    std::string error;
    EXPECT_TRUE(host::ReadICalendar(text, "t.ics", out, error)) << error;
    return out;
  }
  std::string Error(const std::string& text) {
    host::IcsCalendar out;
    std::string error;
    EXPECT_FALSE(host::ReadICalendar(text, "t.ics", out, error));
    EXPECT_TRUE(out.appointments.empty());
    return error;
  }
};

TEST_F(IcsTest, AnEventsValuesTimesAndZone) {
  const auto c = Read(Calendar(
      Event("SUMMARY:Release sync\r\nLOCATION:Room 2\\, east\\\\4\r\nCLASS:PRIVATE\r\n"
            "DTSTART;TZID=Pacific/Auckland:20260302T080000\r\nDURATION:PT45M\r\n") +
      Event("SUMMARY:Lunch\r\nDTSTART:20260302T110000Z\r\nDTEND:20260302T120000Z\r\nTRANSP:TRANSPARENT\r\n") +
      Event("SUMMARY:Maybe\r\nDTSTART:20260302T140000\r\nDTEND:20260302T150000\r\nSTATUS:TENTATIVE\r\n") +
      Event("SUMMARY:Called off\r\nDTSTART:20260302T140000Z\r\nSTATUS:CANCELLED\r\n") +
      Event("SUMMARY:Away\r\nDTSTART;VALUE=DATE:20260303\r\nX-MICROSOFT-CDO-BUSYSTATUS:OOF\r\n")));
  ASSERT_EQ(5u, c.appointments.size());
  const memstore::Appointment& a = c.appointments[0];
  EXPECT_EQ(WString(WSTR("Room 2, east\\4")), *a.location);
  EXPECT_TRUE(*a.isPrivate);
  EXPECT_EQ(2, *a.busyStatus);
  EXPECT_FALSE(*a.recurring);
  // 08:00 NZDT is 19:00 UTC the day before; the duration gives the end.
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 3, 1, 19))), Ticks(*a.start));
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 3, 1, 19, 45))), Ticks(*a.end));
  // The southern zone: daylight from the last Sunday of September.
  const TIME_ZONE_INFORMATION z = TimeZoneInformationFromStruct(*a.zone);
  EXPECT_EQ(-720, z.Bias);
  EXPECT_EQ(-60, z.DaylightBias);
  EXPECT_EQ(9, z.DaylightDate.wMonth);
  EXPECT_EQ(5, z.DaylightDate.wDay);
  EXPECT_EQ(2, z.DaylightDate.wHour);
  EXPECT_EQ(4, z.StandardDate.wMonth);
  EXPECT_EQ(1, z.StandardDate.wDay);
  EXPECT_EQ(3, z.StandardDate.wHour);
  // UTC times carry the UTC zone; floating ones and dates the machine's.
  EXPECT_EQ(0, TimeZoneInformationFromStruct(*c.appointments[1].zone).Bias);
  EXPECT_EQ(0, *c.appointments[1].busyStatus);
  EXPECT_EQ(-60, TimeZoneInformationFromStruct(*c.appointments[2].zone).Bias);
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 3, 2, 13))), Ticks(*c.appointments[2].start));
  EXPECT_EQ(1, *c.appointments[2].busyStatus);
  EXPECT_EQ(0, *c.appointments[3].busyStatus);
  // A day's event lasts the day, midnight to midnight in the machine's zone.
  EXPECT_EQ(3, *c.appointments[4].busyStatus);
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 3, 2, 23))), Ticks(*c.appointments[4].start));
  EXPECT_EQ(Ticks(FileTimeOf(SysTime(2026, 3, 3, 23))), Ticks(*c.appointments[4].end));
  // Without a location or summary, both are there and empty.
  EXPECT_EQ(WString(), *c.appointments[3].location);
}

TEST_F(IcsTest, RulesBecomeTheRecurrenceValueWithDeletedAndChangedOccurrences) {
  const std::string start = "DTSTART;TZID=Pacific/Auckland:20260302T080000\r\nDTEND;TZID=Pacific/Auckland:20260302T083000\r\n";
  const auto c = Read(Calendar(
      Event(start + "SUMMARY:Sync\r\nRRULE:FREQ=WEEKLY;BYDAY=MO,TH;COUNT=10\r\nEXDATE:20260304T190000Z\r\n",
            "sync") +
      Event("RECURRENCE-ID;TZID=Pacific/Auckland:20260309T080000\r\nSUMMARY:Sync (moved)\r\n"
            "DTSTART;TZID=Pacific/Auckland:20260309T100000\r\nDTEND;TZID=Pacific/Auckland:20260309T110000\r\n"
            "TRANSP:TRANSPARENT\r\n",
            "sync") +
      Event("RECURRENCE-ID;TZID=Pacific/Auckland:20260312T080000\r\nSTATUS:CANCELLED\r\n", "sync") +
      Event("DTSTART;TZID=Pacific/Auckland:20260227T170000\r\nRRULE:FREQ=MONTHLY;BYDAY=-1FR;UNTIL=20260601T000000Z\r\n") +
      Event("DTSTART;TZID=Pacific/Auckland:20260302T090000\r\n"
            "RRULE:FREQ=MONTHLY;INTERVAL=2;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1\r\n") +
      Event("DTSTART:20260302T090000\r\nRRULE:FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR\r\n") +
      Event("DTSTART:20261126T090000\r\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=4TH\r\n")));
  ASSERT_EQ(5u, c.appointments.size());
  const RecurrenceDescription& w = *c.appointments[0].recurrence;
  EXPECT_EQ(RecurrenceKind::Weekly, w.frequency);
  EXPECT_EQ(0x12u, w.weekdayMask);
  EXPECT_EQ(RecurrenceEnd::AfterCount, w.end);
  EXPECT_EQ(10u, w.occurrenceCount);
  EXPECT_EQ(BlobMinutes(2026, 4, 2), w.endDate);  // the tenth: Thursday 2 April
  EXPECT_EQ(BlobMinutes(2026, 3, 2, 8), w.startDate + w.startTimeOffset);
  EXPECT_EQ(30u, w.duration);
  EXPECT_EQ(1u, w.firstDOW);  // RFC 5545's default week start, Monday
  // The UTC EXDATE is 08:00 on the 5th in Auckland; the cancelled change deletes too.
  ASSERT_EQ(2u, w.deletedDates.size());
  EXPECT_EQ(BlobMinutes(2026, 3, 5), w.deletedDates[0]);
  EXPECT_EQ(BlobMinutes(2026, 3, 12), w.deletedDates[1]);
  ASSERT_EQ(1u, w.modified.size());
  EXPECT_EQ(BlobMinutes(2026, 3, 9, 8), w.modified[0].originalStart);
  EXPECT_EQ(BlobMinutes(2026, 3, 9, 10), w.modified[0].newStart);
  EXPECT_EQ(BlobMinutes(2026, 3, 9, 11), w.modified[0].newEnd);
  EXPECT_EQ(WString(WSTR("Sync (moved)")), *w.modified[0].subject);
  EXPECT_FALSE(w.modified[0].location);
  EXPECT_EQ(0u, *w.modified[0].busyStatus);

  const RecurrenceDescription& last = *c.appointments[1].recurrence;
  EXPECT_EQ(blob::kPatternMonthNth, last.patternType);
  EXPECT_EQ(5u, last.weekNumber);
  EXPECT_EQ(0x20u, last.weekdayMask);
  EXPECT_EQ(RecurrenceEnd::ByDate, last.end);
  EXPECT_EQ(4u, last.occurrenceCount);  // February to May: 29 May 17:00 in Auckland is before the UTC end
  const RecurrenceDescription& firstWeekday = *c.appointments[2].recurrence;
  EXPECT_EQ(2u, firstWeekday.period);
  EXPECT_EQ(1u, firstWeekday.weekNumber);
  EXPECT_EQ(0x3Eu, firstWeekday.weekdayMask);
  const RecurrenceDescription& weekdays = *c.appointments[3].recurrence;
  EXPECT_EQ(RecurrenceKind::Daily, weekdays.frequency);
  EXPECT_EQ(blob::kPatternWeek, weekdays.patternType);
  EXPECT_EQ(RecurrenceEnd::Never, weekdays.end);
  const RecurrenceDescription& yearly = *c.appointments[4].recurrence;
  EXPECT_EQ(RecurrenceKind::Yearly, yearly.frequency);
  EXPECT_EQ(12u, yearly.period);
  EXPECT_EQ(4u, yearly.weekNumber);
  EXPECT_EQ(0x10u, yearly.weekdayMask);
}

TEST_F(IcsTest, WhatTheRecurrenceValueCannotSayIsListedAndTheRestLoads) {
  const std::string at = "DTSTART:20260302T090000\r\n";  // a Monday
  const struct {
    std::string lines, reason;
  } cases[] = {
      {at + "RRULE:FREQ=HOURLY\r\n", "a rule more often than daily"},
      {at + "RRULE:FREQ=DAILY;BYHOUR=9,17\r\n", "BYHOUR, BYMINUTE or BYSECOND (several times of day)"},
      {at + "RRULE:FREQ=MONTHLY;BYMONTHDAY=2,16\r\n", "several BYMONTHDAY values"},
      {at + "RRULE:FREQ=MONTHLY;BYDAY=MO;BYSETPOS=-2\r\n", "BYSETPOS=-2 (only 1 to 4 and -1 are n-th weekday forms)"},
      {at + "RRULE:FREQ=MONTHLY;BYDAY=MO\r\n", "several weekdays of the month (BYDAY without a position)"},
      {at + "RRULE:FREQ=WEEKLY;BYDAY=TU\r\n", "DTSTART is not on one of the rule's weekdays"},
      {at + "RRULE:FREQ=WEEKLY\r\nRDATE:20260310T090000\r\n", "RDATE (occurrences on extra dates)"},
      {"DTSTART:20260130T090000\r\nRRULE:FREQ=MONTHLY\r\n",
       "monthly on day 30: the recurrence value would move it to the last day of shorter months, the file skips them"},
      {at + "RRULE:FREQ=YEARLY;BYMONTH=3,9\r\n", "several BYMONTH values"},
      {"SUMMARY:No start\r\n", "it has no DTSTART"},
  };
  std::string events;
  for (const auto& k : cases) events += Event("SUMMARY:x\r\n" + k.lines);
  events += Event("SUMMARY:Fine\r\n" + at + "RRULE:FREQ=WEEKLY\r\n");
  const auto c = Read(Calendar(events));
  ASSERT_EQ(1u, c.appointments.size());
  ASSERT_EQ(std::size(cases), c.leftOut.size());
  int line = 19;  // the first BEGIN:VEVENT after the zone
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].reason, c.leftOut[i].reason);
    EXPECT_EQ(line, c.leftOut[i].line) << cases[i].reason;
    line += 4 + static_cast<int>(std::count(cases[i].lines.begin(), cases[i].lines.end(), '\n'));
  }
}

TEST_F(IcsTest, AMalformedFileLoadsNothingAndTheErrorNamesTheLine) {
  EXPECT_EQ("t.ics:1: expected BEGIN:VCALENDAR, found 'BEGIN:VEVENT'", Error("BEGIN:VEVENT\r\nEND:VEVENT\r\n"));
  EXPECT_EQ("t.ics:3: expected NAME:VALUE or NAME;PARAMETERS:VALUE, found 'this is not a property'",
            Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nthis is not a property\nEND:VEVENT\nEND:VCALENDAR\n"));
  EXPECT_EQ("t.ics:4: END:VCALENDAR where BEGIN:VEVENT of line 2 ends",
            Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20260302T090000\nEND:VCALENDAR\n"));
  EXPECT_EQ("t.ics:1: BEGIN:VCALENDAR is never ended", Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nEND:VEVENT\n"));
  // A folded line keeps the number of its first line.
  EXPECT_EQ("t.ics:5: DTEND: the event ends before it starts",
            Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:a long\n  summary\nDTEND:20260302T080000\n"
                  "DTSTART:20260302T090000\nEND:VEVENT\nEND:VCALENDAR\n"));
  EXPECT_EQ("t.ics:3: DTSTART: unknown time zone 'Nowhere/Atlantis' (the file has no VTIMEZONE for it)",
            Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART;TZID=Nowhere/Atlantis:20260302T090000\nEND:VEVENT\n"
                  "END:VCALENDAR\n"));
  const std::string bad = Error("BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:x\nDTSTART:2026-03-02 09:00\nEND:VEVENT\nEND:VCALENDAR\n");
  EXPECT_EQ(0u, bad.find("t.ics:4: DTSTART: ")) << bad;
}

// The sample files, each in another calendar program's style.
TEST_F(IcsTest, TheSampleFilesLoadAndListWhatTheyLeaveOut) {
  const struct {
    const char* file;
    size_t appointments;
    std::vector<std::string> leftOut;
  } files[] = {
      {"web-calendar.ics", 5, {}},
      {"desktop-mail.ics", 4, {"desktop-mail.ics:83: event \"Vendor check-in\" left out: RDATE (occurrences on extra dates)"}},
      {"groupware.ics", 4,
       {"groupware.ics:63: event \"Gym\" left out: BYHOUR, BYMINUTE or BYSECOND (several times of day)"}},
  };
  for (const auto& f : files) {
    host::LoadedCalendar c;
    std::string error;
    ASSERT_TRUE(host::LoadCalendar(kData + "/" + f.file, FILETIME{}, c, error)) << error;
    EXPECT_TRUE(c.iCalendar);
    EXPECT_EQ(f.appointments, c.appointments.size()) << f.file;
    ASSERT_EQ(f.leftOut.size(), c.leftOut.size()) << f.file;
    for (size_t i = 0; i < f.leftOut.size(); ++i) EXPECT_EQ(kData + "/" + f.leftOut[i], c.leftOut[i]);
  }
}

// What convert writes loads back as the same appointments, in the form the
// provider under Wine reads.
TEST_F(IcsTest, TheConvertedCalendarLoadsBackUnchanged) {
  for (const char* file : {"web-calendar.ics", "desktop-mail.ics", "groupware.ics"}) {
    host::LoadedCalendar ics;
    std::string error;
    ASSERT_TRUE(host::LoadCalendar(kData + "/" + file, FILETIME{}, ics, error)) << error;
    const std::string text = memstore::WriteCalendar(ics.appointments, ics.origins, {"a header"});
    std::vector<memstore::Appointment> back;
    ASSERT_TRUE(memstore::ParseCalendar(text, file, FILETIME{}, back, error)) << error << "\n" << text;
    ASSERT_EQ(ics.appointments.size(), back.size());
    for (size_t i = 0; i < back.size(); ++i) {
      const memstore::Appointment &a = ics.appointments[i], &b = back[i];
      SCOPED_TRACE(std::string(file) + ": " + wstr::ToUtf8(*a.subject));
      EXPECT_EQ(*a.subject, *b.subject);
      EXPECT_EQ(*a.location, *b.location);
      EXPECT_EQ(Ticks(*a.start), Ticks(*b.start));
      EXPECT_EQ(Ticks(*a.end), Ticks(*b.end));
      EXPECT_EQ(*a.busyStatus, *b.busyStatus);
      EXPECT_EQ(*a.isPrivate, *b.isPrivate);
      EXPECT_EQ(*a.recurring, *b.recurring);
      EXPECT_EQ(WriteTimeZoneStruct(*a.zone), *b.zoneBlob);
      if (a.recurrence)
        EXPECT_EQ(WriteAppointmentRecurrence(BuildAppointmentRecurrence(*a.recurrence)), *b.recurrenceBlob);
      else
        EXPECT_FALSE(b.recurrenceBlob);
    }
  }
}

// Runs the program, as a script would, with a registry folder of its own.
int Status(const std::vector<std::string>& args, std::string& out) {
  struct Folder {
    std::string path;
    Folder() {
      char name[] = "/tmp/tessaro-status-XXXXXX";
      path = mkdtemp(name);
    }
    ~Folder() { std::filesystem::remove_all(path); }
  };
  static const Folder folder;
  const std::string& registry = folder.path;
  std::string command = "TESSARO_REGISTRY_DIR=" + registry + " " + TESSARO_PROGRAM + " status";
  for (const std::string& a : args) command += " '" + a + "'";
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  out.clear();
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StatusCommand, ExitsZeroInAMeetingOneWithoutTwoOnAnError) {
  const std::string calendar = kData + "/web-calendar.ics";
  std::string out;
  // The interview, 13:00 to 14:00 UTC.
  EXPECT_EQ(0, Status({"--calendar", calendar, "--now", "2026-12-09T13:20Z"}, out));
  EXPECT_NE(std::string::npos, out.find("In a meeting: \"Interview: backend candidate\" at "
                                        "\"https://meet.example/xyz-uvwx-rst\"")) << out;
  EXPECT_EQ(0, Status({"--calendar", calendar, "--now", "2026-12-09T13:20:00", "--json"}, out));
  EXPECT_EQ(0u, out.find("{\"in_meeting\": true, ")) << out;
  EXPECT_NE(std::string::npos, out.find("\"subject\": \"Interview: backend candidate\", ")) << out;
  EXPECT_NE(std::string::npos, out.find("\"began_seconds_ago\": 1200}")) << out;
  EXPECT_EQ('\n', out.back());
  EXPECT_EQ(1, Status({"--calendar", calendar, "--now", "2026-12-09T12:00", "--json"}, out));
  EXPECT_EQ(0u, out.find("{\"in_meeting\": false, ")) << out;
  EXPECT_NE(std::string::npos, out.find("\"next_start_in_seconds\": 3600}")) << out;
  EXPECT_EQ(2, Status({"--calendar", kData + "/missing.ics"}, out));
  EXPECT_EQ(2, Status({"--now", "yesterday"}, out));
  EXPECT_EQ(2, Status({"--bogus"}, out));
}

}  // namespace
