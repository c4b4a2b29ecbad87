// tessaro: the command-line stand-in for the pages that host Tessaro's controls.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/commands.h"
#include "host/page_site.h"

namespace {

void Usage() {
  std::fputs(
      "usage: tessaro [COMMAND [ARGS]]\n"
      "  (no command)          run the demo\n"
      "  settings              show the diagnostic settings of each component\n"
      "  inspect-blob HEX      the fields of a recurrence blob (HEX, or - for standard input)\n"
      "  inspect-tz HEX        the fields of a time zone structure\n"
      "  away [--seconds N] [--polls N]\n"
      "                        install the input hook and report the last activity\n"
      "                        every N seconds (5) until interrupted or N reports\n"
      "  participants [--pick N[,N...]]\n"
      "                        pick call participants from the demo address book and\n"
      "                        print each one's properties\n"
      "  status [--calendar FILE] [--now T] [--json]\n"
      "                        one look at the calendar: meetings in progress and the next\n"
      "                        start; exit status 0 in a meeting, 1 not, 2 on an error\n"
      "  convert FILE.ics      an iCalendar file in the calendar file form\n"
      "  help                  this text\n"
      "option of every command (before or after it):\n"
      "  --page-url URL        act as a page at URL: each control gets a site whose\n"
      "                        browser shows URL (for the site lock)\n",
      stderr);
}

}  // namespace

// Takes "--page-url URL" out of the arguments, wherever it stands; false
// when the option has no value.
static bool TakePageUrl(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--page-url") != 0) continue;
    if (i + 1 >= argc || argv[i + 1][0] == 0) return false;
    host::SetPageUrl(argv[i + 1]);
    for (int j = i; j + 2 <= argc; ++j) argv[j] = argv[j + 2];
    argc -= 2;
    --i;
  }
  return true;
}

int main(int argc, char** argv) {
  if (!TakePageUrl(argc, argv)) {
    Usage();
    return 2;
  }
  // No command, or only the demo's options: the demo.
  if (argc < 2 || (argv[1][0] == '-' && argv[1][1] == '-' && std::string(argv[1]) != "--help"))
    return host::RunDemo(argc - 1, argv + 1);
  const std::string command = argv[1];
  if (command == "settings") return host::RunSettings(argc - 2, argv + 2);
  if (command == "inspect-blob") return host::RunInspectBlob(argc - 2, argv + 2);
  if (command == "inspect-tz") return host::RunInspectTz(argc - 2, argv + 2);
  if (command == "away") return host::RunAway(argc - 2, argv + 2);
  if (command == "participants") return host::RunParticipants(argc - 2, argv + 2);
  if (command == "status") return host::RunStatus(argc - 2, argv + 2);
  if (command == "convert") return host::RunConvert(argc - 2, argv + 2);
  if (command == "help" || command == "--help" || command == "-h") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "tessaro: unknown command '%s'\n", command.c_str());
  Usage();
  return 2;
}
