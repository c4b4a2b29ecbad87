// The cost of a log line: suppressed (flags 0) and written.
#include <benchmark/benchmark.h>

// The counting allocator below pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <new>

#include "module/NamedLogger.h"
#include "platform/services.h"

// Counts heap allocations so that the benchmark can report them per line.
static std::atomic<long> g_allocations{0};
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// A debugger stream that takes the line and drops it, so that the benchmark
// measures the logger rather than the terminal.
class NullStream : public plat::DiagnosticsService {
 public:
  void OutputDebugStringW(LPCWSTR text) override {
    benchmark::DoNotOptimize(text);
    ++writes;
  }
  long writes = 0;
};

void BM_LogSuppressed(benchmark::State& state) {
  CNamedLogger logger(WSTR("CBench :: "), WSTR("Bench"));
  CAXLogger* base = &logger;
  benchmark::DoNotOptimize(base);
  for (auto _ : state) base->Log(LOG_INFO, WSTR("Tessaro INFO  :: Bench(1): value %d"), 42);
}
BENCHMARK(BM_LogSuppressed);

void BM_LogWritten(benchmark::State& state) {
  NullStream stream;
  plat::Substitute<plat::DiagnosticsService> installed(stream);
  CNamedLogger logger(WSTR("CBench :: "), WSTR("Bench"));
  logger.Settings().m_debugFlags = LOG_TO_DEBUGGER | LOG_INFO;
  CAXLogger* base = &logger;
  benchmark::DoNotOptimize(base);
  const long before = g_allocations.load();
  for (auto _ : state) base->Log(LOG_INFO, WSTR("Tessaro INFO  :: Bench(1): value %d"), 42);
  const double lines = static_cast<double>(state.iterations());
  state.counters["allocs_per_line"] = static_cast<double>(g_allocations.load() - before) / lines;
  state.counters["writes_per_line"] = static_cast<double>(stream.writes) / lines;
}
BENCHMARK(BM_LogWritten);

}  // namespace
