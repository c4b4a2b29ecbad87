#include "platform/linux/tzfile.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/linux/civil.h"

namespace plat::tzfile {

namespace {

using civil::DaysFromCivil;
using civil::kSecondsPerDay;

// ---- TZif ------------------------------------------------------------------

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool Has(size_t n) const { return bytes_.size() - pos_ >= n; }
  std::uint32_t U32() {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + pos_);
    pos_ += 4;
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  }
  std::int64_t I64() {
    const std::uint64_t hi = U32();
    return static_cast<std::int64_t>((hi << 32) | U32());
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(bytes_[pos_++]); }
  void Skip(size_t n) { pos_ += n; }
  std::string_view Rest() const { return bytes_.substr(pos_); }
  std::string_view Take(size_t n) {
    std::string_view s = bytes_.substr(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

struct Header {
  char version;
  std::uint32_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;
};

bool ReadHeader(Reader& r, Header& h) {
  if (!r.Has(44)) return false;
  const std::string_view magic = r.Take(4);
  if (magic != "TZif") return false;
  h.version = static_cast<char>(r.U8());
  r.Skip(15);
  h.isutcnt = r.U32();
  h.isstdcnt = r.U32();
  h.leapcnt = r.U32();
  h.timecnt = r.U32();
  h.typecnt = r.U32();
  h.charcnt = r.U32();
  if (h.typecnt == 0 || h.typecnt > 256 || h.charcnt == 0 || h.timecnt > 1000000 || h.leapcnt > 100000 ||
      (h.isutcnt != 0 && h.isutcnt != h.typecnt) || (h.isstdcnt != 0 && h.isstdcnt != h.typecnt))
    return false;
  return true;
}

size_t DataSize(const Header& h, size_t timeSize) {
  return h.timecnt * timeSize + h.timecnt + h.typecnt * 6 + h.charcnt + h.leapcnt * (timeSize + 4) + h.isstdcnt +
         h.isutcnt;
}

bool ReadData(Reader& r, const Header& h, size_t timeSize, Tzif& out) {
  if (!r.Has(DataSize(h, timeSize))) return false;
  out.times.resize(h.timecnt);
  for (auto& t : out.times) t = timeSize == 8 ? r.I64() : static_cast<std::int32_t>(r.U32());
  out.types.resize(h.timecnt);
  for (auto& t : out.types) {
    t = r.U8();
    if (t >= h.typecnt) return false;
  }
  struct RawType {
    std::int32_t utoff;
    bool isdst;
    std::uint8_t abbrIndex;
  };
  std::vector<RawType> raw(h.typecnt);
  for (auto& t : raw) {
    t.utoff = static_cast<std::int32_t>(r.U32());
    t.isdst = r.U8() != 0;
    t.abbrIndex = r.U8();
    if (t.abbrIndex >= h.charcnt || t.utoff == INT32_MIN) return false;
  }
  const std::string_view chars = r.Take(h.charcnt);
  out.localTypes.clear();
  for (const auto& t : raw) {
    const std::string_view rest = chars.substr(t.abbrIndex);
    out.localTypes.push_back({t.utoff, t.isdst, std::string(rest.substr(0, rest.find('\0')))});
  }
  r.Skip(h.leapcnt * (timeSize + 4) + h.isstdcnt + h.isutcnt);
  for (size_t i = 1; i < out.times.size(); ++i)
    if (out.times[i] <= out.times[i - 1]) return false;
  return true;
}

// ---- POSIX TZ strings --------------------------------------------------------

class TzParser {
 public:
  explicit TzParser(std::string_view s) : s_(s) {}
  bool AtEnd() const { return i_ == s_.size(); }
  bool Peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool Eat(char c) {
    if (!Peek(c)) return false;
    ++i_;
    return true;
  }
  bool IsAlpha() const {
    return i_ < s_.size() && ((s_[i_] >= 'a' && s_[i_] <= 'z') || (s_[i_] >= 'A' && s_[i_] <= 'Z'));
  }
  bool IsDigit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

  bool Name(std::string& name) {
    name.clear();
    if (Eat('<')) {
      while (i_ < s_.size() && s_[i_] != '>') name.push_back(s_[i_++]);
      if (!Eat('>')) return false;
    } else {
      while (IsAlpha()) name.push_back(s_[i_++]);
    }
    return name.size() >= 3;
  }

  bool Number(int maxDigits, int& value) {
    if (!IsDigit()) return false;
    value = 0;
    for (int n = 0; n < maxDigits && IsDigit(); ++n) value = value * 10 + (s_[i_++] - '0');
    return !IsDigit();
  }

  // [+-]hh[:mm[:ss]] with hours up to maxHours; in seconds.
  bool Clock(int maxHours, std::int32_t& seconds) {
    int sign = 1;
    if (Eat('-')) sign = -1;
    else Eat('+');
    int h = 0, m = 0, s = 0;
    if (!Number(3, h) || h > maxHours) return false;
    if (Eat(':')) {
      if (!Number(2, m) || m > 59) return false;
      if (Eat(':') && (!Number(2, s) || s > 59)) return false;
    }
    seconds = sign * (h * 3600 + m * 60 + s);
    return true;
  }

  bool Date(PosixDate& d) {
    if (Eat('M')) {
      d.kind = PosixDate::kMonthWeekDay;
      if (!Number(2, d.month) || d.month < 1 || d.month > 12 || !Eat('.') || !Number(1, d.week) || d.week < 1 ||
          d.week > 5 || !Eat('.') || !Number(1, d.weekday) || d.weekday > 6)
        return false;
    } else if (Eat('J')) {
      d.kind = PosixDate::kJulian1;
      if (!Number(3, d.day) || d.day < 1 || d.day > 365) return false;
    } else {
      d.kind = PosixDate::kJulian0;
      if (!Number(3, d.day) || d.day > 365) return false;
    }
    d.time = 2 * 3600;
    if (Eat('/') && !Clock(167, d.time)) return false;
    return true;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

// Local seconds from 1 January 00:00 of the year to the rule's change.
std::int64_t RuleSeconds(const PosixDate& d, std::int64_t year) {
  std::int64_t dayIndex = 0;
  switch (d.kind) {
    case PosixDate::kJulian1:
      dayIndex = d.day - 1 + (civil::IsLeapYear(year) && d.day >= 60 ? 1 : 0);
      break;
    case PosixDate::kJulian0:
      dayIndex = d.day;
      break;
    case PosixDate::kMonthWeekDay: {
      const std::int64_t first = DaysFromCivil(year, d.month, 1);
      int day = 1 + (d.weekday - civil::WeekdayFromDays(first) + 7) % 7 + 7 * (d.week - 1);
      while (day > civil::DaysInMonth(year, d.month)) day -= 7;
      dayIndex = first + day - 1 - DaysFromCivil(year, 1, 1);
      break;
    }
  }
  return dayIndex * kSecondsPerDay + d.time;
}

// ---- one year's rule, and its Windows form -------------------------------------

// A change of clock within the year, in local seconds from 1 January 00:00
// on the clock in force before it.
struct Change {
  std::int64_t seconds = 0;
  // Set when the change is a POSIX Mm.w.d rule that can be taken over as it is.
  std::optional<PosixDate> rule;
  bool preferLast = false;  // a derived date in the last week is written as week 5
};

struct YearRule {
  std::int32_t stdOffset = 0, dstOffset = 0;
  std::string stdName, dstName;
  bool hasDst = false;
  Change start, end;  // into daylight time (standard clock), out of it (daylight clock)
};

void CopyName(const std::string& name, WCHAR (&out)[32]) {
  size_t n = 0;
  for (; n < name.size() && n < 31; ++n) out[n] = static_cast<unsigned char>(name[n]);
  for (; n < 32; ++n) out[n] = 0;
}

LONG Minutes(std::int64_t seconds) { return static_cast<LONG>(std::llround(static_cast<double>(seconds) / 60.0)); }

SYSTEMTIME Encode(const Change& c, int year) {
  SYSTEMTIME st{};
  if (c.rule && c.rule->time >= 0 && c.rule->time < kSecondsPerDay) {
    st.wMonth = static_cast<WORD>(c.rule->month);
    st.wDayOfWeek = static_cast<WORD>(c.rule->weekday);
    st.wDay = static_cast<WORD>(c.rule->week);
    st.wHour = static_cast<WORD>(c.rule->time / 3600);
    st.wMinute = static_cast<WORD>(c.rule->time / 60 % 60);
    st.wSecond = static_cast<WORD>(c.rule->time % 60);
    return st;
  }
  const std::int64_t dayIndex = civil::FloorDiv(c.seconds, kSecondsPerDay);
  const std::int64_t secs = c.seconds - dayIndex * kSecondsPerDay;
  const std::int64_t days = DaysFromCivil(year, 1, 1) + dayIndex;
  const civil::Date date = civil::CivilFromDays(days);
  const int dim = civil::DaysInMonth(date.year, date.month);
  int week = (date.day - 1) / 7 + 1;
  const bool lastWeek = date.day + 7 > dim;
  if (lastWeek && (c.preferLast || (c.rule && c.rule->week == 5))) week = 5;
  st.wMonth = static_cast<WORD>(date.month);
  st.wDayOfWeek = static_cast<WORD>(civil::WeekdayFromDays(days));
  st.wDay = static_cast<WORD>(week);
  st.wHour = static_cast<WORD>(secs / 3600);
  st.wMinute = static_cast<WORD>(secs / 60 % 60);
  st.wSecond = static_cast<WORD>(secs % 60);
  return st;
}

void NoDaylight(std::int32_t offset, const std::string& name, TIME_ZONE_INFORMATION& out) {
  out = TIME_ZONE_INFORMATION{};
  out.Bias = -Minutes(offset);
  out.StandardBias = 0;
  out.DaylightBias = -60;
  CopyName(name, out.StandardName);
  CopyName(name, out.DaylightName);
}

void ToWindows(YearRule r, int year, TIME_ZONE_INFORMATION& out) {
  if (!r.hasDst || r.dstOffset == r.stdOffset) return NoDaylight(r.stdOffset, r.stdName, out);
  const std::int64_t yearLength = (civil::IsLeapYear(year) ? 366 : 365) * kSecondsPerDay;
  const std::int64_t save = r.dstOffset - r.stdOffset;
  if (r.start.seconds <= 0 && r.end.seconds - save >= yearLength) return NoDaylight(r.dstOffset, r.dstName, out);
  if (save < 0) {
    std::swap(r.stdOffset, r.dstOffset);
    std::swap(r.stdName, r.dstName);
    std::swap(r.start, r.end);
  }
  out = TIME_ZONE_INFORMATION{};
  out.Bias = -Minutes(r.stdOffset);
  out.StandardBias = 0;
  out.DaylightBias = -Minutes(r.dstOffset - r.stdOffset);
  CopyName(r.stdName, out.StandardName);
  CopyName(r.dstName, out.DaylightName);
  out.DaylightDate = Encode(r.start, year);
  out.StandardDate = Encode(r.end, year);
}

YearRule RuleFromPosix(const PosixTz& tz, int year) {
  YearRule r;
  r.stdOffset = tz.stdOffset;
  r.dstOffset = tz.dstOffset;
  r.stdName = tz.stdName;
  r.dstName = tz.dstName;
  r.hasDst = tz.hasDst;
  if (r.hasDst) {
    r.start.seconds = RuleSeconds(tz.start, year);
    r.end.seconds = RuleSeconds(tz.end, year);
    if (tz.start.kind == PosixDate::kMonthWeekDay) r.start.rule = tz.start;
    if (tz.end.kind == PosixDate::kMonthWeekDay) r.end.rule = tz.end;
  }
  return r;
}

std::int64_t UnixDay(std::int64_t days1601) { return days1601 - civil::kDays1601To1970; }

const LocalType& TypeBefore(const Tzif& tz, size_t transition) {
  // Before the first transition the first local type applies (RFC 8536).
  return transition == 0 ? tz.localTypes[0] : tz.localTypes[tz.types[transition - 1]];
}

const LocalType& TypeAt(const Tzif& tz, std::int64_t unixSeconds) {
  size_t i = 0;
  while (i < tz.times.size() && tz.times[i] <= unixSeconds) ++i;
  return TypeBefore(tz, i);
}

// The rule of a year from the file's explicit transitions.
YearRule RuleFromTransitions(const Tzif& tz, int year) {
  const std::int64_t yearStart = UnixDay(DaysFromCivil(year, 1, 1)) * kSecondsPerDay;
  const std::int64_t nextYear = UnixDay(DaysFromCivil(year + 1, 1, 1)) * kSecondsPerDay;
  std::optional<size_t> on, off;
  for (size_t i = 0; i < tz.times.size(); ++i) {
    const LocalType& before = TypeBefore(tz, i);
    const LocalType& after = tz.localTypes[tz.types[i]];
    const std::int64_t local = tz.times[i] + before.utoff;
    if (local < yearStart || local >= nextYear) continue;
    if (after.isdst && !before.isdst && !on) on = i;
    if (!after.isdst && before.isdst && !off) off = i;
  }
  YearRule r;
  if (!on || !off) {
    const LocalType& last = TypeAt(tz, nextYear - 1);
    r.stdOffset = last.utoff;
    r.stdName = last.abbr;
    return r;
  }
  const LocalType& standard = TypeBefore(tz, *on);
  const LocalType& daylight = tz.localTypes[tz.types[*on]];
  r.hasDst = true;
  r.stdOffset = standard.utoff;
  r.stdName = standard.abbr;
  r.dstOffset = daylight.utoff;
  r.dstName = daylight.abbr;
  r.start.seconds = tz.times[*on] + standard.utoff - yearStart;
  r.end.seconds = tz.times[*off] + TypeBefore(tz, *off).utoff - yearStart;
  r.start.preferLast = r.end.preferLast = true;
  return r;
}

// True when the footer rule gives the year's explicit transitions.
bool FooterDescribes(const Tzif& tz, const PosixTz& footer, int year) {
  const std::int64_t yearStart = UnixDay(DaysFromCivil(year, 1, 1)) * kSecondsPerDay;
  // No explicit transition from the day before the year on: the footer rules.
  if (tz.times.empty() || tz.times.back() < yearStart - kSecondsPerDay) return true;
  const YearRule explicitRule = RuleFromTransitions(tz, year);
  if (explicitRule.hasDst != footer.hasDst) return false;
  if (!footer.hasDst) return explicitRule.stdOffset == footer.stdOffset;
  const YearRule f = RuleFromPosix(footer, year);
  return explicitRule.stdOffset == f.stdOffset && explicitRule.dstOffset == f.dstOffset &&
         explicitRule.start.seconds == f.start.seconds && explicitRule.end.seconds == f.end.seconds;
}

bool ReadFile(const std::string& path, std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  char buffer[8192];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    bytes.append(buffer, n);
    if (bytes.size() > (1u << 22)) break;  // no zone file is this large
  }
  std::fclose(f);
  return bytes.size() <= (1u << 22);
}

bool LoadTzifFile(std::string_view name, Tzif& out) {
  if (name.empty()) return false;
  std::string path;
  if (name.front() == '/') {
    path = std::string(name);
  } else {
    const char* dir = std::getenv("TZDIR");
    path = std::string(dir != nullptr && dir[0] != 0 ? dir : "/usr/share/zoneinfo") + "/" + std::string(name);
  }
  std::string bytes;
  return ReadFile(path, bytes) && ParseTzif(bytes, out);
}

PosixTz Utc() {
  PosixTz tz;
  tz.stdName = "UTC";
  return tz;
}

}  // namespace

bool ParseTzif(std::string_view bytes, Tzif& out) {
  Reader r(bytes);
  Header h{};
  if (!ReadHeader(r, h)) return false;
  out.footer.clear();
  if (h.version == 0) return ReadData(r, h, 4, out);
  if (!r.Has(DataSize(h, 4))) return false;
  r.Skip(DataSize(h, 4));
  if (!ReadHeader(r, h) || !ReadData(r, h, 8, out)) return false;
  // The footer: a newline, the TZ string, a newline.
  const std::string_view rest = r.Rest();
  if (rest.size() >= 2 && rest.front() == '\n') {
    const size_t end = rest.find('\n', 1);
    if (end == std::string_view::npos) return false;
    out.footer = std::string(rest.substr(1, end - 1));
  }
  return true;
}

bool ParsePosixTz(std::string_view text, PosixTz& out) {
  TzParser p(text);
  PosixTz tz;
  std::int32_t offset = 0;
  if (!p.Name(tz.stdName) || !p.Clock(24, offset)) return false;
  tz.stdOffset = -offset;
  if (!p.AtEnd()) {
    if (!p.Name(tz.dstName)) return false;
    tz.hasDst = true;
    tz.dstOffset = tz.stdOffset + 3600;
    if (!p.AtEnd() && !p.Peek(',')) {
      if (!p.Clock(24, offset)) return false;
      tz.dstOffset = -offset;
    }
    if (p.Eat(',')) {
      if (!p.Date(tz.start) || !p.Eat(',') || !p.Date(tz.end)) return false;
    } else {
      tz.start = PosixDate{PosixDate::kMonthWeekDay, 0, 3, 2, 0, 2 * 3600};
      tz.end = PosixDate{PosixDate::kMonthWeekDay, 0, 11, 1, 0, 2 * 3600};
    }
  }
  if (!p.AtEnd()) return false;
  out = tz;
  return true;
}

void ZoneFromPosix(const PosixTz& tz, int year, TIME_ZONE_INFORMATION& out) {
  ToWindows(RuleFromPosix(tz, year), year, out);
}

void ZoneFromTzif(const Tzif& tz, int year, TIME_ZONE_INFORMATION& out) {
  PosixTz footer;
  if (!tz.footer.empty() && ParsePosixTz(tz.footer, footer) && FooterDescribes(tz, footer, year))
    return ZoneFromPosix(footer, year, out);
  ToWindows(RuleFromTransitions(tz, year), year, out);
}

SystemZone LoadSystemZone(const char* tzValue) {
  SystemZone zone;
  if (tzValue == nullptr) {
    zone.isTzif = LoadTzifFile("/etc/localtime", zone.tzif);
  } else if (tzValue[0] == ':') {
    zone.isTzif = LoadTzifFile(tzValue + 1, zone.tzif);
  } else if (tzValue[0] != 0) {
    zone.isTzif = LoadTzifFile(tzValue, zone.tzif);
    if (!zone.isTzif && ParsePosixTz(tzValue, zone.posix)) return zone;
  }
  if (!zone.isTzif) zone.posix = Utc();
  return zone;
}

void ZoneForYear(const SystemZone& zone, int year, TIME_ZONE_INFORMATION& out) {
  if (zone.isTzif) ZoneFromTzif(zone.tzif, year, out);
  else ZoneFromPosix(zone.posix, year, out);
}

void MachineZone(int year, TIME_ZONE_INFORMATION& out) {
  struct Cached {
    std::shared_ptr<const SystemZone> zone;
    std::map<int, TIME_ZONE_INFORMATION> years;
  };
  // The last answer: every log line asks for it, so it is found without
  // allocating.
  struct Last {
    bool valid = false;
    bool unset = false;
    std::string tz;
    int year = 0;
    TIME_ZONE_INFORMATION info{};
  };
  static std::mutex mutex;
  static std::map<std::string, Cached> cache;  // by TZ value; "\x01" stands for TZ unset
  static Last last;
  const char* tz = std::getenv("TZ");
  std::lock_guard<std::mutex> lock(mutex);
  if (last.valid && last.year == year && last.unset == (tz == nullptr) && (tz == nullptr || last.tz == tz)) {
    out = last.info;
    return;
  }
  const std::string key = tz == nullptr ? std::string("\x01") : std::string(tz);
  if (cache.size() > 32 && cache.find(key) == cache.end()) cache.clear();
  Cached& entry = cache[key];
  if (!entry.zone) entry.zone = std::make_shared<SystemZone>(LoadSystemZone(tz));
  auto it = entry.years.find(year);
  if (it == entry.years.end()) {
    if (entry.years.size() > 64) entry.years.clear();
    TIME_ZONE_INFORMATION info;
    ZoneForYear(*entry.zone, year, info);
    it = entry.years.emplace(year, info).first;
  }
  out = it->second;
  last.valid = true;
  last.unset = tz == nullptr;
  last.tz = tz == nullptr ? std::string() : std::string(tz);
  last.year = year;
  last.info = out;
}

}  // namespace plat::tzfile
