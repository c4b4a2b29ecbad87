// Parse throughput of recurrence blobs: the largest series the parser reads
// whole (499 modified occurrences, each with subject, location, busy status
// and its extended record) and a plain one; and the time zone structure.
#include <benchmark/benchmark.h>

#include <string>

#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"

namespace {

WString Wide(const std::string& s) { return WString(s.begin(), s.end()); }

std::vector<BYTE> LargeBlob() {
  RecurrenceDescription d;
  d.period = 1440;
  d.startDate = BlobMinutes(2010, 1, 4);
  d.startTimeOffset = 9 * 60;
  d.duration = 60;
  for (int i = 0; i < 499; ++i) {
    ModifiedOccurrence m;
    m.originalStart = d.startDate + static_cast<DWORD>(i) * 1440 + d.startTimeOffset;
    m.newStart = m.originalStart + 30;
    m.newEnd = m.newStart + 45;
    m.subject = Wide("Weekly planning, occurrence " + std::to_string(i));
    m.location = Wide("Building 7, room " + std::to_string(100 + i % 50));
    m.busyStatus = 2;
    d.modified.push_back(m);
  }
  return WriteAppointmentRecurrence(BuildAppointmentRecurrence(d));
}

std::vector<BYTE> SmallBlob() {
  RecurrenceDescription d;
  d.frequency = RecurrenceKind::Weekly;
  d.patternType = blob::kPatternWeek;
  d.period = 1;
  d.weekdayMask = 0x3E;
  d.startDate = BlobMinutes(2010, 1, 4);
  d.startTimeOffset = 9 * 60;
  d.duration = 30;
  d.deletedDates = {BlobMinutes(2010, 1, 6), BlobMinutes(2010, 1, 13)};
  return WriteAppointmentRecurrence(BuildAppointmentRecurrence(d));
}

void ParseBlob(benchmark::State& state, const std::vector<BYTE>& blob) {
  for (auto _ : state) {
    auto r = ParseAppointmentRecurrence(static_cast<DWORD>(blob.size()), blob.data());
    benchmark::DoNotOptimize(r.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(blob.size()));
  state.counters["blob_bytes"] = static_cast<double>(blob.size());
}

void BM_ParseLargeRecurrence(benchmark::State& state) { ParseBlob(state, LargeBlob()); }
BENCHMARK(BM_ParseLargeRecurrence);

void BM_ParseSmallRecurrence(benchmark::State& state) { ParseBlob(state, SmallBlob()); }
BENCHMARK(BM_ParseSmallRecurrence);

void BM_ParseTimeZone(benchmark::State& state) {
  const auto tz = WriteTimeZoneStruct(
      BuildTimeZoneStruct(300, 0, -60, TransitionRule(11, 0, 1, 2), TransitionRule(3, 0, 2, 2)));
  for (auto _ : state) {
    auto r = ParseTimeZoneStruct(static_cast<DWORD>(tz.size()), tz.data());
    benchmark::DoNotOptimize(r.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(tz.size()));
}
BENCHMARK(BM_ParseTimeZone);

}  // namespace
