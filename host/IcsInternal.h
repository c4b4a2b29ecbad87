// The parts of reading iCalendar files (host/IcsCalendar.*): times and zones
// (IcsTimes.cpp), rules (IcsRules.cpp).
#pragma once

#include <libical/ical.h>

#include <string>

#include "calendar/BlobWriter.h"

namespace host::ics {

// A file's error: reading stops and the file loads nothing.
struct Failure {
  int line;
  std::string message;
};
[[noreturn]] void Fail(int line, const std::string& message);

// What the recurrence value cannot say: the event is left out with the reason.
struct Unsupported {
  std::string reason;
};
[[noreturn]] void Cannot(const std::string& reason);

constexpr long long kDay = 1440;  // minutes

int DaysIn(int year, int month);
// 0 Sunday .. 6 Saturday.
int WeekdayOf(const icaltimetype& t);

// Where an event's times are: the machine's zone (floating times and dates),
// UTC, or a zone of the file.
struct Frame {
  enum Kind { Machine, Utc, Zoned } kind = Machine;
  icaltimezone* zone = nullptr;
  TimeZoneStruct blob;
};

// Wall-clock minutes since 1601 of a time as it stands (dates at midnight).
long long WallMinutes(const icaltimetype& t, int line);
// The UTC instant of a time; floating times and dates are in the frame.
FILETIME UtcOf(const icaltimetype& t, const Frame& frame);
// The wall-clock minutes of a time in the frame.
long long LocalMinutes(const icaltimetype& t, const Frame& frame, int line);

icaltimezone* FindZone(icalcomponent* calendar, const char* tzid, int line, const std::string& property);
// A time property's value with its zone attached.
icaltimetype TimeOf(icalproperty* p, icaltimetype value, icalcomponent* calendar, int line, const std::string& name);
// The zone in the form an appointment carries: bias and the two transition
// rules in force in the year.
TimeZoneStruct ZoneStruct(icaltimezone* zone, int year);
TimeZoneStruct MachineZoneStruct();

// The rule as the recurrence value describes it (frequency, pattern, period).
void Describe(const icalrecurrencetype& r, const icaltimetype& start, RecurrenceDescription& d);
// How the series ends: its count and the day of its last occurrence, from
// libical's own walk of the rule.
void Ending(const icalrecurrencetype& r, const icaltimetype& start, const Frame& frame, int line,
            RecurrenceDescription& d);

}  // namespace host::ics
