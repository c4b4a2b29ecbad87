// iCalendar files through libical. Reading happens in three steps: an outline
// of the text (its unfolded lines, the nesting of BEGIN and END, and the
// line of every event's properties, so that errors can name lines, which
// libical does not keep), libical's parse, then one appointment per event.
#include "host/IcsCalendar.h"

#include <libical/ical.h>

#include <cctype>
#include <map>
#include <memory>

#include "host/IcsInternal.h"
#include "platform/services.h"

namespace host {

namespace {

using namespace ics;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// ---- the outline ------------------------------------------------------------------

struct EventLines {
  int begin = 0;
  std::map<std::string, int> properties;  // the first line of each property
  int Line(const std::string& name) const {
    auto it = properties.find(name);
    return it == properties.end() ? begin : it->second;
  }
};

class Outline {
 public:
  std::vector<EventLines> events;

  void Content(const std::string& content, int line) {
    size_t nameEnd = 0;
    while (nameEnd < content.size() && (std::isalnum(static_cast<unsigned char>(content[nameEnd])) || content[nameEnd] == '-'))
      ++nameEnd;
    if (nameEnd == 0 || nameEnd == content.size() || (content[nameEnd] != ':' && content[nameEnd] != ';'))
      Fail(line, "expected NAME:VALUE or NAME;PARAMETERS:VALUE, found '" + content.substr(0, 60) + "'");
    const std::string name = Upper(content.substr(0, nameEnd));
    size_t colon = nameEnd;
    for (bool quoted = false; colon < content.size(); ++colon) {
      if (content[colon] == '"') quoted = !quoted;
      if (content[colon] == ':' && !quoted) break;
    }
    if (colon == content.size()) Fail(line, name + ": the line has no ':' before its value");
    const std::string value = Upper(content.substr(colon + 1));
    if (open_.empty() && !(name == "BEGIN" && value == "VCALENDAR"))
      Fail(line, "expected BEGIN:VCALENDAR, found '" + content.substr(0, 60) + "'");
    if (name == "BEGIN") {
      open_.emplace_back(value, line);
      if (value == "VEVENT" && open_.size() == 2) events.push_back(EventLines{line, {}});
    } else if (name == "END") {
      if (open_.back().first != value)
        Fail(line, "END:" + value + " where BEGIN:" + open_.back().first + " of line " +
                       std::to_string(open_.back().second) + " ends");
      open_.pop_back();
    } else if (open_.size() == 2 && open_.back().first == "VEVENT") {
      events.back().properties.emplace(name, line);
    }
  }

  void End() const {
    if (!open_.empty())
      Fail(open_.back().second, "BEGIN:" + open_.back().first + " is never ended");
  }

