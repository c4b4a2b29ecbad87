// Fuzzes the calendar file reader: any text, read at an instant from the
// input. A file is either read whole or refused with one line naming the
// file, and what was read can be written as the store writes it and read
// back by the blob parsers.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"
#include "calendar/TimeHelpers.h"
#include "fuzz/fuzz_checks.h"
#include "memstore/CalendarFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Local times in a zone with daylight saving, the same on every machine.
  setenv("TZ", "Europe/Berlin", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the instant "now" stands for: around the spring
  // and autumn changes of 2026, a leap day, new year, the first and last days
  // of the years a FILETIME holds, 1970, a summer day.
  static const LONGLONG kNow[] = {13419217800LL, 13437361800LL, 13479912000LL, 13443231600LL,
                                  86400LL,       265046601600LL, 11644473600LL, 13425987600LL};
  if (size == 0) return 0;
  const FILETIME now = FileTimeFromSeconds(kNow[data[0] % 8]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<memstore::Appointment> read;
  std::string error;
  if (!memstore::ParseCalendar(text, "fuzz.txt", now, read, error)) {
    FUZZ_CHECK(read.empty());
    FUZZ_CHECK(error.rfind("fuzz.txt:", 0) == 0);
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(error.empty());
  for (const memstore::Appointment& a : read) {
    if (a.recurrence) {
      const std::vector<BYTE> blob = WriteAppointmentRecurrence(BuildAppointmentRecurrence(*a.recurrence));
      FUZZ_CHECK(ParseAppointmentRecurrence(static_cast<DWORD>(blob.size()), blob.data()) != nullptr);
    }
    if (a.zone) {
      const std::vector<BYTE> blob = WriteTimeZoneStruct(*a.zone);
      FUZZ_CHECK(ParseTimeZoneStruct(static_cast<DWORD>(blob.size()), blob.data()) != nullptr);
    }
  }
  return 0;
}
