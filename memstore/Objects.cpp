// The message-store side of the objects the provider hands out: session,
// stores, folders, messages and tables.
#include <algorithm>
#include <cstring>

#include "memstore/Internal.h"

namespace memstore {

namespace {

using StatePtr = std::shared_ptr<Provider::State>;

// ---- tables ---------------------------------------------------------------------

class Table final : public Object<IMAPITable> {
 public:
  Table(StatePtr state, std::vector<ItemPtr> rows, std::vector<ULONG> columns, TableOps ops)
      : Object(std::move(state)), m_rows(std::move(rows)), m_columns(std::move(columns)), m_ops(ops) {
    m_view.resize(m_rows.size());
    for (size_t i = 0; i < m_view.size(); ++i) m_view[i] = i;
  }

  STDMETHODIMP GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    return LastError(St(), hr, flags, out);
  }
  STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetStatus(ULONG* status, ULONG* type) override {
    if (status == nullptr || type == nullptr) return MAPI_E_INVALID_PARAMETER;
    *status = TBLSTAT_COMPLETE;
    *type = TBLTYPE_SNAPSHOT;
    return S_OK;
  }

  STDMETHODIMP SetColumns(LPSPropTagArray tags, ULONG flags) override {
    CallScope call(St(), m_ops.setColumns, flags);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (tags == nullptr || tags->cValues == 0) return call.Return(MAPI_E_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return call.Return(S_OK);
  }

  STDMETHODIMP QueryColumns(ULONG, LPSPropTagArray* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    LPVOID block = nullptr;
    const HRESULT hr = St().Allocate(static_cast<ULONG>(CbNewSPropTagArray(m_columns.size())), &block);
    if (FAILED(hr)) return hr;
    auto* tags = static_cast<LPSPropTagArray>(block);
    tags->cValues = static_cast<ULONG>(m_columns.size());
    std::copy(m_columns.begin(), m_columns.end(), tags->aulPropTag);
    *out = tags;
    return S_OK;
  }

  STDMETHODIMP GetRowCount(ULONG flags, ULONG* count) override {
    CallScope call(St(), m_ops.getRowCount, flags);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (count == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(m_mutex);
    *count = static_cast<ULONG>(m_view.size());
    return call.Return(S_OK);
  }

  STDMETHODIMP SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    long long base;
    if (origin == BOOKMARK_BEGINNING)
      base = 0;
    else if (origin == BOOKMARK_CURRENT)
      base = static_cast<long long>(m_pos);
    else if (origin == BOOKMARK_END)
      base = static_cast<long long>(m_view.size());
    else
      return MAPI_E_INVALID_BOOKMARK;
    const long long target = std::clamp<long long>(base + rows, 0, static_cast<long long>(m_view.size()));
    m_pos = static_cast<size_t>(target);
    if (sought != nullptr) *sought = static_cast<LONG>(target - base);
    return S_OK;
  }
  STDMETHODIMP SeekRowApprox(ULONG numerator, ULONG denominator) override {
    if (denominator == 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pos = static_cast<size_t>(std::min<unsigned long long>(
        m_view.size(), static_cast<unsigned long long>(m_view.size()) * numerator / denominator));
    return S_OK;
  }
  STDMETHODIMP QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) override {
    if (row == nullptr || numerator == nullptr || denominator == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *row = static_cast<ULONG>(m_pos);
    *numerator = static_cast<ULONG>(m_pos);
    *denominator = static_cast<ULONG>(m_view.size());
    return S_OK;
  }
  STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP Restrict(LPSRestriction restriction, ULONG flags) override {
    CallScope call(St(), m_ops.restrict, flags);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    std::vector<size_t> view;
    if (restriction == nullptr) {
      view.resize(m_rows.size());
      for (size_t i = 0; i < view.size(); ++i) view[i] = i;
    } else {
      HRESULT hr = CheckRestriction(*restriction);
      for (size_t i = 0; SUCCEEDED(hr) && i < m_rows.size(); ++i) {
        bool verdict = false;
        hr = Matches(*restriction, m_rows[i]->props, verdict);
        if (verdict) view.push_back(i);
      }
      if (FAILED(hr)) return call.Return(hr);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_view = std::move(view);
    m_pos = 0;
    return call.Return(S_OK);
  }

  STDMETHODIMP CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP SortTable(LPSSortOrderSet sort, ULONG) override {
    if (sort == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (sort->cCategories != 0) return MAPI_E_TOO_COMPLEX;
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<SSortOrder> keys(sort->aSort, sort->aSort + sort->cSorts);
    // Rows without a value come first; values that cannot be compared keep
    // their order.
    std::stable_sort(m_view.begin(), m_view.end(), [&](size_t a, size_t b) {
      for (const SSortOrder& key : keys) {
        const Prop* x = FindProp(m_rows[a]->props, PROP_ID(key.ulPropTag));
        const Prop* y = FindProp(m_rows[b]->props, PROP_ID(key.ulPropTag));
        int order = 0;
        if (x == nullptr || y == nullptr)
          order = (x != nullptr) - (y != nullptr);
        else if (!CompareProps(*x, *y, order))
          order = 0;
        if (key.ulOrder == TABLE_SORT_DESCEND) order = -order;
        if (order != 0) return order < 0;
      }
      return false;
    });
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
    CallScope call(St(), m_ops.queryRows, flags);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    // Reading backwards is not offered; nothing here needs it.
    if (count < 0) return call.Return(MAPI_E_NO_SUPPORT);
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t n = std::min<size_t>(static_cast<size_t>(count), m_view.size() - m_pos);
    LPVOID block = nullptr;
    HRESULT hr = St().Allocate(static_cast<ULONG>(CbNewSRowSet(n)), &block);
    if (FAILED(hr)) return call.Return(hr);
    auto* rows = static_cast<LPSRowSet>(block);
    rows->cRows = 0;
    // Each row is one buffer holding exactly the columns, in their order.
    std::vector<OutValue> values;
    values.reserve(m_columns.size());
    for (size_t i = 0; i < n; ++i) {
      const PropList& props = m_rows[m_view[m_pos + i]]->props;
      values.clear();
      for (ULONG column : m_columns) values.push_back(Answer(column, FindProp(props, PROP_ID(column))));
      SRow& row = rows->aRow[i];
      row.ulAdrEntryPad = 0;
      row.cValues = static_cast<ULONG>(values.size());
      hr = WriteValues(St(), values, &row.lpProps);
      if (FAILED(hr)) {
        for (ULONG k = 0; k < rows->cRows; ++k) St().Free(rows->aRow[k].lpProps);
        St().Free(rows);
        return call.Return(hr);
      }
      rows->cRows = static_cast<ULONG>(i + 1);
    }
    if (!(flags & TBL_NOADVANCE)) m_pos += n;
    *out = rows;
    return call.Return(S_OK);
  }

  STDMETHODIMP Abort() override { return S_OK; }
  STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG* status) override {
    if (status != nullptr) *status = TBLSTAT_COMPLETE;
    return S_OK;
  }
  STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IMAPITable); }

 private:
  std::mutex m_mutex;
  const std::vector<ItemPtr> m_rows;
  std::vector<size_t> m_view;  // the rows the restriction lets through, in order
  std::vector<ULONG> m_columns;
  size_t m_pos = 0;
  const TableOps m_ops;
};

// ---- messages ---------------------------------------------------------------------

class Message final : public PropObject<IMessage> {
 public:
  Message(StatePtr state, ItemPtr item) : PropObject(std::move(state)), m_item(std::move(item)) {}

