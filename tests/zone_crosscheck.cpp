// The zone cross-check: one table of conversions, run natively against our
// Linux time services and, cross-built, under Wine against kernel32; the two
// outputs must be the same line for line (tests/wine/crosscheck.sh).
//
//   zone_crosscheck table FILE     writes the table (deterministic)
//   zone_crosscheck machine FILE   appends the machine zone (TZ) as
//                                  GetTimeZoneInformation gives it, without
//                                  the names, and conversions with no zone
//
// Each line is one call: its inputs, "->", 1 and the result, or 0, the error
// and whether the output was left untouched. The inputs are made here with
// arithmetic of our own, so both sides convert the same values.
//
// Left out on purpose, where Wine 8 is known to differ from Windows:
// SystemTimeToFileTime of 29 February in common years and of years 30828 to
// 32767 (Wine accepts them, Windows fails), and zones whose transition
// times carry seconds (Wine ignores wSecond of a transition; we honour it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/services.h"

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;

constexpr u64 kTicksPerMs = 10000;
constexpr u64 kTicksPerSecond = 10000000;
constexpr u64 kTicksPerMinute = 60 * kTicksPerSecond;
constexpr u64 kTicksPerDay = 86400 * kTicksPerSecond;

std::FILE* g_out = nullptr;
long g_lines = 0;

void Line(const std::string& text) {
  std::fputs(text.c_str(), g_out);
  std::fputc('\n', g_out);
  ++g_lines;
}

// ---- our own calendar arithmetic, for making inputs --------------------------------

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int MonthDays(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && Leap(y) ? 29 : d[m - 1];
}
i64 DaysBefore(int y) {  // days from 1601-01-01 to 1 January of y (y >= 1601)
  const i64 n = y - 1601;
  return n * 365 + n / 4 - n / 100 + n / 400;
}
i64 Days(int y, int m, int d) {
  i64 days = DaysBefore(y);
  for (int i = 1; i < m; ++i) days += MonthDays(y, i);
  return days + d - 1;
}
int Weekday(i64 days) { return static_cast<int>((days + 1) % 7); }  // 1601-01-01 was a Monday

u64 TicksOf(int y, int m, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return static_cast<u64>(Days(y, m, d)) * kTicksPerDay + static_cast<u64>(h * 3600 + mi * 60 + s) * kTicksPerSecond +
         static_cast<u64>(ms) * kTicksPerMs;
}

SYSTEMTIME Fields(u64 t) {  // t below 2^63
  i64 days = static_cast<i64>(t / kTicksPerDay);
  const u64 rest = t % kTicksPerDay;
  SYSTEMTIME st{};
  st.wDayOfWeek = static_cast<WORD>(Weekday(days));
  int y = 1601 + static_cast<int>(days / 146097) * 400;
  days %= 146097;
  while (days >= (Leap(y) ? 366 : 365)) days -= Leap(y) ? 366 : 365, ++y;
  int m = 1;
  while (days >= MonthDays(y, m)) days -= MonthDays(y, m), ++m;
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(days + 1);
  st.wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
  st.wMinute = static_cast<WORD>(rest / kTicksPerMinute % 60);
  st.wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
  st.wMilliseconds = static_cast<WORD>(rest / kTicksPerMs % 1000);
  return st;
}

// The day of month of a transition rule in a year (0 when it has none).
int RuleDay(const SYSTEMTIME& r, int y) {
  if (r.wMonth < 1 || r.wMonth > 12) return 0;
  if (r.wYear != 0) return r.wDay <= MonthDays(y, r.wMonth) && r.wDay >= 1 ? r.wDay : 0;
  const int first = 1 + ((r.wDayOfWeek % 7) - Weekday(Days(y, r.wMonth, 1)) + 7) % 7;
  int day = first + 7 * (r.wDay - 1);
  while (day > MonthDays(y, r.wMonth)) day -= 7;
  return day >= 1 ? day : 0;
}

// ---- text ---------------------------------------------------------------------

std::string Text(const SYSTEMTIME& st) {
  char b[64];
  std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u.%03u w%u", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
  return b;
}

std::string InputText(const SYSTEMTIME& st) {  // inputs: wDayOfWeek is not part of them
  char b[64];
  std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond, st.wMilliseconds);
  return b;
}

