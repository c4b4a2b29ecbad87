// Our calendar evaluation beside libical's own expansion of the same series.
//
// Each series below is an iCalendar event. libical expands it (its rule,
// EXDATEs and RECURRENCE-ID changes) into occurrences; the same text is read
// into an appointment, put in the provider and scanned at many instants
// around those occurrences, with the machine in the series' zone. At each
// instant both must agree on whether a meeting is in progress. Where they do
// not, the cause is named: the evaluation's deliberate ways of placing an
// occurrence are accepted by name (kDaylightByHours and the three after it);
// any other disagreement fails with the series and the occurrence, and what
// each side said at the instants around it.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <sstream>

#include "calendar/CalendarScan.h"
#include "calendar/TimeHelpers.h"
#include "host/IcsCalendar.h"
#include "memstore/MemStore.h"
#include "tests/support/time_support.h"

namespace {

constexpr LONGLONG kUnixEpoch = 11644473600LL;  // seconds from 1601 to 1970
constexpr LONGLONG kHour = 3600;

const char* const kZones = R"(BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:DAYLIGHT
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
DTSTART:19810329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
DTSTART:19961027T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE
BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
DTSTART:20070311T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
DTSTART:20071104T020000
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
END:STANDARD
END:VTIMEZONE
BEGIN:VTIMEZONE
TZID:Australia/Sydney
BEGIN:STANDARD
TZOFFSETFROM:+1100
TZOFFSETTO:+1000
DTSTART:20080406T030000
RRULE:FREQ=YEARLY;BYMONTH=4;BYDAY=1SU
END:STANDARD
BEGIN:DAYLIGHT
TZOFFSETFROM:+1000
TZOFFSETTO:+1100
DTSTART:20081005T020000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=1SU
END:DAYLIGHT
END:VTIMEZONE
)";

struct Series {
  const char* name;
  const char* zone;  // the machine's zone while the series is scanned
  const char* events;
};

