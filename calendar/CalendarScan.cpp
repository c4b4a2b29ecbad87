// The calendar scan: one pass over the default calendar folder's contents.
#include "calendar/CalendarScan.h"

#include <memory>

#include "calendar/CalendarLog.h"
#include "calendar/MapiHolders.h"
#include "calendar/Recurrence.h"
#include "calendar/RecurrenceBlob.h"
#include "calendar/TimeHelpers.h"
#include "platform/services.h"

namespace {

// The named properties asked for, in this order, with the type each column
// is forced to.
struct NamedColumn {
  const GUID* set;
  LONG id;
  ULONG type;
};
const NamedColumn kNamed[] = {
    {&PSETID_Appointment, 0x8223, PT_BOOLEAN},  // recurring
    {&PSETID_Appointment, 0x8216, PT_BINARY},   // recurrence blob
    {&PSETID_Appointment, 0x820D, PT_SYSTIME},  // start
    {&PSETID_Appointment, 0x820E, PT_SYSTIME},  // end
    {&PSETID_Appointment, 0x8208, PT_UNICODE},  // location
    {&PSETID_Appointment, 0x8233, PT_BINARY},   // time zone
    {&PSETID_Appointment, 0x8205, PT_LONG},     // busy status
    {&PSETID_Common, 0x8506, PT_BOOLEAN},       // private
};
constexpr ULONG kNamedCount = 8;

// Columns of the contents table.
enum Column {
  kRecurring,
  kRecurrenceBlob,
  kSubject,
  kStart,
  kEnd,
  kLocation,
  kTimeZone,
  kDeliveryTime,
  kBusyStatus,
  kPrivate,
  kColumnCount
};

bool Present(const SRow& row, Column c) {
  return static_cast<ULONG>(c) < row.cValues && PROP_TYPE(row.lpProps[c].ulPropTag) != PT_ERROR;
}

const SPropValue& Value(const SRow& row, Column c) { return row.lpProps[c]; }

SYSTEMTIME LocalOfMachine(const FILETIME& utcTime) {
  SYSTEMTIME utc{}, local{};
  plat::Time().FileTimeToSystemTime(&utcTime, &utc);
  plat::Time().SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  return local;
}

// What one row leaves for the next: the start, the end and the current
// instant are kept from row to row, as the scan has always done.
struct ScanState {
  LONGLONG start = 0;
  LONGLONG end = 0;
  FILETIME now{0, 0};
  LONGLONG nowSeconds = 0;
};

enum class RowResult { Next, Recorded, TableFull };

RowResult EvaluateRow(const SRow& row, ScanState& s, MeetingTable& table) {
  MeetingEntry& E = *table.m_meetings[static_cast<size_t>(table.m_meetingIndex)];
  // The previous row's zone was released with it: the scratch entry must not
  // keep pointing at it. Likewise its override flag belongs to that row: an
  // appointment of its own supplies its end time.
  E.meetingTimeZone = nullptr;
  E.occurrenceOverridden = 0;
  BYTE skip = 0;
  std::unique_ptr<AppointmentRecurrencePattern> recurrence;
  std::unique_ptr<TimeZoneStruct> zoneStruct;
  TIME_ZONE_INFORMATION zone{};

  if (Present(row, kPrivate) && Value(row, kPrivate).Value.b) return RowResult::Next;
  if (Present(row, kBusyStatus) && (Value(row, kBusyStatus).Value.l == 0 || Value(row, kBusyStatus).Value.l == 1))
    return RowResult::Next;

  if (!Present(row, kRecurring)) {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(837): Recurring tab set to error"));
  } else if (Value(row, kRecurring).Value.b && Present(row, kRecurrenceBlob)) {
    const SBinary& blob = Value(row, kRecurrenceBlob).Value.bin;
    recurrence = ParseAppointmentRecurrence(blob.cb, blob.lpb);
  }

  if (Present(row, kSubject)) {
    E.subject.Attach(SysAllocString(Value(row, kSubject).Value.lpszW));
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(859): Subject %s"), E.subject.Get());
  } else {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(863): No Subject"));
  }

  if (Present(row, kDeliveryTime)) {
    E.deliveryTime = static_cast<LONG>(SecondsFromFileTime(Value(row, kDeliveryTime).Value.ft));
  } else {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(874): Invalid Delivery Time"));
  }

  if (Present(row, kLocation)) {
    E.location.Attach(SysAllocString(Value(row, kLocation).Value.lpszW));
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(881): Location %s"), E.location.Get());
  } else {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(884): Invalid Location"));
  }

  if (Present(row, kTimeZone)) {
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(890): Valid TimeZone"));
    const SBinary& blob = Value(row, kTimeZone).Value.bin;
    zoneStruct = ParseTimeZoneStruct(blob.cb, blob.lpb);
    if (zoneStruct) {
      zone = TimeZoneInformationFromStruct(*zoneStruct);
      E.meetingTimeZone = &zone;
    }
  } else {
    CAL_LOG(LOG_ERROR, WSTR("Tessaro ERROR :: CCalPresenceAX::GetCalEntries(906): No TimeZone"));
  }

  if (!Present(row, kStart)) {
    // Without a start the appointment cannot be placed in time; it is not
    // judged by the start of whichever row came before it.
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(933): Invalid startDate"));
    return RowResult::Next;
  }
  const FILETIME startProperty = Value(row, kStart).Value.ft;
  plat::Clock().GetSystemTimeAsFileTime(&s.now);
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(914): Current time: %s"),
          TimeText(s.now).Format());
  s.nowSeconds = SecondsFromFileTime(s.now);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(918): Current time from seconds: %s"),
          TimeText(s.nowSeconds).Format());
  s.start = SecondsFromFileTime(startProperty);
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(924): Start time from seconds: %s"),
          TimeText(s.start).Format());
  const SYSTEMTIME localStart = LocalOfMachine(startProperty);
  E.startHour = localStart.wHour;
  E.startMinute = localStart.wMinute;
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(930): StartDate (TZ adjusted): %s"),
          TimeText(startProperty).Format());

  if (!Present(row, kEnd)) {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(1026): Invalid EndDate \\r\\n"));
    return RowResult::Next;
  }
  const FILETIME endProperty = Value(row, kEnd).Value.ft;
  s.end = SecondsFromFileTime(endProperty);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(942): End time from seconds: %s"),
          TimeText(s.end).Format());
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(944): EndDate: %s"),
          TimeText(endProperty).Format());

  if (s.end <= s.start) {
    CAL_LOG(LOG_MAJOR, WSTR("Tessaro WARN  :: CCalPresenceAX::GetCalEntries(975): Error : end time < startTime"));
    return RowResult::Next;
  }
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(948): end meeting time > start meeting time"));
  E.duration = static_cast<LONG>(s.end - s.start);

  if (recurrence) {
    const LONGLONG M = AdjustForOccurred(*recurrence, startProperty, s.now, E, skip);
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(953): GetCalEntries: Adjustment Time: 0x%lx"),
            static_cast<DWORD>(M));
    if (skip) {
      // A deleted, free or tentative occurrence in progress: the row is
      // dropped. Its offset counts from the series' first start, not from
      // now, so it says nothing about when the next meeting begins.
      CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(958): Skipping apointment"));
      return RowResult::Next;
    }
    s.start += M;
    s.end += M;
    CAL_LOG(LOG_DETAIL,
            WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(968): Start time from seconds after adjustment: %s"),
            TimeText(s.start).Format());
    CAL_LOG(LOG_DETAIL,
            WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(969): End time from seconds after adjustment: %s"),
            TimeText(s.end).Format());
  }

  if (!E.occurrenceOverridden) {
    const SYSTEMTIME localEnd = LocalOfMachine(endProperty);
    E.endHour = localEnd.wHour;
    E.endMinute = localEnd.wMinute;
  }

  if (s.nowSeconds >= s.start + static_cast<LONGLONG>(static_cast<DWORD>(E.duration))) return RowResult::Next;
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(989): curr time < start meeting Time + duration "
                         "-- the meeting is NOT over yet."));

  if (s.nowSeconds < s.start) {
    const LONGLONG d = s.start - s.nowSeconds;
    // A start 2^32 seconds or more ahead cannot be told in 32 bits; it never
    // becomes the next start.
    if (d < 0x100000000LL && (table.nextStartMeetingTime == 0 || d < table.nextStartMeetingTime))
      table.nextStartMeetingTime = static_cast<DWORD>(d);
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(1016): curr time < startMeetingTime -- the "
                           "meeting has NOT begun yet."));
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(1017): GetCalEntries: nextStartMeetingTime= %ld"),
            static_cast<LONG>(table.nextStartMeetingTime));
    return RowResult::Next;
  }

  CAL_LOG(LOG_INFO,
          WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(992): curr time >= startMeetingTime -- the meeting has begun."));
  E.startTime = static_cast<LONG>(s.start - s.nowSeconds);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(995): GetCalEntries: StartTime= %ld"),
          E.startTime);
  E.endTime = static_cast<LONG>(E.duration + s.start - s.nowSeconds);
  CAL_LOG(LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(999): GetCalEntries: EndTime= %ld"),
          E.endTime);
  E.meetingTimeZone = nullptr;  // the zone goes with this row
  ++table.m_meetingIndex;
  if (table.m_meetingIndex == MeetingTable::kSlots) {
    CAL_LOG(LOG_ERROR, WSTR("Tessaro ERROR :: CCalPresenceAX::GetCalEntries(1007): m_meetingIndex > 99"));
    return RowResult::TableFull;
  }
  table.m_meetings[static_cast<size_t>(table.m_meetingIndex)] = std::make_unique<MeetingEntry>();
  return RowResult::Recorded;
}

}  // namespace

