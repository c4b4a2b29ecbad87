// The provider: the profile's data, the library entry points, changes and
// their notifications, failure injection and the call log.
#include <algorithm>
#include <cstring>

#include "memstore/Internal.h"
#include "platform/services.h"

namespace memstore {

const char* OpName(Op op) {
  switch (op) {
    case Op::MAPIInitialize: return "MAPIInitialize";
    case Op::MAPILogonEx: return "MAPILogonEx";
    case Op::Logoff: return "Logoff";
    case Op::GetMsgStoresTable: return "GetMsgStoresTable";
    case Op::StoreTableSetColumns: return "StoreTableSetColumns";
    case Op::StoreTableRestrict: return "StoreTableRestrict";
    case Op::StoreTableQueryRows: return "StoreTableQueryRows";
    case Op::OpenMsgStore: return "OpenMsgStore";
    case Op::StoreGetProps: return "StoreGetProps";
    case Op::StoreSetProps: return "StoreSetProps";
    case Op::GetReceiveFolder: return "GetReceiveFolder";
    case Op::OpenEntry: return "OpenEntry";
    case Op::OpenInbox: return "OpenInbox";
    case Op::OpenCalendar: return "OpenCalendar";
    case Op::Advise: return "Advise";
    case Op::Unadvise: return "Unadvise";
    case Op::GetIDsFromNames: return "GetIDsFromNames";
    case Op::FolderGetProps: return "FolderGetProps";
    case Op::GetContentsTable: return "GetContentsTable";
    case Op::SetColumns: return "SetColumns";
    case Op::GetRowCount: return "GetRowCount";
    case Op::QueryRows: return "QueryRows";
    case Op::OpenAddressBook: return "OpenAddressBook";
    case Op::Address: return "Address";
    case Op::PrepareRecips: return "PrepareRecips";
    case Op::AddrBookOpenEntry: return "AddrBookOpenEntry";
    case Op::EntryGetProps: return "EntryGetProps";
    case Op::GetLastError: return "GetLastError";
    case Op::kCount: break;
  }
  return "?";
}

// ---- appointments and entries ----------------------------------------------------

Appointment SingleAppointment(const WString& subject, const FILETIME& start, const FILETIME& end) {
  Appointment a;
  a.subject = subject;
  a.start = start;
  a.end = end;
  a.busyStatus = 2;
  a.isPrivate = false;
  a.recurring = false;
  return a;
}

AddressEntry SmtpUser(const WString& displayName, const WString& address) {
  AddressEntry e;
  e.displayName = displayName;
  e.addressType = WSTR("SMTP");
  e.emailAddress = address;
  return e;
}

AddressEntry ExchangeUser(const WString& displayName, const WString& x500Address,
                          const std::vector<WString>& proxyAddresses) {
  AddressEntry e;
  e.displayName = displayName;
  e.addressType = WSTR("EX");
  e.emailAddress = x500Address;
  e.proxyAddresses = proxyAddresses;
  return e;
}

AddressEntry DistList(const WString& displayName, const WString& addressType, const WString& address) {
  AddressEntry e;
  e.objectType = MAPI_DISTLIST;
  e.displayType = DT_DISTLIST;
  e.displayName = displayName;
  e.addressType = addressType;
  e.emailAddress = address;
  return e;
}

namespace {

ULONG Named(ULONG type, ULONG id) { return PROP_TAG(type, id); }

PropList AppointmentProps(ItemId id, const Appointment& a) {
  PropList p;
  p.reserve(14);
  p.push_back(Prop::Binary(PR_ENTRYID, MakeEntryId(Kind::Message, kDefaultStore, id)));
  p.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_MESSAGE));
  p.push_back(Prop::String(PR_MESSAGE_CLASS_W, WSTR("IPM.Appointment")));
  if (a.subject) p.push_back(Prop::String(PR_SUBJECT_W, *a.subject));
  if (a.deliveryTime) p.push_back(Prop::Time(PR_MESSAGE_DELIVERY_TIME, *a.deliveryTime));
  if (a.recurring) p.push_back(Prop::Bool(Named(PT_BOOLEAN, named::kRecurring), *a.recurring));
  // The blobs are written once here, not at every read.
  if (a.recurrenceBlob)
    p.push_back(Prop::Binary(Named(PT_BINARY, named::kRecurrenceBlob), *a.recurrenceBlob));
  else if (a.recurrence)
    p.push_back(Prop::Binary(Named(PT_BINARY, named::kRecurrenceBlob),
                             WriteAppointmentRecurrence(BuildAppointmentRecurrence(*a.recurrence))));
  if (a.start) p.push_back(Prop::Time(Named(PT_SYSTIME, named::kStartWhole), *a.start));
  if (a.end) p.push_back(Prop::Time(Named(PT_SYSTIME, named::kEndWhole), *a.end));
  if (a.location) p.push_back(Prop::String(Named(PT_UNICODE, named::kLocation), *a.location));
  if (a.zoneBlob)
    p.push_back(Prop::Binary(Named(PT_BINARY, named::kTimeZoneStruct), *a.zoneBlob));
  else if (a.zone)
    p.push_back(Prop::Binary(Named(PT_BINARY, named::kTimeZoneStruct), WriteTimeZoneStruct(*a.zone)));
  if (a.busyStatus) p.push_back(Prop::Long(Named(PT_LONG, named::kBusyStatus), *a.busyStatus));
  if (a.isPrivate) p.push_back(Prop::Bool(Named(PT_BOOLEAN, named::kPrivate), *a.isPrivate));
  return p;
}