// Every rule form the reader takes, in zones of both hemispheres, with
// deleted and changed occurrences.
const Series kSeries[] = {
    {"daily, deleted and moved occurrences", "Europe/Berlin",
     "BEGIN:VEVENT\nUID:d1\nSUMMARY:Daily\nDTSTART;TZID=Europe/Berlin:20250106T090000\n"
     "DTEND;TZID=Europe/Berlin:20250106T100000\nRRULE:FREQ=DAILY\n"
     "EXDATE;TZID=Europe/Berlin:20250415T090000,20251103T090000\nEND:VEVENT\n"
     "BEGIN:VEVENT\nUID:d1\nSUMMARY:Daily (late)\nRECURRENCE-ID;TZID=Europe/Berlin:20250610T090000\n"
     "DTSTART;TZID=Europe/Berlin:20250610T110000\nDTEND;TZID=Europe/Berlin:20250610T113000\nEND:VEVENT\n"},
    {"every third day, by count", "Australia/Sydney",
     "BEGIN:VEVENT\nUID:d3\nSUMMARY:Every third day\nDTSTART;TZID=Australia/Sydney:20250102T083000\n"
     "DTEND;TZID=Australia/Sydney:20250102T091500\nRRULE:FREQ=DAILY;INTERVAL=3;COUNT=150\nEND:VEVENT\n"},
    {"weekdays", "America/New_York",
     "BEGIN:VEVENT\nUID:wd\nSUMMARY:Standup\nDTSTART;TZID=America/New_York:20250106T093000\n"
     "DTEND;TZID=America/New_York:20250106T094500\nRRULE:FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR\nEND:VEVENT\n"},
    {"weekly on three days, until a date", "America/New_York",
     "BEGIN:VEVENT\nUID:w3\nSUMMARY:Review\nDTSTART;TZID=America/New_York:20250106T140000\n"
     "DTEND;TZID=America/New_York:20250106T150000\nRRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR;UNTIL=20260930T235959Z\n"
     "EXDATE;TZID=America/New_York:20250303T140000\nEND:VEVENT\n"},
    {"fortnightly", "Australia/Sydney",
     "BEGIN:VEVENT\nUID:w2\nSUMMARY:Sprint review\nDTSTART;TZID=Australia/Sydney:20250107T160000\n"
     "DTEND;TZID=Australia/Sydney:20250107T170000\nRRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=TU\nEND:VEVENT\n"},
    {"monthly on a day", "Europe/Berlin",
     "BEGIN:VEVENT\nUID:m15\nSUMMARY:Payroll\nDTSTART;TZID=Europe/Berlin:20250115T100000\n"
     "DTEND;TZID=Europe/Berlin:20250115T110000\nRRULE:FREQ=MONTHLY;BYMONTHDAY=15\nEND:VEVENT\n"},
    {"monthly on the second Tuesday", "America/New_York",
     "BEGIN:VEVENT\nUID:m2tu\nSUMMARY:Board\nDTSTART;TZID=America/New_York:20250114T130000\n"
     "DTEND;TZID=America/New_York:20250114T143000\nRRULE:FREQ=MONTHLY;BYDAY=2TU\nEND:VEVENT\n"},
    {"monthly on the last Friday", "Australia/Sydney",
     "BEGIN:VEVENT\nUID:mlfr\nSUMMARY:Drinks\nDTSTART;TZID=Australia/Sydney:20250131T170000\n"
     "DTEND;TZID=Australia/Sydney:20250131T180000\nRRULE:FREQ=MONTHLY;BYDAY=-1FR\nEND:VEVENT\n"},
    {"monthly on the first weekday", "Europe/Berlin",
     "BEGIN:VEVENT\nUID:m1wd\nSUMMARY:Planning\nDTSTART;TZID=Europe/Berlin:20250101T090000\n"
     "DTEND;TZID=Europe/Berlin:20250101T100000\nRRULE:FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1\nEND:VEVENT\n"},
    {"yearly on a date", "Europe/Berlin",
     "BEGIN:VEVENT\nUID:y\nSUMMARY:Anniversary lunch\nDTSTART;TZID=Europe/Berlin:20240612T120000\n"
     "DTEND;TZID=Europe/Berlin:20240612T140000\nRRULE:FREQ=YEARLY\nEND:VEVENT\n"},
    {"yearly on the fourth Thursday of November", "America/New_York",
     "BEGIN:VEVENT\nUID:y4th\nSUMMARY:Offsite\nDTSTART;TZID=America/New_York:20231123T100000\n"
     "DTEND;TZID=America/New_York:20231123T120000\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=4TH\nEND:VEVENT\n"},
    {"weekly in UTC", "Europe/Berlin",
     "BEGIN:VEVENT\nUID:utc\nSUMMARY:Global sync\nDTSTART:20250107T150000Z\nDTEND:20250107T160000Z\n"
     "RRULE:FREQ=WEEKLY;BYDAY=TU,TH\nEND:VEVENT\n"},
    {"weekly in floating time", "Australia/Sydney",
     "BEGIN:VEVENT\nUID:fl\nSUMMARY:Swim\nDTSTART:20250108T070000\nDTEND:20250108T080000\n"
     "RRULE:FREQ=WEEKLY;BYDAY=WE\nEND:VEVENT\n"},
};

// The causes of disagreement that are the evaluation's own way of placing
// occurrences, accepted by name. Each is recognised by its own narrow
// pattern; anything else fails.
const char* const kDaylightByHours =
    "daylight saving judged by whole hours and by the machine's current state: the evaluation compares the hours "
    "of the first start in UTC and in the zone with the zone's bias, reads the transition rules as plain dates in "
    "the first start's year and adjusts by the machine's daylight state now, so an occurrence is found an hour "
    "early or late (in southern-hemisphere zones also within the first start's own season); the first "
    "occurrence is then also judged as it stands";
const char* const kNthOfToday =
    "months stepped by the n-th of today's weekday: for an n-th weekday rule over several weekdays (the first "
    "weekday of the month) the steps between months are measured between the n-th of today's weekday in each "
    "month, so occurrences whose weekday pattern differs from the first start's are missed";
