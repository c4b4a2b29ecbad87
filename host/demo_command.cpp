// tessaro with no command: the demo.
#include <cstdio>

#include "host/commands.h"

namespace host {

int RunDemo(int, char**) {
  std::puts("Tessaro: the calendar presence demo is not there yet; try 'tessaro settings'.");
  return 0;
}

}  // namespace host
