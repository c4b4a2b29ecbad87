#include "tests/support/time_support.h"

namespace testing_support {

namespace {

void CopyName(WStringView name, WCHAR (&out)[32]) {
  size_t n = 0;
  for (; n < name.size() && n < 31; ++n) out[n] = name[n];
  for (; n < 32; ++n) out[n] = 0;
}

}  // namespace

SYSTEMTIME SysTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD milliseconds) {
  return SYSTEMTIME{year, month, 0, day, hour, minute, second, milliseconds};
}

SYSTEMTIME Rule(WORD month, WORD weekday, WORD week, WORD hour, WORD minute) {
  return SYSTEMTIME{0, month, weekday, week, hour, minute, 0, 0};
}

TIME_ZONE_INFORMATION Zone(LONG bias, LONG daylightBias, const SYSTEMTIME& daylightDate,
                           const SYSTEMTIME& standardDate, LONG standardBias) {
  TIME_ZONE_INFORMATION z{};
  z.Bias = bias;
  z.StandardBias = standardBias;
  z.DaylightBias = daylightBias;
  z.DaylightDate = daylightDate;
  z.StandardDate = standardDate;
  CopyName(WSTR("Test Standard Time"), z.StandardName);
  CopyName(WSTR("Test Daylight Time"), z.DaylightName);
  return z;
}

TIME_ZONE_INFORMATION ZoneWithoutDst(LONG bias) { return Zone(bias, -60, SYSTEMTIME{}, SYSTEMTIME{}); }

ULONGLONG Ticks(const FILETIME& ft) { return (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

FILETIME FileTime(ULONGLONG ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

FILETIME FileTimeOf(const SYSTEMTIME& st) {
  FILETIME ft{};
  plat::Time().SystemTimeToFileTime(&st, &ft);
  return ft;
}

// ---- FakeNow -------------------------------------------------------------------

class FakeNow::ClockPart : public plat::ClockService {
 public:
  explicit ClockPart(const FakeNow& owner) : owner_(owner), next_(plat::Seam<plat::ClockService>::Swap(this)) {}
  ~ClockPart() override { plat::Seam<plat::ClockService>::Swap(next_); }
  void GetSystemTimeAsFileTime(LPFILETIME ft) override { *ft = owner_.now_; }
  void GetLocalTime(LPSYSTEMTIME st) override {
    SYSTEMTIME utc{};
    plat::Time().FileTimeToSystemTime(&owner_.now_, &utc);
    if (!plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, st)) *st = utc;
  }
  DWORD GetCurrentThreadId() override { return next_->GetCurrentThreadId(); }

 private:
  const FakeNow& owner_;
  plat::ClockService* next_;
};

class FakeNow::TimePart : public plat::TimeService {
 public:
  explicit TimePart(const FakeNow& owner) : owner_(owner), next_(plat::Seam<plat::TimeService>::Swap(this)) {}
  ~TimePart() override { plat::Seam<plat::TimeService>::Swap(next_); }
  void GetSystemTime(LPSYSTEMTIME st) override { next_->FileTimeToSystemTime(&owner_.now_, st); }
  BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) override {
    return next_->FileTimeToSystemTime(ft, st);
  }
  BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) override {
    return next_->SystemTimeToFileTime(st, ft);
  }
  BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                       LPSYSTEMTIME local) override {
    return next_->SystemTimeToTzSpecificLocalTime(zone, utc, local);
  }
  BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                       LPSYSTEMTIME utc) override {
    return next_->TzSpecificLocalTimeToSystemTime(zone, local, utc);
  }
  DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) override { return next_->GetTimeZoneInformation(zone); }

 private:
  const FakeNow& owner_;
  plat::TimeService* next_;
};

FakeNow::FakeNow(const SYSTEMTIME& utc)
    : now_(FileTimeOf(utc)), clock_(new ClockPart(*this)), time_(new TimePart(*this)) {}

FakeNow::FakeNow(const FILETIME& utc) : now_(utc), clock_(new ClockPart(*this)), time_(new TimePart(*this)) {}

FakeNow::~FakeNow() {
  delete time_;
  delete clock_;
}

void FakeNow::Set(const SYSTEMTIME& utc) { now_ = FileTimeOf(utc); }

void FakeNow::Advance(LONGLONG milliseconds) {
  now_ = FileTime(Ticks(now_) + static_cast<ULONGLONG>(milliseconds * 10000));
}

// ---- FakeZone ------------------------------------------------------------------

FakeZone::FakeZone(const TIME_ZONE_INFORMATION& z, DWORD s)
    : zone(z), state(s), next_(plat::Seam<plat::TimeService>::Swap(this)) {}

FakeZone::~FakeZone() { plat::Seam<plat::TimeService>::Swap(next_); }

void FakeZone::GetSystemTime(LPSYSTEMTIME st) { next_->GetSystemTime(st); }
BOOL FakeZone::FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) { return next_->FileTimeToSystemTime(ft, st); }
BOOL FakeZone::SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) { return next_->SystemTimeToFileTime(st, ft); }

BOOL FakeZone::SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* z, const SYSTEMTIME* utc,
                                               LPSYSTEMTIME local) {
  return next_->SystemTimeToTzSpecificLocalTime(z != nullptr ? z : &zone, utc, local);
}

BOOL FakeZone::TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* z, const SYSTEMTIME* local,
                                               LPSYSTEMTIME utc) {
  return next_->TzSpecificLocalTimeToSystemTime(z != nullptr ? z : &zone, local, utc);
}

DWORD FakeZone::GetTimeZoneInformation(LPTIME_ZONE_INFORMATION z) {
  *z = zone;
  return state;
}

// ---- SystemShortDate -------------------------------------------------------------

SystemShortDate::SystemShortDate(const WCHAR* picture)
    : picture_(picture), next_(plat::Seam<plat::LocaleService>::Swap(this)) {}

SystemShortDate::~SystemShortDate() { plat::Seam<plat::LocaleService>::Swap(next_); }

int SystemShortDate::GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                                    int size) {
  return next_->GetTimeFormatW(locale, flags, time, picture, out, size);
}

int SystemShortDate::GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR out,
                                    int size) {
  if (locale == LOCALE_SYSTEM_DEFAULT && picture == nullptr && (flags & DATE_LONGDATE) == 0)
    return next_->GetDateFormatW(locale, flags & ~static_cast<DWORD>(DATE_SHORTDATE), date, picture_.c_str(), out,
                                 size);
  return next_->GetDateFormatW(locale, flags, date, picture, out, size);
}

int SystemShortDate::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size) {
  return next_->MultiByteToWideChar(codePage, flags, text, bytes, out, size);
}

bool RunningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testing_support
