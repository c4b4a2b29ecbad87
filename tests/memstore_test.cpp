// The in-memory MAPI provider, as the calendar presence control and the
// calendar scan use it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"
#include "memstore/MemStore.h"
#include "tests/support/test_support.h"

using memstore::Op;

namespace {

constexpr ULONG kCalendarLogon = MAPI_UNICODE | MAPI_PASSWORD_UI | MAPI_NO_MAIL | MAPI_EXTENDED | MAPI_ALLOW_OTHERS;
constexpr ULONG kSearchLogon = MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_USE_DEFAULT | MAPI_NO_MAIL;
constexpr ULONG kWatchMask =
    fnevObjectCreated | fnevObjectDeleted | fnevObjectModified | fnevObjectMoved | fnevObjectCopied;

FILETIME Ft(ULONGLONG ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }
ULONGLONG Ticks(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

// 2010-06-14 09:00 and 10:00 UTC.
const FILETIME kNine = Ft(12920979600ull * 10000000ull);
const FILETIME kTen = Ft(12920983200ull * 10000000ull);

// The eight names the calendar scan resolves, in its order.
struct Names {
  GUID appointment = PSETID_Appointment;
  GUID common = PSETID_Common;
  MAPINAMEID ids[9];
  LPMAPINAMEID pointers[9];
  Names() {
    const LONG lids[] = {0x8223, 0x8216, 0x820D, 0x820E, 0x8208, 0x8233, 0x8205, 0x8506, 0x8999};
    for (int i = 0; i < 9; ++i) {
      ids[i].lpguid = i == 7 ? &common : &appointment;
      ids[i].ulKind = MNID_ID;
      ids[i].Kind.lID = lids[i];
      pointers[i] = &ids[i];
    }
  }
};

// The contents table's columns as the scan builds them from resolved tags.
std::vector<ULONG> ScanColumns(const SPropTagArray& named) {
  const ULONG types[] = {PT_BOOLEAN, PT_BINARY, PT_SYSTIME, PT_SYSTIME, PT_UNICODE, PT_BINARY, PT_LONG, PT_BOOLEAN};
  auto col = [&](int i) { return CHANGE_PROP_TYPE(named.aulPropTag[i], types[i]); };
  return {col(0), col(1), PR_SUBJECT_W, col(2), col(3), col(4), col(5), PR_MESSAGE_DELIVERY_TIME, col(6), col(7)};
}

struct Columns {
  explicit Columns(const std::vector<ULONG>& tags) : data(tags.size() + 1) {
    data[0] = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), data.begin() + 1);
  }
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(data.data()); }
  std::vector<ULONG> data;
};

// Frees through the service in force, as product code does.
struct Rows {
  LPSRowSet p = nullptr;
  ~Rows() { plat::Mapi().FreeProws(p); }
};
struct Buffer {
  LPVOID p = nullptr;
  ~Buffer() { plat::Mapi().MAPIFreeBuffer(p); }
  template <class T>
  T* as() const {
    return static_cast<T*>(p);
  }
};

class MemStoreTest : public ::testing::Test {
 protected:
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};

  void TearDown() override {
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveSessions());
    EXPECT_EQ(0, provider.LiveBuffers());
  }

  ComPtr<IMAPISession> Logon(ULONG flags = kCalendarLogon) {
    ComPtr<IMAPISession> session;
    EXPECT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
    EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, flags, session.Receive()));
    return session;
  }

  // The default store as the control finds it: the stores table restricted
  // to PR_DEFAULT_STORE, its first row's PR_ENTRYID.
  HRESULT OpenDefaultStore(IMAPISession* session, ComPtr<IMsgStore>& store) {
    ComPtr<IMAPITable> table;
    HRESULT hr = session->GetMsgStoresTable(0, table.Receive());
    if (FAILED(hr)) return hr;
    Columns cols({PR_ENTRYID});
    SPropValue isDefault{};
    isDefault.ulPropTag = PR_DEFAULT_STORE;
    isDefault.Value.b = TRUE;
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty.relop = RELOP_EQ;
    r.res.resProperty.ulPropTag = PR_DEFAULT_STORE;
    r.res.resProperty.lpProp = &isDefault;
    Rows rows;
    hr = plat::Mapi().HrQueryAllRows(table, cols.get(), &r, nullptr, 1, &rows.p);
    if (FAILED(hr)) return hr;
    if (rows.p->cRows == 0 || rows.p->aRow[0].lpProps[0].ulPropTag != PR_ENTRYID) return MAPI_E_NOT_FOUND;
    const SBinary& id = rows.p->aRow[0].lpProps[0].Value.bin;
    return session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), &IID_IMsgStore, 0,
                                 store.Receive());
  }

  // Inbox, then the calendar it names.
  HRESULT OpenCalendar(IMsgStore* store, ComPtr<IMAPIFolder>& inbox, ComPtr<IMAPIFolder>& calendar) {
    ULONG cb = 0;
    LPENTRYID id = nullptr;
    HRESULT hr = store->GetReceiveFolder(nullptr, 0, &cb, &id, nullptr);
    if (FAILED(hr)) return hr;
    ULONG type = 0;
    hr = store->OpenEntry(cb, id, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type, reinterpret_cast<LPUNKNOWN*>(inbox.Receive()));
    plat::Mapi().MAPIFreeBuffer(id);
    if (FAILED(hr)) return hr;
    EXPECT_EQ(ULONG(MAPI_FOLDER), type);
    Buffer link;
    hr = plat::Mapi().HrGetOneProp(inbox, PR_IPM_APPOINTMENT_ENTRYID, reinterpret_cast<LPSPropValue*>(&link.p));
    if (FAILED(hr)) return hr;
    const SBinary& bin = link.as<SPropValue>()->Value.bin;
    return store->OpenEntry(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                            reinterpret_cast<LPUNKNOWN*>(calendar.Receive()));
  }

  // Resolves the scan's names on a folder and reads its contents with the
  // scan's columns.
  HRESULT ReadCalendar(IMAPIFolder* folder, Rows& rows) {
    Names names;
    Buffer tags;
    HRESULT hr = folder->GetIDsFromNames(8, names.pointers, 0, reinterpret_cast<LPSPropTagArray*>(&tags.p));
    if (FAILED(hr)) return hr;
    ComPtr<IMAPITable> table;
    if (FAILED(hr = folder->GetContentsTable(0, table.Receive()))) return hr;
    Columns cols(ScanColumns(*tags.as<SPropTagArray>()));
    if (FAILED(hr = table->SetColumns(cols.get(), 0))) return hr;
    ULONG count = 0;
    if (FAILED(hr = table->GetRowCount(0, &count))) return hr;
    return table->QueryRows(static_cast<LONG>(count), 0, &rows.p);
  }
};

