// Reading the default calendar folder: which appointments are in progress
// now and when the next one starts.
#pragma once

#include "calendar/MeetingTable.h"
#include "platform/mapi.h"

// Scans the calendar of the session's default store into the table: slots 0
// to m_meetingIndex - 1 receive the meetings in progress, nextStartMeetingTime
// the seconds until the nearest start to come. The caller has reset the table
// (MeetingTable::Reset). Always S_OK; failures are only logged (through
// CalendarLog). Every object obtained is released and every buffer freed.
HRESULT GetCalEntries(IMAPISession* session, IMsgStore* store, MeetingTable& table);
