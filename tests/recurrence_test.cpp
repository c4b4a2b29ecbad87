// Expanding recurring series: real blobs made by the writer, parsed, walked.
#include <gtest/gtest.h>

#include "calendar/BlobWriter.h"
#include "calendar/CalendarLog.h"
#include "calendar/Recurrence.h"
#include "calendar/TimeHelpers.h"
#include "module/NamedLogger.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

using namespace testing_support;

namespace {

constexpr LONGLONG kDay = 86400;

// The clock (both readings) and the machine's zone with its current state.
struct World {
  void SetNow(LONGLONG seconds) { clock.Set(FileTimeFromSeconds(seconds)); }
  FILETIME Now() const { return clock.Now(); }
  FakeNow clock{FILETIME{0, 0}};
  FakeZone machine{TIME_ZONE_INFORMATION{}, TIME_ZONE_ID_UNKNOWN};
};

LONGLONG At(int y, int m, int d, int h = 0, int mi = 0, int s = 0) {
  return SecondsFromSystemTime(SYSTEMTIME{static_cast<WORD>(y), static_cast<WORD>(m), 0, static_cast<WORD>(d),
                                          static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s), 0});
}

TIME_ZONE_INFORMATION Eastern() {
  TIME_ZONE_INFORMATION z{};
  z.Bias = 300;
  z.DaylightBias = -60;
  z.StandardDate = TransitionRule(11, 0, 1, 2);
  z.DaylightDate = TransitionRule(3, 0, 2, 2);
  return z;
}

// Writes the description as a blob and parses it back, as the scan does.
std::unique_ptr<AppointmentRecurrencePattern> Parsed(const RecurrenceDescription& d) {
  const std::vector<BYTE> bytes = WriteAppointmentRecurrence(BuildAppointmentRecurrence(d));
  return ParseAppointmentRecurrence(static_cast<DWORD>(bytes.size()), bytes.data());
}

struct Result {
  LONGLONG offset;
  BYTE skip;
};

class Recurrence : public ::testing::Test {
 protected:
  World world;
  TIME_ZONE_INFORMATION utcZone{};
  MeetingEntry E;

  Result Evaluate(const RecurrenceDescription& d, LONGLONG firstStart, LONG duration, const TIME_ZONE_INFORMATION* zone) {
    const auto R = Parsed(d);
    EXPECT_NE(nullptr, R);
    E.duration = duration;
    E.meetingTimeZone = zone;
    BYTE skip = 7;
    const LONGLONG offset = AdjustForOccurred(*R, FileTimeFromSeconds(firstStart), world.Now(), E, skip);
    return {offset, skip};
  }
  Result Evaluate(const RecurrenceDescription& d, LONGLONG firstStart, LONG duration = 3600) {
    return Evaluate(d, firstStart, duration, &utcZone);
  }

  static RecurrenceDescription Daily(DWORD firstDay) {
    RecurrenceDescription d;
    d.frequency = RecurrenceKind::Daily;
    d.patternType = blob::kPatternDay;
    d.period = 1440;
    d.startDate = firstDay;
    d.startTimeOffset = 9 * 60;
    d.duration = 60;
    return d;
  }
};

// Routes the evaluation's log lines to a captured debugger stream.
class CapturedLog {
 public:
  explicit CapturedLog(DWORD flags = LOG_TO_DEBUGGER | 0xF) : logger_(WSTR("CCalPresenceAX :: "), WSTR("Test")) {
    logger_.Settings().m_debugFlags = flags;
    CalendarLog::Route(&logger_, static_cast<BYTE>(flags));
  }
  ~CapturedLog() { CalendarLog::Route(nullptr, 0); }
  bool Has(const std::string& text) const {
    for (const auto& line : diag.lines)
      if (U8(line).find(text) != std::string::npos) return true;
    return false;
  }
  CapturedDiagnostics diag;

 private:
  CNamedLogger logger_;
};

}  // namespace