// ---- logon and the way to the calendar -----------------------------------------------------

TEST_F(MemStoreTest, LogonNeedsTheLibraryAndKnownFlags) {
  ComPtr<IMAPISession> session;
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon, session.Receive()));
  ASSERT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
  // Both controls' flags are accepted, each giving a session of its own.
  ComPtr<IMAPISession> other;
  EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon, session.Receive()));
  EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0x1234, nullptr, nullptr, kSearchLogon, other.Receive()));
  EXPECT_EQ(2, provider.LiveSessions());
  EXPECT_NE(session.Get(), other.Get());
  EXPECT_EQ(ULONG_PTR(0x1234), provider.Calls().back().uiParam);
  EXPECT_EQ(kSearchLogon, provider.Calls().back().flags);

  ComPtr<IMAPISession> refused;
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER,
            plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon & ~MAPI_EXTENDED, refused.Receive()));
  EXPECT_EQ(MAPI_E_UNKNOWN_FLAGS,
            plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon | 0x00000400, refused.Receive()));
  WCHAR wrong[] = WSTR("Someone else");
  EXPECT_EQ(MAPI_E_LOGON_FAILED, plat::Mapi().MAPILogonEx(0, wrong, nullptr, kCalendarLogon, refused.Receive()));
  EXPECT_EQ(nullptr, refused.Get());
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon, nullptr));

  // Logging off ends what the session opens; the session is released once.
  EXPECT_EQ(S_OK, session->Logoff(0, 0, 0));
  ComPtr<IMAPITable> table;
  EXPECT_EQ(MAPI_E_END_OF_SESSION, session->GetMsgStoresTable(0, table.Receive()));
  session.Reset();
  EXPECT_EQ(1, provider.LiveSessions());
}

TEST_F(MemStoreTest, TheStoresTableFindsTheDefaultStoreOnlyThroughTheRestriction) {
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMAPITable> table;
  ASSERT_EQ(S_OK, session->GetMsgStoresTable(0, table.Receive()));
  Columns cols({PR_ENTRYID, PR_DEFAULT_STORE});
  {
    // Unrestricted, the other store comes first.
    Rows rows;
    ASSERT_EQ(S_OK, plat::Mapi().HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows.p));
    ASSERT_EQ(2u, rows.p->cRows);
    EXPECT_FALSE(rows.p->aRow[0].lpProps[1].Value.b);
    EXPECT_TRUE(rows.p->aRow[1].lpProps[1].Value.b);
  }
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  EXPECT_EQ(1, provider.CallCount(Op::OpenMsgStore));

  // The store's access level reads, writes and reads back as the control does it.
  Buffer level;
  ASSERT_EQ(S_OK, plat::Mapi().HrGetOneProp(store, PR_ACCESS_LEVEL, reinterpret_cast<LPSPropValue*>(&level.p)));
  EXPECT_EQ(1, level.as<SPropValue>()->Value.l);
  level.as<SPropValue>()->Value.l = 2;
  EXPECT_EQ(S_OK, plat::Mapi().HrSetOneProp(store, level.as<SPropValue>()));
  EXPECT_EQ(2, provider.AccessLevel());
  SPropValue id{};
  id.ulPropTag = PR_ENTRYID;
  EXPECT_EQ(MAPI_E_COMPUTED, plat::Mapi().HrSetOneProp(store, &id));

  for (auto shape : {memstore::StoreTable::Empty, memstore::StoreTable::OtherOnly}) {
    provider.SetStoreTable(shape);
    ComPtr<IMsgStore> none;
    EXPECT_EQ(MAPI_E_NOT_FOUND, OpenDefaultStore(session, none));
  }
  // The store that is not the default has no Inbox.
  ComPtr<IMsgStore> archive;
  const std::vector<BYTE> archiveId = provider.StoreEntryId(false);
  ASSERT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(archiveId.size()),
                                        reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(archiveId.data())), nullptr,
                                        MDB_WRITE, archive.Receive()));
  ULONG cb = 0;
  LPENTRYID inboxId = nullptr;
  EXPECT_EQ(MAPI_E_NOT_FOUND, archive->GetReceiveFolder(nullptr, 0, &cb, &inboxId, nullptr));
  EXPECT_EQ(nullptr, inboxId);
}