  STDMETHODIMP GetAttachmentTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP OpenAttach(ULONG, LPCIID, ULONG, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP DeleteAttach(ULONG, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetRecipientTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IMessage) || SameIid(riid, IID_IMAPIProp); }
  PropListPtr Values() const override { return PropListPtr(m_item, &m_item->props); }
  bool HasNames() const override { return true; }

 private:
  const ItemPtr m_item;  // as it was when opened
};

// ---- folders ---------------------------------------------------------------------

class FolderObject final : public PropObject<IMAPIFolder> {
 public:
  FolderObject(StatePtr state, Folder folder) : PropObject(std::move(state)), m_folder(folder) {}

  STDMETHODIMP GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    CallScope call(St(), Op::GetContentsTable, flags);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    std::vector<ItemPtr> rows;
    // The folder holds no associated (hidden) messages.
    if (!(flags & MAPI_ASSOCIATED)) {
      std::lock_guard<std::mutex> lock(St().mutex);
      rows = *St().FolderItems(m_folder);
    }
    *out = NewTable(m_state, std::move(rows), {PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W},
                    TableOps{Op::SetColumns, Op::kCount, Op::GetRowCount, Op::QueryRows});
    return call.Return(S_OK);
  }
  STDMETHODIMP GetHierarchyTable(ULONG, LPMAPITABLE* out) override {
    if (out != nullptr) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN* out) override {
    if (out != nullptr) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CreateMessage(LPCIID, ULONG, LPMESSAGE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP DeleteMessages(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, LPMAPIFOLDER*) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SaveContentsSort(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }

 protected:
  bool Answers(REFIID riid) const override {
    return SameIid(riid, IID_IMAPIFolder) || SameIid(riid, IID_IMAPIContainer) || SameIid(riid, IID_IMAPIProp);
  }
  PropListPtr Values() const override {
    std::lock_guard<std::mutex> lock(St().mutex);
    return std::make_shared<const PropList>(St().FolderPropsLocked(m_folder));
  }
  Op GetPropsOp() const override { return Op::FolderGetProps; }
  bool HasNames() const override { return true; }

 private:
  const Folder m_folder;
};

// ---- stores ------------------------------------------------------------------------

bool AnyOf(LPCIID iid, std::initializer_list<const IID*> accepted) {
  if (iid == nullptr) return true;
  if (SameIid(*iid, IID_IUnknown)) return true;
  for (const IID* a : accepted)
    if (SameIid(*iid, *a)) return true;
  return false;
}

class Store final : public PropObject<IMsgStore> {
 public:
  Store(StatePtr state, ULONG store) : PropObject(std::move(state)), m_store(store) {}
  ~Store() override {
    // Registrations go with the store that made them.
    std::vector<IMAPIAdviseSink*> sinks;
    {
      std::lock_guard<std::mutex> lock(St().mutex);
      auto& regs = St().regs;
      for (auto it = regs.begin(); it != regs.end();) {
        if (it->owner == this) {
          sinks.push_back(it->sink);
          it = regs.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (IMAPIAdviseSink* sink : sinks) sink->Release();
  }

  STDMETHODIMP Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG mask, LPMAPIADVISESINK sink,
                      ULONG* connection) override {
    CallScope call(St(), Op::Advise, mask);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (sink == nullptr || connection == nullptr || mask == 0) return call.Return(MAPI_E_INVALID_PARAMETER);
    std::vector<BYTE> target;
    if (cbEntryID != 0 || lpEntryID != nullptr) {
      EntryRef ref{};
      if (!ParseEntryId(cbEntryID, lpEntryID, ref) || ref.store != m_store ||
          (ref.kind != Kind::Folder && ref.kind != Kind::Message && ref.kind != Kind::Store))
        return call.Return(MAPI_E_INVALID_ENTRYID);
      if (ref.kind != Kind::Store) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(lpEntryID);
        target.assign(bytes, bytes + cbEntryID);
      }
    }
    sink->AddRef();
    std::lock_guard<std::mutex> lock(St().mutex);
    const ULONG number = St().nextConnection++;
    St().regs.push_back(Provider::State::Reg{number, mask, std::move(target), sink, this});
    *connection = number;
    return call.Return(S_OK);
  }

  STDMETHODIMP Unadvise(ULONG connection) override {
    CallScope call(St(), Op::Unadvise);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    IMAPIAdviseSink* sink = nullptr;
    {
      std::lock_guard<std::mutex> lock(St().mutex);
      auto& regs = St().regs;
      auto it = std::find_if(regs.begin(), regs.end(), [&](const Provider::State::Reg& r) {
        return r.connection == connection && r.owner == this;
      });
      if (it == regs.end()) return call.Return(MAPI_E_NOT_FOUND);
      sink = it->sink;
      regs.erase(it);
    }
    sink->Release();
    return call.Return(S_OK);
  }

  STDMETHODIMP CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG,
                               ULONG* result) override {
    return CompareIds(cb1, id1, cb2, id2, result);
  }

  STDMETHODIMP OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID iid, ULONG flags, ULONG* objType,
                         LPUNKNOWN* out) override {
    CallScope call(St(), Op::OpenEntry, flags);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr || (cbEntryID != 0 && lpEntryID == nullptr)) return call.Return(MAPI_E_INVALID_PARAMETER);
    // The root folder is not offered.
    if (cbEntryID == 0) return call.Return(MAPI_E_NO_SUPPORT);
    EntryRef ref{};
    if (!ParseEntryId(cbEntryID, lpEntryID, ref) || ref.store != m_store ||
        (ref.kind != Kind::Folder && ref.kind != Kind::Message))
      return call.Return(MAPI_E_INVALID_ENTRYID);
    Folder folder = Folder::Inbox;
    if (ref.kind == Kind::Folder) {
      if (m_store != kDefaultStore || !FolderFromNumber(ref.number, folder)) return call.Return(MAPI_E_NOT_FOUND);
      if (folder == Folder::Inbox || folder == Folder::Calendar) {
        const HRESULT hr = call.Also(folder == Folder::Inbox ? Op::OpenInbox : Op::OpenCalendar);
        if (FAILED(hr)) return call.Return(hr);
      }
      if (!AnyOf(iid, {&IID_IMAPIFolder, &IID_IMAPIContainer, &IID_IMAPIProp}))
        return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
      if (objType != nullptr) *objType = MAPI_FOLDER;
      *out = static_cast<IMAPIFolder*>(new FolderObject(m_state, folder));
      return call.Return(S_OK);
    }
    ItemPtr item;
    {
      std::lock_guard<std::mutex> lock(St().mutex);
      size_t index = 0;
      if (St().FindItem(ref.number, folder, index)) item = (*St().FolderItems(folder))[index];
    }
    if (item == nullptr) return call.Return(MAPI_E_NOT_FOUND);
    if (!AnyOf(iid, {&IID_IMessage, &IID_IMAPIProp})) return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
    if (objType != nullptr) *objType = MAPI_MESSAGE;
    *out = static_cast<IMessage*>(new Message(m_state, std::move(item)));
    return call.Return(S_OK);
  }

