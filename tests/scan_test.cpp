// The calendar scan against the in-memory MAPI provider.
#include <gtest/gtest.h>

#include "calendar/CalendarLog.h"
#include "calendar/CalendarScan.h"
#include "calendar/TimeHelpers.h"
#include "memstore/MemStore.h"
#include "module/NamedLogger.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

using namespace testing_support;

namespace {

LONGLONG At(int y, int m, int d, int h = 0, int mi = 0, int s = 0) {
  return SecondsFromSystemTime(SYSTEMTIME{static_cast<WORD>(y), static_cast<WORD>(m), 0, static_cast<WORD>(d),
                                          static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s), 0});
}
FILETIME Ft(LONGLONG seconds) { return FileTimeFromSeconds(seconds); }

memstore::Appointment Meeting(const WCHAR* subject, LONGLONG start, LONGLONG end) {
  return memstore::SingleAppointment(subject, Ft(start), Ft(end));
}

class Scan : public ::testing::Test {
 protected:
  Scan() {
    EXPECT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
    EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE | MAPI_NO_MAIL,
                                            &session));
    const std::vector<BYTE> id = provider.StoreEntryId(true);
    EXPECT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(id.size()),
                                          reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(id.data())), nullptr, 0,
                                          &store));
  }
  ~Scan() override {
    store->Release();
    session->Logoff(0, 0, 0);
    session->Release();
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
  }

  void Run() {
    table.Reset();
    provider.ClearCalls();
    EXPECT_EQ(S_OK, GetCalEntries(session, store, table));
  }
  const MeetingEntry& Entry(int i) const { return *table.m_meetings[static_cast<size_t>(i)]; }

  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};
  FakeNow now{Ft(At(2010, 6, 14, 9, 15))};
  FakeZone machine{TIME_ZONE_INFORMATION{}, TIME_ZONE_ID_UNKNOWN};
  LPMAPISESSION session = nullptr;
  LPMDB store = nullptr;
  MeetingTable table;
};

class CapturedScanLog {
 public:
  explicit CapturedScanLog(DWORD flags = LOG_TO_DEBUGGER | 0xF) : logger_(WSTR("CCalPresenceAX :: "), WSTR("Test")) {
    logger_.Settings().m_debugFlags = flags;
    CalendarLog::Route(&logger_, 0xF);
  }
  ~CapturedScanLog() { CalendarLog::Route(nullptr, 0); }
  int Count(const std::string& text) const {
    int n = 0;
    for (const auto& line : diag.lines)
      if (U8(line).find(text) != std::string::npos) ++n;
    return n;
  }
  CapturedDiagnostics diag;

 private:
  CNamedLogger logger_;
};

}  // namespace

TEST_F(Scan, EmptyCalendarFindsNothing) {
  table.nextStartMeetingTime = 77;
  Run();
  EXPECT_EQ(0, table.m_meetingIndex);
  EXPECT_EQ(0u, table.nextStartMeetingTime);
}

TEST_F(Scan, InProgressMeetingsAreRecordedWithTimesRelativeToNow) {
  provider.Add(Meeting(WSTR("Standup"), At(2010, 6, 14, 9), At(2010, 6, 14, 10)));
  Run();
  ASSERT_EQ(1, table.m_meetingIndex);
  EXPECT_EQ(-900, Entry(0).startTime);
  EXPECT_EQ(2700, Entry(0).endTime);
  EXPECT_EQ(3600, Entry(0).duration);
  EXPECT_EQ("Standup", U8(Entry(0).subject.Get()));
  EXPECT_EQ(9, Entry(0).startHour);
  EXPECT_EQ(10, Entry(0).endHour);
  ASSERT_NE(nullptr, table.m_meetings[1]);  // the next scratch entry

  now.Set(Ft(At(2010, 6, 14, 10)));
  Run();
  EXPECT_EQ(0, table.m_meetingIndex);  // over, dropped silently
  now.Set(Ft(At(2010, 6, 14, 9)));
  Run();
  ASSERT_EQ(1, table.m_meetingIndex);
  EXPECT_EQ(0, Entry(0).startTime);
}

