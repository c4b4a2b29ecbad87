// Linux only: the machine's zone from the system's time zone database (TZ,
// TZif files and POSIX TZ strings), as GetTimeZoneInformation gives it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/paths.h"
#include "platform/linux/tzfile.h"
#include "platform/services.h"
#include "tests/support/test_support.h"
#include "tests/support/time_support.h"

using namespace testing_support;

namespace {

std::string RuleText(const SYSTEMTIME& r) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "y%u m%u dow%u wk%u %02u:%02u:%02u", r.wYear, r.wMonth, r.wDayOfWeek, r.wDay,
                r.wHour, r.wMinute, r.wSecond);
  return buffer;
}

std::string RuleText(WORD month, WORD dow, WORD week, WORD hour, WORD minute = 0) {
  SYSTEMTIME r{0, month, dow, week, hour, minute, 0, 0};
  return RuleText(r);
}

// GetTimeZoneInformation for TZ=tz at the UTC instant now.
struct MachineZoneAt {
  MachineZoneAt(const char* tz, const SYSTEMTIME& utcNow)
      : env(WSTR("TZ"), tz == nullptr ? nullptr : wstr::FromUtf8(tz).c_str()), now(utcNow) {
    state = plat::Time().GetTimeZoneInformation(&info);
  }
  ScopedEnv env;
  FakeNow now;
  TIME_ZONE_INFORMATION info{};
  DWORD state = TIME_ZONE_ID_INVALID;
  std::string standardName() const { return U8(info.StandardName); }
  std::string daylightName() const { return U8(info.DaylightName); }
};

const SYSTEMTIME kJuly2026 = SysTime(2026, 7, 1, 12);
const SYSTEMTIME kJanuary2026 = SysTime(2026, 1, 15, 12);

std::string Bytes32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
}

// A version 1 TZif file (no footer) with the given transitions between EST
// (type 0) and EDT (type 1).
std::string TzifV1(const std::vector<std::pair<std::int32_t, int>>& transitions) {
  std::string f = "TZif";
  f.push_back(0);
  f.append(15, '\0');
  f += Bytes32(0) + Bytes32(0) + Bytes32(0) + Bytes32(static_cast<std::int32_t>(transitions.size())) + Bytes32(2) +
       Bytes32(8);
  for (const auto& t : transitions) f += Bytes32(t.first);
  for (const auto& t : transitions) f.push_back(static_cast<char>(t.second));
  f += Bytes32(-5 * 3600) + std::string("\0\0", 2);
  f += Bytes32(-4 * 3600) + std::string("\1\4", 2);
  f += std::string("EST\0EDT\0", 8);
  return f;
}

std::int32_t UnixSeconds(const SYSTEMTIME& utc) {
  return static_cast<std::int32_t>((Ticks(FileTimeOf(utc)) - 116444736000000000ULL) / 10000000ULL);
}

}  // namespace

TEST(TzDatabase, NewYork) {
  MachineZoneAt z("America/New_York", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state);
  EXPECT_EQ(300, z.info.Bias);
  EXPECT_EQ(0, z.info.StandardBias);
  EXPECT_EQ(-60, z.info.DaylightBias);
  EXPECT_EQ(RuleText(3, 0, 2, 2), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(11, 0, 1, 2), RuleText(z.info.StandardDate));
  EXPECT_EQ("EST", z.standardName());
  EXPECT_EQ("EDT", z.daylightName());
  MachineZoneAt winter("America/New_York", kJanuary2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_STANDARD), winter.state);
}

TEST(TzDatabase, TheFormsOfTz) {
  for (const char* tz : {":America/New_York", "/usr/share/zoneinfo/America/New_York", "EST5EDT,M3.2.0,M11.1.0",
                         "EST+5EDT+4,M3.2.0/2,M11.1.0/02:00:00", "EST5EDT4"}) {
    MachineZoneAt z(tz, kJuly2026);
    EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state) << tz;
    EXPECT_EQ(300, z.info.Bias) << tz;
    EXPECT_EQ(-60, z.info.DaylightBias) << tz;
    EXPECT_EQ(RuleText(3, 0, 2, 2), RuleText(z.info.DaylightDate)) << tz;
    EXPECT_EQ(RuleText(11, 0, 1, 2), RuleText(z.info.StandardDate)) << tz;
  }
}