std::string Hex(u64 t) {
  char b[32];
  std::snprintf(b, sizeof b, "%08x%08x", static_cast<unsigned>(t >> 32), static_cast<unsigned>(t));
  return b;
}

std::string Failure(bool untouched) {
  char b[64];
  std::snprintf(b, sizeof b, "0 e%u %s", static_cast<unsigned>(plat::Errors().GetLastError()),
                untouched ? "untouched" : "CHANGED");
  return b;
}

std::string RuleText(const SYSTEMTIME& r) {
  char b[80];
  std::snprintf(b, sizeof b, "{%u,%u,%u,%u,%u:%u:%u.%u}", r.wYear, r.wMonth, r.wDayOfWeek, r.wDay, r.wHour,
                r.wMinute, r.wSecond, r.wMilliseconds);
  return b;
}

// ---- the calls -------------------------------------------------------------------

SYSTEMTIME Sentinel() {
  SYSTEMTIME st;
  std::memset(&st, 0xAB, sizeof st);
  return st;
}
bool IsSentinel(const SYSTEMTIME& st) {
  const SYSTEMTIME s = Sentinel();
  return std::memcmp(&st, &s, sizeof st) == 0;
}

void ToLocal(const char* zoneName, const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& utc) {
  SYSTEMTIME out = Sentinel();
  plat::Errors().SetLastError(0);
  const BOOL ok = plat::Time().SystemTimeToTzSpecificLocalTime(zone, &utc, &out);
  Line(std::string("U2L ") + zoneName + " " + InputText(utc) + " -> " +
       (ok ? "1 " + Text(out) : Failure(IsSentinel(out))));
}

void ToUtc(const char* zoneName, const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& local) {
  SYSTEMTIME out = Sentinel();
  plat::Errors().SetLastError(0);
  const BOOL ok = plat::Time().TzSpecificLocalTimeToSystemTime(zone, &local, &out);
  Line(std::string("L2U ") + zoneName + " " + InputText(local) + " -> " +
       (ok ? "1 " + Text(out) : Failure(IsSentinel(out))));
}

void BreakDown(u64 t) {
  const FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
  SYSTEMTIME st = Sentinel();
  plat::Errors().SetLastError(0);
  if (!plat::Time().FileTimeToSystemTime(&ft, &st)) {
    Line("F2S " + Hex(t) + " -> " + Failure(IsSentinel(st)));
    return;
  }
  std::string line = "F2S " + Hex(t) + " -> 1 " + Text(st);
  if (st.wYear <= 30827) {  // and back
    FILETIME back{0xABABABAB, 0xABABABAB};
    if (plat::Time().SystemTimeToFileTime(&st, &back)) {
      const u64 b = (static_cast<u64>(back.dwHighDateTime) << 32) | back.dwLowDateTime;
      line += " back " + Hex(b) + (b == t - t % kTicksPerMs ? " same" : " DIFFERENT");
    } else {
      line += " back " + Failure(back.dwLowDateTime == 0xABABABAB && back.dwHighDateTime == 0xABABABAB);
    }
  }
  Line(line);
}

