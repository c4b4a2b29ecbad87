// Fuzzes the recurrence pattern parser, on its own and with a consumed count.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t none = 0;
  if (data == nullptr) data = &none;
  const auto n = static_cast<DWORD>(size);

  fuzzcheck::WidthSink widths;
  const auto alone = ParseRecurrencePattern(n, data, nullptr, &widths);
  FUZZ_CHECK(alone != nullptr);
  FUZZ_CHECK(widths.total == size);
  fuzzcheck::CheckPattern(*alone);

  // With a consumed count nothing trails, and consumed plus the bytes that
  // would have trailed is the size.
  DWORD consumed = 0xFFFFFFFF;
  const auto inner = ParseRecurrencePattern(n, data, &consumed);
  FUZZ_CHECK(inner != nullptr && !inner->Trailing);
  FUZZ_CHECK(consumed <= n);
  FUZZ_CHECK(consumed + (alone->Trailing ? alone->Trailing->size() : 0) == size);
  FUZZ_CHECK(WriteRecurrencePattern(*inner).size() + (alone->Trailing ? alone->Trailing->size() : 0) ==
             WriteRecurrencePattern(*alone).size());

  const std::vector<BYTE> rewritten = WriteRecurrencePattern(*alone);
  fuzzcheck::CheckRewrite(data, size, rewritten);
  FUZZ_CHECK(WriteRecurrencePattern(*ParseRecurrencePattern(n, data)) == rewritten);
  return 0;
}