const char* const kDeletedAtItsStart =
    "a deleted occurrence at the second it starts: an occurrence that has not begun is returned as the next start "
    "whether deleted or not, and one starting this very second is recorded as in progress";
const char* const kWeeklyEndByDays =
    "a weekly series over several weekdays that ends is counted down by the days moved within the week and by "
    "every weekday of each week passed, so occurrences of its last week may be missed";

struct Occurrence {
  LONGLONG start, end;  // seconds since 1601, UTC
};

LONGLONG Seconds(const icaltimetype& t, const icaltimezone* zone) {
  return static_cast<LONGLONG>(icaltime_as_timet_with_zone(t, zone)) + kUnixEpoch;
}

const icaltimezone* ZoneOf(const icaltimetype& t) {
  return t.zone != nullptr ? t.zone : nullptr;
}

// libical's occurrences of the series from its first start to the end of
// 2026: the rule's, less the EXDATEs, with RECURRENCE-ID changes in place.
// `exceptions` gets the changed occurrences and the places of the deleted
// and moved ones, to be compared around whatever the sample.
std::vector<Occurrence> PeerOccurrences(icalcomponent* calendar, const icaltimezone* machine,
                                        std::vector<Occurrence>& exceptions) {
  icalcomponent* master = nullptr;
  std::map<LONGLONG, Occurrence> changes;
  for (icalcomponent* e = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); e != nullptr;
       e = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
    icalproperty* id = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY);
    if (id == nullptr) {
      master = e;
      continue;
    }
    const icaltimetype original = icalcomponent_get_recurrenceid(e);
    const icaltimetype s = icalcomponent_get_dtstart(e), en = icalcomponent_get_dtend(e);
    const auto zoneOr = [&](const icaltimetype& t) { return ZoneOf(t) != nullptr ? ZoneOf(t) : machine; };
    changes[Seconds(original, zoneOr(original))] = Occurrence{Seconds(s, zoneOr(s)), Seconds(en, zoneOr(en))};
  }
  const icaltimetype start = icalcomponent_get_dtstart(master);
  const icaltimetype end = icalcomponent_get_dtend(master);
  const icaltimezone* zone = ZoneOf(start) != nullptr ? ZoneOf(start) : machine;
  const LONGLONG length = Seconds(end, zone) - Seconds(start, zone);
  std::vector<LONGLONG> deleted;
  for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY)) {
    icaltimetype t = icalproperty_get_exdate(p);
    t.zone = start.zone;
    deleted.push_back(Seconds(t, zone));
  }
  const icalrecurrencetype rule =
      icalproperty_get_rrule(icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY));
  std::unique_ptr<icalrecur_iterator, void (*)(icalrecur_iterator*)> walk(icalrecur_iterator_new(rule, start),
                                                                           icalrecur_iterator_free);
  std::vector<Occurrence> out;
  for (icaltimetype t = icalrecur_iterator_next(walk.get()); !icaltime_is_null_time(t) && t.year <= 2026;
       t = icalrecur_iterator_next(walk.get())) {
    t.zone = start.zone;
    const LONGLONG s = Seconds(t, zone);
    if (std::find(deleted.begin(), deleted.end(), s) != deleted.end()) {
      exceptions.push_back(Occurrence{s, s + length});
      continue;
    }
    auto changed = changes.find(s);
    if (changed != changes.end()) {
      exceptions.push_back(Occurrence{s, s + length});
      exceptions.push_back(changed->second);
    }
    out.push_back(changed != changes.end() ? changed->second : Occurrence{s, s + length});
  }
  std::sort(out.begin(), out.end(), [](const Occurrence& a, const Occurrence& b) { return a.start < b.start; });
  return out;
}

bool InProgress(const std::vector<Occurrence>& occurrences, LONGLONG at, LONGLONG shift = 0) {
  for (const Occurrence& o : occurrences)
    if (o.start + shift <= at && at < o.end + shift) return true;
  return false;
}

