// Fuzzes the recurrence pattern parser, on its own and with a consumed count.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t none = 0;
  if (data == nullptr) data = &none;
  const auto n = static_cast<DWORD>(size);

  const auto alone = ParseRecurrencePattern(n, data);
  FUZZ_CHECK(alone != nullptr);
  fuzzcheck::CheckPattern(*alone);
  const std::vector<BYTE> rewritten = WriteRecurrencePattern(*alone);
  fuzzcheck::CheckRewrite(data, size, rewritten);

  // With a consumed count nothing trails, and consumed plus the bytes that
  // would have trailed is the size.
  DWORD consumed = 0xFFFFFFFF;
  const auto inner = ParseRecurrencePattern(n, data, &consumed);
  const size_t trailing = alone->Trailing ? alone->Trailing->size() : 0;
  FUZZ_CHECK(inner != nullptr && !inner->Trailing);
  FUZZ_CHECK(consumed <= n && consumed + trailing == size);
  FUZZ_CHECK(WriteRecurrencePattern(*inner).size() + trailing == rewritten.size());

  if (size <= fuzzcheck::kNamedParseLimit) {
    fuzzcheck::WidthSink widths;
    const auto named = ParseRecurrencePattern(n, data, nullptr, &widths);
    FUZZ_CHECK(widths.total == size);
    FUZZ_CHECK(WriteRecurrencePattern(*named) == rewritten);
  }
  return 0;
}