void Compose(const SYSTEMTIME& st) {
  FILETIME ft{0xABABABAB, 0xABABABAB};
  plat::Errors().SetLastError(0);
  char head[96];
  std::snprintf(head, sizeof head, "S2F %u-%u-%u %u:%u:%u.%u w%u -> ", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
  if (plat::Time().SystemTimeToFileTime(&st, &ft))
    Line(head + std::string("1 ") + Hex((static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime));
  else
    Line(head + Failure(ft.dwLowDateTime == 0xABABABAB && ft.dwHighDateTime == 0xABABABAB));
}

// ---- zones ---------------------------------------------------------------------------

SYSTEMTIME R(WORD month, WORD weekday, WORD week, WORD hour, WORD minute = 0) {
  return SYSTEMTIME{0, month, weekday, week, hour, minute, 0, 0};
}
SYSTEMTIME Absolute(WORD year, WORD month, WORD day, WORD hour, WORD minute = 0) {
  return SYSTEMTIME{year, month, 0, day, hour, minute, 0, 0};
}
TIME_ZONE_INFORMATION Z(LONG bias, LONG daylightBias, SYSTEMTIME daylight, SYSTEMTIME standard, LONG standardBias = 0) {
  TIME_ZONE_INFORMATION z{};
  z.Bias = bias;
  z.StandardBias = standardBias;
  z.DaylightBias = daylightBias;
  z.DaylightDate = daylight;
  z.StandardDate = standard;
  return z;
}

struct NamedZone {
  const char* name;
  TIME_ZONE_INFORMATION zone;
  bool full;  // the whole set of instants, or a few
};

std::vector<NamedZone> Zones() {
  const SYSTEMTIME none{};
  return {
      {"us-eastern", Z(300, -60, R(3, 0, 2, 2), R(11, 0, 1, 2)), true},
      {"us-eastern-1987", Z(300, -60, R(4, 0, 1, 2), R(10, 0, 5, 2)), true},
      {"central-europe", Z(-60, -60, R(3, 0, 5, 2), R(10, 0, 5, 3)), true},
      {"sydney", Z(-600, -60, R(10, 0, 1, 2), R(4, 0, 1, 3)), true},
      {"lord-howe", Z(-630, -30, R(10, 0, 1, 2), R(4, 0, 1, 2)), true},
      {"chatham", Z(-765, -60, R(9, 0, 5, 2, 45), R(4, 0, 1, 3, 45)), true},
      {"brasilia-midnight", Z(180, -60, R(10, 0, 3, 0), R(2, 0, 3, 0)), true},
      {"feb-week5-sat-23h", Z(0, -60, R(2, 0, 5, 2), R(10, 6, 5, 23)), true},
      {"odd-biases", Z(120, -45, R(4, 5, 2, 22, 15), R(9, 3, 3, 1, 30), 15), true},
      {"december-january", Z(-180, -60, R(12, 0, 1, 2), R(1, 0, 5, 3)), true},
      {"india-no-dst", Z(-330, -60, none, none, -123), true},
      {"nepal-no-dst", Z(-345, 0, none, none), false},
      {"absolute-dates", Z(300, -60, Absolute(2010, 3, 14, 2), Absolute(2010, 11, 7, 2)), true},
      {"absolute-standard-day31", Z(300, -60, R(3, 0, 2, 2), Absolute(1999, 11, 31, 2)), false},
      {"equal-months", Z(-60, -60, R(3, 0, 1, 2), R(3, 0, 4, 2)), false},
      {"invalid-absolute-daylight", Z(300, -60, Absolute(2010, 3, 14, 2), R(11, 0, 1, 2)), false},
      {"invalid-no-standard-date", Z(300, -60, R(3, 0, 2, 2), none), false},
      {"invalid-week0", Z(300, -60, R(3, 0, 0, 2), R(11, 0, 1, 2)), false},
      {"invalid-week6", Z(300, -60, R(3, 0, 2, 2), R(11, 0, 6, 2)), false},
  };
}

const int kYears[] = {1601, 1602, 1700, 1752, 1899, 1900, 1970, 1987, 1999, 2000, 2001, 2004, 2006,
                      2007, 2010, 2012, 2015, 2016, 2024, 2026, 2037, 2038, 2050, 2077, 2099, 2100};

u64 g_seed = 0x9E3779B97F4A7C15ULL;
u64 Random() {
  g_seed = g_seed * 6364136223846793005ULL + 1442695040888963407ULL;
  return g_seed >> 11;
}

bool Valid(i64 t) { return t >= 0; }

void ConvertAround(const NamedZone& z, u64 utcTicks, const i64* deltas, size_t n, bool local) {
  for (size_t i = 0; i < n; ++i) {
    const i64 t = static_cast<i64>(utcTicks) + deltas[i];
    if (!Valid(t)) continue;
    if (local) ToUtc(z.name, &z.zone, Fields(static_cast<u64>(t)));
    else ToLocal(z.name, &z.zone, Fields(static_cast<u64>(t)));
  }
}

void Table() {
  const i64 s = static_cast<i64>(kTicksPerSecond);
  const i64 utcDeltas[] = {-3601 * s, -3600 * s, -1801 * s, -61 * s, -60 * s, -s, -static_cast<i64>(kTicksPerMs), 0,
                           s,         59 * s,    60 * s,    1799 * s, 1800 * s, 3599 * s, 3600 * s, 3601 * s,
                           7200 * s};
  const i64 localDeltas[] = {-3601 * s, -3600 * s, -s,       -static_cast<i64>(kTicksPerMs), 0,        s,
                             1800 * s,  3599 * s,  3600 * s, 3601 * s,                       5400 * s, 7200 * s};
  const size_t nu = sizeof utcDeltas / sizeof utcDeltas[0], nl = sizeof localDeltas / sizeof localDeltas[0];

  for (const NamedZone& z : Zones()) {
    const TIME_ZONE_INFORMATION& zi = z.zone;
    // Around both changes of every year of the list.
    if (zi.DaylightDate.wMonth != 0) {
      for (int y : kYears) {
        if (!z.full && y != 2010 && y != 1601 && y != 2100) continue;
        const SYSTEMTIME* rules[] = {&zi.DaylightDate, &zi.StandardDate};
        const LONG clockBias[] = {zi.Bias + zi.StandardBias, zi.Bias + zi.DaylightBias};
        for (int k = 0; k < 2; ++k) {
          const int day = RuleDay(*rules[k], y);
          if (day == 0) continue;
          const u64 local = TicksOf(y, rules[k]->wMonth, day) +
                            static_cast<u64>(rules[k]->wHour * 60 + rules[k]->wMinute) * kTicksPerMinute;
          const i64 utc = static_cast<i64>(local) + static_cast<i64>(clockBias[k]) * static_cast<i64>(kTicksPerMinute);
          if (utc >= 0) ConvertAround(z, static_cast<u64>(utc), utcDeltas, nu, false);
          ConvertAround(z, local, localDeltas, nl, true);
        }
      }
    }
    // Leap days and the turn of the year.
    for (int y : {1604, 1900, 2000, 2004, 2100}) {
      for (u64 t : {TicksOf(y, 2, 28, 23, 30), TicksOf(y, 3, 1, 0, 30), TicksOf(y, 12, 31, 23, 59, 59, 999)}) {
        ToLocal(z.name, &zi, Fields(t));
        ToUtc(z.name, &zi, Fields(t));
      }
      if (Leap(y)) {
        ToLocal(z.name, &zi, Fields(TicksOf(y, 2, 29, 12)));
        ToUtc(z.name, &zi, Fields(TicksOf(y, 2, 29, 0, 15)));
      }
    }
    // The ends of the range.
    for (u64 t : {TicksOf(1601, 1, 1), TicksOf(1601, 1, 1, 4, 59, 59, 999), TicksOf(1601, 1, 1, 12),
                  TicksOf(30827, 12, 31, 12), TicksOf(30827, 12, 31, 23, 59, 59, 999)}) {
      ToLocal(z.name, &zi, Fields(t));
      ToUtc(z.name, &zi, Fields(t));
    }
    // Instants spread over 1601 to 2100.
    const u64 span = TicksOf(2101, 1, 1);
    for (int i = 0; i < (z.full ? 60 : 8); ++i) {
      const u64 t = Random() % span;
      ToLocal(z.name, &zi, Fields(t));
      ToUtc(z.name, &zi, Fields(Random() % span));
    }
  }

  // FILETIME -> SYSTEMTIME and back.
  const u64 special[] = {0,           1,           9999,        10000,       kTicksPerSecond - 1, kTicksPerSecond,
                         kTicksPerDay - 1, kTicksPerDay, 0x7FFFFFFFFFFFFFFFULL, 0x7FFFFFFFFFFFD8F0ULL,
                         0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL, 0x00000000FFFFFFFFULL, 0x0000000100000000ULL};
  for (u64 t : special) BreakDown(t);
  for (int y = 1601; y <= 2500; y += 7) {
    BreakDown(TicksOf(y, 1, 1));
    BreakDown(TicksOf(y, 2, 28, 23, 59, 59, 999));
    BreakDown(TicksOf(y, 3, 1));
    BreakDown(TicksOf(y, 12, 31, 23, 59, 59, 999));
  }
  for (int y : {1700, 1800, 1900, 2000, 2100, 2400, 9999, 10000, 30827}) {
    BreakDown(TicksOf(y, 2, 28, 12));
    BreakDown(TicksOf(y, 2, 28, 12) + kTicksPerDay);
    BreakDown(TicksOf(y, 3, 1, 12));
  }
  for (int i = 0; i < 400; ++i) BreakDown(Random() & 0x7FFFFFFFFFFFFFFFULL);

  // SYSTEMTIME -> FILETIME, valid and not.
  const WORD years[] = {0, 1600, 1601, 1602, 1900, 2000, 2001, 2004, 2100, 9999, 30827, 32768, 40000, 65535};
  for (WORD y : years) {
    for (WORD m : {0, 1, 2, 4, 12, 13}) {
      for (WORD d : {0, 1, 28, 30, 31, 32}) {
        if (m == 2 && d == 29) continue;
        Compose(SYSTEMTIME{y, m, 0, d, 12, 0, 0, 0});
      }
    }
    if (Leap(y) && y >= 1601 && y <= 30827) Compose(SYSTEMTIME{y, 2, 0, 29, 0, 0, 0, 0});
  }
  for (WORD h : {0, 23, 24, 25}) Compose(SYSTEMTIME{2010, 6, 0, 14, h, 0, 0, 0});
  for (WORD mi : {59, 60}) Compose(SYSTEMTIME{2010, 6, 0, 14, 0, mi, 0, 0});
  for (WORD sec : {59, 60, 61}) Compose(SYSTEMTIME{2010, 6, 0, 14, 0, 0, sec, 0});
  for (WORD ms : {999, 1000, 65535}) Compose(SYSTEMTIME{2010, 6, 0, 14, 0, 0, 0, ms});
  for (WORD dow : {0, 1, 6, 7, 65535}) Compose(SYSTEMTIME{2010, 6, dow, 14, 9, 30, 0, 0});
  Compose(SYSTEMTIME{30827, 12, 0, 31, 23, 59, 59, 999});
  Compose(SYSTEMTIME{1601, 1, 0, 1, 0, 0, 0, 0});
}

void Machine() {
  TIME_ZONE_INFORMATION zi;
  std::memset(&zi, 0xAB, sizeof zi);
  const DWORD state = plat::Time().GetTimeZoneInformation(&zi);
  const char* tz = std::getenv("TZ");
  char b[400];
  std::snprintf(b, sizeof b, "MACHINE TZ=%s state=%u bias=%d standardBias=%d daylightBias=%d standard=%s daylight=%s",
                tz != nullptr ? tz : "(unset)", static_cast<unsigned>(state), static_cast<int>(zi.Bias),
                static_cast<int>(zi.StandardBias), static_cast<int>(zi.DaylightBias), RuleText(zi.StandardDate).c_str(),
                RuleText(zi.DaylightDate).c_str());
  Line(b);
  const std::string name = std::string("machine:") + (tz != nullptr ? tz : "(unset)");
  for (u64 t : {TicksOf(2010, 1, 15, 12), TicksOf(2010, 7, 15, 12), TicksOf(2024, 2, 29, 23, 30)}) {
    ToLocal(name.c_str(), nullptr, Fields(t));
    ToUtc(name.c_str(), nullptr, Fields(t));
  }
  const i64 s = static_cast<i64>(kTicksPerSecond);
  const i64 deltas[] = {-3601 * s, -s, 0, s, 1800 * s, 3599 * s, 3600 * s, 3601 * s};
  if (zi.DaylightDate.wMonth != 0 && zi.DaylightDate.wYear == 0) {
    for (int y : {2010, 2024}) {
      const SYSTEMTIME* rules[] = {&zi.DaylightDate, &zi.StandardDate};
      const LONG clockBias[] = {zi.Bias + zi.StandardBias, zi.Bias + zi.DaylightBias};
      for (int k = 0; k < 2; ++k) {
        const int day = RuleDay(*rules[k], y);
        if (day == 0) continue;
        const u64 local = TicksOf(y, rules[k]->wMonth, day, rules[k]->wHour, rules[k]->wMinute);
        const u64 utc = static_cast<u64>(static_cast<i64>(local) + clockBias[k] * static_cast<i64>(kTicksPerMinute));
        for (i64 d : deltas) {
          ToLocal(name.c_str(), nullptr, Fields(static_cast<u64>(static_cast<i64>(utc) + d)));
          ToUtc(name.c_str(), nullptr, Fields(static_cast<u64>(static_cast<i64>(local) + d)));
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "table") != 0 && std::strcmp(argv[1], "machine") != 0)) {
    std::fprintf(stderr, "usage: %s table|machine FILE\n", argv[0]);
    return 2;
  }
  const bool table = std::strcmp(argv[1], "table") == 0;
  g_out = std::fopen(argv[2], table ? "wb" : "ab");
  if (g_out == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[2]);
    return 1;
  }
  if (table) Table();
  else Machine();
  std::fclose(g_out);
  std::printf("%ld lines written to %s\n", g_lines, argv[2]);
  return 0;
}