TEST_F(Recurrence, DailySeriesFindsTheOccurrenceInProgressOrNext) {
  const RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  const LONGLONG first = At(2010, 6, 1, 9);
  world.SetNow(At(2010, 6, 14, 9, 30));
  Result r = Evaluate(d, first);
  EXPECT_EQ(1123200, r.offset);  // 13 days: in progress
  EXPECT_EQ(0, r.skip);

  world.SetNow(At(2010, 6, 14, 8, 30));
  EXPECT_EQ(1123200, Evaluate(d, first).offset);  // not yet begun

  world.SetNow(At(2010, 6, 14, 9));
  EXPECT_EQ(1123200, Evaluate(d, first).offset);  // begins this very second: not yet begun

  world.SetNow(At(2010, 5, 1));
  EXPECT_EQ(0, Evaluate(d, first).offset);  // the first occurrence itself is next

  RecurrenceDescription five = d;
  five.end = RecurrenceEnd::AfterCount;
  five.occurrenceCount = 5;
  world.SetNow(At(2010, 6, 14, 9, 30));
  r = Evaluate(five, first);
  EXPECT_EQ(0, r.offset);  // five occurrences, all over
  EXPECT_EQ(0, r.skip);
  world.SetNow(At(2010, 6, 5, 9, 30));
  EXPECT_EQ(4 * kDay, Evaluate(five, first).offset);  // the fifth is in progress
}

TEST_F(Recurrence, WeeklyMaskMovesTheFirstOccurrenceToToday) {
  RecurrenceDescription d;
  d.frequency = RecurrenceKind::Weekly;
  d.patternType = blob::kPatternWeek;
  d.period = 1;
  d.weekdayMask = 0x2A;  // Monday, Wednesday, Friday
  d.startDate = BlobMinutes(2010, 5, 31);  // a Monday
  d.startTimeOffset = 9 * 60;
  d.duration = 60;
  const LONGLONG first = At(2010, 5, 31, 9);

  CapturedLog log;
  world.SetNow(At(2010, 6, 15, 9, 30));  // a Tuesday
  Result r = Evaluate(d, first);
  EXPECT_EQ(1, r.skip);
  EXPECT_EQ(0, r.offset);
  EXPECT_TRUE(log.Has("Tessaro INFO  :: AdjustForOccurred(459): Meeting doesn't occur on this day"));

  // On Wednesday 16 June the series is walked from Wednesday 2 June: 2 and 9
  // June are over, 16 June is in progress.
  world.SetNow(At(2010, 6, 16, 9, 30));
  r = Evaluate(d, first);
  EXPECT_EQ(0, r.skip);
  EXPECT_EQ(16 * kDay, r.offset);
  EXPECT_TRUE(log.Has("AdjustForOccurred(500): Meeting start time in secnods: "));

  // The count drops by 2 for the move and by 3 for every week passed.
  d.end = RecurrenceEnd::AfterCount;
  d.occurrenceCount = 9;
  EXPECT_EQ(16 * kDay, Evaluate(d, first).offset);
  d.occurrenceCount = 8;
  EXPECT_EQ(0, Evaluate(d, first).offset);
}

TEST_F(Recurrence, RulesThatDoNotApplyTodaySkipSilently) {
  CapturedLog log(LOG_TO_DEBUGGER | LOG_ERROR | LOG_MAJOR | LOG_INFO);
  // Silently: the last line written is the one every evaluation writes
  // before it looks at the rule.
  auto endsSilently = [&]() -> ::testing::AssertionResult {
    if (log.diag.lines.empty()) return ::testing::AssertionFailure() << "nothing written";
    const std::string last = U8(log.diag.lines.back());
    if (last.find("AdjustForOccurred(369): current time in local time") == std::string::npos)
      return ::testing::AssertionFailure() << "ends with " << last;
    return ::testing::AssertionSuccess();
  };
  RecurrenceDescription weekdays = Daily(BlobMinutes(2010, 6, 1));
  weekdays.patternType = blob::kPatternWeek;
  weekdays.period = 1;
  weekdays.weekdayMask = 0x3E;
  world.SetNow(At(2010, 6, 19, 10));  // a Saturday
  Result r = Evaluate(weekdays, At(2010, 6, 1, 9));
  EXPECT_EQ(1, r.skip);
  EXPECT_EQ(0, r.offset);
  EXPECT_TRUE(endsSilently());

  RecurrenceDescription monthly;
  monthly.frequency = RecurrenceKind::Monthly;
  monthly.patternType = blob::kPatternMonthNth;
  monthly.period = 1;
  monthly.weekdayMask = 0x04;  // Tuesday
  monthly.weekNumber = 2;
  monthly.startDate = BlobMinutes(2010, 1, 12);
  monthly.startTimeOffset = 9 * 60;
  monthly.duration = 60;
  world.SetNow(At(2010, 6, 17, 10));  // a Thursday
  r = Evaluate(monthly, At(2010, 1, 12, 9));
  EXPECT_EQ(1, r.skip);
  EXPECT_TRUE(endsSilently());
  const size_t linesBefore = log.diag.lines.size();

  // An unknown frequency is not expanded: 0 and no skip.
  RecurrenceDescription unknown = Daily(BlobMinutes(2010, 6, 1));
  AppointmentRecurrencePattern R = BuildAppointmentRecurrence(unknown);
  R.Pattern.RecurFrequency = 0;
  const std::vector<BYTE> bytes = WriteAppointmentRecurrence(R);
  const auto parsed = ParseAppointmentRecurrence(static_cast<DWORD>(bytes.size()), bytes.data());
  BYTE skip = 9;
  E.meetingTimeZone = &utcZone;
  EXPECT_EQ(0, AdjustForOccurred(*parsed, FileTimeFromSeconds(At(2010, 6, 1, 9)), world.Now(), E, skip));
  EXPECT_EQ(0, skip);
  EXPECT_GT(log.diag.lines.size(), linesBefore);
  EXPECT_TRUE(endsSilently());
}

