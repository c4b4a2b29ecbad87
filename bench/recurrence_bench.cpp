// Finding the occurrence in progress or next, on series begun ten years ago in
// a daylight-saving zone, and the same search with libical's recurrence
// iterator on the equivalent rule.
#include <benchmark/benchmark.h>
#include <libical/ical.h>

#include <set>

#include "calendar/BlobWriter.h"
#include "calendar/Recurrence.h"
#include "calendar/TimeHelpers.h"
#include "platform/services.h"

namespace {

constexpr LONGLONG kDay = 86400;

TIME_ZONE_INFORMATION Eastern() {
  TIME_ZONE_INFORMATION z{};
  z.Bias = 300;
  z.DaylightBias = -60;
  z.StandardDate = TransitionRule(11, 0, 1, 2);
  z.DaylightDate = TransitionRule(3, 0, 2, 2);
  return z;
}

LONGLONG At(int y, int m, int d, int h = 0, int mi = 0) {
  return SecondsFromSystemTime(SYSTEMTIME{static_cast<WORD>(y), static_cast<WORD>(m), 0, static_cast<WORD>(d),
                                          static_cast<WORD>(h), static_cast<WORD>(mi), 0, 0});
}

// A fixed "now" for both clock readings; the machine is in daylight time.
class FixedNow : public plat::ClockService, public plat::TimeService {
 public:
  explicit FixedNow(LONGLONG seconds)
      : now(FileTimeFromSeconds(seconds)),
        clock_(static_cast<plat::ClockService&>(*this)),
        time_(static_cast<plat::TimeService&>(*this)) {}
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = now; }
  void GetSystemTime(LPSYSTEMTIME st) override { plat::TimeService::FileTimeToSystemTime(&now, st); }
  DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) override {
    *zone = Eastern();
    return TIME_ZONE_ID_DAYLIGHT;
  }
  FILETIME now;

 private:
  plat::Substitute<plat::ClockService> clock_;
  plat::Substitute<plat::TimeService> time_;
};

const LONGLONG kNow = At(2026, 6, 17, 15, 30);  // a Wednesday, 11:30 in the zone
const LONGLONG kFirst = At(2016, 6, 1, 13);     // 09:00 daylight time

struct Series {
  RecurrenceDescription description;
  std::string rrule;
};

Series MakeSeries(int kind) {
  Series s;
  RecurrenceDescription& d = s.description;
  d.startDate = BlobMinutes(2016, 6, 1);
  d.startTimeOffset = 9 * 60;
  d.duration = 60;
  if (kind == 0) {
    d.frequency = RecurrenceKind::Daily;
    d.patternType = blob::kPatternDay;
    d.period = 1440;
    s.rrule = "FREQ=DAILY";
  } else if (kind == 1) {
    d.frequency = RecurrenceKind::Weekly;
    d.patternType = blob::kPatternWeek;
    d.period = 1;
    d.weekdayMask = 0x2A;  // Monday, Wednesday, Friday
    s.rrule = "FREQ=WEEKLY;BYDAY=MO,WE,FR";
  } else {
    d.frequency = RecurrenceKind::Monthly;
    d.patternType = blob::kPatternMonthNth;
    d.period = 1;
    d.weekdayMask = 0x08;  // Wednesday
    d.weekNumber = 3;
    s.rrule = "FREQ=MONTHLY;BYDAY=3WE";
  }
  // 50 deleted and 50 modified occurrences spread over the ten years.
  for (int k = 0; k < 100; ++k) {
    const DWORD day = BlobMinutes(2016, 6, 1) + static_cast<DWORD>(k * 36 + 3) * 1440;
    if (k % 2 == 0) {
      d.deletedDates.push_back(day);
    } else {
      ModifiedOccurrence m;
      m.originalStart = day + 9 * 60;
      m.newStart = day + 10 * 60;
      m.newEnd = day + 11 * 60;
      m.subject = WString(WSTR("moved"));
      d.modified.push_back(m);
    }
  }
  return s;
}

void BM_AdjustForOccurred(benchmark::State& state) {
  FixedNow fixed(kNow);
  const Series series = MakeSeries(static_cast<int>(state.range(0)));
  const std::vector<BYTE> bytes = WriteAppointmentRecurrence(BuildAppointmentRecurrence(series.description));
  const auto R = ParseAppointmentRecurrence(static_cast<DWORD>(bytes.size()), bytes.data());
  const TIME_ZONE_INFORMATION zone = Eastern();
  MeetingEntry E;
  E.meetingTimeZone = &zone;
  LONGLONG result = 0;
  for (auto _ : state) {
    E.duration = 3600;
    BYTE skip = 0;
    result = AdjustForOccurred(*R, FileTimeFromSeconds(kFirst), fixed.now, E, skip);
    benchmark::DoNotOptimize(result);
  }
  state.counters["offset_days"] = static_cast<double>(result) / kDay;
}
BENCHMARK(BM_AdjustForOccurred)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"daily0_weekly1_monthly2"})->Unit(benchmark::kMicrosecond);

// The peer: walk the rule's occurrences in the zone until one ends after now,
// passing over the deleted and modified days.
void BM_LibicalPeer(benchmark::State& state) {
  const Series series = MakeSeries(static_cast<int>(state.range(0)));
  icaltimezone* zone = icaltimezone_get_builtin_timezone("America/New_York");
  std::set<std::tuple<int, int, int>> exceptions;
  for (DWORD minutes : series.description.deletedDates) {
    SYSTEMTIME st{};
    const FILETIME ft = FileTimeFromMinutes(minutes);
    plat::Time().FileTimeToSystemTime(&ft, &st);
    exceptions.insert({st.wYear, st.wMonth, st.wDay});
  }
  for (const auto& m : series.description.modified) {
    SYSTEMTIME st{};
    const FILETIME ft = FileTimeFromMinutes(m.originalStart);
    plat::Time().FileTimeToSystemTime(&ft, &st);
    exceptions.insert({st.wYear, st.wMonth, st.wDay});
  }
  const icalrecurrencetype rule = icalrecurrencetype_from_string(series.rrule.c_str());
  icaltimetype start = icaltime_from_string("20160601T090000");
  start = icaltime_set_timezone(&start, zone);
  const time_t nowUnix = static_cast<time_t>(kNow - At(1970, 1, 1));
  time_t found = 0;
  for (auto _ : state) {
    icalrecur_iterator* it = icalrecur_iterator_new(rule, start);
    found = 0;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t); t = icalrecur_iterator_next(it)) {
      if (exceptions.count({t.year, t.month, t.day}) != 0) continue;
      const time_t begin = icaltime_as_timet_with_zone(t, zone);
      if (begin + 3600 > nowUnix) {
        found = begin;
        break;
      }
    }
    icalrecur_iterator_free(it);
    benchmark::DoNotOptimize(found);
  }
  state.counters["offset_days"] = static_cast<double>(found - (kFirst - At(1970, 1, 1))) / kDay;
}
BENCHMARK(BM_LibicalPeer)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"daily0_weekly1_monthly2"})->Unit(benchmark::kMicrosecond);

}  // namespace