  STDMETHODIMP SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP GetReceiveFolder(LPTSTR messageClass, ULONG flags, ULONG* cbEntryID, LPENTRYID* entryID,
                                LPTSTR* explicitClass) override {
    CallScope call(St(), Op::GetReceiveFolder, flags);
    if (entryID != nullptr) *entryID = nullptr;
    if (cbEntryID != nullptr) *cbEntryID = 0;
    if (explicitClass != nullptr) *explicitClass = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (cbEntryID == nullptr || entryID == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    if ((flags & ~MAPI_UNICODE) != 0) return call.Return(MAPI_E_UNKNOWN_FLAGS);
    // Every class is received in the Inbox; only the default store has one.
    (void)messageClass;
    if (m_store != kDefaultStore) return call.Return(MAPI_E_NOT_FOUND);
    const std::vector<BYTE> id = MakeEntryId(Kind::Folder, kDefaultStore, FolderNumber(Folder::Inbox));
    LPVOID block = nullptr;
    HRESULT hr = St().Allocate(static_cast<ULONG>(id.size()), &block);
    if (FAILED(hr)) return call.Return(hr);
    std::memcpy(block, id.data(), id.size());
    if (explicitClass != nullptr) {
      // The default class is the empty one.
      LPVOID text = nullptr;
      if (FAILED(hr = St().Allocate(sizeof(WCHAR), &text))) {
        St().Free(block);
        return call.Return(hr);
      }
      *static_cast<WCHAR*>(text) = 0;
      *explicitClass = static_cast<LPTSTR>(text);
    }
    *cbEntryID = static_cast<ULONG>(id.size());
    *entryID = static_cast<LPENTRYID>(block);
    return call.Return(S_OK);
  }

  STDMETHODIMP GetReceiveFolderTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP StoreLogoff(ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP AbortSubmit(ULONG, LPENTRYID, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IMsgStore) || SameIid(riid, IID_IMAPIProp); }
  PropListPtr Values() const override {
    std::lock_guard<std::mutex> lock(St().mutex);
    return St().storeProps[m_store - 1];
  }
  Op GetPropsOp() const override { return Op::StoreGetProps; }
  Op SetPropsOp() const override { return Op::StoreSetProps; }
  bool HasNames() const override { return true; }

  // Anything may be written but what identifies the store.
  HRESULT Write(const std::vector<Prop>& values, std::vector<SCODE>& results) override {
    results.assign(values.size(), S_OK);
    std::lock_guard<std::mutex> lock(St().mutex);
    auto changed = std::make_shared<PropList>(*St().storeProps[m_store - 1]);
    for (size_t i = 0; i < values.size(); ++i) {
      const ULONG id = values[i].Id();
      if (id == PROP_ID(PR_ENTRYID) || id == PROP_ID(PR_RECORD_KEY) || id == PROP_ID(PR_OBJECT_TYPE) ||
          id == PROP_ID(PR_DEFAULT_STORE) || id == PROP_ID(PR_MDB_PROVIDER)) {
        results[i] = MAPI_E_COMPUTED;
        continue;
      }
      auto it = std::find_if(changed->begin(), changed->end(), [&](const Prop& p) { return p.Id() == id; });
      if (it != changed->end())
        *it = values[i];
      else
        changed->push_back(values[i]);
    }
    St().storeProps[m_store - 1] = std::move(changed);
    return S_OK;
  }

 private:
  const ULONG m_store;
};

// ---- the session -----------------------------------------------------------------------

class Session final : public Object<IMAPISession> {
 public:
  explicit Session(StatePtr state) : Object(std::move(state)) { ++St().liveSessions; }
  ~Session() override { --St().liveSessions; }