 private:
  std::vector<std::pair<std::string, int>> open_;
};

// Unfolds the text's lines (a line that starts with a blank continues the one
// before) and hands each to the outline with the number of its first line.
Outline Lines(std::string_view text) {
  Outline outline;
  std::string logical;
  int logicalLine = 0, line = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string s(text.substr(at, end - at));
    at = end + 1;
    ++line;
    if (!s.empty() && s.back() == '\r') s.pop_back();
    if (line == 1 && s.rfind("\xEF\xBB\xBF", 0) == 0) s.erase(0, 3);
    if (!s.empty() && (s[0] == ' ' || s[0] == '\t') && logicalLine != 0) {
      logical += s.substr(1);
      continue;
    }
    if (logicalLine != 0) outline.Content(logical, logicalLine);
    logical.clear();
    logicalLine = 0;
    if (s.find_first_not_of(" \t") == std::string::npos) continue;
    logical = s;
    logicalLine = line;
  }
  if (logicalLine != 0) outline.Content(logical, logicalLine);
  outline.End();
  return outline;
}

// ---- the values of an event -------------------------------------------------------------

std::string Text(icalcomponent* e, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(e, kind);
  icalvalue* v = p != nullptr ? icalproperty_get_value(p) : nullptr;
  const char* text = v != nullptr && icalvalue_isa(v) == ICAL_TEXT_VALUE ? icalvalue_get_text(v) : nullptr;
  return text != nullptr ? text : "";
}

bool Has(icalcomponent* e, icalproperty_kind kind) { return icalcomponent_get_first_property(e, kind) != nullptr; }

// 0 free, 1 tentative, 2 busy, 3 away: a cancelled event is free; then the
// mail client's own busy status, when the file has it; then TRANSP; then a
// tentative STATUS.
LONG BusyOf(icalcomponent* e) {
  if (icalcomponent_get_status(e) == ICAL_STATUS_CANCELLED) return 0;
  for (icalproperty* p = icalcomponent_get_first_property(e, ICAL_X_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(e, ICAL_X_PROPERTY)) {
    if (Upper(icalproperty_get_x_name(p)) != "X-MICROSOFT-CDO-BUSYSTATUS") continue;
    const std::string v = Upper(icalproperty_get_x(p) != nullptr ? icalproperty_get_x(p) : "");
    if (v == "FREE" || v == "WORKINGELSEWHERE") return 0;
    if (v == "TENTATIVE") return 1;
    if (v == "BUSY") return 2;
    if (v == "OOF") return 3;
  }
  if (icalproperty* t = icalcomponent_get_first_property(e, ICAL_TRANSP_PROPERTY))
    if (icalproperty_get_transp(t) == ICAL_TRANSP_TRANSPARENT) return 0;
  return icalcomponent_get_status(e) == ICAL_STATUS_TENTATIVE ? 1 : 2;
}

bool PrivateOf(icalcomponent* e) {
  icalproperty* p = icalcomponent_get_first_property(e, ICAL_CLASS_PROPERTY);
  if (p == nullptr) return false;
  const icalproperty_class c = icalproperty_get_class(p);
  return c == ICAL_CLASS_PRIVATE || c == ICAL_CLASS_CONFIDENTIAL;
}

struct Times {
  icaltimetype start{}, end{};
  Frame frame;
  long long startLocal = 0, endLocal = 0;
};

// DTSTART and DTEND (or DURATION) of an event in the frame given, or in its
// own when frame is null.
Times TimesOf(icalcomponent* e, icalcomponent* calendar, const EventLines& lines, const Frame* frame) {
  Times t;
  icalproperty* ps = icalcomponent_get_first_property(e, ICAL_DTSTART_PROPERTY);
  t.start = TimeOf(ps, icalproperty_get_dtstart(ps), calendar, lines.Line("DTSTART"), "DTSTART");
  if (frame != nullptr) {
    t.frame = *frame;
  } else if (t.start.is_date || (t.start.zone == nullptr && !icaltime_is_utc(t.start))) {
    t.frame.kind = Frame::Machine;
  } else if (icaltime_is_utc(t.start)) {
    t.frame.kind = Frame::Utc;
    t.frame.zone = icaltimezone_get_utc_timezone();
    t.frame.blob = BuildTimeZoneStruct(0, 0, 0, SYSTEMTIME{}, SYSTEMTIME{});
  } else {
    t.frame.kind = Frame::Zoned;
    t.frame.zone = const_cast<icaltimezone*>(t.start.zone);
    t.frame.blob = ZoneStruct(t.frame.zone, t.start.year);
  }
  if (icalproperty* pe = icalcomponent_get_first_property(e, ICAL_DTEND_PROPERTY)) {
    t.end = TimeOf(pe, icalproperty_get_dtend(pe), calendar, lines.Line("DTEND"), "DTEND");
  } else if (icalproperty* pd = icalcomponent_get_first_property(e, ICAL_DURATION_PROPERTY)) {
    t.end = icaltime_add(t.start, icalproperty_get_duration(pd));
  } else {
    // Without either, a day's event lasts the day and a timed one no time.
    t.end = t.start;
    if (t.start.is_date) icaltime_adjust(&t.end, 1, 0, 0, 0);
  }
  // Appointments are kept in whole minutes, as the recurrence value keeps them.
  t.start.second = 0;
  t.end.second = 0;
  t.startLocal = LocalMinutes(t.start, t.frame, lines.Line("DTSTART"));
  t.endLocal = LocalMinutes(t.end, t.frame, lines.Line("DTEND"));
  if (t.endLocal < t.startLocal) Fail(lines.Line("DTEND"), "DTEND: the event ends before it starts");
  return t;
}

// ---- events -----------------------------------------------------------------------------------

struct Event {
  icalcomponent* component;
  icalcomponent* calendar;
  const EventLines* lines;
};

std::string Uid(icalcomponent* e) {
  const char* uid = icalcomponent_get_uid(e);
  return uid != nullptr ? uid : "";
}

class Reader {
 public:
  Reader(IcsCalendar& out) : out_(out) {}

  void Read(const std::vector<Event>& events) {
    std::map<std::string, std::vector<const Event*>> overrides;
    std::map<std::string, bool> masters;
    for (const Event& e : events) {
      if (Has(e.component, ICAL_RECURRENCEID_PROPERTY))
        overrides[Uid(e.component)].push_back(&e);
      else
        masters[Uid(e.component)] = true;
    }
    for (const Event& e : events) {
      const bool isOverride = Has(e.component, ICAL_RECURRENCEID_PROPERTY);
      // A changed occurrence whose series is not in the file stands alone.
      if (isOverride && masters.count(Uid(e.component))) continue;
      const auto found = overrides.find(Uid(e.component));
      static const std::vector<const Event*> none;
      ReadEvent(e, isOverride ? none : (found != overrides.end() ? found->second : none));
    }
  }

 private:
  void ReadEvent(const Event& e, const std::vector<const Event*>& changes) {
    const std::string summary = Text(e.component, ICAL_SUMMARY_PROPERTY);
    try {
      if (!Has(e.component, ICAL_DTSTART_PROPERTY)) Cannot("it has no DTSTART");
      const Times t = TimesOf(e.component, e.calendar, *e.lines, nullptr);
      memstore::Appointment a;
      // A mail item always has both, if only empty.
      a.subject = wstr::FromUtf8(summary);
      a.location = wstr::FromUtf8(Text(e.component, ICAL_LOCATION_PROPERTY));
      a.start = UtcOf(t.start, t.frame);
      a.end = UtcOf(t.end, t.frame);
      a.busyStatus = BusyOf(e.component);
      a.isPrivate = PrivateOf(e.component);
      // Floating times and dates are the machine's; the appointment carries
      // its zone, as a mail client gives every appointment one.
      a.zone = t.frame.kind != Frame::Machine ? t.frame.blob : MachineZoneStruct();
      std::string origin = "UID " + Uid(e.component);
      if (Has(e.component, ICAL_RDATE_PROPERTY)) Cannot("RDATE (occurrences on extra dates)");
      if (Has(e.component, ICAL_EXRULE_PROPERTY)) Cannot("EXRULE");
      icalproperty* rrule = icalcomponent_get_first_property(e.component, ICAL_RRULE_PROPERTY);
      a.recurring = rrule != nullptr;
      if (rrule != nullptr) {
        if (icalcomponent_get_next_property(e.component, ICAL_RRULE_PROPERTY) != nullptr) Cannot("several RRULEs");
        const icalrecurrencetype r = icalproperty_get_rrule(rrule);
        a.recurrence = Series(e, r, t, changes);
        origin += "; RRULE:" + std::string(icalproperty_get_value_as_string(rrule));
      } else if (!changes.empty()) {
        Cannot("changed occurrences (RECURRENCE-ID) of an event that does not repeat");
      }
      out_.appointments.push_back(std::move(a));
      out_.origins.push_back(origin);
    } catch (const Unsupported& u) {
      out_.leftOut.push_back(IcsLeftOut{e.lines->begin, summary, u.reason});
    }
  }

  RecurrenceDescription Series(const Event& e, const icalrecurrencetype& r, const Times& t,
                               const std::vector<const Event*>& changes) {
    RecurrenceDescription d;
    Describe(r, t.start, d);
    d.startDate = static_cast<DWORD>(t.startLocal - t.startLocal % kDay);
    d.startTimeOffset = static_cast<DWORD>(t.startLocal % kDay);
    d.duration = static_cast<DWORD>(t.endLocal - t.startLocal);
    Ending(r, t.start, t.frame, e.lines->Line("RRULE"), d);
    for (icalproperty* p = icalcomponent_get_first_property(e.component, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(e.component, ICAL_EXDATE_PROPERTY)) {
      const int line = e.lines->Line("EXDATE");
      const long long local = LocalMinutes(TimeOf(p, icalproperty_get_exdate(p), e.calendar, line, "EXDATE"), t.frame, line);
      d.deletedDates.push_back(static_cast<DWORD>(local - local % kDay));
    }
    const LONG busy = BusyOf(e.component);
    const std::string subject = Text(e.component, ICAL_SUMMARY_PROPERTY);
    const std::string location = Text(e.component, ICAL_LOCATION_PROPERTY);
    for (const Event* c : changes) {
      icalproperty* id = icalcomponent_get_first_property(c->component, ICAL_RECURRENCEID_PROPERTY);
      if (icalparameter* range = icalproperty_get_first_parameter(id, ICAL_RANGE_PARAMETER))
        if (icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE)
          Cannot("a change to this and all later occurrences (RANGE=THISANDFUTURE, line " +
                 std::to_string(c->lines->Line("RECURRENCE-ID")) + ")");
      const int line = c->lines->Line("RECURRENCE-ID");
      const long long original =
          LocalMinutes(TimeOf(id, icalproperty_get_recurrenceid(id), c->calendar, line, "RECURRENCE-ID"), t.frame, line);
      if (icalcomponent_get_status(c->component) == ICAL_STATUS_CANCELLED) {
        d.deletedDates.push_back(static_cast<DWORD>(original - original % kDay));
        continue;
      }
      ModifiedOccurrence o;
      o.originalStart = static_cast<DWORD>(original);
      if (Has(c->component, ICAL_DTSTART_PROPERTY)) {
        const Times own = TimesOf(c->component, c->calendar, *c->lines, &t.frame);
        o.newStart = static_cast<DWORD>(own.startLocal);
        o.newEnd = static_cast<DWORD>(own.endLocal);
      } else {
        o.newStart = o.originalStart;
        o.newEnd = o.newStart + d.duration;
      }
      const std::string s = Text(c->component, ICAL_SUMMARY_PROPERTY), l = Text(c->component, ICAL_LOCATION_PROPERTY);
      if (s != subject) o.subject = wstr::FromUtf8(s);
      if (l != location) o.location = wstr::FromUtf8(l);
      const LONG b = BusyOf(c->component);
      if (b != busy) o.busyStatus = static_cast<DWORD>(b);
      d.modified.push_back(std::move(o));
    }
    return d;
  }

  IcsCalendar& out_;
};

// libical keeps a value it cannot read as an X-LIC-ERROR property of the
// component; one about a property the reading relies on is the file's error.
void CheckValues(const Event& e) {
  static const char* const used[] = {"DTSTART", "DTEND", "DURATION", "RRULE", "EXDATE", "RECURRENCE-ID", "RDATE"};
  for (icalproperty* p = icalcomponent_get_first_property(e.component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(e.component, ICAL_XLICERROR_PROPERTY)) {
    const std::string text = icalproperty_get_xlicerror(p) != nullptr ? icalproperty_get_xlicerror(p) : "";
    for (const char* name : used)
      if (text.find(name) != std::string::npos)
        Fail(e.lines->Line(name), std::string(name) + ": the value cannot be read (" + text + ")");
  }
}

}  // namespace

bool ReadICalendar(std::string_view text, const std::string& fileName, IcsCalendar& calendar, std::string& error) {
  calendar = IcsCalendar{};
  error.clear();
  try {
    const Outline outline = Lines(text);
    std::unique_ptr<icalcomponent, void (*)(icalcomponent*)> root(icalparser_parse_string(std::string(text).c_str()),
                                                                   icalcomponent_free);
    if (!root) Fail(1, "libical cannot read the file");
    std::vector<icalcomponent*> calendars;
    if (icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT) {
      calendars.push_back(root.get());
    } else {
      for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_VCALENDAR_COMPONENT); c != nullptr;
           c = icalcomponent_get_next_component(root.get(), ICAL_VCALENDAR_COMPONENT))
        calendars.push_back(c);
    }
    std::vector<Event> events;
    for (icalcomponent* cal : calendars)
      for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e != nullptr;
           e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        if (events.size() >= outline.events.size()) Fail(1, "libical finds more events than the file's lines hold");
        events.push_back(Event{e, cal, &outline.events[events.size()]});
      }
    for (const Event& e : events) CheckValues(e);
    Reader(calendar).Read(events);
    return true;
  } catch (const Failure& f) {
    calendar = IcsCalendar{};
    error = fileName + ":" + std::to_string(f.line) + ": " + f.message;
    return false;
  }
}

}  // namespace host
