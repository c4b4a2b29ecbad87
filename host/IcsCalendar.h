// iCalendar files (.ics, as every calendar program exports them) read into
// the provider's appointments through libical. Linux only.
//
// Each VEVENT becomes one appointment: its times, SUMMARY, LOCATION, busy
// status (TRANSP, STATUS and the mail client's own busy-status property),
// CLASS, its zone (VTIMEZONE, as bias and the two transition rules of the
// year the event starts in), and for a series its RRULE written as the
// recurrence value, EXDATE as deleted occurrences and the RECURRENCE-ID
// events of the same UID as changed occurrences. An event whose rule the
// recurrence value cannot express is left out and listed with the reason;
// the rest load. A file that is not well formed loads nothing and the error
// names its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "memstore/MemStore.h"

namespace host {

// An event left out, with the line its BEGIN:VEVENT is on.
struct IcsLeftOut {
  int line = 0;
  std::string summary;
  std::string reason;
};

struct IcsCalendar {
  std::vector<memstore::Appointment> appointments;
  // For each appointment, what it came from (UID and RRULE), for readers of
  // a converted file.
  std::vector<std::string> origins;
  std::vector<IcsLeftOut> leftOut;
};

// Reads the text; on an error returns false with "file:line: message".
bool ReadICalendar(std::string_view text, const std::string& fileName, IcsCalendar& calendar, std::string& error);

}  // namespace host