  STDMETHODIMP GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    return LastError(St(), hr, flags, out);
  }

  STDMETHODIMP GetMsgStoresTable(ULONG flags, LPMAPITABLE* out) override {
    CallScope call(St(), Op::GetMsgStoresTable, flags);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    if (m_loggedOff) return call.Return(MAPI_E_END_OF_SESSION);
    *out = NewStoresTable(m_state);
    return call.Return(S_OK);
  }

  STDMETHODIMP OpenMsgStore(ULONG_PTR ui, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID iid, ULONG flags,
                            LPMDB* out) override {
    CallScope call(St(), Op::OpenMsgStore, flags, ui);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr || lpEntryID == nullptr || cbEntryID == 0) return call.Return(MAPI_E_INVALID_PARAMETER);
    if (m_loggedOff) return call.Return(MAPI_E_END_OF_SESSION);
    EntryRef ref{};
    if (!ParseEntryId(cbEntryID, lpEntryID, ref) || ref.kind != Kind::Store ||
        (ref.store != kDefaultStore && ref.store != kOtherStore))
      return call.Return(MAPI_E_INVALID_ENTRYID);
    if (!AnyOf(iid, {&IID_IMsgStore, &IID_IMAPIProp})) return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
    *out = NewStore(m_state, ref.store);
    return call.Return(S_OK);
  }

