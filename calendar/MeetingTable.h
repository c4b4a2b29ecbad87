// The process-wide meeting table: the meetings in progress found by the last
// calendar scan, the scan's scratch entry, and when the next meeting starts.
#pragma once

#include <array>
#include <memory>

#include "calendar/MeetingEntry.h"

struct MeetingTable {
  static constexpr int kSlots = 100;

  // Slots 0 to m_meetingIndex - 1 are results; slot m_meetingIndex is the
  // scratch entry the scan writes the row under evaluation into.
  std::array<std::unique_ptr<MeetingEntry>, kSlots> m_meetings;
  LONG m_meetingIndex = 0;
  // Seconds from the last scan until the next meeting starts; 0 for none.
  DWORD nextStartMeetingTime = 0;

  // Frees every entry, sets the index to 0 and puts a new zeroed scratch
  // entry in slot 0, as an update pass does before it scans.
  void Reset() {
    for (auto& slot : m_meetings) slot.reset();
    m_meetingIndex = 0;
    m_meetings[0] = std::make_unique<MeetingEntry>();
  }
};