TEST_F(Recurrence, EveryWeekdayStepsOverWeekendsWithoutCounting) {
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 4));  // a Friday
  d.patternType = blob::kPatternWeek;
  d.period = 1;
  d.weekdayMask = 0x3E;
  d.end = RecurrenceEnd::AfterCount;
  d.occurrenceCount = 2;  // Friday 4 and Monday 7 June
  world.SetNow(At(2010, 6, 7, 9, 15));
  EXPECT_EQ(3 * kDay, Evaluate(d, At(2010, 6, 4, 9)).offset);
  world.SetNow(At(2010, 6, 8, 9, 15));
  EXPECT_EQ(0, Evaluate(d, At(2010, 6, 4, 9)).offset);  // Tuesday would be the third
}

TEST_F(Recurrence, MonthlyAndYearlyRulesStepByTheCalendar) {
  RecurrenceDescription monthly;
  monthly.frequency = RecurrenceKind::Monthly;
  monthly.patternType = blob::kPatternMonthNth;
  monthly.period = 1;
  monthly.weekdayMask = 0x04;  // Tuesday
  monthly.weekNumber = 2;
  monthly.startDate = BlobMinutes(2010, 1, 12);  // second Tuesday of January
  monthly.startTimeOffset = 9 * 60;
  monthly.duration = 60;
  world.SetNow(At(2010, 6, 8, 9, 30));  // second Tuesday of June, in progress
  Result r = Evaluate(monthly, At(2010, 1, 12, 9));
  EXPECT_EQ(0, r.skip);
  EXPECT_EQ(At(2010, 6, 8, 9) - At(2010, 1, 12, 9), r.offset);

  // A first start in a later month than now is not expanded.
  world.SetNow(At(2009, 12, 8, 9, 30));
  EXPECT_EQ(0, Evaluate(monthly, At(2010, 1, 12, 9)).offset);

  RecurrenceDescription yearly;
  yearly.frequency = RecurrenceKind::Yearly;
  yearly.patternType = blob::kPatternMonth;
  yearly.period = 12;
  yearly.dayOfMonth = 14;
  yearly.startDate = BlobMinutes(2007, 6, 14);
  yearly.startTimeOffset = 9 * 60;
  yearly.duration = 60;
  world.SetNow(At(2010, 6, 14, 9, 30));
  r = Evaluate(yearly, At(2007, 6, 14, 9));
  EXPECT_EQ(At(2010, 6, 14, 9) - At(2007, 6, 14, 9), r.offset);

  // The month walker from the 31st passes months without that day.
  RecurrenceDescription last = monthly;
  last.patternType = blob::kPatternMonth;
  last.dayOfMonth = 31;
  last.weekNumber = 0;
  world.SetNow(At(2010, 3, 31, 9, 30));
  r = Evaluate(last, At(2010, 1, 31, 9));
  EXPECT_EQ(0, r.skip);
  EXPECT_EQ(At(2010, 3, 31, 9) - At(2010, 1, 31, 9), r.offset);
}