ItemPtr NewItem(ItemId id, PropList props) {
  auto item = std::make_shared<Item>();
  item->id = id;
  item->props = std::move(props);
  return item;
}

// The same values under another id.
ItemPtr Renumbered(const Item& from, ItemId id) {
  PropList props = from.props;
  for (Prop& p : props)
    if (p.Tag() == PR_ENTRYID) p = Prop::Binary(PR_ENTRYID, MakeEntryId(Kind::Message, kDefaultStore, id));
  return NewItem(id, std::move(props));
}

PropListPtr StoreProps(ULONG store) {
  const bool isDefault = store == kDefaultStore;
  const std::vector<BYTE> id = MakeEntryId(Kind::Store, store, 0);
  auto props = std::make_shared<PropList>();
  props->push_back(Prop::Binary(PR_ENTRYID, id));
  props->push_back(Prop::Binary(PR_RECORD_KEY, id));
  props->push_back(Prop::String(PR_DISPLAY_NAME_W, isDefault ? WSTR("Mailbox") : WSTR("Archive")));
  props->push_back(Prop::Bool(PR_DEFAULT_STORE, isDefault));
  props->push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_STORE));
  props->push_back(Prop::Long(PR_RESOURCE_FLAGS, isDefault ? 1 : 0));
  props->push_back(Prop::Binary(PR_MDB_PROVIDER, std::vector<BYTE>(id.begin() + 4, id.begin() + 20)));
  props->push_back(Prop::Long(PR_ACCESS_LEVEL, 1));
  return props;
}

bool EventMatches(const Provider::State::Reg& reg, const Event& e) {
  if ((e.eventType & reg.mask) == 0) return false;
  if (reg.entryId.empty()) return true;
  return SameEntryId(reg.entryId, e.entryId) || SameEntryId(reg.entryId, e.parentId) ||
         SameEntryId(reg.entryId, e.oldParentId);
}

// The notification structures handed to OnNotify; they point into the
// events, which outlive the call.
struct Delivery {
  std::vector<NOTIFICATION> notifications;
  std::vector<std::vector<ULONG>> tagArrays;

