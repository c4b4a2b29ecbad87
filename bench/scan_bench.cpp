// One calendar scan over the benchmark calendar (memstore/BenchmarkCalendar.h).
// Logging is off, so no log text is ever made.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "calendar/BlobWriter.h"
#include "calendar/CalendarScan.h"
#include "calendar/TimeHelpers.h"
#include "memstore/BenchmarkCalendar.h"
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

TIME_ZONE_INFORMATION Eastern() { return memstore::BenchmarkZone(); }

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

std::vector<memstore::Appointment> Calendar(int count) { return memstore::BenchmarkCalendar(count, kNow); }

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