TEST_F(Recurrence, DaylightSavingFollowsTheMachineState) {
  const TIME_ZONE_INFORMATION eastern = Eastern();
  RecurrenceDescription d = Daily(BlobMinutes(2010, 1, 4));
  const LONGLONG first = At(2010, 1, 4, 14);  // 09:00 standard time
  world.SetNow(At(2010, 6, 14, 12));
  world.machine.state = TIME_ZONE_ID_DAYLIGHT;
  Result r = Evaluate(d, first, 3600, &eastern);
  EXPECT_EQ(At(2010, 6, 14, 13) - first, r.offset);  // placed at 13:00 UTC
  world.machine.state = TIME_ZONE_ID_STANDARD;
  r = Evaluate(d, first, 3600, &eastern);
  EXPECT_EQ(At(2010, 6, 14, 14) - first, r.offset);  // outside the window: no adjustment

  // A first start in daylight time, evaluated in standard time: one hour later.
  RecurrenceDescription july = Daily(BlobMinutes(2010, 7, 5));
  const LONGLONG julyFirst = At(2010, 7, 5, 13);  // 09:00 daylight time
  world.SetNow(At(2010, 12, 6, 12));
  r = Evaluate(july, julyFirst, 3600, &eastern);
  EXPECT_EQ(At(2010, 12, 6, 14) - julyFirst, r.offset);
}

TEST_F(Recurrence, MissingZoneUsesTheMachineZone) {
  world.machine.zone = Eastern();
  world.machine.state = TIME_ZONE_ID_DAYLIGHT;
  const TIME_ZONE_INFORMATION eastern = Eastern();
  RecurrenceDescription d = Daily(BlobMinutes(2010, 1, 4));
  world.SetNow(At(2010, 6, 14, 12));
  const Result withZone = Evaluate(d, At(2010, 1, 4, 14), 3600, &eastern);
  const Result withoutZone = Evaluate(d, At(2010, 1, 4, 14), 3600, nullptr);
  EXPECT_EQ(withZone.offset, withoutZone.offset);
  EXPECT_EQ(withZone.skip, withoutZone.skip);
}

TEST_F(Recurrence, DeletedOccurrencesSkipOnlyWhileInProgress) {
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  d.deletedDates = {BlobMinutes(2010, 6, 14)};
  world.SetNow(At(2010, 6, 14, 9, 30));
  Result r = Evaluate(d, At(2010, 6, 1, 9));
  EXPECT_EQ(1, r.skip);
  EXPECT_EQ(13 * kDay, r.offset);
  world.SetNow(At(2010, 6, 14, 8));
  r = Evaluate(d, At(2010, 6, 1, 9));
  EXPECT_EQ(0, r.skip);
  EXPECT_EQ(13 * kDay, r.offset);
}

TEST_F(Recurrence, ModifiedOccurrencesBringTheirOwnTimesAndTexts) {
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  ModifiedOccurrence moved;
  moved.originalStart = BlobMinutes(2010, 6, 14, 9);
  moved.newStart = BlobMinutes(2010, 6, 14, 11);
  moved.newEnd = BlobMinutes(2010, 6, 14, 11, 30);
  moved.subject = WString(WSTR("Moved review"));
  d.modified = {moved};
  d.deletedDates = {BlobMinutes(2010, 6, 14)};  // listed as both: modified wins
  const auto R = Parsed(d);
  E.subject.Attach(SysAllocString(WSTR("Series subject")));
  E.meetingTimeZone = &utcZone;

  LONGLONG candidate = At(2010, 6, 14, 9);
  EXPECT_FALSE(IsDeletedOrModified(*R, candidate, E));
  EXPECT_EQ(At(2010, 6, 14, 11), candidate);
  EXPECT_EQ(1, E.occurrenceOverridden);
  EXPECT_EQ(11, E.startHour);
  EXPECT_EQ(0, E.startMinute);
  EXPECT_EQ(11, E.endHour);
  EXPECT_EQ(30, E.endMinute);
  EXPECT_EQ(1800, E.duration);
  EXPECT_EQ("Moved review", U8(E.subject.Get()));

  // Another day: untouched apart from the flag.
  candidate = At(2010, 6, 13, 9);
  EXPECT_FALSE(IsDeletedOrModified(*R, candidate, E));
  EXPECT_EQ(0, E.occurrenceOverridden);
  EXPECT_EQ(At(2010, 6, 13, 9), candidate);

  // The walk: at 11:15 the moved occurrence is in progress, with its own length.
  world.SetNow(At(2010, 6, 14, 11, 15));
  E.duration = 3600;
  BYTE skip = 0;
  EXPECT_EQ(At(2010, 6, 14, 11) - At(2010, 6, 1, 9),
            AdjustForOccurred(*R, FileTimeFromSeconds(At(2010, 6, 1, 9)), world.Now(), E, skip));
  EXPECT_EQ(0, skip);
  EXPECT_EQ(1800, E.duration);
}

