#include "memstore/CalendarFile.h"

namespace memstore {

bool ParseCalendar(std::string_view, const std::string& fileName, const FILETIME&, std::vector<Appointment>&,
                   std::string& error) {
  error = fileName + ": not read yet";
  return false;
}
bool LoadCalendarFile(const std::string& path, const FILETIME&, std::vector<Appointment>&, std::string& error) {
  error = path + ": cannot read the file";
  return false;
}
std::string_view DemoCalendarText() { return {}; }

}  // namespace memstore
