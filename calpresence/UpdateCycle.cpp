// The presence update cycle: GetCalData, LocalGetCalData and the page's
// periodic tick CheckProcessChange.
#include <new>
#include <vector>

#include "calpresence/CalPresenceAX.h"
#include "calpresence/CalPresenceLog.h"
#include "platform/services.h"

namespace {

// Characters of a zone name field; the page's copy ends at the first NUL.
constexpr UINT kZoneNameChars = 32;

// One OnCalDataChanged as a pass reports it: every field the event and the
// countdown need, copied out of the class-wide meeting table.
struct ReportedMeeting {
  LONG startTime = 0;
  LONG deliveryTime = 0;
  LONG startHour = 0;
  LONG startMinute = 0;
  LONG endHour = 0;
  LONG endMinute = 0;
  LONG endTime = 0;
  CBstr subject;
  CBstr location;
  CBstr timeZone;
};

CBstr CopyOf(const CBstr& text) {
  if (text.Get() == nullptr) return CBstr();
  CBstr copy;
  copy.Attach(SysAllocStringLen(text.Get(), text.Length()));
  if (copy.Get() == nullptr) throw std::bad_alloc();
  return copy;
}

// The meetings in progress of the table as the pass reports them: entries
// whose startTime is 0 are left out; each entry reported gets the machine's
// zone name (the whole name field, trailing NULs included) before it is
// copied.
std::vector<ReportedMeeting> ReadReport(MeetingTable& table) {
  TIME_ZONE_INFORMATION zone{};
  const DWORD zoneState = plat::Time().GetTimeZoneInformation(&zone);
  const WCHAR* name = zoneState == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightName : zone.StandardName;
  std::vector<ReportedMeeting> meetings;
  for (LONG i = 0; i < table.m_meetingIndex; ++i) {
    MeetingEntry* entry = table.m_meetings[static_cast<size_t>(i)].get();
    if (entry == nullptr || entry->startTime == 0) continue;
    BSTR zoneName = SysAllocStringLen(name, kZoneNameChars);
    if (zoneName == nullptr) throw std::bad_alloc();
    entry->timeZone.Attach(zoneName);
    ReportedMeeting meeting;
    meeting.startTime = entry->startTime;
    meeting.deliveryTime = entry->deliveryTime;
    meeting.startHour = entry->startHour;
    meeting.startMinute = entry->startMinute;
    meeting.endHour = entry->endHour;
    meeting.endMinute = entry->endMinute;
    meeting.endTime = entry->endTime;
    meeting.subject = CopyOf(entry->subject);
    meeting.location = CopyOf(entry->location);
    meeting.timeZone = CopyOf(entry->timeZone);
    meetings.push_back(std::move(meeting));
  }
  return meetings;
}

}  // namespace

HRESULT CCalPresenceAX::GetCalData() {
  // The page may let go of the control from inside any event handler; the
  // control's final release then waits until this call has returned.
  const ComPtr<CCalPresenceAX> alive(this);
  try {
    CAXRegistrySettings& settings = Settings();
    settings.Load();
    if (!settings.m_loaded) settings.Load();
    SetLogEnabled(static_cast<BYTE>(settings.m_debugFlags.load() & 0xFF));

    const HRESULT result = LocalGetCalData();

    if (result > 0 && m_clearPending.load() != 0) {
      CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalData(200): Clearing Presence Data"));
      m_clearPending.store(0);
      FireDone(0);
    }
    CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalData(206): Firing PasswordAvailable Event"));
    FirePasswordAvailable();
    return result;
  } catch (const std::bad_alloc&) {
    // A pass that ran out of memory ends here; the page's call fails
    // instead of ending in an unhandled error.
    return E_OUTOFMEMORY;
  }
}

