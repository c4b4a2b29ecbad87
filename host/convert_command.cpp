// tessaro convert FILE.ics: the calendar in the calendar file form, for the
// places that read only that form (the provider behind the Windows build's
// mapi32). Events left out are listed on standard error and as comments.
#include <cstdio>
#include <string>

#include "host/CalendarSource.h"
#include "host/commands.h"
#include "memstore/CalendarWriter.h"
#include "platform/services.h"

namespace host {

int RunConvert(int argc, char** argv) {
  if (argc != 1 || argv[0][0] == '-') {
    std::fputs("usage: tessaro convert FILE.ics   (the calendar file form on standard output)\n", stderr);
    return 2;
  }
  const std::string path = argv[0];
  FILETIME now{};
  plat::Clock().GetSystemTimeAsFileTime(&now);
  LoadedCalendar calendar;
  std::string error;
  if (!LoadCalendar(path, now, calendar, error)) {
    std::fprintf(stderr, "tessaro: %s\n", error.c_str());
    return 2;
  }
  if (!calendar.iCalendar) {
    std::fprintf(stderr, "tessaro: %s is already a calendar file, not an iCalendar file\n", path.c_str());
    return 2;
  }
  std::vector<std::string> header = {"Converted by tessaro convert from " + path + ".",
                                     "Times are wall-clock times in each appointment's zone (timezone-blob), or the",
                                     "machine's local time when it has none."};
  for (const std::string& line : calendar.leftOut) {
    header.push_back(line);
    std::fprintf(stderr, "tessaro: %s\n", line.c_str());
  }
  std::fputs(memstore::WriteCalendar(calendar.appointments, calendar.origins, header).c_str(), stdout);
  return 0;
}

}  // namespace host