TEST(TzDatabase, BerlinChangesOnTheLastSunday) {
  MachineZoneAt z(":Europe/Berlin", kJanuary2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_STANDARD), z.state);
  EXPECT_EQ(-60, z.info.Bias);
  EXPECT_EQ(-60, z.info.DaylightBias);
  EXPECT_EQ(RuleText(3, 0, 5, 2), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(10, 0, 5, 3), RuleText(z.info.StandardDate));
  EXPECT_EQ("CET", z.standardName());
  EXPECT_EQ("CEST", z.daylightName());
}

TEST(TzDatabase, SydneyIsOnDaylightTimeInJanuary) {
  MachineZoneAt summer("Australia/Sydney", kJanuary2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), summer.state);
  EXPECT_EQ(-600, summer.info.Bias);
  EXPECT_EQ(-60, summer.info.DaylightBias);
  EXPECT_EQ(RuleText(10, 0, 1, 2), RuleText(summer.info.DaylightDate));
  EXPECT_EQ(RuleText(4, 0, 1, 3), RuleText(summer.info.StandardDate));
  EXPECT_EQ("AEST", summer.standardName());
  EXPECT_EQ("AEDT", summer.daylightName());
  MachineZoneAt winter("Australia/Sydney", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_STANDARD), winter.state);
}

TEST(TzDatabase, KolkataAndUtcHaveNoDaylightSaving) {
  MachineZoneAt india("Asia/Kolkata", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN), india.state);
  EXPECT_EQ(-330, india.info.Bias);
  EXPECT_EQ(0, india.info.DaylightDate.wMonth);
  EXPECT_EQ(0, india.info.StandardDate.wMonth);
  EXPECT_EQ(-60, india.info.DaylightBias);  // as Windows' zones have it; unused
  EXPECT_EQ("IST", india.standardName());
  for (const char* tz : {"UTC", "", ":UTC", "Etc/UTC", "No/Such_Zone", "!!garbage"}) {
    MachineZoneAt utc(tz, kJuly2026);
    EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN), utc.state) << tz;
    EXPECT_EQ(0, utc.info.Bias) << tz;
    EXPECT_EQ(0, utc.info.DaylightDate.wMonth) << tz;
  }
  MachineZoneAt nepal("<+0545>-5:45", kJuly2026);
  EXPECT_EQ(-345, nepal.info.Bias);
  EXPECT_EQ("+0545", nepal.standardName());
}

TEST(TzDatabase, UnsetTzReadsEtcLocaltime) {
  MachineZoneAt unset(nullptr, kJuly2026);
  MachineZoneAt file(":/etc/localtime", kJuly2026);
  EXPECT_EQ(file.state, unset.state);
  EXPECT_EQ(file.info.Bias, unset.info.Bias);
  EXPECT_EQ(RuleText(file.info.DaylightDate), RuleText(unset.info.DaylightDate));
}

TEST(TzDatabase, DublinsNegativeDaylightSavingIsTurnedAround) {
  // tzdata gives Irish summer time as standard time and winter time as a
  // negative daylight saving; Windows has GMT with summer daylight time.
  MachineZoneAt z("Europe/Dublin", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state);
  EXPECT_EQ(0, z.info.Bias);
  EXPECT_EQ(-60, z.info.DaylightBias);
  EXPECT_EQ(RuleText(3, 0, 5, 1), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(10, 0, 5, 2), RuleText(z.info.StandardDate));
  EXPECT_EQ("GMT", z.standardName());
  EXPECT_EQ("IST", z.daylightName());
}

TEST(TzDatabase, HalfHourDaylightSaving) {
  MachineZoneAt z("Australia/Lord_Howe", kJanuary2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state);
  EXPECT_EQ(-630, z.info.Bias);
  EXPECT_EQ(-30, z.info.DaylightBias);
  EXPECT_EQ(RuleText(10, 0, 1, 2), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(4, 0, 1, 2), RuleText(z.info.StandardDate));
}

