// The address book: the dialog through a chooser, recipient preparation and
// the directory entries.
#include <algorithm>
#include <cstring>

#include "memstore/Internal.h"

namespace memstore {

namespace {

using StatePtr = std::shared_ptr<Provider::State>;

// Not named by the platform headers on every target.
constexpr ULONG kCacheOnly = 0x00004000;  // MAPI_CACHE_ONLY

bool AnyOf(LPCIID iid, std::initializer_list<const IID*> accepted) {
  if (iid == nullptr || SameIid(*iid, IID_IUnknown)) return true;
  for (const IID* a : accepted)
    if (SameIid(*iid, *a)) return true;
  return false;
}

// A mail user or distribution list of the directory.
template <class Iface>
class EntryObject : public PropObject<Iface> {
 public:
  EntryObject(StatePtr state, AbEntryPtr entry) : PropObject<Iface>(std::move(state)), m_entry(std::move(entry)) {}

 protected:
  PropListPtr Values() const override { return PropListPtr(m_entry, &m_entry->props); }
  Op GetPropsOp() const override { return Op::EntryGetProps; }

  const AbEntryPtr m_entry;
};

class MailUser final : public EntryObject<IMailUser> {
 public:
  using EntryObject::EntryObject;

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IMailUser) || SameIid(riid, IID_IMAPIProp); }
};

// The container methods of a directory container or list: nothing to offer.
template <class Iface>
class ContainerObject : public EntryObject<Iface> {
 public:
  using EntryObject<Iface>::EntryObject;

  STDMETHODIMP GetContentsTable(ULONG, LPMAPITABLE* out) override {
    if (out != nullptr) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
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
  STDMETHODIMP CreateEntry(ULONG, LPENTRYID, ULONG, LPMAPIPROP*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CopyEntries(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP DeleteEntries(LPENTRYLIST, ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) override { return MAPI_E_NO_SUPPORT; }
};

class DistListObject final : public ContainerObject<IDistList> {
 public:
  using ContainerObject::ContainerObject;

 protected:
  bool Answers(REFIID riid) const override {
    return SameIid(riid, IID_IDistList) || SameIid(riid, IID_IMAPIContainer) || SameIid(riid, IID_IMAPIProp);
  }
};

class RootContainer final : public ContainerObject<IABContainer> {
 public:
  using ContainerObject::ContainerObject;

 protected:
  bool Answers(REFIID riid) const override {
    return SameIid(riid, IID_IABContainer) || SameIid(riid, IID_IMAPIContainer) || SameIid(riid, IID_IMAPIProp);
  }
};

AbEntryPtr RootEntry() {
  auto root = std::make_shared<AbEntry>();
  root->objectType = MAPI_ABCONT;
  root->props.push_back(Prop::Binary(PR_ENTRYID, MakeEntryId(Kind::AbRoot, 0, 0)));
  root->props.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_ABCONT));
  root->props.push_back(Prop::String(PR_DISPLAY_NAME_W, WSTR("Directory")));
  return root;
}

// A caller's value as a held one; PT_ERROR values are kept as such.
bool Held(const SPropValue& value, Prop& out) {
  if (PROP_TYPE(value.ulPropTag) == PT_ERROR) {
    out = Prop::Error(value.ulPropTag, value.Value.err);
    return true;
  }
  return ReadValue(value, out);
}

class AddressBook final : public PropObject<IAddrBook> {
 public:
  explicit AddressBook(StatePtr state) : PropObject(std::move(state)) {}