  explicit Delivery(std::vector<Event>& events) {
    notifications.resize(events.size());
    tagArrays.resize(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
      Event& e = events[i];
      NOTIFICATION& n = notifications[i];
      std::memset(&n, 0, sizeof n);
      n.ulEventType = e.eventType;
      OBJECT_NOTIFICATION& o = n.info.obj;
      o.ulObjType = e.objectType;
      auto id = [](std::vector<BYTE>& bytes, ULONG& cb, LPENTRYID& p) {
        cb = static_cast<ULONG>(bytes.size());
        p = bytes.empty() ? nullptr : reinterpret_cast<LPENTRYID>(bytes.data());
      };
      id(e.entryId, o.cbEntryID, o.lpEntryID);
      id(e.parentId, o.cbParentID, o.lpParentID);
      id(e.oldId, o.cbOldID, o.lpOldID);
      id(e.oldParentId, o.cbOldParentID, o.lpOldParentID);
      if (e.changedTags) {
        std::vector<ULONG>& block = tagArrays[i];
        block.push_back(static_cast<ULONG>(e.changedTags->size()));
        block.insert(block.end(), e.changedTags->begin(), e.changedTags->end());
        o.lpPropTagArray = reinterpret_cast<LPSPropTagArray>(block.data());
      }
    }
  }
};

}  // namespace

// ---- State ------------------------------------------------------------------------

Provider::State::State() {
  storeProps[0] = StoreProps(kDefaultStore);
  storeProps[1] = StoreProps(kOtherStore);
  const struct {
    const GUID* set;
    LONG lid;
    ULONG id;
  } known[] = {
      {&PSETID_Appointment, 0x8205, named::kBusyStatus},     {&PSETID_Appointment, 0x8208, named::kLocation},
      {&PSETID_Appointment, 0x820D, named::kStartWhole},     {&PSETID_Appointment, 0x820E, named::kEndWhole},
      {&PSETID_Appointment, 0x8216, named::kRecurrenceBlob}, {&PSETID_Appointment, 0x8223, named::kRecurring},
      {&PSETID_Appointment, 0x8233, named::kTimeZoneStruct}, {&PSETID_Common, 0x8506, named::kPrivate},
  };
  for (const auto& k : known) names.push_back(NamedProp{*k.set, MNID_ID, k.lid, WString(), k.id});
}

HRESULT Provider::State::Inject(Op op) {
  if (op == Op::kCount) return S_OK;
  std::shared_ptr<const std::function<void(Op)>> hook;
  {
    std::lock_guard<std::mutex> lock(callMutex);
    hook = callHook;
  }
  if (hook) (*hook)(op);
  std::unique_lock<std::mutex> lock(callMutex);
  const size_t i = static_cast<size_t>(op);
  ++counts[i];
  Failure& f = failures[i];
  if (f.throws > 0) {
    --f.throws;
    lock.unlock();
    throw InjectedException(op);
  }
  if (f.times == 0) return S_OK;
  if (f.after > 0) {
    --f.after;
    return S_OK;
  }
  if (f.times > 0) --f.times;
  return f.hr;
}

void Provider::State::Record(Op op, ULONG flags, ULONG_PTR uiParam, HRESULT result) {
  if (op == Op::kCount) return;
  std::lock_guard<std::mutex> lock(callMutex);
  log.push_back(Call{op, flags, uiParam, result});
}

SCODE Provider::State::Allocate(ULONG cb, LPVOID* out) {
  const SCODE sc = plat::mapi_portable::AllocateBuffer(cb, out);
  if (SUCCEEDED(sc)) ++liveBuffers;
  return sc;
}

SCODE Provider::State::AllocateMore(ULONG cb, LPVOID object, LPVOID* out) {
  return plat::mapi_portable::AllocateMore(cb, object, out);
}

void Provider::State::Free(LPVOID buffer) {
  if (buffer != nullptr && plat::mapi_portable::FreeBuffer(buffer) == S_OK) --liveBuffers;
}

bool Provider::State::FindItem(ItemId id, Folder& folder, size_t& index) const {
  for (size_t f = 0; f < folders.size(); ++f) {
    const auto& items = folders[f];
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i]->id == id) {
        folder = static_cast<Folder>(f);
        index = i;
        return true;
      }
    }
  }
  return false;
}

void Provider::State::QueueLocked(const std::vector<Event>& batch) {
  for (const Reg& reg : regs) {
    Pending pending{reg.connection, {}};
    for (const Event& e : batch)
      if (EventMatches(reg, e)) pending.events.push_back(e);
    if (!pending.events.empty()) queue.push_back(std::move(pending));
  }
}