TEST_F(Scan, PrivateFreeAndTentativeAreNeverCounted) {
  struct Case {
    std::optional<LONG> busy;
    std::optional<bool> priv;
    bool counted;
  } cases[] = {{0, {}, false}, {1, {}, false}, {2, true, false}, {2, false, true},
               {3, {}, true},  {{}, {}, true}};
  for (const auto& c : cases) {
    provider.Clear();
    memstore::Appointment a = Meeting(WSTR("x"), At(2010, 6, 14, 9), At(2010, 6, 14, 10));
    a.busyStatus = c.busy;
    a.isPrivate = c.priv;
    provider.Add(a);
    provider.Add([&] {
      memstore::Appointment later = a;
      later.start = Ft(At(2010, 6, 14, 11));
      later.end = Ft(At(2010, 6, 14, 12));
      return later;
    }());
    Run();
    EXPECT_EQ(c.counted ? 1 : 0, table.m_meetingIndex);
    EXPECT_EQ(c.counted ? 6300u : 0u, table.nextStartMeetingTime);
  }
}

TEST_F(Scan, TheNearestStartToComeWins) {
  for (bool reversed : {false, true}) {
    provider.Clear();
    std::vector<LONGLONG> offsets = {600, 300};
    if (reversed) std::swap(offsets[0], offsets[1]);
    const LONGLONG base = At(2010, 6, 14, 9, 15);
    for (LONGLONG off : offsets) provider.Add(Meeting(WSTR("later"), base + off, base + off + 600));
    Run();
    EXPECT_EQ(300u, table.nextStartMeetingTime);
  }
  // A start 2^32 seconds or more ahead is never taken.
  provider.Clear();
  const LONGLONG base = At(2010, 6, 14, 9, 15);
  provider.Add(Meeting(WSTR("far"), base + 0x100000000LL, base + 0x100000000LL + 600));
  Run();
  EXPECT_EQ(0u, table.nextStartMeetingTime);
  provider.Add(Meeting(WSTR("near"), base + 900, base + 1500));
  Run();
  EXPECT_EQ(900u, table.nextStartMeetingTime);
}

TEST_F(Scan, RowsWithoutUsableTimesAreDroppedWithTheirLines) {
  CapturedScanLog log;
  provider.Add(Meeting(WSTR("zero length"), At(2010, 6, 14, 9), At(2010, 6, 14, 9)));
  memstore::Appointment noEnd = Meeting(WSTR("no end"), At(2010, 6, 14, 9), At(2010, 6, 14, 10));
  noEnd.end.reset();
  provider.Add(noEnd);
  // A row without a start is not judged by the previous row's start.
  memstore::Appointment noStart = Meeting(WSTR("no start"), 0, At(2010, 6, 14, 10));
  noStart.start.reset();
  provider.Add(Meeting(WSTR("earlier"), At(2010, 6, 14, 9), At(2010, 6, 14, 9, 30)));
  provider.Add(noStart);
  Run();
  EXPECT_EQ(1, table.m_meetingIndex);  // only "earlier"
  EXPECT_EQ(1, log.Count("GetCalEntries(975): Error : end time < startTime"));
  EXPECT_EQ(1, log.Count("GetCalEntries(1026): Invalid EndDate \\r\\n"));
  EXPECT_EQ(1, log.Count("GetCalEntries(933): Invalid startDate"));
}

