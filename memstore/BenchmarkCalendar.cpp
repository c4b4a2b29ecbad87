#include "memstore/BenchmarkCalendar.h"

#include <random>

#include "calendar/BlobWriter.h"
#include "calendar/TimeHelpers.h"
#include "platform/services.h"

namespace memstore {

namespace {
constexpr LONGLONG kDay = 86400;
}  // namespace

TIME_ZONE_INFORMATION BenchmarkZone() {
  TIME_ZONE_INFORMATION z{};
  z.Bias = 300;
  z.DaylightBias = -60;
  z.StandardDate = TransitionRule(11, 0, 1, 2);
  z.DaylightDate = TransitionRule(3, 0, 2, 2);
  return z;
}

std::vector<Appointment> BenchmarkCalendar(int count, LONGLONG now) {
  std::mt19937 random(42);
  auto uniform = [&](LONGLONG lo, LONGLONG hi) { return std::uniform_int_distribution<LONGLONG>(lo, hi)(random); };
  const TimeZoneStruct zone = TimeZoneStructFromInformation(BenchmarkZone());
  std::vector<Appointment> all;
  all.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (i % 5 != 0) {  // single: within a year either side of now, on the quarter hour
      const LONGLONG start = (now + uniform(-365, 365) * kDay) / 900 * 900;
      Appointment a = SingleAppointment(WSTR("Single"), FileTimeFromSeconds(start),
                                        FileTimeFromSeconds(start + 1800 * uniform(1, 4)));
      a.zone = zone;
      all.push_back(std::move(a));
      continue;
    }
    const int kind = static_cast<int>(uniform(0, 9));  // 0-4 weekly, 5-7 daily, 8 monthly, 9 yearly
    const LONGLONG firstDay = (now - uniform(1, 5 * 365) * kDay) / kDay * kDay;
    const LONGLONG start = firstDay + 1800 * uniform(8, 47);
    RecurrenceDescription d;
    d.startDate = static_cast<DWORD>(firstDay / 60);
    d.startTimeOffset = static_cast<DWORD>((start - firstDay) / 60) - 240;
    d.duration = 60;
    SYSTEMTIME first{};
    const FILETIME ft = FileTimeFromSeconds(start);
    plat::Time().FileTimeToSystemTime(&ft, &first);
    if (kind <= 4) {
      d.frequency = RecurrenceKind::Weekly, d.patternType = blob::kPatternWeek, d.period = 1;
      d.weekdayMask = (1u << first.wDayOfWeek) | (1u << ((first.wDayOfWeek + 2) % 7));
    } else if (kind <= 7) {
      d.frequency = RecurrenceKind::Daily, d.patternType = blob::kPatternDay, d.period = 1440;
    } else if (kind == 8) {
      d.frequency = RecurrenceKind::Monthly, d.patternType = blob::kPatternMonth, d.period = 1;
      d.dayOfMonth = first.wDay;
    } else {
      d.frequency = RecurrenceKind::Yearly, d.patternType = blob::kPatternMonth, d.period = 12;
      d.dayOfMonth = first.wDay;
    }
    if (i % 50 == 0) {  // one series in ten has exceptions
      for (int k = 1; k <= 5; ++k) d.deletedDates.push_back(d.startDate + static_cast<DWORD>(k * 7 * 1440));
      ModifiedOccurrence m;
      m.originalStart = d.startDate + 14 * 1440 * 3 + d.startTimeOffset;
      m.newStart = m.originalStart + 60;
      m.newEnd = m.newStart + 60;
      m.subject = WString(WSTR("Moved"));
      d.modified = {m};
    }
    Appointment a = SingleAppointment(WSTR("Series"), FileTimeFromSeconds(start), FileTimeFromSeconds(start + 3600));
    a.recurring = true;
    a.recurrence = d;
    a.zone = zone;
    all.push_back(std::move(a));
  }
  return all;
}

}  // namespace memstore
