// Calendar files. The format is described at the top of
// memstore/demo-calendar.txt; in short: blocks that start with a header line
// ("[zone NAME]", "[appointment]", "[modified]") and hold "field = value"
// lines; whole-line comments start with '#'.
//
// Reading happens in two steps: the text is split into blocks (syntax), then
// the blocks are evaluated in order (zones must come before their use). The
// first error ends the reading and nothing is returned.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "memstore/CalendarFile.h"
#include "platform/services.h"

namespace memstore {

namespace {

// ---- errors ------------------------------------------------------------------------

struct Failure {
  int line;
  std::string field;
  std::string message;
};

[[noreturn]] void Fail(int line, const std::string& field, const std::string& message) {
  throw Failure{line, field, message};
}

// ---- text helpers ------------------------------------------------------------------

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

std::vector<std::string> CommaList(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    out.push_back(Trim(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

// A whole decimal number, optionally signed, within [lo, hi].
bool Number(const std::string& s, long long lo, long long hi, long long& out) {
  if (s.empty()) return false;
  size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    v = v * 10 + (s[i] - '0');
    if (v > 1000000000000LL) return false;
  }
  if (s[0] == '-') v = -v;
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// ---- calendar arithmetic (local wall-clock minutes since 1601, as in the blob) ----

constexpr long long kDay = 1440;
// Dates are kept in 32-bit minute counts, which reach past the year 4500
// that marks a series without end, and no further than that is needed.
constexpr int kLastYear = 4500;
const char* const kWeekdays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};

int DaysIn(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

struct Civil {
  int year, month, day;
};

// 1601-01-01 was a Monday.
int WeekdayOf(long long minutes) { return static_cast<int>((minutes / kDay + 1) % 7); }

// The Gregorian date of a day count since 1601-01-01 (400-year cycles of
// 146,097 days, then centuries, four-year groups and years).
Civil CivilOf(long long minutes) {
  long long days = minutes / kDay;
  int year = 1601 + static_cast<int>(days / 146097) * 400;
  days %= 146097;
  long long centuries = std::min<long long>(days / 36524, 3);
  days -= centuries * 36524;
  const long long groups = days / 1461;
  days -= groups * 1461;
  const long long years = std::min<long long>(days / 365, 3);
  days -= years * 365;
  year += static_cast<int>(centuries * 100 + groups * 4 + years);
  int month = 1;
  while (days >= DaysIn(year, month)) days -= DaysIn(year, month++);
  return Civil{year, month, static_cast<int>(days) + 1};
}

FILETIME FileTimeFromMinutesLong(long long minutes) {
  const unsigned long long ticks = static_cast<unsigned long long>(minutes) * 600000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

long long MinutesOf(int year, int month, int day) { return BlobMinutes(year, month, day); }

// Moves a day by whole months, keeping the day of the month where it can.
long long AddMonths(long long dayMinutes, long long months) {
  const Civil c = CivilOf(dayMinutes);
  long long index = static_cast<long long>(c.year) * 12 + (c.month - 1) + months;
  const int year = static_cast<int>(index / 12), month = static_cast<int>(index % 12) + 1;
  if (year < 1601 || year > kLastYear) return -1;
  return MinutesOf(year, month, std::min(c.day, DaysIn(year, month)));
}

// ---- zones ---------------------------------------------------------------------------

struct Zone {
  bool machine = false;  // the machine's zone: conversions pass no zone
  TIME_ZONE_INFORMATION info{};
  TimeZoneStruct blob;
  std::vector<BYTE> bytes;  // the value as given (timezone-blob), else empty
};

Zone MachineZone() {
  Zone z;
  z.machine = true;
  plat::Time().GetTimeZoneInformation(&z.info);
  z.blob = TimeZoneStructFromInformation(z.info);
  return z;
}

Zone UtcZone() {
  Zone z;
  z.blob = BuildTimeZoneStruct(0, 0, 0, SYSTEMTIME{}, SYSTEMTIME{});
  z.info = TimeZoneInformationFromStruct(z.blob);
  return z;
}

// Local wall-clock minutes in the zone to the UTC instant.
bool ToUtc(const Zone& zone, long long localMinutes, FILETIME& utc) {
  SYSTEMTIME local{}, u{};
  const FILETIME ft = FileTimeFromMinutesLong(localMinutes);
  if (!plat::Time().FileTimeToSystemTime(&ft, &local)) return false;
  if (!plat::Time().TzSpecificLocalTimeToSystemTime(zone.machine ? nullptr : &zone.info, &local, &u)) return false;
  return plat::Time().SystemTimeToFileTime(&u, &utc) != FALSE;
}

bool ToLocal(const Zone& zone, const FILETIME& utc, long long& localMinutes) {
  SYSTEMTIME u{}, local{};
  if (!plat::Time().FileTimeToSystemTime(&utc, &u)) return false;
  if (!plat::Time().SystemTimeToTzSpecificLocalTime(zone.machine ? nullptr : &zone.info, &u, &local)) return false;
  localMinutes = BlobMinutes(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute);
  return true;
}

// ---- blocks ------------------------------------------------------------------------------

struct Field {
  std::string value;
  int line = 0;
};

struct Block {
  std::string kind;  // "zone", "appointment", "modified"
  std::string name;  // a zone's name
  int line = 0;
  std::map<std::string, Field> fields;
  std::vector<Block> modified;  // an appointment's changed occurrences
};

std::vector<Block> Split(std::string_view text) {
  std::vector<Block> blocks;
  Block* current = nullptr;
  int line = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    ++line;
    std::string s = Trim(text.substr(at, end - at));
    at = end + 1;
    if (line == 1 && s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEF &&
        static_cast<unsigned char>(s[1]) == 0xBB && static_cast<unsigned char>(s[2]) == 0xBF)
      s = Trim(s.substr(3));  // a byte order mark
    if (s.empty() || s[0] == '#') continue;
    if (s[0] == '[') {
      if (s.back() != ']') Fail(line, s, "a block header ends with ']'");
      const std::vector<std::string> words = Words(s.substr(1, s.size() - 2));
      const std::string kind = words.empty() ? std::string() : Lower(words[0]);
      Block b;
      b.kind = kind;
      b.line = line;
      if (kind == "zone") {
        // The name is the rest of the header: "[zone New York]".
        if (words.size() < 2) Fail(line, s, "a zone needs a name, as in [zone Berlin]");
        b.name = words[1];
        for (size_t k = 2; k < words.size(); ++k) b.name += " " + words[k];
        const std::string lowered = Lower(b.name);
        if (lowered == "utc" || lowered == "local") Fail(line, s, "the zone names UTC and local are built in");
        for (const Block& other : blocks)
          if (other.kind == "zone" && Lower(other.name) == lowered)
            Fail(line, s, "the zone " + b.name + " is defined twice (first on line " + std::to_string(other.line) + ")");
      } else if (kind == "appointment" || kind == "modified") {
        if (words.size() != 1) Fail(line, s, "this header takes nothing after the block's kind");
      } else {
        Fail(line, s, "unknown block; the blocks are [zone NAME], [appointment] and [modified]");
      }
      if (kind == "modified") {
        if (blocks.empty() || blocks.back().kind != "appointment")
          Fail(line, s, "a [modified] block follows the [appointment] it changes");
        blocks.back().modified.push_back(std::move(b));
        current = &blocks.back().modified.back();
      } else {
        blocks.push_back(std::move(b));
        current = &blocks.back();
      }
      continue;
    }
    const size_t eq = s.find('=');
    if (eq == std::string::npos) Fail(line, s, "expected 'field = value' or a block header");
    const std::string key = Lower(Trim(s.substr(0, eq)));
    const std::string value = Trim(s.substr(eq + 1));
    if (key.empty()) Fail(line, s, "the field has no name");
    if (current == nullptr) Fail(line, key, "a field outside any block");
    auto found = current->fields.find(key);
    if (found != current->fields.end())
      Fail(line, key, "given twice in the block (first on line " + std::to_string(found->second.line) + ")");
    current->fields[key] = Field{value, line};
  }
  return blocks;
}

// The fields a block may have; anything else is an error.
void Allow(const Block& b, std::initializer_list<const char*> names) {
  for (const auto& entry : b.fields) {
    const std::string& key = entry.first;
    if (std::none_of(names.begin(), names.end(), [&](const char* n) { return key == n; }))
      Fail(entry.second.line, key, "unknown field in a [" + b.kind + "] block");
  }
}

const Field* Get(const Block& b, const char* name) {
  auto it = b.fields.find(name);
  return it == b.fields.end() ? nullptr : &it->second;
}

// ---- values --------------------------------------------------------------------------------

class Reader {
 public:
  Reader(const FILETIME& now) : m_now(now) {}

  // The calendar's day (midnight, local minutes) of a date in the zone.
  long long Date(const Zone& zone, const Field& f, const std::string& field) const {
    return DateText(zone, f.value, f.line, field);
  }

  // An instant: "now" with offsets, or a date and a time of day in the zone.
  // Returns the UTC instant and its local minutes in the zone.
  void DateTime(const Zone& zone, const Field& f, const std::string& field, FILETIME& utc, long long& local) const {
    const std::string v = Lower(f.value);
    if (v.rfind("now", 0) == 0) {
      const long long minutes =
          Offsets(NowMinutes(), v.substr(3), true, f.line, field, "expected now, now+30m, now-1d-2h30m ...: '" + f.value + "'");
      utc = FileTimeFromMinutesLong(minutes);
      if (!ToLocal(zone, utc, local)) Fail(f.line, field, "the time cannot be converted to the zone");
      return;
    }
    const std::vector<std::string> words = Words(v);
    if (words.size() != 2) Fail(f.line, field, "expected a date and a time (today 09:00, +2d 14:30, 2026-03-01 08:00) or now: '" + f.value + "'");
    const long long day = DateText(zone, words[0], f.line, field);
    local = day + TimeOfDay(words[1], f.line, field);
    if (!ToUtc(zone, local, utc)) Fail(f.line, field, "the time cannot be converted from the zone");
  }

  static long long TimeOfDay(const std::string& s, int line, const std::string& field) {
    const size_t colon = s.find(':');
    long long h = 0, m = 0;
    if (colon == std::string::npos || !Number(s.substr(0, colon), 0, 23, h) || !Number(s.substr(colon + 1), 0, 59, m) ||
        s[0] == '+' || s[0] == '-')
      Fail(line, field, "expected a time of day HH:MM: '" + s + "'");
    return h * 60 + m;
  }

 private:
  long long NowMinutes() const {
    const unsigned long long ticks = (static_cast<unsigned long long>(m_now.dwHighDateTime) << 32) | m_now.dwLowDateTime;
    return static_cast<long long>(ticks / 600000000ull);
  }

  // Signed terms such as "+2h30m-1d" added to a base; blanks between terms
  // are allowed. A term's pairs all take its sign.
  static long long Offsets(long long base, const std::string& terms, bool clock, int line, const std::string& field,
                           const std::string& usage) {
    size_t i = 0;
    while (i < terms.size()) {
      if (terms[i] == ' ') {
        ++i;
        continue;
      }
      if (terms[i] != '+' && terms[i] != '-') Fail(line, field, usage);
      const int sign = terms[i] == '+' ? 1 : -1;
      ++i;
      if (i >= terms.size() || !std::isdigit(static_cast<unsigned char>(terms[i]))) Fail(line, field, usage);
      while (i < terms.size() && std::isdigit(static_cast<unsigned char>(terms[i]))) {
        size_t j = i;
        while (j < terms.size() && std::isdigit(static_cast<unsigned char>(terms[j]))) ++j;
        size_t k = j;
        while (k < terms.size() && std::isalpha(static_cast<unsigned char>(terms[k]))) ++k;
        long long n = 0;
        if (!Number(terms.substr(i, j - i), 0, 100000000, n)) Fail(line, field, usage);
        base = Offset(base, sign * n, terms.substr(j, k - j), line, field, clock);
        if (base < 0 || base >= MinutesOf(kLastYear, 12, 31) + kDay)
          Fail(line, field, "the date falls outside the years 1601 to 4500");
        i = k;
      }
    }
    return base;
  }

  static long long Offset(long long minutes, long long n, const std::string& unit, int line, const std::string& field,
                          bool clock) {
    if (clock && unit == "m") return minutes + n;
    if (clock && unit == "h") return minutes + n * 60;
    if (unit == "d") return minutes + n * kDay;
    if (unit == "w") return minutes + n * 7 * kDay;
    if (unit == "mo" || unit == "y") {
      const long long within = ((minutes % kDay) + kDay) % kDay;
      const long long moved = AddMonths(minutes - within, unit == "y" ? n * 12 : n);
      if (moved < 0) Fail(line, field, "the date falls outside the years 1601 to 4500");
      return moved + within;
    }
    Fail(line, field, clock ? "units are m, h, d, w, mo and y" : "date units are d, w, mo and y");
  }

  long long DateText(const Zone& zone, const std::string& text, int line, const std::string& field) const {
    const std::string v = Lower(Trim(text));
    long long day = 0;
    std::string offsets;
    if (v.rfind("today", 0) == 0 || v.empty() || v[0] == '+' || v[0] == '-') {
      long long local = 0;
      if (!ToLocal(zone, m_now, local)) Fail(line, field, "today cannot be found in the zone");
      day = local - local % kDay;
      offsets = v.rfind("today", 0) == 0 ? v.substr(5) : v;
      if (v.empty()) Fail(line, field, "a date is missing");
    } else {
      long long y = 0, m = 0, d = 0;
      if (v.size() != 10 || v[4] != '-' || v[7] != '-' || !Number(v.substr(0, 4), 1601, kLastYear, y) ||
          !Number(v.substr(5, 2), 1, 12, m) || !Number(v.substr(8, 2), 1, 31, d) ||
          d > DaysIn(static_cast<int>(y), static_cast<int>(m)))
        Fail(line, field, "expected a date: today, today+2d, -1w, +3mo or YYYY-MM-DD: '" + text + "'");
      return MinutesOf(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
    }
    day = Offsets(day, offsets, false, line, field,
                  "expected a date: today, today+2d, -1w, +3mo or YYYY-MM-DD: '" + text + "'");
    return day;
  }

  FILETIME m_now;
};

bool YesNo(const Field& f, const std::string& field) {
  const std::string v = Lower(f.value);
  if (v == "yes" || v == "true") return true;
  if (v == "no" || v == "false") return false;
  Fail(f.line, field, "expected yes or no: '" + f.value + "'");
}

LONG Busy(const Field& f, const std::string& field) {
  const std::string v = Lower(f.value);
  if (v == "free") return 0;
  if (v == "tentative") return 1;
  if (v == "busy") return 2;
  if (v == "away") return 3;
  Fail(f.line, field, "expected free, tentative, busy or away: '" + f.value + "'");
}

int WeekdayNamed(const std::string& word) {
  const std::string w = Lower(word).substr(0, 3);
  for (int i = 0; i < 7; ++i)
    if (w == kWeekdays[i] && word.size() >= 3) return i;
  return -1;
}

int MonthNamed(const std::string& word) {
  const std::string w = Lower(word).substr(0, 3);
  for (int i = 0; i < 12; ++i)
    if (w == kMonths[i] && word.size() >= 3) return i + 1;
  return -1;
}

// 1st .. 4th, first .. fourth, last (5).
int Ordinal(const std::string& word) {
  const std::string w = Lower(word);
  if (w == "1st" || w == "first") return 1;
  if (w == "2nd" || w == "second") return 2;
  if (w == "3rd" || w == "third") return 3;
  if (w == "4th" || w == "fourth") return 4;
  if (w == "last" || w == "5th") return 5;
  return 0;
}

// "last Sun of Mar 02:00"
SYSTEMTIME Rule(const Field& f, const std::string& field) {
  const std::vector<std::string> w = Words(f.value);
  int ordinal = 0, weekday = -1, month = -1;
  if (w.size() != 5 || (ordinal = Ordinal(w[0])) == 0 || (weekday = WeekdayNamed(w[1])) < 0 || Lower(w[2]) != "of" ||
      (month = MonthNamed(w[3])) < 0)
    Fail(f.line, field, "expected a rule such as 'last Sun of Mar 02:00': '" + f.value + "'");
  const long long t = Reader::TimeOfDay(w[4], f.line, field);
  return TransitionRule(static_cast<WORD>(month), static_cast<WORD>(weekday), static_cast<WORD>(ordinal),
                        static_cast<WORD>(t / 60), static_cast<WORD>(t % 60));
}

Zone ReadZone(const Block& b) {
  Allow(b, {"bias", "standard-bias", "daylight-bias", "daylight", "standard"});
  const Field* bias = Get(b, "bias");
  if (bias == nullptr) Fail(b.line, "bias", "a zone needs its bias (minutes; UTC = local time + bias)");
  long long v = 0, standardBias = 0, daylightBias = 0;
  if (!Number(bias->value, -1440, 1440, v)) Fail(bias->line, "bias", "expected minutes from -1440 to 1440: '" + bias->value + "'");
  const Field* daylight = Get(b, "daylight");
  const Field* standard = Get(b, "standard");
  if ((daylight == nullptr) != (standard == nullptr))
    Fail((daylight != nullptr ? daylight : standard)->line, daylight != nullptr ? "standard" : "daylight",
         "a zone with daylight saving needs both rules, daylight and standard");
  if (const Field* s = Get(b, "standard-bias"); s != nullptr && !Number(s->value, -1440, 1440, standardBias))
    Fail(s->line, "standard-bias", "expected minutes: '" + s->value + "'");
  daylightBias = daylight != nullptr ? -60 : 0;
  if (const Field* d = Get(b, "daylight-bias"); d != nullptr && !Number(d->value, -1440, 1440, daylightBias))
    Fail(d->line, "daylight-bias", "expected minutes: '" + d->value + "'");
  const SYSTEMTIME daylightRule = daylight != nullptr ? Rule(*daylight, "daylight") : SYSTEMTIME{};
  const SYSTEMTIME standardRule = standard != nullptr ? Rule(*standard, "standard") : SYSTEMTIME{};
  Zone z;
  z.blob = BuildTimeZoneStruct(static_cast<LONG>(v), static_cast<LONG>(standardBias), static_cast<LONG>(daylightBias),
                               standardRule, daylightRule);
  z.info = TimeZoneInformationFromStruct(z.blob);
  return z;
}

// ---- recurrence -----------------------------------------------------------------------------

// Which days a rule puts an occurrence on, to count occurrences up to an end
// date and to find the last one of a count.
struct RuleDays {
  RecurrenceDescription d;
  long long firstDay;

  bool On(long long day) const {
    if (day < firstDay) return false;
    const int weekday = WeekdayOf(day);
    const Civil c = CivilOf(day), first = CivilOf(firstDay);
    const long long months = (c.year - first.year) * 12LL + (c.month - first.month);
    auto dayMatches = [&]() {
      switch (d.patternType) {
        case blob::kPatternMonthEnd:
          return c.day == DaysIn(c.year, c.month);
        case blob::kPatternMonthNth: {
          if (!(d.weekdayMask & (1u << weekday))) return false;
          const int nth = (c.day - 1) / 7 + 1;
          return d.weekNumber == 5 ? c.day + 7 > DaysIn(c.year, c.month) : nth == static_cast<int>(d.weekNumber);
        }
        default:  // the day of the month, or the month's last day when it is shorter
          return c.day == std::min<int>(static_cast<int>(d.dayOfMonth), DaysIn(c.year, c.month));
      }
    };
    switch (d.frequency) {
      case RecurrenceKind::Daily:
        if (d.patternType == blob::kPatternWeek) return weekday >= 1 && weekday <= 5;
        return ((day - firstDay) % d.period) == 0;
      case RecurrenceKind::Weekly: {
        if (!(d.weekdayMask & (1u << weekday))) return false;
        const long long weekOf = (day / kDay + 1 - weekday) / 7, firstWeek = (firstDay / kDay + 1 - WeekdayOf(firstDay)) / 7;
        return (weekOf - firstWeek) % d.period == 0;
      }
      case RecurrenceKind::Monthly:
        return months % d.period == 0 && dayMatches();
      case RecurrenceKind::Yearly:
        return c.month == first.month && months % 12 == 0 && dayMatches();
    }
    return false;
  }
};

constexpr long long kMaxWalkDays = 200LL * 366;

void Repeat(const Field& f, long long startLocal, RecurrenceDescription& d) {
  const std::vector<std::string> w = Words(Lower(f.value));
  const std::string example =
      "expected daily, daily every 2 days, weekdays, weekly on Mon,Thu, weekly every 2 weeks, monthly on day 15, "
      "monthly on 2nd Tue, monthly on last day, yearly or yearly on last Sun";
  if (w.empty()) Fail(f.line, "repeat", example);
  size_t i = 1;
  long long every = 1;
  auto readEvery = [&](const char* unit) {
    if (i < w.size() && w[i] == "every") {
      if (i + 1 >= w.size()) Fail(f.line, "repeat", example);
      if (!Number(w[i + 1], 1, 999, every)) Fail(f.line, "repeat", "expected a number after 'every': '" + f.value + "'");
      i += 2;
      if (i < w.size() && (w[i] == unit || w[i] == std::string(unit) + "s")) ++i;
    }
  };
  const long long startDay = startLocal - startLocal % kDay;
  const Civil start = CivilOf(startDay);
  const int startWeekday = WeekdayOf(startDay);
  // "on 2nd Tue" / "on last day" / "on day 15" for months and years.
  auto readDay = [&](bool months) {
    d.patternType = blob::kPatternMonth;
    d.dayOfMonth = static_cast<DWORD>(start.day);
    if (i >= w.size()) return;
    if (w[i] != "on" || i + 3 != w.size()) Fail(f.line, "repeat", example);
    const std::string a = w[i + 1], b = w[i + 2];
    long long n = 0;
    if (a == "day" && months && Number(b, 1, 31, n)) {
      d.dayOfMonth = static_cast<DWORD>(n);
    } else if (a == "last" && b == "day") {
      d.patternType = blob::kPatternMonthEnd;
      d.dayOfMonth = 31;
    } else if (Ordinal(a) != 0 && WeekdayNamed(b) >= 0) {
      d.patternType = blob::kPatternMonthNth;
      d.weekNumber = static_cast<DWORD>(Ordinal(a));
      d.weekdayMask = 1u << WeekdayNamed(b);
      d.dayOfMonth = 0;
    } else {
      Fail(f.line, "repeat", example);
    }
    i = w.size();
  };
  if (w[0] == "daily") {
    d.frequency = RecurrenceKind::Daily;
    d.patternType = blob::kPatternDay;
    readEvery("day");
    d.period = static_cast<DWORD>(every * kDay);
  } else if (w[0] == "weekdays") {
    // Every weekday is a daily rule over the weekday pattern.
    d.frequency = RecurrenceKind::Daily;
    d.patternType = blob::kPatternWeek;
    d.period = 1;
    d.weekdayMask = 0x3E;
  } else if (w[0] == "weekly") {
    d.frequency = RecurrenceKind::Weekly;
    d.patternType = blob::kPatternWeek;
    readEvery("week");
    d.period = static_cast<DWORD>(every);
    d.weekdayMask = 1u << startWeekday;
    if (i < w.size()) {
      if (w[i] != "on" || i + 1 >= w.size()) Fail(f.line, "repeat", example);
      std::string days;
      for (size_t k = i + 1; k < w.size(); ++k) days += w[k];
      d.weekdayMask = 0;
      for (const std::string& day : CommaList(days)) {
        const int wd = WeekdayNamed(day);
        if (wd < 0) Fail(f.line, "repeat", "unknown weekday '" + day + "'");
        d.weekdayMask |= 1u << wd;
      }
      i = w.size();
    }
  } else if (w[0] == "monthly") {
    d.frequency = RecurrenceKind::Monthly;
    readEvery("month");
    d.period = static_cast<DWORD>(every);
    readDay(true);
  } else if (w[0] == "yearly") {
    d.frequency = RecurrenceKind::Yearly;
    d.period = 12;
    readDay(false);
  } else {
    Fail(f.line, "repeat", example);
  }
  if (i != w.size()) Fail(f.line, "repeat", example);
}

void Ending(const Block& b, RuleDays& rule, const Reader& reader, const Zone& zone) {
  const Field* until = Get(b, "until");
  const Field* count = Get(b, "count");
  RecurrenceDescription& d = rule.d;
  if (until != nullptr && count != nullptr) Fail(count->line, "count", "a series ends either by until or by count");
  if (until != nullptr) {
    const long long last = reader.Date(zone, *until, "until");
    if (last < rule.firstDay) Fail(until->line, "until", "the series ends before it starts");
    if (last - rule.firstDay > kMaxWalkDays * kDay) Fail(until->line, "until", "the series may run 200 years at most");
    DWORD n = 0;
    for (long long day = rule.firstDay; day <= last; day += kDay) n += rule.On(day) ? 1 : 0;
    d.end = RecurrenceEnd::ByDate;
    d.endDate = static_cast<DWORD>(last);
    d.occurrenceCount = n;
  } else if (count != nullptr) {
    long long n = 0;
    if (!Number(count->value, 1, 999999, n)) Fail(count->line, "count", "expected a number of occurrences: '" + count->value + "'");
    long long day = rule.firstDay, seen = 0, last = rule.firstDay;
    for (; seen < n && day - rule.firstDay <= kMaxWalkDays * kDay; day += kDay)
      if (rule.On(day)) ++seen, last = day;
    if (seen < n) Fail(count->line, "count", "that many occurrences take more than 200 years");
    d.end = RecurrenceEnd::AfterCount;
    d.occurrenceCount = static_cast<DWORD>(n);
    d.endDate = static_cast<DWORD>(last);
  } else {
    d.end = RecurrenceEnd::Never;
  }
}

// ---- raw values ------------------------------------------------------------------------------
// An appointment may carry its recurrence and zone values as an item stores
// them (hex, blanks allowed). They are written unchanged; what the other
// fields say about the same things must agree with them.

std::vector<BYTE> Hex(const Field& f, const std::string& field) {
  std::vector<BYTE> bytes;
  int high = -1;
  for (char c : f.value) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : (c >= 'a' && c <= 'f')                   ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F')                   ? c - 'A' + 10
                                                             : -1;
    if (v < 0) Fail(f.line, field, std::string("expected hexadecimal digits, found '") + c + "'");
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<BYTE>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) Fail(f.line, field, "an odd number of hexadecimal digits; each byte takes two");
  if (bytes.empty()) Fail(f.line, field, "the value is empty");
  return bytes;
}

std::string MinutesText(long long minutes) {
  const Civil c = CivilOf(minutes);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02lld:%02lld", c.year, c.month, c.day, (minutes % kDay) / 60,
                minutes % 60);
  return text;
}

std::string RuleText(const SYSTEMTIME& r) {
  char text[64];
  std::snprintf(text, sizeof text, "month %u, week %u, weekday %u, %02u:%02u", r.wMonth, r.wDay, r.wDayOfWeek, r.wHour,
                r.wMinute);
  return text;
}

// The zone a timezone-blob describes; with a zone field as well, the two
// must describe the same zone.
Zone RawZone(const Field& f, const Zone* named, const std::string& namedAs) {
  std::vector<BYTE> bytes = Hex(f, "timezone-blob");
  if (bytes.size() < 48)
    Fail(f.line, "timezone-blob", "the zone value takes 48 bytes; this one has " + std::to_string(bytes.size()));
  Zone z;
  z.blob = *ParseTimeZoneStruct(static_cast<DWORD>(bytes.size()), bytes.data());
  z.info = TimeZoneInformationFromStruct(z.blob);
  if (named != nullptr) {
    const TIME_ZONE_INFORMATION& n = named->info;
    auto differs = [&](const std::string& what, const std::string& ours, const std::string& theirs) {
      if (ours != theirs)
        Fail(f.line, "timezone-blob", "does not match the zone " + namedAs + ": " + what + " " + ours + " here, " + theirs +
                                          " in the zone");
    };
    differs("bias", std::to_string(z.info.Bias), std::to_string(n.Bias));
    differs("standard bias", std::to_string(z.info.StandardBias), std::to_string(n.StandardBias));
    const bool daylight = z.info.DaylightDate.wMonth != 0, namedDaylight = n.DaylightDate.wMonth != 0;
    differs("daylight saving", daylight ? "yes" : "no", namedDaylight ? "yes" : "no");
    if (daylight) {
      differs("daylight bias", std::to_string(z.info.DaylightBias), std::to_string(n.DaylightBias));
      differs("daylight rule", RuleText(z.info.DaylightDate), RuleText(n.DaylightDate));
      differs("standard rule", RuleText(z.info.StandardDate), RuleText(n.StandardDate));
    }
  }
  z.bytes = std::move(bytes);
  return z;
}

// A recurrence-blob replaces the description of the series; where start and
// end are given too, they must be its first occurrence.
std::vector<BYTE> RawRecurrence(const Block& b, const Field& f, const Field* start, long long startLocal,
                                const Field* end, long long endLocal) {
  for (const char* described : {"repeat", "until", "count", "deleted"})
    if (const Field* other = Get(b, described))
      Fail(other->line, described, "the series comes from recurrence-blob (line " + std::to_string(f.line) +
                                       "); give the one or the other");
  if (!b.modified.empty())
    Fail(b.modified.front().line, "[modified]",
         "the series comes from recurrence-blob (line " + std::to_string(f.line) + "), which holds its changes");
  std::vector<BYTE> bytes = Hex(f, "recurrence-blob");
  const auto r = ParseAppointmentRecurrence(static_cast<DWORD>(bytes.size()), bytes.data());
  const WORD frequency = r->Pattern.RecurFrequency;
  if (frequency < blob::kFrequencyDaily || frequency > blob::kFrequencyYearly)
    Fail(f.line, "recurrence-blob", "not a recurrence value: its frequency is " + std::to_string(frequency));
  const long long first = static_cast<long long>(r->Pattern.StartDate) + r->StartTimeOffset;
  if (start != nullptr && first != startLocal)
    Fail(start->line, "start",
         "the recurrence value's first occurrence starts " + MinutesText(first) + ", not " + MinutesText(startLocal));
  const long long length = static_cast<long long>(r->EndTimeOffset) - r->StartTimeOffset;
  if (start != nullptr && end != nullptr && endLocal - startLocal != length)
    Fail(end->line, "end",
         "the recurrence value's occurrences last " + std::to_string(length) + " minutes, not " +
             std::to_string(endLocal - startLocal));
  return bytes;
}

Appointment ReadAppointment(const Block& b, const std::map<std::string, Zone>& zones, const Reader& reader) {
  Allow(b, {"subject", "location", "start", "end", "zone", "busy", "private", "recurring", "repeat", "until", "count",
            "deleted", "delivered", "recurrence-blob", "timezone-blob"});
  Appointment a;
  Zone zone = MachineZone();
  bool writeZone = false;
  const Field* zoneField = Get(b, "zone");
  if (const Field* z = zoneField) {
    const std::string name = Lower(z->value);
    if (name == "local") {
      writeZone = true;
    } else if (name == "utc") {
      zone = UtcZone();
      writeZone = true;
    } else {
      auto it = zones.find(name);
      if (it == zones.end()) Fail(z->line, "zone", "unknown zone '" + z->value + "' (define it in a [zone] block above)");
      zone = it->second;
      writeZone = true;
    }
    if (writeZone) a.zone = zone.blob;
  }
  if (const Field* raw = Get(b, "timezone-blob")) {
    zone = RawZone(*raw, zoneField != nullptr ? &zone : nullptr, zoneField != nullptr ? zoneField->value : "");
    a.zone.reset();
    a.zoneBlob = zone.bytes;
  }
  if (const Field* f = Get(b, "subject")) a.subject = wstr::FromUtf8(f->value);
  if (const Field* f = Get(b, "location")) a.location = wstr::FromUtf8(f->value);
  long long startLocal = 0, endLocal = 0;
  if (const Field* f = Get(b, "start")) {
    FILETIME t{};
    reader.DateTime(zone, *f, "start", t, startLocal);
    a.start = t;
  }
  if (const Field* f = Get(b, "end")) {
    FILETIME t{};
    reader.DateTime(zone, *f, "end", t, endLocal);
    a.end = t;
  }
  if (const Field* f = Get(b, "busy")) a.busyStatus = Busy(*f, "busy");
  if (const Field* f = Get(b, "private")) a.isPrivate = YesNo(*f, "private");
  if (const Field* f = Get(b, "delivered")) {
    FILETIME t{};
    long long ignored = 0;
    reader.DateTime(zone, *f, "delivered", t, ignored);
    a.deliveryTime = t;
  }
  const Field* repeat = Get(b, "repeat");
  const Field* rawRecurrence = Get(b, "recurrence-blob");
  if (rawRecurrence != nullptr)
    a.recurrenceBlob = RawRecurrence(b, *rawRecurrence, Get(b, "start"), startLocal, Get(b, "end"), endLocal);
  for (const char* needsRepeat : {"until", "count", "deleted"})
    if (const Field* f = Get(b, needsRepeat); f != nullptr && repeat == nullptr)
      Fail(f->line, needsRepeat, "only a repeating appointment (with repeat) has this field");
  if (repeat == nullptr && !b.modified.empty())
    Fail(b.modified.front().line, "[modified]", "a changed occurrence needs a repeating appointment (with repeat)");
  if (repeat != nullptr) {
    if (!a.start || !a.end) Fail(repeat->line, "repeat", "a repeating appointment needs its start and end");
    if (endLocal <= startLocal) Fail(repeat->line, "repeat", "a repeating appointment ends after it starts");
    RuleDays rule{RecurrenceDescription{}, startLocal - startLocal % kDay};
    RecurrenceDescription& d = rule.d;
    Repeat(*repeat, startLocal, d);
    d.startDate = static_cast<DWORD>(rule.firstDay);
    d.startTimeOffset = static_cast<DWORD>(startLocal % kDay);
    d.duration = static_cast<DWORD>(endLocal - startLocal);
    Ending(b, rule, reader, zone);
    if (const Field* f = Get(b, "deleted")) {
      for (const std::string& item : CommaList(f->value)) {
        if (item.empty()) Fail(f->line, "deleted", "an empty date in the list");
        d.deletedDates.push_back(static_cast<DWORD>(reader.Date(zone, Field{item, f->line}, "deleted")));
      }
    }
    for (const Block& m : b.modified) {
      Allow(m, {"original", "start", "end", "subject", "location", "busy"});
      const Field* original = Get(m, "original");
      if (original == nullptr) Fail(m.line, "original", "a changed occurrence names the day the rule put it on");
      ModifiedOccurrence o;
      o.originalStart = static_cast<DWORD>(reader.Date(zone, *original, "original") + d.startTimeOffset);
      // Moved without a new end, the occurrence keeps its length.
      o.newStart = o.originalStart;
      FILETIME ignored{};
      long long local = 0;
      if (const Field* f = Get(m, "start")) {
        reader.DateTime(zone, *f, "start", ignored, local);
        o.newStart = static_cast<DWORD>(local);
      }
      o.newEnd = o.newStart + d.duration;
      if (const Field* f = Get(m, "end")) {
        reader.DateTime(zone, *f, "end", ignored, local);
        o.newEnd = static_cast<DWORD>(local);
      }
      if (o.newEnd <= o.newStart) Fail(m.line, "end", "the changed occurrence ends after it starts");
      if (const Field* f = Get(m, "subject")) o.subject = wstr::FromUtf8(f->value);
      if (const Field* f = Get(m, "location")) o.location = wstr::FromUtf8(f->value);
      if (const Field* f = Get(m, "busy")) o.busyStatus = static_cast<DWORD>(Busy(*f, "busy"));
      d.modified.push_back(std::move(o));
    }
    a.recurrence = d;
  }
  // The recurring flag follows the repeat unless it is given; "none" leaves
  // the property out.
  if (const Field* f = Get(b, "recurring")) {
    if (Lower(f->value) != "none") a.recurring = YesNo(*f, "recurring");
    if (rawRecurrence != nullptr && a.recurring == false)
      Fail(f->line, "recurring", "an appointment with a recurrence-blob is recurring");
  } else {
    a.recurring = repeat != nullptr || rawRecurrence != nullptr;
  }
  return a;
}

}  // namespace

bool ParseCalendar(std::string_view text, const std::string& fileName, const FILETIME& now,
                   std::vector<Appointment>& appointments, std::string& error) {
  appointments.clear();
  error.clear();
  try {
    const std::vector<Block> blocks = Split(text);
    const Reader reader(now);
    std::map<std::string, Zone> zones;
    std::vector<Appointment> read;
    for (const Block& b : blocks) {
      if (b.kind == "zone")
        zones[Lower(b.name)] = ReadZone(b);
      else
        read.push_back(ReadAppointment(b, zones, reader));
    }
    appointments = std::move(read);
    return true;
  } catch (const Failure& f) {
    error = fileName + ":" + std::to_string(f.line) + ": " + f.field + ": " + f.message;
    return false;
  }
}

bool LoadCalendarFile(const std::string& path, const FILETIME& now, std::vector<Appointment>& appointments,
                      std::string& error) {
  appointments.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot read the file";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot read the file";
    return false;
  }
  return ParseCalendar(text.str(), path, now, appointments, error);
}

}  // namespace memstore
