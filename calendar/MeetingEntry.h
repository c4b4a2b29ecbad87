// One meeting in progress as the page is told about it.
#pragma once

#include "platform/oleauto.h"
#include "platform/wintypes.h"

struct MeetingEntry {
  LONG startTime = 0;  // start minus now, seconds (0 or negative once begun)
  LONG endTime = 0;    // seconds until the meeting ends
  LONG duration = 0;   // end minus start, seconds
  CBstr subject;
  CBstr location;
  CBstr timeZone;  // name of the machine's zone, set before the event
  // The appointment's own zone; valid only while its row is evaluated.
  // nullptr: the appointment carries no zone and the machine's zone stands in.
  const TIME_ZONE_INFORMATION* meetingTimeZone = nullptr;
  LONG startHour = 0;
  LONG startMinute = 0;
  LONG endHour = 0;
  LONG endMinute = 0;
  LONG deliveryTime = 0;
  BYTE occurrenceOverridden = 0;
};