ULONG Provider::State::NamedIdLocked(const GUID& guid, ULONG kind, LONG lid, const WString& name, bool create) {
  for (const NamedProp& n : names) {
    if (n.kind != kind || !IsEqualGUID(n.guid, guid)) continue;
    if (kind == MNID_ID ? n.lid == lid : n.name == name) return n.id;
  }
  if (!create || nextNamedId > 0xFFFE) return 0;
  names.push_back(NamedProp{guid, kind, lid, name, nextNamedId});
  return nextNamedId++;
}

PropList Provider::State::FolderPropsLocked(Folder folder) const {
  static const WCHAR* const kNames[] = {WSTR("Inbox"), WSTR("Calendar"), WSTR("Deleted Items")};
  static const WCHAR* const kClasses[] = {WSTR("IPF.Note"), WSTR("IPF.Appointment"), WSTR("IPF.Note")};
  const size_t f = static_cast<size_t>(folder);
  const std::vector<BYTE> id = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(folder));
  PropList p;
  p.push_back(Prop::Binary(PR_ENTRYID, id));
  p.push_back(Prop::Binary(PR_RECORD_KEY, id));
  p.push_back(Prop::Binary(PR_STORE_ENTRYID, MakeEntryId(Kind::Store, kDefaultStore, 0)));
  p.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_FOLDER));
  p.push_back(Prop::String(PR_DISPLAY_NAME_W, kNames[f]));
  p.push_back(Prop::String(kTagContainerClass, kClasses[f]));
  p.push_back(Prop::Long(PR_FOLDER_TYPE, FOLDER_GENERIC));
  p.push_back(Prop::Long(PR_CONTENT_COUNT, static_cast<LONG>(folders[f].size())));
  if (folder == Folder::Inbox && calendarLink)
    p.push_back(Prop::Binary(PR_IPM_APPOINTMENT_ENTRYID,
                             MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(Folder::Calendar))));
  return p;
}

PropList Provider::State::StoreRowLocked(ULONG store) const { return *storeProps[store - 1]; }

// ---- Provider: the library ------------------------------------------------------------

Provider::Provider() : m_state(std::make_shared<State>()) {}

Provider::~Provider() = default;

const WCHAR* Provider::ProfileName() { return WSTR("Tessaro"); }

HRESULT Provider::MAPIInitialize(LPVOID lpMapiInit) {
  State& st = *m_state;
  CallScope call(st, Op::MAPIInitialize, lpMapiInit != nullptr ? static_cast<LPMAPIINIT>(lpMapiInit)->ulFlags : 0);
  if (FAILED(call.Injected())) return call.Return(call.Injected());
  if (lpMapiInit != nullptr) {
    const auto* init = static_cast<LPMAPIINIT>(lpMapiInit);
    if (init->ulVersion != MAPI_INIT_VERSION) return call.Return(MAPI_E_VERSION);
    // Notifications on a thread of MAPI's own are not offered: they come
    // only through Pump on the initialising thread.
    if (init->ulFlags & MAPI_MULTITHREAD_NOTIFICATIONS) return call.Return(MAPI_E_NO_SUPPORT);
    if (init->ulFlags != 0) return call.Return(MAPI_E_UNKNOWN_FLAGS);
  }
  const DWORD thread = plat::Clock().GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.initCount++ == 0) {
      st.initThreadKnown = true;
      st.initThread = thread;
    }
  }
  return call.Return(S_OK);
}

void Provider::MAPIUninitialize() {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  if (m_state->initCount > 0 && --m_state->initCount == 0) m_state->initThreadKnown = false;
}