HRESULT GetCalEntries(IMAPISession* session, IMsgStore* store, MeetingTable& table) {
  if (session == nullptr || store == nullptr) return S_OK;
  ComPtr<IMAPITable> storesTable;
  if (FAILED(session->GetMsgStoresTable(0, storesTable.Receive()))) return S_OK;

  ULONG inboxIdSize = 0;
  MapiBuffer<ENTRYID> inboxId;
  if (FAILED(store->GetReceiveFolder(nullptr, 0, &inboxIdSize, inboxId.Receive(), nullptr))) return S_OK;
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(735): GetReceiveFolder succeeded"));

  ULONG objectType = 0;
  ComPtr<IMAPIFolder> inbox;
  if (FAILED(store->OpenEntry(inboxIdSize, inboxId.Get(), &IID_IMAPIFolder, MAPI_BEST_ACCESS, &objectType,
                              reinterpret_cast<LPUNKNOWN*>(inbox.Receive()))))
    return S_OK;

  MAPINAMEID names[kNamedCount];
  LPMAPINAMEID namePointers[kNamedCount];
  for (ULONG i = 0; i < kNamedCount; ++i) {
    names[i].lpguid = const_cast<GUID*>(kNamed[i].set);
    names[i].ulKind = MNID_ID;
    names[i].Kind.lID = kNamed[i].id;
    namePointers[i] = &names[i];
  }
  MapiBuffer<SPropTagArray> namedTags;
  if (FAILED(inbox->GetIDsFromNames(kNamedCount, namePointers, 0, namedTags.Receive())) || !namedTags ||
      namedTags->cValues < kNamedCount) {
    // Without the tags there are no columns to ask for: the calendar cannot
    // be read in this pass.
    return S_OK;
  }
  for (ULONG i = 0; i < namedTags->cValues; ++i) {
    CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(747): GetIDsFromNames succeeded returned Tag: 0x%x"),
            namedTags->aulPropTag[i]);
  }

  MapiBuffer<SPropValue> calendarId;
  if (FAILED(plat::Mapi().HrGetOneProp(inbox.Get(), PR_IPM_APPOINTMENT_ENTRYID, calendarId.Receive()))) return S_OK;
  ComPtr<IMAPIFolder> calendar;
  if (FAILED(store->OpenEntry(calendarId->Value.bin.cb, reinterpret_cast<LPENTRYID>(calendarId->Value.bin.lpb),
                              &IID_IMAPIFolder, MAPI_BEST_ACCESS, &objectType,
                              reinterpret_cast<LPUNKNOWN*>(calendar.Receive()))))
    return S_OK;

  ComPtr<IMAPITable> contents;
  if (FAILED(calendar->GetContentsTable(0, contents.Receive()))) return S_OK;
  CAL_LOG(LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::GetCalEntries(762): GetContentsTable succeeded"));

  auto named = [&](ULONG index) { return CHANGE_PROP_TYPE(namedTags->aulPropTag[index], kNamed[index].type); };
  SizedSPropTagArray(kColumnCount, columns) = {
      kColumnCount,
      {named(0), named(1), PR_SUBJECT_W, named(2), named(3), named(4), named(5), PR_MESSAGE_DELIVERY_TIME, named(6),
       named(7)}};
  if (FAILED(contents->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) return S_OK;

  ULONG rowCount = 0;
  contents->GetRowCount(0, &rowCount);
  RowSet rows;
  const HRESULT queried = contents->QueryRows(static_cast<LONG>(rowCount), 0, rows.Receive());
  table.nextStartMeetingTime = 0;
  if (FAILED(queried) || rows.Get() == nullptr || rows->cRows == 0) return S_OK;

  ScanState state;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    if (EvaluateRow(rows->aRow[i], state, table) == RowResult::TableFull) break;
  }
  return S_OK;
}
