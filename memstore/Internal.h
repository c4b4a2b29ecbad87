// The provider's shared state and the pieces its objects are built from.
// Not for use outside memstore/.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "memstore/MemStore.h"

namespace memstore {

// Tags the platform headers do not name on every target.
constexpr ULONG kTagContainerClass = PROP_TAG(PT_UNICODE, 0x3613);
constexpr ULONG kTagSearchKey = PROP_TAG(PT_BINARY, 0x300B);

// ---- entry ids ------------------------------------------------------------------

// Our entry ids: the four flag bytes, the provider's 16-byte identifier, then
// the kind, the store number and the object number (32-bit, little-endian).
enum class Kind : ULONG { Store = 1, Folder = 2, Message = 3, AbRoot = 4, AbEntry = 5 };
constexpr ULONG kDefaultStore = 1;
constexpr ULONG kOtherStore = 2;
constexpr ULONG kEntryIdSize = 4 + 16 + 12;

struct EntryRef {
  Kind kind;
  ULONG store;
  ULONG number;
};

std::vector<BYTE> MakeEntryId(Kind kind, ULONG store, ULONG number);
// False when the bytes are not one of our entry ids (the flag bytes are
// not looked at).
bool ParseEntryId(ULONG cb, const void* bytes, EntryRef& ref);
// Whether two entry ids name the same object (the flag bytes are not
// compared).
bool SameEntryId(ULONG cb1, const void* id1, ULONG cb2, const void* id2);
bool SameEntryId(const std::vector<BYTE>& a, const std::vector<BYTE>& b);
// CompareEntryIDs of the session, the store and the address book.
HRESULT CompareIds(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG* result);
ULONG FolderNumber(Folder folder);
bool FolderFromNumber(ULONG number, Folder& folder);

// ---- the data -------------------------------------------------------------------

// An appointment (or any message) with the values it was built with. Items
// are never changed once shared: a modification puts a new item in place.
struct Item {
  ItemId id = 0;
  std::vector<Prop> props;
};
using ItemPtr = std::shared_ptr<const Item>;
using PropList = std::vector<Prop>;
using PropListPtr = std::shared_ptr<const PropList>;

const Prop* FindProp(const PropList& props, ULONG id);

struct NamedProp {
  GUID guid;
  ULONG kind;  // MNID_ID or MNID_STRING
  LONG lid;
  WString name;
  ULONG id;
};

struct AbEntry {
  EntryNumber number = 0;
  ULONG objectType = MAPI_MAILUSER;
  PropList props;  // in the entry's order, the proxy addresses included
};
using AbEntryPtr = std::shared_ptr<const AbEntry>;

struct Provider::State {
  // Everything below is guarded by the mutex, apart from the counters.
  mutable std::mutex mutex;

  // The library.
  int initCount = 0;
  bool initThreadKnown = false;
  DWORD initThread = 0;

  // The default store's folders and the profile's shape.
  std::array<std::vector<ItemPtr>, 3> folders;
  ItemId nextItem = 1;
  StoreTable storeTable = StoreTable::DefaultAndOther;
  bool calendarLink = true;
  std::array<PropListPtr, 2> storeProps;  // default, other

  std::vector<NamedProp> names;
  ULONG nextNamedId = 0x8100;

  // Notifications.
  struct Reg {
    ULONG connection;
    ULONG mask;
    std::vector<BYTE> entryId;
    IMAPIAdviseSink* sink;  // one reference, released by Unadvise
    const void* owner;      // the store object that registered
  };
  std::vector<Reg> regs;
  ULONG nextConnection = 1;
  struct Pending {
    ULONG connection;
    std::vector<Event> events;
  };
  std::deque<Pending> queue;

  // The address book.
  std::vector<AbEntryPtr> entries;
  Chooser chooser;
  std::optional<ErrorInfo> errorInfo;

  // Failure injection and the call log, under a lock of their own so that
  // a call may be logged while the data is locked.
  mutable std::mutex callMutex;
  struct Failure {
    HRESULT hr = S_OK;
    int times = 0;  // < 0: always
    int after = 0;
    int throws = 0;
  };
  std::array<Failure, static_cast<size_t>(Op::kCount)> failures{};
  std::array<int, static_cast<size_t>(Op::kCount)> counts{};
  std::shared_ptr<const std::function<void(Op)>> callHook;
  std::vector<Call> log;