HRESULT Provider::MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR, ULONG ulFlags,
                              LPMAPISESSION* lppSession) {
  State& st = *m_state;
  CallScope call(st, Op::MAPILogonEx, ulFlags, ulUIParam);
  if (lppSession != nullptr) *lppSession = nullptr;
  if (FAILED(call.Injected())) return call.Return(call.Injected());
  if (lppSession == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
  constexpr ULONG kKnown = MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_ALLOW_OTHERS | MAPI_EXPLICIT_PROFILE |
                           MAPI_EXTENDED | MAPI_USE_DEFAULT | MAPI_FORCE_DOWNLOAD | MAPI_SERVICE_UI_ALWAYS |
                           MAPI_NO_MAIL | MAPI_NT_SERVICE | MAPI_PASSWORD_UI | MAPI_TIMEOUT_SHORT | MAPI_UNICODE;
  if (ulFlags & ~kKnown) return call.Return(MAPI_E_UNKNOWN_FLAGS);
  if (!(ulFlags & MAPI_EXTENDED)) return call.Return(MAPI_E_INVALID_PARAMETER);
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.initCount == 0) return call.Return(MAPI_E_NOT_INITIALIZED);
  }
  // No profile name, or ours (wide with MAPI_UNICODE, else 8-bit).
  if (lpszProfileName != nullptr) {
    const WString name = (ulFlags & MAPI_UNICODE)
                             ? WString(lpszProfileName)
                             : wstr::FromUtf8(reinterpret_cast<const char*>(lpszProfileName));
    if (!name.empty() && name != ProfileName()) return call.Return(MAPI_E_LOGON_FAILED);
  }
  *lppSession = NewSession(m_state);
  return call.Return(S_OK);
}

SCODE Provider::MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) { return m_state->Allocate(cbSize, lppBuffer); }

SCODE Provider::MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return m_state->AllocateMore(cbSize, lpObject, lppBuffer);
}

ULONG Provider::MAPIFreeBuffer(LPVOID lpBuffer) {
  if (lpBuffer == nullptr) return S_OK;
  const ULONG result = plat::mapi_portable::FreeBuffer(lpBuffer);
  if (result == S_OK) --m_state->liveBuffers;
  return result;
}

void Provider::PumpNotifications() { Pump(); }

// ---- Provider: appointments --------------------------------------------------------------

ItemId Provider::Add(const Appointment& appointment, Folder folder) {
  State& st = *m_state;
  std::lock_guard<std::mutex> lock(st.mutex);
  const ItemId id = st.nextItem++;
  st.FolderItems(folder)->push_back(NewItem(id, AppointmentProps(id, appointment)));
  Event e;
  e.eventType = fnevObjectCreated;
  e.entryId = MakeEntryId(Kind::Message, kDefaultStore, id);
  e.parentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(folder));
  st.QueueLocked({e});
  return id;
}

void Provider::AddQuietly(const std::vector<Appointment>& appointments, Folder folder) {
  // The values are made outside the lock; only the ids are taken inside.
  State& st = *m_state;
  ItemId first = 0;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    first = st.nextItem;
    st.nextItem += static_cast<ItemId>(appointments.size());
  }
  std::vector<ItemPtr> made;
  made.reserve(appointments.size());
  for (size_t i = 0; i < appointments.size(); ++i)
    made.push_back(NewItem(first + static_cast<ItemId>(i), AppointmentProps(first + static_cast<ItemId>(i), appointments[i])));
  std::lock_guard<std::mutex> lock(st.mutex);
  auto& items = *st.FolderItems(folder);
  items.insert(items.end(), made.begin(), made.end());
}

namespace {

bool ModifyItem(Provider::State& st, ItemId id, const Appointment& appointment,
                const std::optional<std::vector<ULONG>>& tags) {
  std::lock_guard<std::mutex> lock(st.mutex);
  Folder folder;
  size_t index;
  if (!st.FindItem(id, folder, index)) return false;
  (*st.FolderItems(folder))[index] = NewItem(id, AppointmentProps(id, appointment));
  Event e;
  e.eventType = fnevObjectModified;
  e.entryId = MakeEntryId(Kind::Message, kDefaultStore, id);
  e.parentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(folder));
  e.changedTags = tags;
  st.QueueLocked({e});
  return true;
}

}  // namespace

bool Provider::Modify(ItemId id, const Appointment& appointment) {
  return ModifyItem(*m_state, id, appointment, std::nullopt);
}

bool Provider::Modify(ItemId id, const Appointment& appointment, const std::vector<ULONG>& changedTags) {
  return ModifyItem(*m_state, id, appointment, changedTags);
}

