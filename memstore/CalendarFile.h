// Calendar files: a readable text form of a calendar for the demo host and
// for tests. The format is described at the top of memstore/demo-calendar.txt
// (the demo calendar that is built into the program).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "memstore/MemStore.h"

namespace memstore {

// Reads the appointments of a calendar file's text. Relative times ("now",
// "today", "+2d") are taken from `now` (UTC); local times are converted with
// the platform's time services (plat::Time()), "local" being the machine's
// zone. On an error nothing is returned and `error` holds
// "file:line: field: message" (fileName as given).
bool ParseCalendar(std::string_view text, const std::string& fileName, const FILETIME& now,
                   std::vector<Appointment>& appointments, std::string& error);

// The same for a file on disk; a file that cannot be read is reported as
// "file: cannot read the file".
bool LoadCalendarFile(const std::string& path, const FILETIME& now, std::vector<Appointment>& appointments,
                      std::string& error);

// The demo calendar built into the program, and the name its errors carry.
std::string_view DemoCalendarText();
constexpr const char* kDemoCalendarName = "demo-calendar.txt";

}  // namespace memstore
