// Fuzzes the appointment recurrence parser.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t none = 0;
  if (data == nullptr) data = &none;
  const auto n = static_cast<DWORD>(size);

  fuzzcheck::WidthSink widths;
  const auto r = ParseAppointmentRecurrence(n, data, &widths);
  FUZZ_CHECK(r != nullptr);
  FUZZ_CHECK(widths.total == size);
  fuzzcheck::CheckAppointment(*r);

  const std::vector<BYTE> rewritten = WriteAppointmentRecurrence(*r);
  fuzzcheck::CheckRewrite(data, size, rewritten);
  // The calendar parses without a sink: the same structure.
  FUZZ_CHECK(WriteAppointmentRecurrence(*ParseAppointmentRecurrence(n, data)) == rewritten);
  // The writer's output is a value like any other.
  const auto again = ParseAppointmentRecurrence(static_cast<DWORD>(rewritten.size()),
                                                rewritten.empty() ? &none : rewritten.data());
  FUZZ_CHECK(again != nullptr);
  fuzzcheck::CheckAppointment(*again);
  return 0;
}