bool Provider::Delete(ItemId id) {
  State& st = *m_state;
  std::lock_guard<std::mutex> lock(st.mutex);
  Folder folder;
  size_t index;
  if (!st.FindItem(id, folder, index)) return false;
  auto& items = *st.FolderItems(folder);
  items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
  Event e;
  e.eventType = fnevObjectDeleted;
  e.entryId = MakeEntryId(Kind::Message, kDefaultStore, id);
  e.parentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(folder));
  st.QueueLocked({e});
  return true;
}

bool Provider::Move(ItemId id, Folder to) {
  State& st = *m_state;
  std::lock_guard<std::mutex> lock(st.mutex);
  Folder from;
  size_t index;
  if (!st.FindItem(id, from, index)) return false;
  auto& source = *st.FolderItems(from);
  ItemPtr item = source[index];
  source.erase(source.begin() + static_cast<std::ptrdiff_t>(index));
  st.FolderItems(to)->push_back(std::move(item));
  // The item keeps its entry id in its new folder.
  Event e;
  e.eventType = fnevObjectMoved;
  e.entryId = e.oldId = MakeEntryId(Kind::Message, kDefaultStore, id);
  e.parentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(to));
  e.oldParentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(from));
  st.QueueLocked({e});
  return true;
}

ItemId Provider::Copy(ItemId id, Folder to) {
  State& st = *m_state;
  std::lock_guard<std::mutex> lock(st.mutex);
  Folder from;
  size_t index;
  if (!st.FindItem(id, from, index)) return 0;
  const ItemId copy = st.nextItem++;
  ItemPtr made = Renumbered(*(*st.FolderItems(from))[index], copy);
  st.FolderItems(to)->push_back(std::move(made));
  Event e;
  e.eventType = fnevObjectCopied;
  e.entryId = MakeEntryId(Kind::Message, kDefaultStore, copy);
  e.parentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(to));
  e.oldId = MakeEntryId(Kind::Message, kDefaultStore, id);
  e.oldParentId = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(from));
  st.QueueLocked({e});
  return copy;
}

void Provider::Clear(Folder folder) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->FolderItems(folder)->clear();
}

size_t Provider::Count(Folder folder) const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->FolderItems(folder)->size();
}

// ---- Provider: notifications ------------------------------------------------------------

void Provider::Notify(const std::vector<Event>& batch) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->QueueLocked(batch);
}

int Provider::Pump() {
  State& st = *m_state;
  const DWORD thread = plat::Clock().GetCurrentThreadId();
  std::deque<State::Pending> batches;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.initThreadKnown || st.initThread != thread) return 0;
    batches.swap(st.queue);
  }
  int calls = 0;
  while (!batches.empty()) {
    State::Pending pending = std::move(batches.front());
    batches.pop_front();
    // The registration must still be there when its turn comes: a sink may
    // remove registrations (its own included) while it is called.
    IMAPIAdviseSink* sink = nullptr;
    {
      std::lock_guard<std::mutex> lock(st.mutex);
      for (const State::Reg& reg : st.regs)
        if (reg.connection == pending.connection) sink = reg.sink;
      if (sink != nullptr) sink->AddRef();
    }
    if (sink == nullptr) continue;
    Delivery delivery(pending.events);
    sink->OnNotify(static_cast<ULONG>(delivery.notifications.size()), delivery.notifications.data());
    sink->Release();
    ++calls;
  }
  return calls;
}

size_t Provider::PendingNotifications() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->queue.size();
}

std::vector<Registration> Provider::Registrations() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  std::vector<Registration> out;
  for (const State::Reg& reg : m_state->regs) out.push_back(Registration{reg.connection, reg.mask, reg.entryId});
  return out;
}

std::vector<BYTE> Provider::EntryIdOf(Folder folder) const {
  return MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(folder));
}

std::vector<BYTE> Provider::EntryIdOf(ItemId id) const { return MakeEntryId(Kind::Message, kDefaultStore, id); }

