#include "calendar/CalendarScan.h"

HRESULT GetCalEntries(IMAPISession*, IMsgStore*, MeetingTable& table) {
  table.nextStartMeetingTime = 0;
  return S_OK;
}