  std::atomic<int> liveSessions{0};
  std::atomic<int> liveObjects{0};
  std::atomic<long> liveBuffers{0};

  State();

  // Counts a call of op and answers the failure set up for it (S_OK for
  // none); throws InjectedException when one is due.
  HRESULT Inject(Op op);
  void Record(Op op, ULONG flags, ULONG_PTR uiParam, HRESULT result);

  // MAPI buffers, counted.
  SCODE Allocate(ULONG cb, LPVOID* out);
  SCODE AllocateMore(ULONG cb, LPVOID object, LPVOID* out);
  void Free(LPVOID buffer);

  // Under the lock.
  std::vector<ItemPtr>* FolderItems(Folder folder) { return &folders[static_cast<size_t>(folder)]; }
  bool FindItem(ItemId id, Folder& folder, size_t& index) const;
  void QueueLocked(const std::vector<Event>& batch);
  ULONG NamedIdLocked(const GUID& guid, ULONG kind, LONG lid, const WString& name, bool create);
  PropList FolderPropsLocked(Folder folder) const;
  PropList StoreRowLocked(ULONG store) const;
};

// One call as the objects make it: counts it, answers an injected failure
// and logs the result.
class CallScope {
 public:
  CallScope(Provider::State& state, Op op, ULONG flags = 0, ULONG_PTR uiParam = 0)
      : m_state(state), m_op(op), m_flags(flags), m_ui(uiParam) {
    m_injected = Guard(op);
  }
  // An injected failure of the operation itself (S_OK for none).
  HRESULT Injected() const { return m_injected; }
  // A further, more specific operation of the same call (an OpenEntry of
  // the Inbox); the call is logged under it.
  HRESULT Also(Op op) {
    m_op = op;
    return Guard(op);
  }
  HRESULT Return(HRESULT hr) {
    m_state.Record(m_op, m_flags, m_ui, hr);
    return hr;
  }

 private:
  HRESULT Guard(Op op) {
    try {
      return m_state.Inject(op);
    } catch (...) {
      m_state.Record(op, m_flags, m_ui, E_UNEXPECTED);
      throw;
    }
  }
  Provider::State& m_state;
  Op m_op;
  ULONG m_flags;
  ULONG_PTR m_ui;
  HRESULT m_injected;
};

// ---- values out -------------------------------------------------------------------

// One value to hand out: a held value in the asked-for type, or an error.
struct OutValue {
  ULONG tag;  // the tag handed out
  const Prop* prop;  // nullptr: PT_ERROR with `error`
  SCODE error;
};

// What the provider hands out for `asked` (a tag whose type may be
// PT_UNSPECIFIED) from a held value (or none): the value in that type, or
// PT_ERROR with MAPI_E_NOT_FOUND when it is absent and MAPI_E_INVALID_TYPE
// when its type cannot be given.
OutValue Answer(ULONG asked, const Prop* held);
// The values as one MAPI buffer holding the SPropValue array and all that
// the values point to.
HRESULT WriteValues(Provider::State& state, const std::vector<OutValue>& values, LPSPropValue* out);
// A held value from a caller's one; false for types the provider does not
// keep.
bool ReadValue(const SPropValue& value, Prop& out);

// Restriction and sort support of the tables.
// S_OK and the verdict, or MAPI_E_TOO_COMPLEX for what it cannot evaluate.
HRESULT Matches(const SRestriction& restriction, const PropList& row, bool& verdict);
HRESULT CheckRestriction(const SRestriction& restriction, int depth = 0);
// Orders two held values of comparable types (strings without regard to
// ASCII case); false when they cannot be compared.
bool CompareProps(const Prop& a, const Prop& b, int& order);

std::string Utf8(const WString& text);

// ---- COM objects -------------------------------------------------------------------

inline bool SameIid(REFIID a, REFIID b) { return IsEqualIID(a, b) != 0; }

// Reference counting and QueryInterface for an object that implements one
// interface chain.
template <class Iface>
class Object : public Iface {
 public:
  explicit Object(std::shared_ptr<Provider::State> state) : m_state(std::move(state)) { ++m_state->liveObjects; }
  virtual ~Object() { --m_state->liveObjects; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (SameIid(riid, IID_IUnknown) || Answers(riid)) {
      *ppv = static_cast<Iface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual bool Answers(REFIID riid) const = 0;
  Provider::State& St() const { return *m_state; }

  std::shared_ptr<Provider::State> m_state;

 private:
  std::atomic<ULONG> m_refs{1};
};

// GetLastError of every object.
HRESULT LastError(Provider::State& state, HRESULT hr, ULONG flags, LPMAPIERROR* out);
// GetIDsFromNames of the store and everything in it.
HRESULT IdsFromNames(Provider::State& state, ULONG count, LPMAPINAMEID* names, ULONG flags,
                     LPSPropTagArray* out);

// IMAPIProp over a list of values.
template <class Iface>
class PropObject : public Object<Iface> {
 public:
  using Object<Iface>::Object;

  STDMETHODIMP GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    return LastError(this->St(), hr, flags, out);
  }
  STDMETHODIMP SaveChanges(ULONG) override { return S_OK; }
  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
  STDMETHODIMP GetPropList(ULONG flags, LPSPropTagArray* tags) override;
  STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* unk) override {
    if (unk != nullptr) *unk = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override;
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) override {
    if (!HasNames()) return MAPI_E_NO_SUPPORT;
    return IdsFromNames(this->St(), count, names, flags, out);
  }