  STDMETHODIMP OpenAddressBook(ULONG_PTR ui, LPCIID iid, ULONG flags, LPADRBOOK* out) override {
    CallScope call(St(), Op::OpenAddressBook, flags, ui);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    if (m_loggedOff) return call.Return(MAPI_E_END_OF_SESSION);
    if (!AnyOf(iid, {&IID_IAddrBook, &IID_IMAPIProp})) return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
    *out = NewAddressBook(m_state);
    return call.Return(S_OK);
  }

  STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetStatusTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN* out) override {
    if (out != nullptr) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG,
                               ULONG* result) override {
    return CompareIds(cb1, id1, cb2, id2, result);
  }
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP Logoff(ULONG_PTR ui, ULONG flags, ULONG reserved) override {
    CallScope call(St(), Op::Logoff, flags, ui);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (reserved != 0) return call.Return(MAPI_E_INVALID_PARAMETER);
    if (flags & ~(MAPI_LOGOFF_SHARED | MAPI_LOGOFF_UI)) return call.Return(MAPI_E_UNKNOWN_FLAGS);
    // Logging off twice is harmless. Objects opened through the session
    // keep working until they are released.
    m_loggedOff = true;
    return call.Return(S_OK);
  }

  STDMETHODIMP SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                        LPSTR) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IMAPISession); }

 private:
  std::atomic<bool> m_loggedOff{false};
};

}  // namespace

IMAPISession* NewSession(std::shared_ptr<Provider::State> state) { return new Session(std::move(state)); }

IMsgStore* NewStore(std::shared_ptr<Provider::State> state, ULONG store) { return new Store(std::move(state), store); }

IMAPITable* NewTable(std::shared_ptr<Provider::State> state, std::vector<ItemPtr> rows, std::vector<ULONG> columns,
                     TableOps ops) {
  return new Table(std::move(state), std::move(rows), std::move(columns), ops);
}

IMAPITable* NewStoresTable(std::shared_ptr<Provider::State> state) {
  std::vector<ItemPtr> rows;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto row = [&](ULONG store) {
      auto item = std::make_shared<Item>();
      item->props = state->StoreRowLocked(store);
      rows.push_back(std::move(item));
    };
    switch (state->storeTable) {
      case StoreTable::DefaultAndOther:
        row(kOtherStore);
        row(kDefaultStore);
        break;
      case StoreTable::DefaultOnly:
        row(kDefaultStore);
        break;
      case StoreTable::OtherOnly:
        row(kOtherStore);
        break;
      case StoreTable::Empty:
        break;
    }
  }
  return NewTable(std::move(state), std::move(rows), {PR_ENTRYID, PR_DISPLAY_NAME_W, PR_DEFAULT_STORE},
                  TableOps{Op::StoreTableSetColumns, Op::StoreTableRestrict, Op::kCount, Op::StoreTableQueryRows});
}

}  // namespace memstore