// The occurrences to compare around: spread over 2025 and 2026, and every
// exception.
std::vector<Occurrence> Sample(const std::vector<Occurrence>& occurrences, const std::vector<Occurrence>& exceptions) {
  const LONGLONG from = 1735689600LL + kUnixEpoch;  // 2025-01-01 UTC
  std::vector<Occurrence> window, out;
  for (const Occurrence& o : occurrences)
    if (o.start >= from) window.push_back(o);
  const size_t step = std::max<size_t>(1, window.size() / 80);
  for (size_t i = 0; i < window.size(); i += step) out.push_back(window[i]);
  for (const Occurrence& o : exceptions)
    if (o.start >= from) out.push_back(o);
  return out;
}

// The instants around one occurrence: an hour either side of its start and
// end, a minute either side, and its middle.
std::vector<LONGLONG> Around(const Occurrence& o) {
  return {o.start - kHour + 60, o.start - 60, o.start, o.start + 60, (o.start + o.end) / 2,
          o.end - 60,           o.end + 60,   o.end + kHour - 60};
}

// The machine in a zone, in the daylight state of each instant.
struct Machine {
  icaltimezone* zone;
  TIME_ZONE_INFORMATION info;
  DWORD StateAt(LONGLONG seconds) const {
    icaltimetype t = icaltime_from_timet_with_zone(static_cast<time_t>(seconds - kUnixEpoch), 0,
                                                   icaltimezone_get_utc_timezone());
    int daylight = 0;
    icaltimezone_get_utc_offset_of_utc_time(zone, &t, &daylight);
    return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
  }
};

std::string Utc(LONGLONG seconds) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  SYSTEMTIME st{};
  const FILETIME ft = FileTimeFromSeconds(seconds);
  plat::Time().FileTimeToSystemTime(&ft, &st);
  char text[48];
  std::snprintf(text, sizeof text, "%s %04u-%02u-%02u %02u:%02u:%02u UTC", days[st.wDayOfWeek % 7], st.wYear,
                st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
  return text;
}

std::string Union(const std::string& a, const std::string& b) {
  std::string out = a;
  for (size_t i = 0; i < out.size(); ++i)
    if (b[i] == 'M') out[i] = 'M';
  return out;
}

const char* AcceptedCause(const RecurrenceDescription& rule, const std::vector<Occurrence>& peer, const Occurrence& o,
                          const std::string& ours, const std::string& theirs, const std::string& early,
                          const std::string& late) {
  if (ours == early || ours == late) return kDaylightByHours;
  // The third instant is the start itself.
  const bool deleted = !InProgress(peer, (o.start + o.end) / 2);
  std::string atStart = theirs;
  atStart[2] = 'M';
  if (deleted && ours == atStart) return kDeletedAtItsStart;
  if (o.start == peer.front().start && (ours == Union(early, theirs) || ours == Union(late, theirs)))
    return kDaylightByHours;
  const bool missed = ours.find('M') == std::string::npos;
  const int weekdays = __builtin_popcount(rule.weekdayMask);
  if (missed && rule.patternType == blob::kPatternMonthNth && weekdays > 1) return kNthOfToday;
  if (missed && rule.frequency == RecurrenceKind::Weekly && weekdays > 1 && rule.end != RecurrenceEnd::Never &&
      o.start > peer.back().start - 7 * 86400)
    return kWeeklyEndByDays;
  return nullptr;
}

class PeerTest : public ::testing::TestWithParam<Series> {};