TEST(TzDatabase, RulesOutsideTheDayAreResolvedForTheYear) {
  // Israel: M3.4.4/26, the Friday after the fourth Thursday of March, 02:00.
  MachineZoneAt israel("Asia/Jerusalem", kJuly2026);
  EXPECT_EQ(RuleText(3, 5, 4, 2), RuleText(israel.info.DaylightDate));  // Friday 27 March 2026
  EXPECT_EQ(RuleText(10, 0, 5, 2), RuleText(israel.info.StandardDate));
  // Chile: M9.1.6/24 and M4.1.6/24, midnight after the first Saturday.
  MachineZoneAt chile("America/Santiago", kJuly2026);
  EXPECT_EQ(240, chile.info.Bias);
  EXPECT_EQ(RuleText(9, 0, 1, 0), RuleText(chile.info.DaylightDate));  // Sunday 6 September 2026
  EXPECT_EQ(RuleText(4, 0, 1, 0), RuleText(chile.info.StandardDate));  // Sunday 5 April 2026
  // Greenland: M3.5.0/-1, the Saturday before the last Sunday of March, 23:00.
  MachineZoneAt greenland("America/Nuuk", kJuly2026);
  EXPECT_EQ(120, greenland.info.Bias);
  EXPECT_EQ(RuleText(3, 6, 5, 23), RuleText(greenland.info.DaylightDate));  // Saturday 28 March 2026
  EXPECT_EQ(RuleText(10, 0, 5, 0), RuleText(greenland.info.StandardDate));
  // Julian days: J60 is 1 March in every year, 60 the 61st day (1 March only in leap years).
  MachineZoneAt julian("AAA3BBB,J60/1,300", kJuly2026);
  EXPECT_EQ(RuleText(3, 0, 1, 1), RuleText(julian.info.DaylightDate));    // Sunday 1 March 2026
  EXPECT_EQ(RuleText(10, 3, 4, 2), RuleText(julian.info.StandardDate));   // day 301: Wednesday 28 October
}

TEST(TzDatabase, AllYearDaylightTimeIsAZoneWithoutDaylightSaving) {
  MachineZoneAt z("EST5EDT,0/0,J365/25", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN), z.state);
  EXPECT_EQ(240, z.info.Bias);
  EXPECT_EQ(0, z.info.DaylightDate.wMonth);
  EXPECT_EQ("EDT", z.standardName());
}

TEST(TzDatabase, ExplicitTransitionsWithoutAFooter) {
  TempDir dir;
  std::string unixDir;
  plat::linux_paths::ToUnix(dir.path(), unixDir);
  const std::string path = unixDir + "/zone";
  const std::string data = TzifV1({{UnixSeconds(SysTime(2025, 3, 9, 7)), 1},
                                   {UnixSeconds(SysTime(2025, 11, 2, 6)), 0},
                                   {UnixSeconds(SysTime(2026, 3, 8, 7)), 1},
                                   {UnixSeconds(SysTime(2026, 11, 1, 6)), 0}});
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  MachineZoneAt z((":" + path).c_str(), kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state);
  EXPECT_EQ(300, z.info.Bias);
  EXPECT_EQ(-60, z.info.DaylightBias);
  EXPECT_EQ(RuleText(3, 0, 2, 2), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(11, 0, 1, 2), RuleText(z.info.StandardDate));
  EXPECT_EQ("EST", z.standardName());
  // In 2027 the file has no transitions: standard time all year.
  MachineZoneAt later((":" + path).c_str(), SysTime(2027, 7, 1));
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN), later.state);
  EXPECT_EQ(300, later.info.Bias);
  EXPECT_EQ(0, later.info.DaylightDate.wMonth);
}

TEST(TzDatabase, TransitionsThatTheFooterDoesNotDescribe) {
  // Morocco: +01 with the clock set back an hour during Ramadan, given as
  // explicit transitions (15 February and 22 March 2026) ahead of a footer
  // without daylight saving. Turned around: +00 with daylight time outside Ramadan.
  MachineZoneAt z("Africa/Casablanca", kJuly2026);
  EXPECT_EQ(static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT), z.state);
  EXPECT_EQ(0, z.info.Bias);
  EXPECT_EQ(-60, z.info.DaylightBias);
  EXPECT_EQ(RuleText(3, 0, 4, 2), RuleText(z.info.DaylightDate));
  EXPECT_EQ(RuleText(2, 0, 3, 3), RuleText(z.info.StandardDate));
}