TEST_F(Recurrence, ModifiedOccurrencesEightBitTextIsReadInTheAnsiCodePage) {
#ifndef _WIN32
  // Windows (and the Wine prefix) reads it in code page 1252; here the
  // locale's language chooses, so an English one is set.
  const std::string saved = ::getenv("LC_ALL") != nullptr ? ::getenv("LC_ALL") : "";
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
#endif
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  ModifiedOccurrence moved;
  moved.originalStart = BlobMinutes(2010, 6, 14, 9);
  moved.newStart = BlobMinutes(2010, 6, 14, 10);
  moved.newEnd = BlobMinutes(2010, 6, 14, 11);
  moved.subject = WString(WSTR("Caf\u00E9"));  // the record holds "Caf\xE9"
  moved.location = WString(WSTR("Salle \u00E0 manger"));
  d.modified = {moved};
  const auto R = Parsed(d);
  ASSERT_NE(nullptr, R);
  ASSERT_EQ(std::string("Caf\xE9"), *R->ExceptionInfo->at(0).Subject);
  E.meetingTimeZone = &utcZone;
  LONGLONG candidate = At(2010, 6, 14, 9);
  EXPECT_FALSE(IsDeletedOrModified(*R, candidate, E));
#ifndef _WIN32
  if (saved.empty()) {
    ::unsetenv("LC_ALL");
  } else {
    ::setenv("LC_ALL", saved.c_str(), 1);
  }
#endif
  EXPECT_EQ("Caf\xC3\xA9", U8(E.subject.Get()));
  EXPECT_EQ("Salle \xC3\xA0 manger", U8(E.location.Get()));
}

TEST_F(Recurrence, ModifiedIntoFreeOrTentativeCountsAsDeleted) {
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  ModifiedOccurrence tentative;
  tentative.originalStart = BlobMinutes(2010, 6, 14, 9);
  tentative.newStart = BlobMinutes(2010, 6, 14, 10);
  tentative.newEnd = BlobMinutes(2010, 6, 14, 11);
  tentative.busyStatus = 1;
  ModifiedOccurrence quiet;  // no subject: the series' subject stays
  quiet.originalStart = BlobMinutes(2010, 6, 15, 9);
  quiet.newStart = BlobMinutes(2010, 6, 15, 9, 30);
  quiet.newEnd = BlobMinutes(2010, 6, 15, 10);
  d.modified = {tentative, quiet};
  const auto R = Parsed(d);
  E.meetingTimeZone = &utcZone;
  E.subject.Attach(SysAllocString(WSTR("Series subject")));

  LONGLONG candidate = At(2010, 6, 14, 9);
  EXPECT_TRUE(IsDeletedOrModified(*R, candidate, E));
  EXPECT_EQ(At(2010, 6, 14, 10), candidate);  // already the record's start

  candidate = At(2010, 6, 15, 9);
  EXPECT_FALSE(IsDeletedOrModified(*R, candidate, E));
  EXPECT_EQ(At(2010, 6, 15, 9, 30), candidate);
  EXPECT_EQ("Series subject", U8(E.subject.Get()));
}