TEST_F(MemStoreTest, TheInboxNamesTheCalendar) {
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  ComPtr<IMAPIFolder> inbox, calendar;
  ASSERT_EQ(S_OK, OpenCalendar(store, inbox, calendar));
  Buffer name;
  ASSERT_EQ(S_OK, plat::Mapi().HrGetOneProp(calendar, PR_DISPLAY_NAME_W, reinterpret_cast<LPSPropValue*>(&name.p)));
  EXPECT_EQ(WString(WSTR("Calendar")), WString(name.as<SPropValue>()->Value.lpszW));
  EXPECT_EQ(1, provider.CallCount(Op::OpenInbox));
  EXPECT_EQ(1, provider.CallCount(Op::OpenCalendar));
  EXPECT_EQ(2, provider.CallCount(Op::OpenEntry));

  // Entry ids from elsewhere, and interfaces a folder does not have.
  BYTE junk[32] = {};
  IUnknown* unk = nullptr;
  EXPECT_EQ(MAPI_E_INVALID_ENTRYID,
            store->OpenEntry(sizeof junk, reinterpret_cast<LPENTRYID>(junk), nullptr, 0, nullptr, &unk));
  std::vector<BYTE> calendarId = provider.EntryIdOf(memstore::Folder::Calendar);
  EXPECT_EQ(MAPI_E_INTERFACE_NOT_SUPPORTED,
            store->OpenEntry(static_cast<ULONG>(calendarId.size()), reinterpret_cast<LPENTRYID>(calendarId.data()),
                             &IID_IMsgStore, 0, nullptr, &unk));
  EXPECT_EQ(nullptr, unk);

  // Without the link the calendar cannot be found from the Inbox.
  provider.SetCalendarLink(false);
  LPSPropValue link = nullptr;
  EXPECT_EQ(MAPI_E_NOT_FOUND, plat::Mapi().HrGetOneProp(inbox, PR_IPM_APPOINTMENT_ENTRYID, &link));
  EXPECT_EQ(nullptr, link);
}

// ---- named properties and the contents table -------------------------------------------------

TEST_F(MemStoreTest, NamesResolveInOrderAndUnknownOnesAreNotMade) {
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  Names names;
  Buffer tags;
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED,
            store->GetIDsFromNames(9, names.pointers, 0, reinterpret_cast<LPSPropTagArray*>(&tags.p)));
  const SPropTagArray& t = *tags.as<SPropTagArray>();
  ASSERT_EQ(9u, t.cValues);
  const ULONG expected[] = {memstore::named::kRecurring,     memstore::named::kRecurrenceBlob,
                            memstore::named::kStartWhole,    memstore::named::kEndWhole,
                            memstore::named::kLocation,      memstore::named::kTimeZoneStruct,
                            memstore::named::kBusyStatus,    memstore::named::kPrivate};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(PROP_TAG(PT_UNSPECIFIED, expected[i]), t.aulPropTag[i]) << i;
  EXPECT_EQ(PROP_TAG(PT_ERROR, 0), t.aulPropTag[8]);

  // Asked again, the unknown name is still unknown; with MAPI_CREATE it gets
  // an id, the same each time.
  Buffer again, made, same;
  EXPECT_EQ(MAPI_W_ERRORS_RETURNED,
            store->GetIDsFromNames(1, &names.pointers[8], 0, reinterpret_cast<LPSPropTagArray*>(&again.p)));
  ASSERT_EQ(S_OK,
            store->GetIDsFromNames(1, &names.pointers[8], MAPI_CREATE, reinterpret_cast<LPSPropTagArray*>(&made.p)));
  ASSERT_EQ(S_OK,
            store->GetIDsFromNames(1, &names.pointers[8], 0, reinterpret_cast<LPSPropTagArray*>(&same.p)));
  EXPECT_GE(PROP_ID(made.as<SPropTagArray>()->aulPropTag[0]), 0x8000u);
  EXPECT_EQ(made.as<SPropTagArray>()->aulPropTag[0], same.as<SPropTagArray>()->aulPropTag[0]);

  LPSPropTagArray none = nullptr;
  names.ids[0].lpguid = nullptr;
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, store->GetIDsFromNames(8, names.pointers, 0, &none));
  EXPECT_EQ(nullptr, none);
}