  STDMETHODIMP OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID iid, ULONG flags, ULONG* objType,
                         LPUNKNOWN* out) override {
    CallScope call(St(), Op::AddrBookOpenEntry, flags);
    if (out != nullptr) *out = nullptr;
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (out == nullptr || (cbEntryID != 0 && lpEntryID == nullptr)) return call.Return(MAPI_E_INVALID_PARAMETER);
    EntryRef ref{Kind::AbRoot, 0, 0};
    // No entry id: the directory's root container.
    if (cbEntryID != 0 && (!ParseEntryId(cbEntryID, lpEntryID, ref) ||
                           (ref.kind != Kind::AbRoot && ref.kind != Kind::AbEntry)))
      return call.Return(MAPI_E_UNKNOWN_ENTRYID);
    if (ref.kind == Kind::AbRoot) {
      if (!AnyOf(iid, {&IID_IABContainer, &IID_IMAPIContainer, &IID_IMAPIProp}))
        return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
      if (objType != nullptr) *objType = MAPI_ABCONT;
      *out = static_cast<IABContainer*>(new RootContainer(m_state, RootEntry()));
      return call.Return(S_OK);
    }
    AbEntryPtr entry = Find(ref.number);
    if (entry == nullptr) return call.Return(MAPI_E_NOT_FOUND);
    if (entry->objectType == MAPI_DISTLIST) {
      if (!AnyOf(iid, {&IID_IDistList, &IID_IMAPIContainer, &IID_IMAPIProp}))
        return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
      if (objType != nullptr) *objType = MAPI_DISTLIST;
      *out = static_cast<IDistList*>(new DistListObject(m_state, std::move(entry)));
    } else {
      if (!AnyOf(iid, {&IID_IMailUser, &IID_IMAPIProp})) return call.Return(MAPI_E_INTERFACE_NOT_SUPPORTED);
      if (objType != nullptr) *objType = MAPI_MAILUSER;
      *out = static_cast<IMailUser*>(new MailUser(m_state, std::move(entry)));
    }
    return call.Return(S_OK);
  }