TEST_F(Scan, EachLineIsWrittenAtItsLevel) {
  // A meeting in progress, one that starts later, one without a subject that
  // is over, and one that ends before it starts.
  provider.Add(Meeting(WSTR("Standup"), At(2010, 6, 14, 9), At(2010, 6, 14, 10)));
  provider.Add(Meeting(WSTR("Review"), At(2010, 6, 14, 11), At(2010, 6, 14, 11, 30)));
  memstore::Appointment over = Meeting(WSTR("unused"), At(2010, 6, 14, 7), At(2010, 6, 14, 8));
  over.subject.reset();
  provider.Add(over);
  provider.Add(Meeting(WSTR("Backwards"), At(2010, 6, 14, 9), At(2010, 6, 14, 8)));

  const std::string info = "Tessaro INFO  :: CCalPresenceAX::GetCalEntries(";
  const std::string warn = "Tessaro WARN  :: CCalPresenceAX::GetCalEntries(";
  std::vector<LevelLine> lines = {{LOG_INFO, info + "735): GetReceiveFolder succeeded"}};
  for (const char* tag : {"80150000", "80140000", "80120000", "80130000", "80110000", "80160000", "80100000",
                          "80170000"})
    lines.push_back({LOG_INFO, info + "747): GetIDsFromNames succeeded returned Tag: 0x" + tag});
  lines.push_back({LOG_INFO, info + "762): GetContentsTable succeeded"});
  // The lines every row writes up to its times, from its subject line on.
  auto row = [&](LevelLine subject, const std::string& start, const std::string& end) {
    const std::string now = "09:15:00 6/14/2010";
    lines.push_back(subject);
    lines.push_back({LOG_MAJOR, warn + "874): Invalid Delivery Time"});
    lines.push_back({LOG_MAJOR, warn + "884): Invalid Location"});
    lines.push_back({LOG_ERROR, "Tessaro ERROR :: CCalPresenceAX::GetCalEntries(906): No TimeZone"});
    lines.push_back({LOG_INFO, info + "914): Current time: " + now});
    lines.push_back({LOG_DETAIL, info + "918): Current time from seconds: " + now});
    lines.push_back({LOG_INFO, info + "924): Start time from seconds: " + start + " 6/14/2010"});
    lines.push_back({LOG_INFO, info + "930): StartDate (TZ adjusted): " + start + " 6/14/2010"});
    lines.push_back({LOG_DETAIL, info + "942): End time from seconds: " + end + " 6/14/2010"});
    lines.push_back({LOG_INFO, info + "944): EndDate: " + end + " 6/14/2010"});
  };
  const LevelLine endsAfterStart{LOG_INFO, info + "948): end meeting time > start meeting time"};
  const LevelLine notOver{LOG_INFO, info + "989): curr time < start meeting Time + duration -- the meeting is NOT "
                                           "over yet."};
  row({LOG_INFO, info + "859): Subject Standup"}, "09:00:00", "10:00:00");
  lines.insert(lines.end(), {endsAfterStart, notOver,
                             {LOG_INFO, info + "992): curr time >= startMeetingTime -- the meeting has begun."},
                             {LOG_DETAIL, info + "995): GetCalEntries: StartTime= -900"},
                             {LOG_DETAIL, info + "999): GetCalEntries: EndTime= 2700"}});
  row({LOG_INFO, info + "859): Subject Review"}, "11:00:00", "11:30:00");
  lines.insert(lines.end(), {endsAfterStart, notOver,
                             {LOG_INFO, info + "1016): curr time < startMeetingTime -- the meeting has NOT begun yet."},
                             {LOG_INFO, info + "1017): GetCalEntries: nextStartMeetingTime= 6300"}});
  row({LOG_MAJOR, warn + "863): No Subject"}, "07:00:00", "08:00:00");
  lines.push_back(endsAfterStart);
  row({LOG_INFO, info + "859): Subject Backwards"}, "09:00:00", "08:00:00");
  lines.push_back({LOG_MAJOR, warn + "975): Error : end time < startTime"});

  ExpectLinesAtLevels(lines, [&](DWORD flags) {
    CapturedScanLog log(flags);
    Run();
    EXPECT_EQ(1, table.m_meetingIndex);
    return MessagesAfter(log.diag.lines, "CCalPresenceAX :: ");
  });
}

TEST_F(Scan, TheScratchEntryCarriesTextsUntilAMeetingIsRecorded) {
  const LONGLONG s = At(2010, 6, 14, 9), e = At(2010, 6, 14, 10);
  provider.Add(Meeting(WSTR("over"), At(2010, 6, 14, 7), At(2010, 6, 14, 8)));  // not recorded
  memstore::Appointment bare = Meeting(WSTR("unused"), s, e);
  bare.subject.reset();
  provider.Add(bare);  // recorded with the subject left by "over"
  provider.Add(bare);  // recorded after a recorded meeting: no subject
  Run();
  ASSERT_EQ(2, table.m_meetingIndex);
  EXPECT_EQ("over", U8(Entry(0).subject.Get()));
  EXPECT_EQ(nullptr, Entry(1).subject.Get());
}

TEST_F(Scan, TheHundredthMeetingFillsTheTable) {
  CapturedScanLog log;
  std::vector<memstore::Appointment> all;
  for (int i = 0; i < 101; ++i) all.push_back(Meeting(WSTR("m"), At(2010, 6, 14, 9), At(2010, 6, 14, 10)));
  provider.AddQuietly(all);
  Run();
  EXPECT_EQ(100, table.m_meetingIndex);
  EXPECT_EQ(1, log.Count("GetCalEntries(1007): m_meetingIndex > 99"));
  EXPECT_EQ(100, log.Count("GetCalEntries(992): curr time >= startMeetingTime"));
}

