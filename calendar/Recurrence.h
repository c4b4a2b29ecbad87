// Expanding a recurring appointment to the occurrence that matters now.
#pragma once

#include "calendar/MeetingEntry.h"
#include "calendar/RecurrenceBlob.h"

// Whether the occurrence starting at candidateSeconds is deleted (or modified
// into a free or tentative one). A modified occurrence replaces
// candidateSeconds with its own UTC start and fills E with its own values.
bool IsDeletedOrModified(const AppointmentRecurrencePattern& R, LONGLONG& candidateSeconds, MeetingEntry& E);

// The offset in seconds from the series' first start to the occurrence in
// progress now, or to the first one that has not begun; 0 when there is none.
// skip is set when the row is to be dropped.
LONGLONG AdjustForOccurred(const AppointmentRecurrencePattern& R, const FILETIME& firstStart, const FILETIME& now,
                           MeetingEntry& E, BYTE& skip);