  STDMETHODIMP CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG,
                               ULONG* result) override {
    return CompareIds(cb1, id1, cb2, id2, result);
  }
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }

  STDMETHODIMP Address(ULONG_PTR* lpulUIParam, LPADRPARM params, LPADRLIST* list) override {
    const ULONG_PTR ui = lpulUIParam != nullptr ? *lpulUIParam : 0;
    CallScope call(St(), Op::Address, params != nullptr ? params->ulFlags : 0, ui);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (params == nullptr || list == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    // Only the modal dialog is offered.
    if (params->ulFlags & DIALOG_SDI) return call.Return(MAPI_E_NO_SUPPORT);
    Chooser chooser;
    {
      std::lock_guard<std::mutex> lock(St().mutex);
      chooser = St().chooser;
    }
    // The user decides outside the lock: a chooser may look at the provider.
    const DialogChoice choice = chooser ? chooser(*params, ui) : DialogChoice::Cancel();
    if (choice.kind == DialogChoice::Kind::Cancel) return call.Return(MAPI_E_USER_CANCEL);
    std::vector<AbEntryPtr> picked;
    if (choice.kind == DialogChoice::Kind::Pick) {
      for (EntryNumber n : choice.entries) {
        AbEntryPtr entry = Find(n);
        if (entry == nullptr) return call.Return(MAPI_E_NOT_FOUND);
        picked.push_back(std::move(entry));
      }
    }
    const ULONG recipientType = (params->cDestFields > 0 && params->lpulDestComps != nullptr)
                                    ? params->lpulDestComps[params->nDestFieldFocus < params->cDestFields
                                                                ? params->nDestFieldFocus
                                                                : 0]
                                    : MAPI_TO;
    LPADRLIST made = nullptr;
    if (!picked.empty()) {
      const HRESULT hr = MakeList(picked, recipientType, &made);
      if (FAILED(hr)) return call.Return(hr);
    }
    // The list the caller passed in is replaced by the dialog's.
    FreeList(*list);
    *list = made;
    return call.Return(S_OK);
  }

  STDMETHODIMP Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  STDMETHODIMP RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetPAB(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetDefaultDir(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP GetSearchPath(ULONG, LPSRowSet*) override { return MAPI_E_NO_SUPPORT; }
  STDMETHODIMP SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_SUPPORT; }

  // Each entry that names one of ours gets the requested properties first,
  // in the order asked (PT_ERROR with MAPI_E_NOT_FOUND for one it lacks),
  // then the values it already carried, in their order. Entries without one
  // of our entry ids keep what they have and gain the requested ones they
  // can: their own values, else PT_ERROR.
  STDMETHODIMP PrepareRecips(ULONG flags, LPSPropTagArray tags, LPADRLIST list) override {
    CallScope call(St(), Op::PrepareRecips, flags);
    if (FAILED(call.Injected())) return call.Return(call.Injected());
    if (list == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
    if (flags & ~kCacheOnly) return call.Return(MAPI_E_UNKNOWN_FLAGS);
    if (tags == nullptr || tags->cValues == 0) return call.Return(S_OK);
    for (ULONG e = 0; e < list->cEntries; ++e) {
      ADRENTRY& entry = list->aEntries[e];
      if (entry.cValues != 0 && entry.rgPropVals == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
      // What the entry carries now.
      PropList carried;
      std::vector<ULONG> carriedTags;
      AbEntryPtr directory;
      for (ULONG i = 0; i < entry.cValues; ++i) {
        const SPropValue& v = entry.rgPropVals[i];
        Prop p;
        // Values of types the provider does not keep (objects and the
        // like) cannot be carried over and are dropped.
        if (!Held(v, p)) continue;
        carried.push_back(std::move(p));
        carriedTags.push_back(v.ulPropTag);
        EntryRef ref{};
        if (v.ulPropTag == PR_ENTRYID && ParseEntryId(v.Value.bin.cb, v.Value.bin.lpb, ref) &&
            ref.kind == Kind::AbEntry)
          directory = Find(ref.number);
      }
      std::vector<OutValue> values;
      for (ULONG t = 0; t < tags->cValues; ++t) {
        const ULONG asked = tags->aulPropTag[t];
        const Prop* held = directory != nullptr ? FindProp(directory->props, PROP_ID(asked)) : nullptr;
        if (held == nullptr) held = FindProp(carried, PROP_ID(asked));
        values.push_back(Answer(asked, held));
      }
      for (size_t i = 0; i < carried.size(); ++i) {
        const ULONG id = carried[i].Id();
        const bool asked = std::any_of(tags->aulPropTag, tags->aulPropTag + tags->cValues,
                                       [&](ULONG tag) { return PROP_ID(tag) == id; });
        if (!asked) values.push_back(Answer(carriedTags[i], &carried[i]));
      }
      LPSPropValue made = nullptr;
      const HRESULT hr = WriteValues(St(), values, &made);
      if (FAILED(hr)) return call.Return(hr);
      St().Free(entry.rgPropVals);
      entry.rgPropVals = made;
      entry.cValues = static_cast<ULONG>(values.size());
    }
    return call.Return(S_OK);
  }

 protected:
  bool Answers(REFIID riid) const override { return SameIid(riid, IID_IAddrBook) || SameIid(riid, IID_IMAPIProp); }
  PropListPtr Values() const override {
    auto props = std::make_shared<PropList>();
    props->push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_ADDRBOOK));
    props->push_back(Prop::String(PR_DISPLAY_NAME_W, WSTR("Address Book")));
    return props;
  }

 private:
  AbEntryPtr Find(EntryNumber number) const {
    std::lock_guard<std::mutex> lock(St().mutex);
    const auto& entries = St().entries;
    if (number == 0 || number > entries.size()) return nullptr;
    return entries[number - 1];
  }

  void FreeList(LPADRLIST list) {
    if (list == nullptr) return;
    for (ULONG i = 0; i < list->cEntries; ++i) St().Free(list->aEntries[i].rgPropVals);
    St().Free(list);
  }

  // The dialog's result: per entry the recipient type, then the entry's
  // properties but its directory-only proxy addresses.
  HRESULT MakeList(const std::vector<AbEntryPtr>& picked, ULONG recipientType, LPADRLIST* out) {
    LPVOID block = nullptr;
    HRESULT hr = St().Allocate(static_cast<ULONG>(CbNewADRLIST(picked.size())), &block);
    if (FAILED(hr)) return hr;
    auto* list = static_cast<LPADRLIST>(block);
    list->cEntries = 0;
    for (const AbEntryPtr& entry : picked) {
      const Prop type = Prop::Long(PR_RECIPIENT_TYPE, static_cast<LONG>(recipientType));
      std::vector<OutValue> values{Answer(type.Tag(), &type)};
      for (const Prop& p : entry->props)
        if (p.Id() != PROP_ID(PR_EMS_AB_PROXY_ADDRESSES)) values.push_back(Answer(p.Tag(), &p));
      ADRENTRY& slot = list->aEntries[list->cEntries];
      slot.ulReserved1 = 0;
      slot.cValues = static_cast<ULONG>(values.size());
      if (FAILED(hr = WriteValues(St(), values, &slot.rgPropVals))) {
        FreeList(list);
        return hr;
      }
      ++list->cEntries;
    }
    *out = list;
    return S_OK;
  }
};

}  // namespace

IAddrBook* NewAddressBook(std::shared_ptr<Provider::State> state) { return new AddressBook(std::move(state)); }

}  // namespace memstore
