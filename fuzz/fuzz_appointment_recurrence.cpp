// Fuzzes the appointment recurrence parser.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t none = 0;
  if (data == nullptr) data = &none;
  const auto n = static_cast<DWORD>(size);

  const auto r = ParseAppointmentRecurrence(n, data);
  FUZZ_CHECK(r != nullptr);
  fuzzcheck::CheckAppointment(*r);
  const std::vector<BYTE> rewritten = WriteAppointmentRecurrence(*r);
  fuzzcheck::CheckRewrite(data, size, rewritten);

  // With a sink: the same structure, and the reported fields cover every
  // byte. Naming each field costs more than the parse itself, so this runs
  // on the smaller values, where the structure varies most.
  if (size <= fuzzcheck::kNamedParseLimit) {
    fuzzcheck::WidthSink widths;
    const auto named = ParseAppointmentRecurrence(n, data, &widths);
    FUZZ_CHECK(widths.total == size);
    FUZZ_CHECK(WriteAppointmentRecurrence(*named) == rewritten);
  }

  // The writer's output is a value like any other.
  const auto again = ParseAppointmentRecurrence(static_cast<DWORD>(rewritten.size()),
                                                rewritten.empty() ? &none : rewritten.data());
  FUZZ_CHECK(again != nullptr);
  fuzzcheck::CheckAppointment(*again);
  return 0;
}