TEST(TzDatabase, ConversionsWithoutAZoneUseTheMachineZone) {
  MachineZoneAt z("America/New_York", kJuly2026);
  const SYSTEMTIME utc = SysTime(2010, 7, 1, 16);
  SYSTEMTIME local{};
  ASSERT_TRUE(plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  EXPECT_EQ(12, local.wHour);
  SYSTEMTIME back{};
  ASSERT_TRUE(plat::Time().TzSpecificLocalTimeToSystemTime(nullptr, &local, &back));
  EXPECT_EQ(16, back.wHour);
  {
    ScopedEnv other(WSTR("TZ"), WSTR("Asia/Kolkata"));  // a changed TZ is seen at once
    ASSERT_TRUE(plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    EXPECT_EQ(21, local.wHour);
    EXPECT_EQ(30, local.wMinute);
  }
}

TEST(TzDatabase, LocalTimeIsTheClockInTheMachineZone) {
  // A clock that only gives UTC: ClockService::GetLocalTime converts it.
  class UtcClock : public plat::ClockService {
   public:
    void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = FileTimeOf(SysTime(2026, 3, 8, 6, 59, 59, 987)); }
  } clock;
  plat::Substitute<plat::ClockService> installed(clock);
  ScopedEnv tz(WSTR("TZ"), WSTR("America/New_York"));
  SYSTEMTIME local{};
  plat::Clock().GetLocalTime(&local);
  EXPECT_EQ(1, local.wHour);
  EXPECT_EQ(59, local.wMinute);
  EXPECT_EQ(987, local.wMilliseconds);
  EXPECT_EQ(0, local.wDayOfWeek);
  {
    FakeZone zone(ZoneWithoutDst(-60), TIME_ZONE_ID_UNKNOWN);  // a substituted zone applies too
    plat::Clock().GetLocalTime(&local);
    EXPECT_EQ(7, local.wHour);
  }
}

TEST(TzFile, MalformedFilesAreRejected) {
  const std::string good = TzifV1({{1000, 1}, {2000, 0}});
  plat::tzfile::Tzif tz;
  ASSERT_TRUE(plat::tzfile::ParseTzif(good, tz));
  EXPECT_EQ(2u, tz.times.size());
  EXPECT_EQ("EDT", tz.localTypes[1].abbr);
  for (size_t cut = 0; cut < good.size(); ++cut)
    EXPECT_FALSE(plat::tzfile::ParseTzif(good.substr(0, cut), tz)) << cut;
  std::string badIndex = good;
  badIndex[44 + 8] = 7;  // a transition to a type that does not exist
  EXPECT_FALSE(plat::tzfile::ParseTzif(badIndex, tz));
  EXPECT_FALSE(plat::tzfile::ParseTzif(TzifV1({{2000, 1}, {1000, 0}}), tz));  // out of order
}

TEST(TzFile, PosixStrings) {
  plat::tzfile::PosixTz tz;
  ASSERT_TRUE(plat::tzfile::ParsePosixTz("<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", tz));
  EXPECT_EQ(-3 * 3600, tz.stdOffset);
  EXPECT_EQ(-2 * 3600, tz.dstOffset);
  EXPECT_EQ(-2 * 3600, tz.start.time);
  ASSERT_TRUE(plat::tzfile::ParsePosixTz("IST-2IDT,M3.4.4/26,M10.5.0", tz));
  EXPECT_EQ(26 * 3600, tz.start.time);
  EXPECT_EQ(2 * 3600, tz.end.time);
  for (const char* bad : {"", "E5", "EST", "EST5EDT,M3.2.0", "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M3.6.0,M11.1.0",
                          "EST5EDT,J0,J365", "EST5EDT,M3.2.0,M11.1.0x", "<EST5"})
    EXPECT_FALSE(plat::tzfile::ParsePosixTz(bad, tz)) << bad;
}