TEST_F(MemStoreTest, QueryRowsGivesExactlyTheColumnsWithErrorsWhereAbsent) {
  RecurrenceDescription weekly;
  weekly.frequency = RecurrenceKind::Weekly;
  weekly.patternType = blob::kPatternWeek;
  weekly.period = 1;
  weekly.weekdayMask = 0x02;
  weekly.startDate = BlobMinutes(2010, 6, 14);
  weekly.startTimeOffset = 540;
  weekly.duration = 60;
  weekly.deletedDates = {BlobMinutes(2010, 6, 21)};
  const TimeZoneStruct zone =
      BuildTimeZoneStruct(-60, 0, -60, TransitionRule(10, 0, 5, 3), TransitionRule(3, 0, 5, 2));

  memstore::Appointment full = memstore::SingleAppointment(WSTR("Standup"), kNine, kTen);
  full.location = WString(WSTR("Room 4"));
  full.recurring = true;
  full.recurrence = weekly;
  full.zone = zone;
  full.deliveryTime = kNine;
  full.isPrivate = false;
  provider.Add(full);
  provider.Add(memstore::Appointment{});  // nothing at all

  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  ComPtr<IMAPIFolder> inbox, calendar;
  ASSERT_EQ(S_OK, OpenCalendar(store, inbox, calendar));
  {
    Rows rows;
    ASSERT_EQ(S_OK, ReadCalendar(calendar, rows));
    ASSERT_EQ(2u, rows.p->cRows);
    const SRow& a = rows.p->aRow[0];
    ASSERT_EQ(10u, a.cValues);
    const LPSPropValue v = a.lpProps;
    EXPECT_EQ(PROP_TAG(PT_BOOLEAN, memstore::named::kRecurring), v[0].ulPropTag);
    EXPECT_TRUE(v[0].Value.b);
    ASSERT_EQ(PROP_TAG(PT_BINARY, memstore::named::kRecurrenceBlob), v[1].ulPropTag);
    auto parsed = ParseAppointmentRecurrence(v[1].Value.bin.cb, v[1].Value.bin.lpb);
    EXPECT_EQ(1u, parsed->Pattern.DeletedInstanceCount);
    EXPECT_EQ(540u, parsed->StartTimeOffset);
    EXPECT_EQ(WString(WSTR("Standup")), WString(v[2].Value.lpszW));
    EXPECT_EQ(Ticks(kNine), Ticks(v[3].Value.ft));
    EXPECT_EQ(Ticks(kTen), Ticks(v[4].Value.ft));
    EXPECT_EQ(WString(WSTR("Room 4")), WString(v[5].Value.lpszW));
    ASSERT_EQ(PROP_TAG(PT_BINARY, memstore::named::kTimeZoneStruct), v[6].ulPropTag);
    EXPECT_EQ(-60, ParseTimeZoneStruct(v[6].Value.bin.cb, v[6].Value.bin.lpb)->lBias);
    EXPECT_EQ(PR_MESSAGE_DELIVERY_TIME, v[7].ulPropTag);
    EXPECT_EQ(PROP_TAG(PT_LONG, memstore::named::kBusyStatus), v[8].ulPropTag);
    EXPECT_EQ(2, v[8].Value.l);
    EXPECT_EQ(PROP_TAG(PT_BOOLEAN, memstore::named::kPrivate), v[9].ulPropTag);

    const SRow& b = rows.p->aRow[1];
    ASSERT_EQ(10u, b.cValues);
    for (ULONG i = 0; i < b.cValues; ++i) {
      EXPECT_EQ(ULONG(PT_ERROR), PROP_TYPE(b.lpProps[i].ulPropTag)) << i;
      EXPECT_EQ(PROP_ID(a.lpProps[i].ulPropTag), PROP_ID(b.lpProps[i].ulPropTag)) << i;
      EXPECT_EQ(MAPI_E_NOT_FOUND, b.lpProps[i].Value.err) << i;
    }
  }

  // A column of another type than the value's is an error too, but strings
  // come in either width.
  ComPtr<IMAPITable> table;
  ASSERT_EQ(S_OK, calendar->GetContentsTable(0, table.Receive()));
  Columns odd({PROP_TAG(PT_LONG, memstore::named::kStartWhole), PR_SUBJECT_A, PROP_TAG(PT_UNSPECIFIED, 0x0037)});
  ASSERT_EQ(S_OK, table->SetColumns(odd.get(), 0));
  Rows rows;
  ASSERT_EQ(S_OK, table->QueryRows(1, 0, &rows.p));
  ASSERT_EQ(1u, rows.p->cRows);
  const LPSPropValue v = rows.p->aRow[0].lpProps;
  EXPECT_EQ(PROP_TAG(PT_ERROR, memstore::named::kStartWhole), v[0].ulPropTag);
  EXPECT_EQ(MAPI_E_INVALID_TYPE, v[0].Value.err);
  EXPECT_EQ(PR_SUBJECT_A, v[1].ulPropTag);
  EXPECT_STREQ("Standup", v[1].Value.lpszA);
  EXPECT_EQ(PR_SUBJECT_W, v[2].ulPropTag);
  // The cursor moved on: the second row, then nothing.
  Rows next, end;
  ASSERT_EQ(S_OK, table->QueryRows(5, 0, &next.p));
  EXPECT_EQ(1u, next.p->cRows);
  ASSERT_EQ(S_OK, table->QueryRows(5, 0, &end.p));
  EXPECT_EQ(0u, end.p->cRows);
}

TEST_F(MemStoreTest, RestrictionsAndSortingSelectAndOrderRows) {
  for (LONG busy : {2, 0, 3, 1}) {
    memstore::Appointment a = memstore::SingleAppointment(WSTR("x"), kNine, kTen);
    a.busyStatus = busy;
    provider.Add(a);
  }
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  ComPtr<IMAPIFolder> inbox, calendar;
  ASSERT_EQ(S_OK, OpenCalendar(store, inbox, calendar));
  ComPtr<IMAPITable> table;
  ASSERT_EQ(S_OK, calendar->GetContentsTable(0, table.Receive()));
  const ULONG busyTag = PROP_TAG(PT_LONG, memstore::named::kBusyStatus);
  SPropValue two{};
  two.ulPropTag = busyTag;
  two.Value.l = 2;
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty.relop = RELOP_GE;
  r.res.resProperty.ulPropTag = busyTag;
  r.res.resProperty.lpProp = &two;
  SizedSSortOrderSet(1, sort) = {1, 0, 0, {{busyTag, TABLE_SORT_DESCEND}}};
  Columns cols({busyTag});
  Rows rows;
  ASSERT_EQ(S_OK, plat::Mapi().HrQueryAllRows(table, cols.get(), &r, reinterpret_cast<LPSSortOrderSet>(&sort), 0,
                                              &rows.p));
  ASSERT_EQ(2u, rows.p->cRows);
  EXPECT_EQ(3, rows.p->aRow[0].lpProps[0].Value.l);
  EXPECT_EQ(2, rows.p->aRow[1].lpProps[0].Value.l);
  ULONG count = 0;
  EXPECT_EQ(S_OK, table->GetRowCount(0, &count));
  EXPECT_EQ(2u, count);

  // A restriction it cannot evaluate leaves the one before in force.
  SRestriction unsupported{};
  unsupported.rt = RES_COMPAREPROPS;
  EXPECT_EQ(MAPI_E_TOO_COMPLEX, table->Restrict(&unsupported, 0));
  LPSRowSet tooMany = nullptr;
  EXPECT_EQ(MAPI_E_TABLE_TOO_BIG, plat::Mapi().HrQueryAllRows(table, cols.get(), nullptr, nullptr, 1, &tooMany));
  EXPECT_EQ(nullptr, tooMany);
}

// ---- notifications ---------------------------------------------------------------------------

