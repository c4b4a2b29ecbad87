// The benchmark calendar: a large calendar in a daylight-saving zone (US
// Eastern): 80% single appointments spread over two years around now, 20%
// recurring series begun at random over the past five years (half weekly,
// 30% daily, 10% monthly, 10% yearly; one in ten with deleted and modified
// occurrences). The same every time for the same count and instant.
#pragma once

#include <vector>

#include "memstore/MemStore.h"

namespace memstore {

// The zone of the benchmark calendar's appointments.
TIME_ZONE_INFORMATION BenchmarkZone();

// count appointments around nowSeconds (seconds since 1601, UTC).
std::vector<Appointment> BenchmarkCalendar(int count, LONGLONG nowSeconds);

}  // namespace memstore