TEST_F(Recurrence, ModifiedDateWithoutItsRecordKeepsTheRulesOccurrence) {
  RecurrenceDescription d = Daily(BlobMinutes(2010, 6, 1));
  ModifiedOccurrence moved;
  moved.originalStart = BlobMinutes(2010, 6, 14, 9);
  moved.newStart = BlobMinutes(2010, 6, 14, 11);
  moved.newEnd = BlobMinutes(2010, 6, 14, 12);
  moved.subject = WString(WSTR("x"));
  d.modified = {moved};
  AppointmentRecurrencePattern built = BuildAppointmentRecurrence(d);
  built.ExceptionCount = 2;  // no longer matches: the records are not read
  const std::vector<BYTE> bytes = WriteAppointmentRecurrence(built);
  const auto R = ParseAppointmentRecurrence(static_cast<DWORD>(bytes.size()), bytes.data());
  ASSERT_FALSE(R->ExceptionInfo.has_value());
  E.meetingTimeZone = &utcZone;
  LONGLONG candidate = At(2010, 6, 14, 9);
  EXPECT_FALSE(IsDeletedOrModified(*R, candidate, E));
  EXPECT_EQ(At(2010, 6, 14, 9), candidate);
  EXPECT_EQ(0, E.occurrenceOverridden);
}

TEST_F(Recurrence, WalksThatCannotAdvanceOrRunLongEndSoundly) {
  RecurrenceDescription zero = Daily(BlobMinutes(2010, 6, 1));
  zero.period = 0;
  world.SetNow(At(2010, 6, 14, 9, 30));
  EXPECT_EQ(0, Evaluate(zero, At(2010, 6, 1, 9)).offset);

  RecurrenceDescription weekendOnly = Daily(BlobMinutes(2010, 6, 5));  // a Saturday
  weekendOnly.patternType = blob::kPatternWeek;
  weekendOnly.period = 7;  // every seventh day: always Saturday
  weekendOnly.weekdayMask = 0x3E;
  world.SetNow(At(2010, 6, 16, 9, 30));  // a Wednesday
  EXPECT_EQ(0, Evaluate(weekendOnly, At(2010, 6, 5, 9)).offset);

  // Every minute since 1700, never ending: 163 million steps passed at once.
  RecurrenceDescription minutes = Daily(BlobMinutes(1700, 1, 1));
  minutes.period = 1;
  minutes.duration = 1;
  world.SetNow(At(2010, 6, 14, 9, 30, 30));
  const Result r = Evaluate(minutes, At(1700, 1, 1, 9), 60);
  EXPECT_EQ(At(2010, 6, 14, 9, 30) - At(1700, 1, 1, 9), r.offset);
}

TEST_F(Recurrence, StridesGiveTheSameAnswerAsTheWalkOneByOne) {
  // With logging on the walk goes occurrence by occurrence; with logging off
  // it strides over occurrences away from every exception. Both must agree.
  const TIME_ZONE_INFORMATION eastern = Eastern();
  world.machine.zone = eastern;
  struct Case {
    RecurrenceKind kind;
    WORD patternType;
    DWORD period, mask;
  } cases[] = {{RecurrenceKind::Daily, blob::kPatternDay, 1440, 0},
               {RecurrenceKind::Daily, blob::kPatternDay, 2 * 1440 + 7, 0},
               {RecurrenceKind::Daily, blob::kPatternWeek, 1, 0x3E},
               {RecurrenceKind::Weekly, blob::kPatternWeek, 1, 0x3E},
               {RecurrenceKind::Weekly, blob::kPatternWeek, 2, 0x7F}};
  int compared = 0;
  for (const auto& c : cases) {
    RecurrenceDescription d = Daily(BlobMinutes(2008, 3, 3));
    d.frequency = c.kind;
    d.patternType = c.patternType;
    d.period = c.period;
    d.weekdayMask = c.mask;
    for (int k = 0; k < 12; ++k) d.deletedDates.push_back(BlobMinutes(2009, 1 + k, 10 + k));
    ModifiedOccurrence m;
    m.originalStart = BlobMinutes(2010, 6, 14, 9);
    m.newStart = BlobMinutes(2010, 6, 14, 10);
    m.newEnd = BlobMinutes(2010, 6, 14, 12);
    d.modified = {m};
    for (LONGLONG now : {At(2010, 6, 14, 10, 30), At(2010, 6, 15, 8), At(2009, 5, 15, 9, 30), At(2009, 11, 1, 7)}) {
      for (DWORD state : {TIME_ZONE_ID_STANDARD, TIME_ZONE_ID_DAYLIGHT}) {
        world.machine.state = state;
        world.SetNow(now);
        const Result fast = Evaluate(d, At(2008, 3, 3, 14), 3600, &eastern);
        Result literal{};
        {
          CapturedLog log;
          literal = Evaluate(d, At(2008, 3, 3, 14), 3600, &eastern);
        }
        EXPECT_EQ(literal.offset, fast.offset) << compared;
        EXPECT_EQ(literal.skip, fast.skip) << compared;
        ++compared;
      }
    }
  }
  EXPECT_EQ(40, compared);
}