class RecordingSink final : public IMAPIAdviseSink {
 public:
  struct Seen {
    ULONG eventType, objectType;
    std::vector<BYTE> entryId, parentId, oldId, oldParentId;
    bool hasTags;
    std::vector<ULONG> tags;
  };
  std::vector<std::vector<Seen>> calls;  // one entry per OnNotify
  std::function<void()> during;
  std::atomic<LONG> refs{1};

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMAPIAdviseSink)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP_(ULONG) OnNotify(ULONG count, LPNOTIFICATION n) override {
    std::vector<Seen> batch;
    auto bytes = [](ULONG cb, LPENTRYID p) {
      return p == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(reinterpret_cast<BYTE*>(p), reinterpret_cast<BYTE*>(p) + cb);
    };
    for (ULONG i = 0; i < count; ++i) {
      const OBJECT_NOTIFICATION& o = n[i].info.obj;
      Seen s{n[i].ulEventType, o.ulObjType, bytes(o.cbEntryID, o.lpEntryID), bytes(o.cbParentID, o.lpParentID),
             bytes(o.cbOldID, o.lpOldID), bytes(o.cbOldParentID, o.lpOldParentID), o.lpPropTagArray != nullptr, {}};
      if (s.hasTags) s.tags.assign(o.lpPropTagArray->aulPropTag, o.lpPropTagArray->aulPropTag + o.lpPropTagArray->cValues);
      batch.push_back(s);
    }
    calls.push_back(batch);
    if (during) during();
    return 0;
  }
};

class NotificationTest : public MemStoreTest {
 protected:
  testing_support::FixedClock clock;  // the thread id is ours to choose
  ComPtr<IMAPISession> session;
  ComPtr<IMsgStore> store;
  RecordingSink sink;

  void SetUp() override {
    clock.threadId = 100;
    session = Logon();
    ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  }
  void TearDown() override {
    store.Reset();
    session.Reset();
    EXPECT_EQ(1, sink.refs.load());  // every reference the store took went back
    MemStoreTest::TearDown();
  }
  ULONG Advise(memstore::Folder folder, ULONG mask) {
    std::vector<BYTE> id = provider.EntryIdOf(folder);
    ULONG connection = 0;
    EXPECT_EQ(S_OK, store->Advise(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), mask, &sink,
                                  &connection));
    return connection;
  }
};

TEST_F(NotificationTest, DeliveredOnlyOnTheInitialisingThreadsPump) {
  Advise(memstore::Folder::Calendar, kWatchMask);
  const memstore::ItemId id = provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  EXPECT_EQ(1u, provider.PendingNotifications());

  // Another thread: nothing.
  clock.threadId = 101;
  EXPECT_EQ(0, provider.Pump());
  EXPECT_TRUE(sink.calls.empty());

  clock.threadId = 100;
  plat::Mapi().PumpNotifications();
  ASSERT_EQ(1u, sink.calls.size());
  ASSERT_EQ(1u, sink.calls[0].size());
  const RecordingSink::Seen& s = sink.calls[0][0];
  EXPECT_EQ(ULONG(fnevObjectCreated), s.eventType);
  EXPECT_EQ(ULONG(MAPI_MESSAGE), s.objectType);
  EXPECT_EQ(provider.EntryIdOf(id), s.entryId);
  EXPECT_EQ(provider.EntryIdOf(memstore::Folder::Calendar), s.parentId);
  EXPECT_FALSE(s.hasTags);
  EXPECT_EQ(0, provider.Pump());
}

TEST_F(MemStoreTest, ARealThreadOtherThanTheInitialisingOneDeliversNothing) {
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  RecordingSink sink;
  ULONG connection = 0;
  ASSERT_EQ(S_OK, store->Advise(0, nullptr, fnevObjectCreated, &sink, &connection));
  provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  int fromThread = -1;
  std::thread other([&] { fromThread = provider.Pump(); });
  other.join();
  EXPECT_EQ(0, fromThread);
  EXPECT_EQ(1, provider.Pump());
  EXPECT_EQ(1u, sink.calls.size());
  store.Reset();
  EXPECT_EQ(1, sink.refs.load());
}

TEST_F(NotificationTest, EachChangeReachesTheRegistrationsItMatches) {
  Advise(memstore::Folder::Calendar, kWatchMask);
  RecordingSink inboxSink;
  std::vector<BYTE> inboxId = provider.EntryIdOf(memstore::Folder::Inbox);
  ULONG inboxConnection = 0;
  ASSERT_EQ(S_OK, store->Advise(static_cast<ULONG>(inboxId.size()), reinterpret_cast<LPENTRYID>(inboxId.data()),
                                fnevObjectCreated, &inboxSink, &inboxConnection));

  const memstore::ItemId a = provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  const memstore::ItemId b = provider.Add(memstore::SingleAppointment(WSTR("b"), kNine, kTen));
  ASSERT_TRUE(provider.Modify(a, memstore::SingleAppointment(WSTR("a2"), kNine, kTen)));
  ASSERT_TRUE(provider.Modify(a, memstore::SingleAppointment(WSTR("a3"), kNine, kTen),
                              {PR_SUBJECT_W, PR_IPM_APPOINTMENT_ENTRYID}));
  const memstore::ItemId copy = provider.Copy(b, memstore::Folder::Inbox);
  ASSERT_TRUE(provider.Move(a, memstore::Folder::DeletedItems));
  ASSERT_TRUE(provider.Delete(b));
  EXPECT_FALSE(provider.Delete(b));
  EXPECT_EQ(1u, provider.Count(memstore::Folder::Inbox));
  EXPECT_EQ(0u, provider.Count(memstore::Folder::Calendar));

  EXPECT_EQ(7, provider.Pump());
  ASSERT_EQ(7u, sink.calls.size());
  const ULONG types[] = {fnevObjectCreated, fnevObjectCreated, fnevObjectModified, fnevObjectModified,
                         fnevObjectCopied,  fnevObjectMoved,   fnevObjectDeleted};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(types[i], sink.calls[i][0].eventType) << i;
  EXPECT_FALSE(sink.calls[2][0].hasTags);
  ASSERT_TRUE(sink.calls[3][0].hasTags);
  EXPECT_EQ((std::vector<ULONG>{PR_SUBJECT_W, PR_IPM_APPOINTMENT_ENTRYID}), sink.calls[3][0].tags);
  const RecordingSink::Seen& copied = sink.calls[4][0];
  EXPECT_EQ(provider.EntryIdOf(copy), copied.entryId);
  EXPECT_EQ(provider.EntryIdOf(b), copied.oldId);
  EXPECT_EQ(provider.EntryIdOf(memstore::Folder::Calendar), copied.oldParentId);
  const RecordingSink::Seen& moved = sink.calls[5][0];
  EXPECT_EQ(provider.EntryIdOf(memstore::Folder::DeletedItems), moved.parentId);
  EXPECT_EQ(provider.EntryIdOf(memstore::Folder::Calendar), moved.oldParentId);
  // The Inbox's registration asked for creations only: the copy is not one.
  EXPECT_TRUE(inboxSink.calls.empty());
  EXPECT_EQ(S_OK, store->Unadvise(inboxConnection));
  EXPECT_EQ(MAPI_E_NOT_FOUND, store->Unadvise(inboxConnection));
  EXPECT_EQ(1, inboxSink.refs.load());
}

