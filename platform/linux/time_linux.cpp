// Calendar time on Linux. (Being written: the conversions and the machine's
// zone from the system's time zone database.)
#include "platform/services.h"

namespace plat {

void TimeService::GetSystemTime(LPSYSTEMTIME st) {
  FILETIME ft;
  Clock().GetSystemTimeAsFileTime(&ft);
  FileTimeToSystemTime(&ft, st);
}
BOOL TimeService::FileTimeToSystemTime(const FILETIME*, LPSYSTEMTIME) { return Errors().SetLastError(ERROR_NOT_SUPPORTED), FALSE; }
BOOL TimeService::SystemTimeToFileTime(const SYSTEMTIME*, LPFILETIME) { return Errors().SetLastError(ERROR_NOT_SUPPORTED), FALSE; }
BOOL TimeService::SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION*, const SYSTEMTIME*, LPSYSTEMTIME) {
  return Errors().SetLastError(ERROR_NOT_SUPPORTED), FALSE;
}
BOOL TimeService::TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION*, const SYSTEMTIME*, LPSYSTEMTIME) {
  return Errors().SetLastError(ERROR_NOT_SUPPORTED), FALSE;
}
DWORD TimeService::GetTimeZoneInformation(LPTIME_ZONE_INFORMATION) { return TIME_ZONE_ID_INVALID; }

int LocaleService::MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) {
  return Errors().SetLastError(ERROR_NOT_SUPPORTED), 0;
}

}  // namespace plat
