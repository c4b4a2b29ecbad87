// memstore: an in-memory MAPI provider for the tests of both targets and for
// the command-line host.
//
// A Provider holds one mail profile: a default message store with its Inbox
// (the receive folder, carrying PR_IPM_APPOINTMENT_ENTRYID), a calendar
// folder and a Deleted Items folder, a second store that is not the default
// (listed first in the stores table, so that only a caller that honours the
// PR_DEFAULT_STORE restriction finds the right one) and an address book.
// It derives from plat::PortableMapiService and is installed through the
// seam, after which product code reaches it through plat::Mapi():
//
//   memstore::Provider provider;
//   plat::Substitute<plat::MapiService> installed(provider);
//   provider.Add(appointment);
//   ... product code logs on, opens the store, reads the calendar ...
//   provider.Pump();                          // delivers notifications
//   EXPECT_EQ(0, provider.LiveObjects());     // everything was released
//
// The objects handed out are COM objects with reference counts (sessions,
// stores, folders, messages, tables, the address book and its entries).
// They share the provider's data, so an object released after the provider
// is gone still works and frees cleanly. Methods the system does not need
// answer MAPI_E_NO_SUPPORT. Property values and other buffers handed out are
// MAPI buffers that the caller frees with MAPIFreeBuffer / FreeProws.
//
// Every provider operation may be called from any thread; notifications are
// delivered only by Pump() on the thread that first initialised MAPI.
//
// What the objects do, beyond the published contracts:
//  - A session that has logged off answers GetMsgStoresTable, OpenMsgStore
//    and OpenAddressBook with MAPI_E_END_OF_SESSION; what it opened before
//    keeps working until released. Logging off twice is harmless.
//  - A contents table is a snapshot of its folder when the table was made;
//    tables read forwards only (QueryRows with a negative count answers
//    MAPI_E_NO_SUPPORT). Restrict understands AND, OR, NOT, EXIST, BITMASK,
//    CONTENT and PROPERTY restrictions, else MAPI_E_TOO_COMPLEX.
//  - A column or property asked for in another type than the value's is
//    PT_ERROR with MAPI_E_INVALID_TYPE, except that strings come in either
//    width (PT_STRING8 is UTF-8); PT_UNSPECIFIED takes the value's type.
//  - Registrations (IMsgStore::Advise) hold a reference to their sink until
//    Unadvise or until the store object that made them is released. A null
//    sink, a zero mask or a foreign entry id is refused.
//  - GetLastError answers only MAPI_UNICODE callers (MAPI_E_BAD_CHARWIDTH
//    otherwise), since every text here is wide.
//  - IAddrBook::Address replaces the list passed in (freeing it) unless the
//    dialog is cancelled; each picked entry comes with PR_RECIPIENT_TYPE
//    (the dialog's focused well's type) and then the entry's properties but
//    its proxy addresses, which only the directory answers. PrepareRecips gives each entry the requested
//    properties first, in the order asked (from the directory entry, else
//    from what the entry carried, else PT_ERROR with MAPI_E_NOT_FOUND), then
//    every other value the entry carried, in its order.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "calendar/BlobWriter.h"
#include "calendar/RecurrenceBlob.h"
#include "platform/mapi.h"

namespace memstore {

// ---- property values ----------------------------------------------------------

// One property value as the provider keeps it. Strings are kept as UTF-16
// and handed out as PT_UNICODE, or as PT_STRING8 (UTF-8) when a caller asks
// for that type.
class Prop {
 public:
  static Prop Long(ULONG tag, LONG value);
  static Prop Bool(ULONG tag, bool value);
  static Prop Time(ULONG tag, const FILETIME& value);
  static Prop String(ULONG tag, const WString& value);  // tag of type PT_UNICODE
  static Prop Binary(ULONG tag, std::vector<BYTE> value);
  static Prop Strings(ULONG tag, const std::vector<WString>& values);  // PT_MV_UNICODE
  static Prop Error(ULONG tag, SCODE error);  // a PT_ERROR value (tag's id kept)

  ULONG Tag() const { return m_tag; }
  ULONG Type() const { return PROP_TYPE(m_tag); }
  ULONG Id() const { return PROP_ID(m_tag); }
  LONG AsLong() const { return static_cast<LONG>(m_scalar); }
  bool AsBool() const { return m_scalar != 0; }
  FILETIME AsTime() const;
  SCODE AsError() const { return static_cast<SCODE>(m_scalar); }
  WString AsString() const;
  std::vector<BYTE> AsBinary() const { return m_data; }
  std::vector<WString> AsStrings() const;
  // Binary bytes, or the UTF-16 units of a string with its terminator, or the
  // packed strings of a multi-valued property.
  const std::vector<BYTE>& Data() const { return m_data; }
  LONGLONG Scalar() const { return m_scalar; }

