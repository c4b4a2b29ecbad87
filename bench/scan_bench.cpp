// One calendar scan over a large calendar in a daylight-saving zone: 80%
// single appointments spread over two years around now, 20% recurring series
// begun at random over the past five years (half weekly, 30% daily, 10%
// monthly, 10% yearly; one in ten with deleted and modified occurrences).
// Logging is off, so no log text is ever made.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "calendar/BlobWriter.h"
#include "calendar/CalendarScan.h"
#include "calendar/TimeHelpers.h"
#include "memstore/MemStore.h"
#include "platform/services.h"

// The counting allocator pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Heap use while a scan runs: bytes live now and the peak since the last reset.
static std::atomic<long long> g_live{0}, g_peak{0};
static void* Counted(std::size_t size) {
  auto* p = static_cast<std::size_t*>(std::malloc(size + sizeof(std::max_align_t)));
  if (p == nullptr) throw std::bad_alloc();
  *p = size;
  const long long now = g_live.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return reinterpret_cast<char*>(p) + sizeof(std::max_align_t);
}
static void Uncounted(void* q) {
  if (q == nullptr) return;
  auto* p = reinterpret_cast<std::size_t*>(static_cast<char*>(q) - sizeof(std::max_align_t));
  g_live.fetch_sub(static_cast<long long>(*p));
  std::free(p);
}
void* operator new(std::size_t size) { return Counted(size); }
void* operator new[](std::size_t size) { return Counted(size); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { Uncounted(p); }

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

const LONGLONG kNow = At(2026, 6, 17, 15, 30);

class Fixed : public plat::ClockService, public plat::TimeService {
 public:
  Fixed() : clock_(static_cast<plat::ClockService&>(*this)), time_(static_cast<plat::TimeService&>(*this)) {}
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = FileTimeFromSeconds(kNow); }
  void GetSystemTime(LPSYSTEMTIME st) override {
    const FILETIME now = FileTimeFromSeconds(kNow);
    plat::TimeService::FileTimeToSystemTime(&now, st);
  }
  DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) override {
    *zone = Eastern();
    return TIME_ZONE_ID_DAYLIGHT;
  }
  BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                       LPSYSTEMTIME local) override {
    const TIME_ZONE_INFORMATION machine = Eastern();
    return plat::TimeService::SystemTimeToTzSpecificLocalTime(zone ? zone : &machine, utc, local);
  }

 private:
  plat::Substitute<plat::ClockService> clock_;
  plat::Substitute<plat::TimeService> time_;
};

std::vector<memstore::Appointment> Calendar(int count) {
  std::mt19937 random(42);
  auto uniform = [&](LONGLONG lo, LONGLONG hi) { return std::uniform_int_distribution<LONGLONG>(lo, hi)(random); };
  const TimeZoneStruct zone = TimeZoneStructFromInformation(Eastern());
  std::vector<memstore::Appointment> all;
  all.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (i % 5 != 0) {  // single: within a year either side of now, on the quarter hour
      const LONGLONG start = (kNow + uniform(-365, 365) * kDay) / 900 * 900;
      memstore::Appointment a = memstore::SingleAppointment(WSTR("Single"), FileTimeFromSeconds(start),
                                                            FileTimeFromSeconds(start + 1800 * uniform(1, 4)));
      a.zone = zone;
      all.push_back(std::move(a));
      continue;
    }
    const int kind = static_cast<int>(uniform(0, 9));  // 0-4 weekly, 5-7 daily, 8 monthly, 9 yearly
    const LONGLONG firstDay = (kNow - uniform(1, 5 * 365) * kDay) / kDay * kDay;
    const LONGLONG start = firstDay + 1800 * uniform(8, 47);
    RecurrenceDescription d;
    d.startDate = static_cast<DWORD>(firstDay / 60);
    d.startTimeOffset = static_cast<DWORD>((start - firstDay) / 60) - 240;
    d.duration = 60;
    SYSTEMTIME first{};
    const FILETIME ft = FileTimeFromSeconds(start);
    plat::Time().FileTimeToSystemTime(&ft, &first);
    if (kind <= 4) {
      d.frequency = RecurrenceKind::Weekly, d.patternType = blob::kPatternWeek, d.period = 1;
      d.weekdayMask = (1u << first.wDayOfWeek) | (1u << ((first.wDayOfWeek + 2) % 7));
    } else if (kind <= 7) {
      d.frequency = RecurrenceKind::Daily, d.patternType = blob::kPatternDay, d.period = 1440;
    } else if (kind == 8) {
      d.frequency = RecurrenceKind::Monthly, d.patternType = blob::kPatternMonth, d.period = 1;
      d.dayOfMonth = first.wDay;
    } else {
      d.frequency = RecurrenceKind::Yearly, d.patternType = blob::kPatternMonth, d.period = 12;
      d.dayOfMonth = first.wDay;
    }
    if (i % 50 == 0) {  // one series in ten has exceptions
      for (int k = 1; k <= 5; ++k) d.deletedDates.push_back(d.startDate + static_cast<DWORD>(k * 7 * 1440));
      ModifiedOccurrence m;
      m.originalStart = d.startDate + 14 * 1440 * 3 + d.startTimeOffset;
      m.newStart = m.originalStart + 60;
      m.newEnd = m.newStart + 60;
      m.subject = WString(WSTR("Moved"));
      d.modified = {m};
    }
    memstore::Appointment a =
        memstore::SingleAppointment(WSTR("Series"), FileTimeFromSeconds(start), FileTimeFromSeconds(start + 3600));
    a.recurring = true;
    a.recurrence = d;
    a.zone = zone;
    all.push_back(std::move(a));
  }
  return all;
}

void BM_CalendarScan(benchmark::State& state) {
  Fixed fixed;
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed(provider);
  provider.AddQuietly(Calendar(static_cast<int>(state.range(0))));
  plat::Mapi().MAPIInitialize(nullptr);
  LPMAPISESSION session = nullptr;
  plat::Mapi().MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE | MAPI_NO_MAIL, &session);
  const std::vector<BYTE> id = provider.StoreEntryId(true);
  LPMDB store = nullptr;
  session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(id.data())),
                        nullptr, 0, &store);
  MeetingTable table;
  long long peak = 0;
  for (auto _ : state) {
    table.Reset();
    const long long before = g_live.load();
    g_peak.store(before);
    GetCalEntries(session, store, table);
    peak = std::max(peak, g_peak.load() - before);
  }
  state.counters["in_progress"] = table.m_meetingIndex;
  state.counters["next_start_s"] = table.nextStartMeetingTime;
  state.counters["peak_heap_MB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
  store->Release();
  session->Logoff(0, 0, 0);
  session->Release();
}
BENCHMARK(BM_CalendarScan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
