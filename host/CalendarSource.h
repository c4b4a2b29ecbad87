// The calendar files the host reads: the calendar file form, or (in the
// Linux build) an iCalendar file, told apart by content.
#pragma once

#include <string>
#include <vector>

#include "memstore/MemStore.h"

namespace host {

struct LoadedCalendar {
  std::vector<memstore::Appointment> appointments;
  std::vector<std::string> origins;  // iCalendar: each appointment's UID and rule
  // Events of an iCalendar file that were left out:
  // "file:line: event "SUMMARY" left out: REASON".
  std::vector<std::string> leftOut;
  bool iCalendar = false;
};

// Reads `path`; relative times of the calendar file form are taken from
// `now`. On an error returns false with a message naming the file and line.
bool LoadCalendar(const std::string& path, const FILETIME& now, LoadedCalendar& calendar, std::string& error);

// The built-in demo calendar, or the file when a path is given.
bool LoadCalendarOrDemo(const std::string& path, const FILETIME& now, LoadedCalendar& calendar, std::string& error);

}  // namespace host