HRESULT CCalPresenceAX::LocalGetCalData() {
  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(82): Entered"));
  CP_LOG(this, LOG_DETAIL,
         WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(85): We're doing work in this instance"));
  m_doingWork.store(1);

  m_meetingTable.Reset();
  SetCurrentControl(this);

  if ((m_pSession.load() == nullptr || m_pStore.load() == nullptr) && m_processFound.load() == 0) {
    CP_LOG(this, LOG_DETAIL,
           WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(117): pSession and pStore null && we haven't "
                "found the process"));
    // A watcher that ended by itself (the process list could not be read,
    // or a stop signal left pending ended it after one pass) would answer no
    // more: its handle goes and a new watcher takes its place.
    HANDLE thread = m_hThread.load();
    if (thread != nullptr && !WatcherRunning(thread) && m_hThread.compare_exchange_strong(thread, nullptr)) {
      plat::Threads().CloseHandle(thread);
    }
    if (m_hThread.load() == nullptr) {
      CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(122): Create my thread"));
      DWORD threadId = 0;
      m_hThread.store(plat::Threads().CreateThread(nullptr, 0, &CCalPresenceAX::MyThread, nullptr, 0, &threadId));
    }
    while (m_processFound.load() == 0) {
      CP_LOG(this, LOG_DETAIL,
             WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(128): While process not found"));
      plat::Threads().Sleep(100);
      if (m_enumerationDone.load() != 0) {
        CP_LOG(this, LOG_DETAIL,
               WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(132): Exiting since process enumeration "
                    "done"));
        m_enumerationDone.store(0);
        return S_FALSE;
      }
      // No watcher (it could not be started, or it ended without finishing
      // a pass): nothing will end the wait, so the pass ends as one that
      // found no mail client.
      if (!WatcherRunning(m_hThread.load())) return S_FALSE;
    }
  }

  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(140): process found, call Logon"));
  m_processSwitch.store(0);
  m_whenToClear.store(0);
  const HRESULT result = Logon();

  // Every event handler may call back into the control, and a MAPI
  // notification may arrive while one runs a modal loop: either starts a
  // nested pass, which empties and refills the class-wide meeting table and
  // reports its own meetings in full. So the meetings of this pass are read
  // out of the table before its first event fires, and the pass reports
  // exactly those, to the end, whatever a handler does: no event carries
  // fields of two passes and none reads an entry a nested pass has freed.
  std::vector<ReportedMeeting> meetings = ReadReport(m_meetingTable);
  const DWORD nextStart = m_meetingTable.nextStartMeetingTime;

  for (const ReportedMeeting& meeting : meetings) {
    CP_LOG(this, LOG_INFO,
           WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(160): Firing OnCalDataChanged Event"));
    FireOnCalDataChanged(meeting.startTime, meeting.deliveryTime, meeting.startHour, meeting.startMinute,
                         meeting.endHour, meeting.endMinute, meeting.subject.Get(), meeting.location.Get(),
                         meeting.timeZone.Get());
    const DWORD endTime = static_cast<DWORD>(meeting.endTime);
    if (m_whenToClear.load() == 0 || m_whenToClear.load() > endTime) m_whenToClear.store(endTime);
    CP_LOG(this, LOG_MAJOR,
           WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(167): Published Presence for Subject: %s"),
           meeting.subject.Get());
    CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(168): TimeZone: %s"),
           meeting.timeZone.Get());
  }

  if (nextStart != 0 && nextStart < m_whenToClear.load()) m_whenToClear.store(nextStart);

  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::LocalGetCalData(178): Firing Done Event"));
  FireDone(0);
  return result;
}

HRESULT CCalPresenceAX::CheckProcessChange() {
  const ComPtr<CCalPresenceAX> alive(this);
  try {
    CP_LOG(this, LOG_INFO,
           WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(219): Entered; process switch=%d"),
           m_processSwitch.load() != 0 ? 1 : 0);
    if (m_exitThread.load() != 0) return S_OK;

    if (m_whenToClear.load() == 0) {
      CP_LOG(this, LOG_INFO,
             WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(226): m_whenToClear == 0; next meeting "
                  "time= %lu"),
             static_cast<ULONG>(m_meetingTable.nextStartMeetingTime));
      m_whenToClear.store(m_meetingTable.nextStartMeetingTime);
      m_meetingTable.nextStartMeetingTime = 0;
    }

    const DWORD left = m_whenToClear.load();
    if (m_processSwitch.load() != 0 || (left >= 1 && left <= 60)) {
      CP_LOG(this, LOG_INFO,
             WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(233): call GetCalData; m_whenToClear= %lu"),
             static_cast<ULONG>(left));
      m_whenToClear.store(0);
      GetCalData();
    } else {
      if (left > 60) {
        m_whenToClear.store(left - 60);
        CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(243): When to Clear= %lu"),
               static_cast<ULONG>(left - 60));
      }
      CP_LOG(this, LOG_INFO,
             WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(246): Fire PasswordAvailable Event; "
                  "m_whenToClear= %lu"),
             static_cast<ULONG>(m_whenToClear.load()));
      FirePasswordAvailable();
    }

    CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::CheckProcessChange(249): Exited; m_whenToClear= %lu"),
           static_cast<ULONG>(m_whenToClear.load()));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