std::vector<BYTE> Provider::StoreEntryId(bool defaultStore) const {
  return MakeEntryId(Kind::Store, defaultStore ? kDefaultStore : kOtherStore, 0);
}

// ---- Provider: the profile's shape --------------------------------------------------------

void Provider::SetStoreTable(StoreTable shape) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->storeTable = shape;
}

void Provider::SetCalendarLink(bool present) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->calendarLink = present;
}

LONG Provider::AccessLevel() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  const Prop* p = FindProp(*m_state->storeProps[0], PROP_ID(PR_ACCESS_LEVEL));
  return p != nullptr ? p->AsLong() : 0;
}

// ---- Provider: the address book -----------------------------------------------------------

EntryNumber Provider::AddEntry(const AddressEntry& entry) {
  State& st = *m_state;
  std::lock_guard<std::mutex> lock(st.mutex);
  auto made = std::make_shared<AbEntry>();
  made->number = static_cast<EntryNumber>(st.entries.size() + 1);
  made->objectType = entry.objectType;
  const std::vector<BYTE> id = MakeEntryId(Kind::AbEntry, 0, made->number);
  PropList& p = made->props;
  p.push_back(Prop::Binary(PR_ENTRYID, id));
  p.push_back(Prop::String(PR_DISPLAY_NAME_W, entry.displayName));
  p.push_back(Prop::String(PR_ADDRTYPE_W, entry.addressType));
  p.push_back(Prop::String(PR_EMAIL_ADDRESS_W, entry.emailAddress));
  p.push_back(Prop::Long(PR_OBJECT_TYPE, static_cast<LONG>(entry.objectType)));
  p.push_back(Prop::Long(PR_DISPLAY_TYPE, static_cast<LONG>(entry.displayType)));
  p.push_back(Prop::Binary(PR_RECORD_KEY, id));
  for (const Prop& extra : entry.properties) {
    // A property given twice keeps its last value in its first place.
    bool replaced = false;
    for (Prop& have : p)
      if (have.Id() == extra.Id()) have = extra, replaced = true;
    if (!replaced) p.push_back(extra);
  }
  if (entry.proxyAddresses) p.push_back(Prop::Strings(PR_EMS_AB_PROXY_ADDRESSES, *entry.proxyAddresses));
  st.entries.push_back(std::move(made));
  return st.entries.back()->number;
}

std::vector<BYTE> Provider::AddressEntryId(EntryNumber number) const { return MakeEntryId(Kind::AbEntry, 0, number); }

void Provider::SetChooser(Chooser chooser) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->chooser = std::move(chooser);
}

void Provider::SetErrorInfo(std::optional<ErrorInfo> info) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->errorInfo = std::move(info);
}

// ---- Provider: failures and the call log -------------------------------------------------------

void Provider::Fail(Op op, HRESULT hr, int times, int after) {
  if (op == Op::kCount) return;
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  State::Failure& f = m_state->failures[static_cast<size_t>(op)];
  f.hr = hr;
  f.times = times;
  f.after = after;
}

void Provider::Throw(Op op, int times) {
  if (op == Op::kCount) return;
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  m_state->failures[static_cast<size_t>(op)].throws = times;
}

void Provider::SetCallHook(std::function<void(Op)> hook) {
  auto shared = hook ? std::make_shared<const std::function<void(Op)>>(std::move(hook)) : nullptr;
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  m_state->callHook = std::move(shared);
}

void Provider::ClearFailures() {
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  m_state->failures.fill(State::Failure{});
}

int Provider::CallCount(Op op) const {
  if (op == Op::kCount) return 0;
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  return m_state->counts[static_cast<size_t>(op)];
}

std::vector<Call> Provider::Calls() const {
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  return m_state->log;
}

void Provider::ClearCalls() {
  std::lock_guard<std::mutex> lock(m_state->callMutex);
  m_state->log.clear();
  m_state->counts.fill(0);
}

int Provider::LiveSessions() const { return m_state->liveSessions.load(); }
int Provider::LiveObjects() const { return m_state->liveObjects.load(); }
long Provider::LiveBuffers() const { return m_state->liveBuffers.load(); }

}  // namespace memstore
