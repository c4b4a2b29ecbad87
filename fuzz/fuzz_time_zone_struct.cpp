// Fuzzes the time zone structure parser.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t none = 0;
  if (data == nullptr) data = &none;
  const auto n = static_cast<DWORD>(size);

  const auto tz = ParseTimeZoneStruct(n, data);
  FUZZ_CHECK(tz != nullptr);
  // From offset 12 on every field is 16-bit: a short value leaves at most one
  // byte over.
  if (tz->Trailing) FUZZ_CHECK(size >= 48 ? tz->Trailing->size() == size - 48 : tz->Trailing->size() == 1);
  if (size > 48) FUZZ_CHECK(tz->Trailing.has_value());

  const std::vector<BYTE> rewritten = WriteTimeZoneStruct(*tz);
  fuzzcheck::CheckRewrite(data, size, rewritten);
  if (size >= 48) FUZZ_CHECK(rewritten.size() == size);

  fuzzcheck::WidthSink widths;
  const auto named = ParseTimeZoneStruct(n, data, &widths);
  FUZZ_CHECK(widths.total == size);
  FUZZ_CHECK(WriteTimeZoneStruct(*named) == rewritten);

  const TIME_ZONE_INFORMATION info = TimeZoneInformationFromStruct(*tz);
  FUZZ_CHECK(info.Bias == tz->lBias && info.DaylightDate.wMonth == tz->stDaylightDate.wMonth);
  return 0;
}
