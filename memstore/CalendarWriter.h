// Appointments written back in the calendar file form (the form of
// memstore/demo-calendar.txt), so that a calendar read from elsewhere can be
// loaded wherever calendar files are. Series and zones are written as their
// raw values (recurrence-blob, timezone-blob), times as wall-clock times in
// the appointment's zone (the machine's when it carries none).
#pragma once

#include <string>
#include <vector>

#include "memstore/MemStore.h"

namespace memstore {

// `notes[i]`, when there, is written as a comment above appointment i;
// `header` (lines without the '#') above everything.
std::string WriteCalendar(const std::vector<Appointment>& appointments, const std::vector<std::string>& notes,
                          const std::vector<std::string>& header);

}  // namespace memstore