TEST_F(NotificationTest, MasksFilterAndBatchesArriveInOneCall) {
  Advise(memstore::Folder::Calendar, fnevObjectModified | fnevObjectDeleted);
  const memstore::ItemId id = provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  EXPECT_EQ(0u, provider.PendingNotifications());

  memstore::Event created{fnevObjectCreated, MAPI_MESSAGE, provider.EntryIdOf(id),
                          provider.EntryIdOf(memstore::Folder::Calendar), {}, {}, std::nullopt};
  memstore::Event modified = created;
  modified.eventType = fnevObjectModified;
  memstore::Event folder{fnevObjectDeleted, MAPI_FOLDER, provider.EntryIdOf(memstore::Folder::Calendar), {}, {}, {},
                         std::vector<ULONG>{}};
  provider.Notify({created, modified, folder});
  ASSERT_EQ(1, provider.Pump());
  ASSERT_EQ(2u, sink.calls[0].size());
  EXPECT_EQ(ULONG(fnevObjectModified), sink.calls[0][0].eventType);
  EXPECT_EQ(ULONG(MAPI_FOLDER), sink.calls[0][1].objectType);
  EXPECT_TRUE(sink.calls[0][1].hasTags);
  EXPECT_TRUE(sink.calls[0][1].tags.empty());
}

TEST_F(NotificationTest, ARegistrationRemovedBeforeDeliveryGetsNothing) {
  // The control's sink unregisters and registers again while it is called:
  // what was queued for the old registration is not delivered.
  ULONG connection = Advise(memstore::Folder::Calendar, kWatchMask);
  sink.during = [&] {
    EXPECT_EQ(S_OK, store->Unadvise(connection));
    connection = Advise(memstore::Folder::Calendar, kWatchMask);
  };
  provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  provider.Add(memstore::SingleAppointment(WSTR("b"), kNine, kTen));
  EXPECT_EQ(1, provider.Pump());
  sink.during = nullptr;
  EXPECT_EQ(1u, provider.Registrations().size());

  // Registrations go with their store, and with them the sink's reference.
  provider.Add(memstore::SingleAppointment(WSTR("c"), kNine, kTen));
  store.Reset();
  EXPECT_TRUE(provider.Registrations().empty());
  EXPECT_EQ(0, provider.Pump());
}

TEST_F(NotificationTest, AdviseChecksItsArguments) {
  std::vector<BYTE> id = provider.EntryIdOf(memstore::Folder::Calendar);
  ULONG connection = 0;
  auto eid = reinterpret_cast<LPENTRYID>(id.data());
  const ULONG cb = static_cast<ULONG>(id.size());
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, store->Advise(cb, eid, kWatchMask, nullptr, &connection));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, store->Advise(cb, eid, 0, &sink, &connection));
  BYTE junk[8] = {};
  EXPECT_EQ(MAPI_E_INVALID_ENTRYID, store->Advise(sizeof junk, reinterpret_cast<LPENTRYID>(junk), kWatchMask, &sink,
                                                  &connection));
  EXPECT_EQ(1, sink.refs.load());
  // A registration for the whole store sees every folder.
  ASSERT_EQ(S_OK, store->Advise(0, nullptr, fnevObjectCreated, &sink, &connection));
  provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen), memstore::Folder::Inbox);
  EXPECT_EQ(1, provider.Pump());
  EXPECT_EQ(S_OK, store->Unadvise(connection));
}

// ---- failures ------------------------------------------------------------------------------

// Every step the two controls take, in their order; the first failure ends
// the walk and is returned. Everything is released on the way out.
class Walk {
 public:
  explicit Walk(RecordingSink& sink) : m_sink(sink) {}