 protected:
  // The values as they stand now.
  virtual PropListPtr Values() const = 0;
  // The operation GetProps and SetProps count as (Op::kCount: none).
  virtual Op GetPropsOp() const { return Op::kCount; }
  virtual Op SetPropsOp() const { return Op::kCount; }
  // Writes values; the default refuses them all.
  virtual HRESULT Write(const std::vector<Prop>& values, std::vector<SCODE>& results);
  // Whether the object resolves named properties (things of the store).
  virtual bool HasNames() const { return false; }
};

HRESULT GetPropsOf(Provider::State& state, const PropList& values, LPSPropTagArray tags, ULONG flags,
                   ULONG* count, LPSPropValue* out);
HRESULT PropListOf(Provider::State& state, const PropList& values, LPSPropTagArray* out);
HRESULT SetPropsOf(Provider::State& state, ULONG count, LPSPropValue values, LPSPropProblemArray* problems,
                   const std::function<HRESULT(const std::vector<Prop>&, std::vector<SCODE>&)>& write);

template <class Iface>
HRESULT PropObject<Iface>::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) {
  CallScope call(this->St(), GetPropsOp(), flags);
  if (FAILED(call.Injected())) {
    if (count != nullptr) *count = 0;
    if (values != nullptr) *values = nullptr;
    return call.Return(call.Injected());
  }
  const PropListPtr held = Values();
  return call.Return(GetPropsOf(this->St(), *held, tags, flags, count, values));
}

template <class Iface>
HRESULT PropObject<Iface>::GetPropList(ULONG, LPSPropTagArray* tags) {
  const PropListPtr held = Values();
  return PropListOf(this->St(), *held, tags);
}

template <class Iface>
HRESULT PropObject<Iface>::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) {
  CallScope call(this->St(), SetPropsOp());
  if (problems != nullptr) *problems = nullptr;
  if (FAILED(call.Injected())) return call.Return(call.Injected());
  return call.Return(SetPropsOf(this->St(), count, values, problems,
                                [this](const std::vector<Prop>& v, std::vector<SCODE>& r) { return Write(v, r); }));
}

template <class Iface>
HRESULT PropObject<Iface>::Write(const std::vector<Prop>& values, std::vector<SCODE>& results) {
  results.assign(values.size(), MAPI_E_NO_ACCESS);
  return S_OK;
}

// The objects the provider hands out.
IMAPISession* NewSession(std::shared_ptr<Provider::State> state);
IMAPITable* NewStoresTable(std::shared_ptr<Provider::State> state);
IMsgStore* NewStore(std::shared_ptr<Provider::State> state, ULONG store);
IAddrBook* NewAddressBook(std::shared_ptr<Provider::State> state);
// A table over rows; setColumnsOp and the others name the operations its
// calls count as (Op::kCount: none).
struct TableOps {
  Op setColumns, restrict, getRowCount, queryRows;
};
IMAPITable* NewTable(std::shared_ptr<Provider::State> state, std::vector<ItemPtr> rows, std::vector<ULONG> columns,
                     TableOps ops);

}  // namespace memstore