namespace {

// 0 Sunday, counted from Sunday 7 January 2024.
int WeekdayOf(int y, int m, int d) { return static_cast<int>(((At(y, m, d) - At(2024, 1, 7)) / kDay % 7 + 7) % 7); }

// The n-th (5 = last) given weekday of the month, worked out by hand.
int NthWeekdayDay(int y, int m, int weekday, int n) {
  const int length = DaysInMonth(y, m);
  int day = 1 + (weekday - WeekdayOf(y, m, 1) + 7) % 7 + 7 * (n - 1);
  while (day > length) day -= 7;
  return day;
}

}  // namespace

TEST_F(Recurrence, NthAndLastWeekdayRulesLandOnTheirWeekdayInMonthsOfEveryLength) {
  // The month walker steps back from now's day to the first start's month;
  // where that month lacks the day (31 February, 31 June, 29 February 2023)
  // the weekday must still be found in it. The first occurrence lies in a
  // month of each length; now is one minute into the next month's (monthly)
  // or next year's (yearly) occurrence, in a month ending on the rule's
  // weekday, so that "last" is its final day. (Monthly from the last
  // Wednesday of June 2024: 31 July is in progress.)
  struct Month {
    int year, month;
  } firsts[] = {{2023, 2}, {2024, 2}, {2024, 6}, {2024, 7}};  // 28, 29, 30 and 31 days
  int checked = 0;
  for (const Month& f : firsts) {
    for (bool yearly : {false, true}) {
      const int year = yearly ? f.year + 1 : f.year;
      const int month = yearly ? f.month : f.month + 1;
      const int weekday = WeekdayOf(year, month, DaysInMonth(year, month));
      for (int n : {4, 5}) {
        RecurrenceDescription d;
        d.frequency = yearly ? RecurrenceKind::Yearly : RecurrenceKind::Monthly;
        d.patternType = blob::kPatternMonthNth;
        d.period = yearly ? 12 : 1;
        d.weekdayMask = 1u << weekday;
        d.weekNumber = static_cast<DWORD>(n);
        d.startTimeOffset = 9 * 60;
        d.duration = 60;
        const int firstDay = NthWeekdayDay(f.year, f.month, weekday, n);
        d.startDate = BlobMinutes(f.year, f.month, firstDay);
        const LONGLONG first = At(f.year, f.month, firstDay, 9);
        const LONGLONG occurrence = At(year, month, NthWeekdayDay(year, month, weekday, n), 9);
        world.SetNow(occurrence + 60);
        const Result r = Evaluate(d, first);
        EXPECT_EQ(occurrence - first, r.offset)
            << "from " << f.year << "-" << f.month << "-" << firstDay << " n=" << n << (yearly ? " yearly" : " monthly");
        EXPECT_EQ(0, r.skip);
        ++checked;
      }
    }
  }
  EXPECT_EQ(16, checked);
}

TEST_F(Recurrence, NeverEndingWeeklySeriesMovedBackToTodayKeepsCounting) {
  // Monday and Wednesday from Wednesday 3 January 2024: on Monday the first
  // occurrence moves back two days, which adds two to the largest count.
  RecurrenceDescription d;
  d.frequency = RecurrenceKind::Weekly;
  d.patternType = blob::kPatternWeek;
  d.period = 1;
  d.weekdayMask = 0x0A;
  d.startDate = BlobMinutes(2024, 1, 3);
  d.startTimeOffset = 9 * 60;
  d.duration = 60;
  world.SetNow(At(2024, 1, 15, 9, 30));
  const Result r = Evaluate(d, At(2024, 1, 3, 9));
  EXPECT_EQ(0, r.skip);
  EXPECT_EQ(At(2024, 1, 15, 9) - At(2024, 1, 3, 9), r.offset);
}