TEST_P(PeerTest, AgreesWithLibicalOrTheCauseIsAnAcceptedApproximation) {
  const Series& series = GetParam();
  const std::string text = std::string("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Tessaro//peer//EN\n") + kZones +
                           series.events + "END:VCALENDAR\n";
  std::unique_ptr<icalcomponent, void (*)(icalcomponent*)> calendar(icalparser_parse_string(text.c_str()),
                                                                     icalcomponent_free);
  ASSERT_TRUE(calendar);
  Machine machine{icalcomponent_get_timezone(calendar.get(), series.zone), {}};
  ASSERT_NE(nullptr, machine.zone);

  // The machine's zone as the reader would give an event in it.
  std::string error;
  host::IcsCalendar zoneOnly;
  const std::string probe = std::string("BEGIN:VCALENDAR\n") + kZones + "BEGIN:VEVENT\nUID:p\nDTSTART;TZID=" +
                            series.zone + ":20250601T120000\nEND:VEVENT\nEND:VCALENDAR\n";
  ASSERT_TRUE(host::ReadICalendar(probe, "probe.ics", zoneOnly, error)) << error;
  machine.info = TimeZoneInformationFromStruct(*zoneOnly.appointments[0].zone);

  testing_support::FakeZone machineZone(machine.info, TIME_ZONE_ID_STANDARD);
  host::IcsCalendar read;
  ASSERT_TRUE(host::ReadICalendar(text, "peer.ics", read, error)) << error;
  ASSERT_TRUE(read.leftOut.empty()) << read.leftOut[0].reason;
  ASSERT_EQ(1u, read.appointments.size());
  testing_support::FakeNow now(FileTimeFromSeconds(0));
  std::vector<Occurrence> exceptions;
  const std::vector<Occurrence> peer = PeerOccurrences(calendar.get(), machine.zone, exceptions);
  ASSERT_FALSE(peer.empty());
  ASSERT_TRUE(read.appointments[0].recurrence);
  const RecurrenceDescription& rule = *read.appointments[0].recurrence;

  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed(provider);
  provider.AddQuietly(read.appointments);
  ASSERT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
  LPMAPISESSION session = nullptr;
  LPMDB store = nullptr;
  ASSERT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE | MAPI_NO_MAIL, &session));
  const std::vector<BYTE> id = provider.StoreEntryId(true);
  ASSERT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(id.size()),
                                        reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(id.data())), nullptr, 0, &store));

  // Each occurrence is judged as a whole: the evaluation agrees at every
  // instant around it, or it found the occurrence an hour early or late.
  std::map<std::string, int> accepted;
  std::ostringstream failures;
  int compared = 0, failed = 0;
  MeetingTable table;
  for (const Occurrence& o : Sample(peer, exceptions)) {
    std::string ours, theirs, early, late;
    for (LONGLONG at : Around(o)) {
      now.Set(FileTimeFromSeconds(at));
      machineZone.state = machine.StateAt(at);
      table.Reset();
      ASSERT_EQ(S_OK, GetCalEntries(session, store, table));
      ours += table.m_meetingIndex > 0 ? 'M' : '.';
      theirs += InProgress(peer, at) ? 'M' : '.';
      early += InProgress(peer, at, -kHour) ? 'M' : '.';
      late += InProgress(peer, at, kHour) ? 'M' : '.';
    }
    ++compared;
    if (ours == theirs) continue;
    if (const char* cause = AcceptedCause(rule, peer, o, ours, theirs, early, late)) {
      ++accepted[cause];
      continue;
    }
    ++failed;
    failures << "  occurrence " << Utc(o.start) << " to " << Utc(o.end) << ": libical " << theirs << ", ours " << ours
             << "\n";
  }
  for (const auto& [cause, count] : accepted)
    std::printf("[ accepted ] %s: %d of %d occurrences: %s\n", series.name, count, compared, cause.c_str());
  EXPECT_EQ(0, failed) << series.name << ": " << failed << " of " << compared
                       << " occurrences disagree for no accepted cause (M: in a meeting at the instants an hour "
                          "before the start, a minute before, the start, a minute after, the middle, a minute "
                          "before the end, a minute after, an hour after):\n"
                       << failures.str();
  store->Release();
  session->Logoff(0, 0, 0);
  session->Release();
}

INSTANTIATE_TEST_SUITE_P(Series, PeerTest, ::testing::ValuesIn(kSeries),
                         [](const ::testing::TestParamInfo<Series>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != 0; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             else if (!name.empty() && name.back() != '_') name += '_';
                           return name;
                         });

}  // namespace