TEST_F(Scan, RecurringRowsAreMovedToTheirOccurrence) {
  RecurrenceDescription daily;
  daily.frequency = RecurrenceKind::Daily;
  daily.patternType = blob::kPatternDay;
  daily.period = 1440;
  daily.startDate = BlobMinutes(2010, 6, 1);
  daily.startTimeOffset = 9 * 60;
  daily.duration = 60;
  memstore::Appointment series = Meeting(WSTR("Daily"), At(2010, 6, 1, 9), At(2010, 6, 1, 10));
  series.recurring = true;
  series.recurrence = daily;
  series.zone = BuildTimeZoneStruct(0, 0, 0, {}, {});
  provider.Add(series);
  memstore::Appointment noZone = series;  // evaluated in the machine's zone
  noZone.zone.reset();
  noZone.subject = WString(WSTR("Daily, no zone"));
  provider.Add(noZone);
  Run();
  ASSERT_EQ(2, table.m_meetingIndex);
  EXPECT_EQ(-900, Entry(0).startTime);
  EXPECT_EQ(2700, Entry(0).endTime);
  EXPECT_EQ(-900, Entry(1).startTime);
}

TEST_F(Scan, AnOverrideFlagLeftByAnEarlierRowDoesNotStealTheEndTime) {
  RecurrenceDescription daily;
  daily.frequency = RecurrenceKind::Daily;
  daily.patternType = blob::kPatternDay;
  daily.period = 1440;
  daily.startDate = BlobMinutes(2010, 6, 1);
  daily.startTimeOffset = 9 * 60;
  daily.duration = 60;
  ModifiedOccurrence later;  // today's occurrence moved to the afternoon: not begun
  later.originalStart = BlobMinutes(2010, 6, 14, 9);
  later.newStart = BlobMinutes(2010, 6, 14, 15);
  later.newEnd = BlobMinutes(2010, 6, 14, 16);
  daily.modified = {later};
  memstore::Appointment series = Meeting(WSTR("Daily"), At(2010, 6, 1, 9), At(2010, 6, 1, 10));
  series.recurring = true;
  series.recurrence = daily;
  series.zone = BuildTimeZoneStruct(0, 0, 0, {}, {});
  provider.Add(series);
  provider.Add(Meeting(WSTR("Own end"), At(2010, 6, 14, 9), At(2010, 6, 14, 11, 45)));
  Run();
  ASSERT_EQ(1, table.m_meetingIndex);
  EXPECT_EQ("Own end", U8(Entry(0).subject.Get()));
  EXPECT_EQ(11, Entry(0).endHour);
  EXPECT_EQ(45, Entry(0).endMinute);
  EXPECT_EQ(At(2010, 6, 14, 15) - At(2010, 6, 14, 9, 15), table.nextStartMeetingTime);
}

TEST_F(Scan, EachFailingStepEndsTheScanAndReleasesEverything) {
  using memstore::Op;
  provider.Add(Meeting(WSTR("Standup"), At(2010, 6, 14, 9), At(2010, 6, 14, 10)));
  provider.Add(Meeting(WSTR("Later"), At(2010, 6, 14, 11), At(2010, 6, 14, 12)));
  for (Op op : {Op::GetMsgStoresTable, Op::GetReceiveFolder, Op::OpenInbox, Op::GetIDsFromNames, Op::FolderGetProps,
                Op::OpenCalendar, Op::GetContentsTable, Op::SetColumns}) {
    provider.Fail(op, MAPI_E_CALL_FAILED);
    table.nextStartMeetingTime = 1234;
    Run();
    EXPECT_EQ(0, table.m_meetingIndex) << memstore::OpName(op);
    EXPECT_EQ(1234u, table.nextStartMeetingTime) << memstore::OpName(op);  // the query was not made
    EXPECT_EQ(0, provider.LiveBuffers()) << memstore::OpName(op);
  }
  provider.Fail(Op::QueryRows, MAPI_E_CALL_FAILED);
  table.nextStartMeetingTime = 1234;
  Run();
  EXPECT_EQ(0, table.m_meetingIndex);
  EXPECT_EQ(0u, table.nextStartMeetingTime);
  // A failed row count leaves the count at 0: no rows are asked for.
  provider.Fail(Op::GetRowCount, MAPI_E_CALL_FAILED);
  Run();
  EXPECT_EQ(0, table.m_meetingIndex);
  // And all is well again.
  Run();
  EXPECT_EQ(1, table.m_meetingIndex);
  EXPECT_EQ(6300u, table.nextStartMeetingTime);
}