 private:
  ULONG m_tag = PR_NULL;
  LONGLONG m_scalar = 0;
  std::vector<BYTE> m_data;
};

// ---- appointments -------------------------------------------------------------

// What an appointment carries. Every field is optional: an absent field is a
// property the appointment does not have, so a reader gets PT_ERROR for it.
struct Appointment {
  std::optional<WString> subject;        // PR_SUBJECT_W
  std::optional<WString> location;       // PidLidLocation
  std::optional<FILETIME> start;         // PidLidAppointmentStartWhole, UTC
  std::optional<FILETIME> end;           // PidLidAppointmentEndWhole, UTC
  std::optional<LONG> busyStatus;        // PidLidBusyStatus: 0 free, 1 tentative, 2 busy, 3 away
  std::optional<bool> isPrivate;         // PidLidPrivate
  std::optional<bool> recurring;         // PidLidRecurring
  // PidLidAppointmentRecur, written with BuildAppointmentRecurrence.
  std::optional<RecurrenceDescription> recurrence;
  // PidLidTimeZoneStruct, written with WriteTimeZoneStruct.
  std::optional<TimeZoneStruct> zone;
  std::optional<FILETIME> deliveryTime;  // PR_MESSAGE_DELIVERY_TIME
  // Blobs written as they stand, for odd or malformed shapes; each replaces
  // the structured field above when present.
  std::optional<std::vector<BYTE>> recurrenceBlob;
  std::optional<std::vector<BYTE>> zoneBlob;
};

// A busy single appointment with the usual properties (recurring false).
Appointment SingleAppointment(const WString& subject, const FILETIME& start, const FILETIME& end);

// The folders of the default store.
enum class Folder { Inbox, Calendar, DeletedItems };

// An appointment's number in the provider; 0 is never one.
using ItemId = ULONG;

// The ids the provider gives the named properties it knows (stable for the
// life of the process; GetIDsFromNames answers these).
namespace named {
constexpr ULONG kBusyStatus = 0x8010;      // PSETID_Appointment 0x8205, PT_LONG
constexpr ULONG kLocation = 0x8011;        // PSETID_Appointment 0x8208, PT_UNICODE
constexpr ULONG kStartWhole = 0x8012;      // PSETID_Appointment 0x820D, PT_SYSTIME
constexpr ULONG kEndWhole = 0x8013;        // PSETID_Appointment 0x820E, PT_SYSTIME
constexpr ULONG kRecurrenceBlob = 0x8014;  // PSETID_Appointment 0x8216, PT_BINARY
constexpr ULONG kRecurring = 0x8015;       // PSETID_Appointment 0x8223, PT_BOOLEAN
constexpr ULONG kTimeZoneStruct = 0x8016;  // PSETID_Appointment 0x8233, PT_BINARY
constexpr ULONG kPrivate = 0x8017;         // PSETID_Common 0x8506, PT_BOOLEAN
}  // namespace named

// ---- notifications ------------------------------------------------------------

// One notification as the provider queues it (the object notification
// fields; entry ids as bytes).
struct Event {
  ULONG eventType = fnevObjectModified;
  ULONG objectType = MAPI_MESSAGE;
  std::vector<BYTE> entryId;
  std::vector<BYTE> parentId;
  std::vector<BYTE> oldId;
  std::vector<BYTE> oldParentId;
  // The changed properties; absent means the notification carries no list.
  std::optional<std::vector<ULONG>> changedTags;
};

// A live registration (IMsgStore::Advise).
struct Registration {
  ULONG connection = 0;
  ULONG eventMask = 0;
  std::vector<BYTE> entryId;  // empty: the whole store
};

// ---- the address book ------------------------------------------------------------

// One entry of the address book. PR_ENTRYID, PR_RECORD_KEY and
// PR_OBJECT_TYPE come from the provider; the entry's properties are, in this
// order: PR_ENTRYID, PR_DISPLAY_NAME, PR_ADDRTYPE, PR_EMAIL_ADDRESS,
// PR_OBJECT_TYPE, PR_DISPLAY_TYPE, PR_RECORD_KEY, then `properties`.
struct AddressEntry {
  ULONG objectType = MAPI_MAILUSER;  // MAPI_MAILUSER or MAPI_DISTLIST
  ULONG displayType = DT_MAILUSER;
  WString displayName;
  WString addressType;   // "SMTP", "EX", ...
  WString emailAddress;  // an SMTP address, or an X.500 one for "EX"
  std::vector<Prop> properties;  // further properties: names, numbers...
  // PR_EMS_AB_PROXY_ADDRESSES of the directory entry ("SMTP:a@b", "X500:...");
  // absent: the entry has none (GetProps answers MAPI_W_ERRORS_RETURNED).
  std::optional<std::vector<WString>> proxyAddresses;
};

AddressEntry SmtpUser(const WString& displayName, const WString& address);
AddressEntry ExchangeUser(const WString& displayName, const WString& x500Address,
                          const std::vector<WString>& proxyAddresses);
AddressEntry DistList(const WString& displayName, const WString& addressType, const WString& address);

// An address book entry's number in the provider; 0 is never one.
using EntryNumber = ULONG;

// What the user does in the address book dialog (IAddrBook::Address).
struct DialogChoice {
  enum class Kind { Pick, Nothing, Cancel };
  Kind kind = Kind::Cancel;
  std::vector<EntryNumber> entries;  // with Pick, in the order picked

