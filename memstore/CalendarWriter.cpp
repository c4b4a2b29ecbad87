#include "memstore/CalendarWriter.h"

#include <cstdio>

#include "platform/services.h"

namespace memstore {

namespace {

std::string Hex(const std::vector<BYTE>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (BYTE b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

// A value on one line: line breaks become blanks.
std::string OneLine(const WString& text) {
  std::string s = wstr::ToUtf8(text);
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

// The wall-clock time of an instant in the zone (null: the machine's).
std::string WallClock(const FILETIME& utc, const TIME_ZONE_INFORMATION* zone) {
  SYSTEMTIME u{}, local{};
  plat::Time().FileTimeToSystemTime(&utc, &u);
  plat::Time().SystemTimeToTzSpecificLocalTime(zone, &u, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                local.wMinute);
  return text;
}

const char* BusyWord(LONG busy) {
  switch (busy) {
    case 0: return "free";
    case 1: return "tentative";
    case 3: return "away";
    default: return "busy";
  }
}

void WriteOne(const Appointment& a, std::string& out) {
  out += "[appointment]\n";
  if (a.subject) out += "subject = " + OneLine(*a.subject) + "\n";
  if (a.location) out += "location = " + OneLine(*a.location) + "\n";
  std::optional<std::vector<BYTE>> zoneBytes = a.zoneBlob;
  if (!zoneBytes && a.zone) zoneBytes = WriteTimeZoneStruct(*a.zone);
  TIME_ZONE_INFORMATION info{};
  if (zoneBytes) info = TimeZoneInformationFromStruct(*ParseTimeZoneStruct(static_cast<DWORD>(zoneBytes->size()),
                                                                           zoneBytes->data()));
  const TIME_ZONE_INFORMATION* zone = zoneBytes ? &info : nullptr;
  if (zoneBytes) out += "timezone-blob = " + Hex(*zoneBytes) + "\n";
  if (a.start) out += "start = " + WallClock(*a.start, zone) + "\n";
  if (a.end) out += "end = " + WallClock(*a.end, zone) + "\n";
  if (a.busyStatus) out += std::string("busy = ") + BusyWord(*a.busyStatus) + "\n";
  if (a.isPrivate) out += std::string("private = ") + (*a.isPrivate ? "yes" : "no") + "\n";
  if (a.deliveryTime) out += "delivered = " + WallClock(*a.deliveryTime, zone) + "\n";
  std::optional<std::vector<BYTE>> recurrence = a.recurrenceBlob;
  if (!recurrence && a.recurrence) recurrence = WriteAppointmentRecurrence(BuildAppointmentRecurrence(*a.recurrence));
  if (recurrence) out += "recurrence-blob = " + Hex(*recurrence) + "\n";
  if (!a.recurring) out += "recurring = none\n";
  else if (!*a.recurring || !recurrence) out += std::string("recurring = ") + (*a.recurring ? "yes" : "no") + "\n";
}

}  // namespace

std::string WriteCalendar(const std::vector<Appointment>& appointments, const std::vector<std::string>& notes,
                          const std::vector<std::string>& header) {
  std::string out;
  for (const std::string& line : header) out += "# " + line + "\n";
  for (size_t i = 0; i < appointments.size(); ++i) {
    out += "\n";
    if (i < notes.size() && !notes[i].empty()) out += "# " + notes[i] + "\n";
    WriteOne(appointments[i], out);
  }
  return out;
}

}  // namespace memstore
