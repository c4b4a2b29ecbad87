// Fuzzes the occurrence walk: a fuzzed recurrence blob, first start, current
// instant and appointment zone (the machine in daylight or standard time).
// The walk must end, never touch memory it does not own, and leave the entry
// as a caller can use it.
#include <fuzzer/FuzzedDataProvider.h>

#include "calendar/Recurrence.h"
#include "calendar/TimeHelpers.h"
#include "fuzz/fuzz_checks.h"
#include "platform/services.h"

namespace {

// The clock and the machine's zone, from the input.
class World : public plat::ClockService, public plat::TimeService {
 public:
  World() : clock_(static_cast<plat::ClockService&>(*this)), time_(static_cast<plat::TimeService&>(*this)) {}
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = now; }
  void GetSystemTime(LPSYSTEMTIME st) override {
    SYSTEMTIME zero{};
    if (!plat::TimeService::FileTimeToSystemTime(&now, st)) *st = zero;
  }
  DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) override {
    *zone = machine;
    return state;
  }
  FILETIME now{};
  TIME_ZONE_INFORMATION machine{};
  DWORD state = TIME_ZONE_ID_STANDARD;

 private:
  plat::Substitute<plat::ClockService> clock_;
  plat::Substitute<plat::TimeService> time_;
};

SYSTEMTIME Rule(FuzzedDataProvider& in) {
  SYSTEMTIME r{};
  r.wMonth = in.ConsumeIntegralInRange<WORD>(0, 13);
  r.wDayOfWeek = in.ConsumeIntegralInRange<WORD>(0, 7);
  r.wDay = in.ConsumeIntegralInRange<WORD>(0, 6);
  r.wHour = in.ConsumeIntegralInRange<WORD>(0, 24);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World;  // lives for the process, as the services do
  FuzzedDataProvider in(data, size);
  // Instants between 1601 and 9999, in seconds.
  const LONGLONG first = in.ConsumeIntegralInRange<LONGLONG>(0, 265000000000LL);
  const LONGLONG now = in.ConsumeIntegralInRange<LONGLONG>(0, 265000000000LL);
  world->now = FileTimeFromSeconds(now);
  world->state = in.ConsumeBool() ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
  TIME_ZONE_INFORMATION zone{};
  zone.Bias = in.ConsumeIntegralInRange<LONG>(-900, 900);
  zone.DaylightBias = in.ConsumeIntegralInRange<LONG>(-120, 120);
  zone.StandardBias = in.ConsumeIntegralInRange<LONG>(-60, 60);
  zone.StandardDate = Rule(in);
  zone.DaylightDate = Rule(in);
  world->machine = zone;
  const bool withZone = in.ConsumeBool();
  MeetingEntry E;
  E.duration = in.ConsumeIntegral<LONG>();
  E.meetingTimeZone = withZone ? &zone : nullptr;
  const std::vector<uint8_t> blob = in.ConsumeRemainingBytes<uint8_t>();
  static const uint8_t none = 0;
  const auto R = ParseAppointmentRecurrence(static_cast<DWORD>(blob.size()), blob.empty() ? &none : blob.data());
  FUZZ_CHECK(R != nullptr);

  BYTE skip = 7;
  const LONGLONG offset = AdjustForOccurred(*R, FileTimeFromSeconds(first), world->now, E, skip);
  FUZZ_CHECK(skip == 0 || skip == 1);
  FUZZ_CHECK(E.occurrenceOverridden == 0 || E.occurrenceOverridden == 1);
  (void)offset;
  (void)SysStringLen(E.subject.Get());
  (void)SysStringLen(E.location.Get());
  return 0;
}