  static DialogChoice Pick(std::vector<EntryNumber> entries) { return {Kind::Pick, std::move(entries)}; }
  // Confirmed with nothing in the well: success and no list.
  static DialogChoice Nothing() { return {Kind::Nothing, {}}; }
  // MAPI_E_USER_CANCEL.
  static DialogChoice Cancel() { return {Kind::Cancel, {}}; }
};
// Sees the dialog's parameters as the caller passed them (valid during the
// call only) and the window handle; decides what the user picks.
using Chooser = std::function<DialogChoice(const ADRPARM& params, ULONG_PTR uiParam)>;

// The extended error that GetLastError reports (any object).
struct ErrorInfo {
  std::optional<WString> error;      // lpszError
  std::optional<WString> component;  // lpszComponent
  ULONG lowLevelError = 0;
  ULONG context = 0;
};

// ---- failure injection ------------------------------------------------------------

// The operations that can be made to fail.
enum class Op {
  MAPIInitialize,
  MAPILogonEx,
  Logoff,
  GetMsgStoresTable,
  StoreTableSetColumns,  // the stores table's SetColumns, Restrict, QueryRows
  StoreTableRestrict,    //   (HrQueryAllRows fails with any of them)
  StoreTableQueryRows,
  OpenMsgStore,
  StoreGetProps,  // IMsgStore::GetProps and SetProps (HrGetOneProp /
  StoreSetProps,  //   HrSetOneProp of PR_ACCESS_LEVEL)
  GetReceiveFolder,
  OpenEntry,     // IMsgStore::OpenEntry of anything
  OpenInbox,     // IMsgStore::OpenEntry of the Inbox only
  OpenCalendar,  // IMsgStore::OpenEntry of the calendar only
  Advise,
  Unadvise,
  GetIDsFromNames,
  FolderGetProps,  // GetProps on a folder (HrGetOneProp of PR_IPM_APPOINTMENT_ENTRYID)
  GetContentsTable,
  SetColumns,  // the contents table's SetColumns, GetRowCount, QueryRows
  GetRowCount,
  QueryRows,
  OpenAddressBook,
  Address,
  PrepareRecips,
  AddrBookOpenEntry,  // IAddrBook::OpenEntry
  EntryGetProps,      // GetProps on an address book entry
  GetLastError,       // GetLastError of any object
  kCount
};
const char* OpName(Op op);

// Thrown by an operation set up with Provider::Throw.
class InjectedException : public std::runtime_error {
 public:
  explicit InjectedException(Op op) : std::runtime_error(std::string("injected exception in ") + OpName(op)) {}
};

// One call made to the provider, as the call log keeps it. flags and
// uiParam are the call's flags and window (0 where it has none).
struct Call {
  Op op;
  ULONG flags;
  ULONG_PTR uiParam;
  HRESULT result;
};

// Which stores the stores table lists.
enum class StoreTable {
  DefaultAndOther,  // the usual: the other store first, then the default one
  DefaultOnly,
  OtherOnly,  // no default store
  Empty,      // no rows at all
};

// ---- the provider -------------------------------------------------------------

class Provider : public plat::PortableMapiService {
 public:
  Provider();
  ~Provider() override;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // The MAPI library.
  // MAPIInitialize counts initialisations; the first one records the
  // calling thread (plat::Clock().GetCurrentThreadId()) as the one on which
  // notifications are delivered.
  HRESULT MAPIInitialize(LPVOID lpMapiInit) override;
  void MAPIUninitialize() override;
  // A new session on the profile. Needs an initialised library
  // (MAPI_E_NOT_INITIALIZED), MAPI_EXTENDED in the flags
  // (MAPI_E_INVALID_PARAMETER otherwise), no unknown flag bits
  // (MAPI_E_UNKNOWN_FLAGS) and no profile name other than ProfileName()
  // (MAPI_E_LOGON_FAILED).
  HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                      LPMAPISESSION* lppSession) override;
  // Buffers are the portable ones, counted (LiveBuffers).
  SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) override;
  SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) override;
  ULONG MAPIFreeBuffer(LPVOID lpBuffer) override;
  // Pump().
  void PumpNotifications() override;

  static const WCHAR* ProfileName();

  // Appointments. Each change queues one notification (one OnNotify call)
  // for every registration whose mask and entry id match: fnevObjectCreated,
  // fnevObjectModified (with or without the list of changed tags),
  // fnevObjectDeleted, fnevObjectMoved, fnevObjectCopied, about a message
  // (MAPI_MESSAGE) whose parent is the folder.
  ItemId Add(const Appointment& appointment, Folder folder = Folder::Calendar);
  // Adds without queuing notifications (loading a calendar, benchmarks).
  void AddQuietly(const std::vector<Appointment>& appointments, Folder folder = Folder::Calendar);
  // False when there is no such item.
  bool Modify(ItemId id, const Appointment& appointment);
  bool Modify(ItemId id, const Appointment& appointment, const std::vector<ULONG>& changedTags);
  bool Delete(ItemId id);
  bool Move(ItemId id, Folder to);
  // The copy's id, 0 when there is no such item.
  ItemId Copy(ItemId id, Folder to);
  // Removes every item of the folder without notifications.
  void Clear(Folder folder = Folder::Calendar);
  size_t Count(Folder folder = Folder::Calendar) const;

  // Queues one OnNotify call carrying the events of the batch that match,
  // for every registration that at least one of them matches. An event
  // matches a registration when its type is in the mask and the
  // registration is for the whole store or for the event's entry id, parent
  // id or old parent id.
  void Notify(const std::vector<Event>& batch);
  // Delivers the queued notifications by calling OnNotify, one call per
  // queued batch and registration, in queue order, but only when called on
  // the thread that first initialised MAPI (elsewhere nothing happens, as
  // real MAPI delivers through that thread's message loop). Registrations
  // removed since a batch was queued get nothing. Batches queued while
  // delivering wait for the next Pump. Returns the number of OnNotify calls.
  int Pump();
  size_t PendingNotifications() const;
  std::vector<Registration> Registrations() const;

  // Entry ids as the provider makes them.
  std::vector<BYTE> EntryIdOf(Folder folder) const;
  std::vector<BYTE> EntryIdOf(ItemId id) const;
  std::vector<BYTE> StoreEntryId(bool defaultStore = true) const;

  // The profile's shape.
  void SetStoreTable(StoreTable shape);
  // Whether the Inbox carries PR_IPM_APPOINTMENT_ENTRYID (default true).
  void SetCalendarLink(bool present);
  // PR_ACCESS_LEVEL of the default store as last written (initially 1).
  LONG AccessLevel() const;

  // The address book.
  EntryNumber AddEntry(const AddressEntry& entry);
  std::vector<BYTE> AddressEntryId(EntryNumber number) const;
  // Decides IAddrBook::Address; without one the dialog is cancelled.
  void SetChooser(Chooser chooser);
  // What GetLastError reports; none: success without a record.
  void SetErrorInfo(std::optional<ErrorInfo> info);

  // Failure injection: the next `times` calls of op (after `after` calls
  // that succeed) fail with hr; times < 0 fails every call from then on.
  void Fail(Op op, HRESULT hr, int times = 1, int after = 0);
  // The next `times` calls of op throw InjectedException.
  void Throw(Op op, int times = 1);
  // Runs on every call of an operation, on the caller's thread, before the
  // call does anything and outside the provider's locks (a test may block
  // a call there or call back into the provider). None: nothing runs.
  void SetCallHook(std::function<void(Op)> hook);
  void ClearFailures();

  // What was called: counts per operation (an OpenEntry of the Inbox counts
  // as OpenEntry and as OpenInbox) and the log of calls in order (an
  // OpenEntry is logged under its most specific operation).
  int CallCount(Op op) const;
  std::vector<Call> Calls() const;
  void ClearCalls();

  // What is still handed out: sessions not yet released, COM objects of
  // every kind, and MAPI buffers allocated through the provider and not yet
  // freed through it.
  int LiveSessions() const;
  int LiveObjects() const;
  long LiveBuffers() const;

  struct State;  // shared with the objects handed out

 private:
  std::shared_ptr<State> m_state;
};

}  // namespace memstore