  HRESULT Run() {
    HRESULT hr = plat::Mapi().MAPIInitialize(nullptr);
    if (FAILED(hr)) return hr;
    ComPtr<IMAPISession> session;
    if (FAILED(hr = plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon, session.Receive()))) return hr;
    hr = Store(session);
    const HRESULT off = session->Logoff(0, 0, 0);
    return FAILED(hr) ? hr : off;
  }

 private:
  HRESULT Store(IMAPISession* session) {
    ComPtr<IMAPITable> table;
    HRESULT hr = session->GetMsgStoresTable(0, table.Receive());
    if (FAILED(hr)) return hr;
    Columns cols({PR_ENTRYID});
    SPropValue isDefault{};
    isDefault.ulPropTag = PR_DEFAULT_STORE;
    isDefault.Value.b = TRUE;
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty.relop = RELOP_EQ;
    r.res.resProperty.ulPropTag = PR_DEFAULT_STORE;
    r.res.resProperty.lpProp = &isDefault;
    Rows rows;
    if (FAILED(hr = plat::Mapi().HrQueryAllRows(table, cols.get(), &r, nullptr, 1, &rows.p))) return hr;
    const SBinary& id = rows.p->aRow[0].lpProps[0].Value.bin;
    ComPtr<IMsgStore> store;
    if (FAILED(hr = session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), &IID_IMsgStore, 0,
                                          store.Receive())))
      return hr;
    Buffer level;
    if (FAILED(hr = plat::Mapi().HrGetOneProp(store, PR_ACCESS_LEVEL, reinterpret_cast<LPSPropValue*>(&level.p))))
      return hr;
    if (FAILED(hr = plat::Mapi().HrSetOneProp(store, level.as<SPropValue>()))) return hr;
    ULONG cb = 0;
    LPENTRYID inboxId = nullptr;
    if (FAILED(hr = store->GetReceiveFolder(nullptr, 0, &cb, &inboxId, nullptr))) return hr;
    ComPtr<IMAPIFolder> inbox;
    hr = store->OpenEntry(cb, inboxId, &IID_IMAPIFolder, MAPI_BEST_ACCESS, nullptr,
                          reinterpret_cast<LPUNKNOWN*>(inbox.Receive()));
    plat::Mapi().MAPIFreeBuffer(inboxId);
    if (FAILED(hr)) return hr;
    Names names;
    Buffer tags;
    if (FAILED(hr = inbox->GetIDsFromNames(8, names.pointers, 0, reinterpret_cast<LPSPropTagArray*>(&tags.p))))
      return hr;
    Buffer link;
    if (FAILED(hr = plat::Mapi().HrGetOneProp(inbox, PR_IPM_APPOINTMENT_ENTRYID,
                                              reinterpret_cast<LPSPropValue*>(&link.p))))
      return hr;
    const SBinary& bin = link.as<SPropValue>()->Value.bin;
    ComPtr<IMAPIFolder> calendar;
    if (FAILED(hr = store->OpenEntry(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), &IID_IMAPIFolder,
                                     MAPI_BEST_ACCESS, nullptr, reinterpret_cast<LPUNKNOWN*>(calendar.Receive()))))
      return hr;
    ULONG connection = 0;
    if (FAILED(hr = store->Advise(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), kWatchMask, &m_sink, &connection)))
      return hr;
    if (FAILED(hr = store->Unadvise(connection))) return hr;
    ComPtr<IMAPITable> contents;
    if (FAILED(hr = calendar->GetContentsTable(0, contents.Receive()))) return hr;
    Columns scan(ScanColumns(*tags.as<SPropTagArray>()));
    if (FAILED(hr = contents->SetColumns(scan.get(), 0))) return hr;
    ULONG count = 0;
    if (FAILED(hr = contents->GetRowCount(0, &count))) return hr;
    Rows found;
    if (FAILED(hr = contents->QueryRows(static_cast<LONG>(count), 0, &found.p))) return hr;
    return AddressBook(session);
  }

  HRESULT AddressBook(IMAPISession* session) {
    ComPtr<IAddrBook> book;
    HRESULT hr = session->OpenAddressBook(0, nullptr, 0, book.Receive());
    if (FAILED(hr)) return hr;
    ULONG_PTR ui = 0;
    ADRPARM params{};
    params.ulFlags = DIALOG_MODAL | AB_RESOLVE | MAPI_UNICODE;
    LPADRLIST list = nullptr;
    if (FAILED(hr = book->Address(&ui, &params, &list))) return hr;
    SizedSPropTagArray(2, asked) = {2, {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W}};
    hr = book->PrepareRecips(0, reinterpret_cast<LPSPropTagArray>(&asked), list);
    std::vector<BYTE> id;
    for (ULONG i = 0; list != nullptr && i < list->aEntries[0].cValues; ++i) {
      const SPropValue& v = list->aEntries[0].rgPropVals[i];
      if (v.ulPropTag == PR_ENTRYID) id.assign(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
    }
    plat::Mapi().FreePadrlist(list);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> entry;
    ULONG type = 0;
    if (FAILED(hr = book->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                    0, &type, entry.Receive())))
      return hr;
    ComPtr<IMAPIProp> prop;
    if (FAILED(hr = entry.QueryInterface(IID_IMAPIProp, prop))) return hr;
    SizedSPropTagArray(1, proxies) = {1, {PR_EMS_AB_PROXY_ADDRESSES}};
    ULONG n = 0;
    Buffer values;
    if (FAILED(hr = prop->GetProps(reinterpret_cast<LPSPropTagArray>(&proxies), 0, &n,
                                   reinterpret_cast<LPSPropValue*>(&values.p))))
      return hr;
    LPMAPIERROR error = nullptr;
    hr = book->GetLastError(MAPI_E_CALL_FAILED, MAPI_UNICODE, &error);
    plat::Mapi().MAPIFreeBuffer(error);
    return hr;
  }

  RecordingSink& m_sink;
};

