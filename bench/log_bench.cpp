// The cost of a log line: suppressed (flags 0) and written.
#include <benchmark/benchmark.h>

#include "module/NamedLogger.h"
#include "platform/services.h"

namespace {

// A debugger stream that takes the line and drops it, so that the benchmark
// measures the logger rather than the terminal.
class NullStream : public plat::DiagnosticsService {
 public:
  void OutputDebugStringW(LPCWSTR text) override { benchmark::DoNotOptimize(text); }
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
  for (auto _ : state) base->Log(LOG_INFO, WSTR("Tessaro INFO  :: Bench(1): value %d"), 42);
}
BENCHMARK(BM_LogWritten);

}  // namespace