TEST_F(MemStoreTest, EveryOperationFailsOnDemandAndLeavesNothingBehind) {
  provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  const memstore::EntryNumber user =
      provider.AddEntry(memstore::ExchangeUser(WSTR("Ann"), WSTR("/o=Org/cn=ann"), {WSTR("SMTP:ann@example.com")}));
  provider.SetChooser([&](const ADRPARM&, ULONG_PTR) { return memstore::DialogChoice::Pick({user}); });
  RecordingSink sink;
  ASSERT_EQ(S_OK, Walk(sink).Run());
  for (int i = 0; i < static_cast<int>(Op::kCount); ++i) {
    const Op op = static_cast<Op>(i);
    const HRESULT code = MAPI_E_CALL_FAILED - i;  // a code of its own for each
    provider.Fail(op, code);
    EXPECT_EQ(code, Walk(sink).Run()) << memstore::OpName(op);
    EXPECT_EQ(S_OK, Walk(sink).Run()) << memstore::OpName(op);  // once only
    EXPECT_EQ(0, provider.LiveObjects()) << memstore::OpName(op);
    EXPECT_EQ(0L, provider.LiveBuffers()) << memstore::OpName(op);
  }
  EXPECT_EQ(1, sink.refs.load());

  // Later calls, repeated failures, and exceptions.
  provider.Fail(Op::Advise, MAPI_E_NO_ACCESS, 2, 1);
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  ULONG c = 0;
  EXPECT_EQ(S_OK, store->Advise(0, nullptr, kWatchMask, &sink, &c));
  EXPECT_EQ(MAPI_E_NO_ACCESS, store->Advise(0, nullptr, kWatchMask, &sink, &c));
  EXPECT_EQ(MAPI_E_NO_ACCESS, store->Advise(0, nullptr, kWatchMask, &sink, &c));
  EXPECT_EQ(S_OK, store->Advise(0, nullptr, kWatchMask, &sink, &c));
  provider.Fail(Op::GetReceiveFolder, MAPI_E_NOT_FOUND, -1);
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(MAPI_E_NOT_FOUND, store->GetReceiveFolder(nullptr, 0, &cb, &id, nullptr));
  provider.ClearFailures();
  EXPECT_EQ(S_OK, store->GetReceiveFolder(nullptr, 0, &cb, &id, nullptr));
  plat::Mapi().MAPIFreeBuffer(id);
  provider.Throw(Op::OpenMsgStore);
  EXPECT_THROW(OpenDefaultStore(session, store), memstore::InjectedException);
  EXPECT_EQ(E_UNEXPECTED, provider.Calls().back().result);
  store.Reset();
  session.Reset();
  EXPECT_EQ(1, sink.refs.load());
}

TEST_F(MemStoreTest, ObjectsOutliveTheProvider) {
  ComPtr<IMAPISession> session;
  {
    memstore::Provider inner;
    plat::Substitute<plat::MapiService> use(inner);
    session = Logon();
    EXPECT_EQ(1, inner.LiveSessions());
  }
  ComPtr<IMAPITable> table;
  EXPECT_EQ(S_OK, session->GetMsgStoresTable(0, table.Receive()));
  ULONG rows = 0;
  EXPECT_EQ(S_OK, table->GetRowCount(0, &rows));
  EXPECT_EQ(2u, rows);
}

TEST_F(MemStoreTest, ManyAppointmentsReadInOneQuery) {
  std::vector<memstore::Appointment> many(5000, memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  provider.AddQuietly(many);
  EXPECT_EQ(5000u, provider.Count());
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  ComPtr<IMAPIFolder> inbox, calendar;
  ASSERT_EQ(S_OK, OpenCalendar(store, inbox, calendar));
  Rows rows;
  ASSERT_EQ(S_OK, ReadCalendar(calendar, rows));
  ASSERT_EQ(5000u, rows.p->cRows);
  EXPECT_EQ(WString(WSTR("a")), WString(rows.p->aRow[4999].lpProps[2].Value.lpszW));
}

}  // namespace

namespace {

// The watcher thread logs the session out while the page's thread works and
// pumps: every call may come from any thread.
TEST_F(MemStoreTest, ChangesRegistrationsAndDeliveryMayRunOnSeveralThreads) {
  ComPtr<IMAPISession> session = Logon();
  ComPtr<IMsgStore> store;
  ASSERT_EQ(S_OK, OpenDefaultStore(session, store));
  RecordingSink sink;
  ULONG connection = 0;
  ASSERT_EQ(S_OK, store->Advise(0, nullptr, fnevObjectCreated, &sink, &connection));
  std::atomic<bool> done{false};
  std::thread changes([&] {
    for (int i = 0; i < 300; ++i) provider.Add(memstore::SingleAppointment(WSTR("a"), kNine, kTen));
  });
  std::thread watcher([&] {
    ComPtr<IMAPISession> other;
    EXPECT_EQ(S_OK, plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kCalendarLogon, other.Receive()));
    ComPtr<IMsgStore> otherStore;
    EXPECT_EQ(S_OK, OpenDefaultStore(other, otherStore));
    RecordingSink otherSink;  // never pumped on this thread
    for (int i = 0; i < 200; ++i) {
      ULONG c = 0;
      EXPECT_EQ(S_OK, otherStore->Advise(0, nullptr, fnevObjectCreated, &otherSink, &c));
      EXPECT_EQ(S_OK, otherStore->Unadvise(c));
    }
    EXPECT_EQ(0, provider.Pump());
    otherStore.Reset();
    EXPECT_EQ(S_OK, other->Logoff(0, 0, 0));
    other.Reset();
    EXPECT_EQ(1, otherSink.refs.load());
    done = true;
  });
  int delivered = 0;
  while (!done || provider.PendingNotifications() > 0) {
    delivered += provider.Pump();
    if (!done) std::this_thread::yield();
    if (done && changes.joinable()) changes.join();
  }
  if (changes.joinable()) changes.join();
  watcher.join();
  delivered += provider.Pump();
  EXPECT_EQ(300, delivered);
  EXPECT_EQ(300u, provider.Count());
  store.Reset();
  EXPECT_EQ(1, sink.refs.load());
}

}  // namespace
