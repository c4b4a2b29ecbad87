#include "mapisearch/MAPIParSelUI.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/services.h"
#include "platform/wformat.h"

namespace {

const WCHAR* const kUnknownProperty = WSTR("unknown-property");
const WCHAR* const kUnknownObjectType = WSTR("Unknown/Unexpected object type");

// A pointer as the log shows it: its low 32 bits.
unsigned Shown(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

WString Wide(const char* narrow) {
  if (narrow == nullptr || *narrow == 0) return WString();
  const int needed = plat::Locale().MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (needed <= 1) return WString();
  WString wide(static_cast<size_t>(needed), 0);
  plat::Locale().MultiByteToWideChar(CP_ACP, 0, narrow, -1, &wide[0], needed);
  wide.resize(static_cast<size_t>(needed - 1));
  return wide;
}

void WriteBool(VARIANT* v, bool value) {
  v->vt = VT_BOOL;
  v->boolVal = static_cast<VARIANT_BOOL>(value ? 1 : 0);  // 1, not VARIANT_TRUE
}

void WriteCount(VARIANT* v, ULONG count) {
  VARIANT fresh;
  std::memset(&fresh, 0, sizeof fresh);
  fresh.vt = VT_I4;
  fresh.lVal = static_cast<LONG>(count);
  *v = fresh;
}

WString Hex(const SBinary& bin) {
  static const char kDigits[] = "0123456789ABCDEF";
  WString text;
  if (bin.lpb == nullptr) return text;
  text.reserve(bin.cb * 2);
  for (ULONG i = 0; i < bin.cb; ++i) {
    text.push_back(static_cast<WCHAR>(kDigits[bin.lpb[i] >> 4]));
    text.push_back(static_cast<WCHAR>(kDigits[bin.lpb[i] & 0xF]));
  }
  return text;
}

// Stores text (owned, may be null) in the array's empty element at position:
// SafeArrayPutElement would turn a null text into an empty one.
HRESULT PlaceText(SAFEARRAY* values, LONG position, BSTR text) {
  void* slot = nullptr;
  const HRESULT hr = SafeArrayPtrOfIndex(values, &position, &slot);
  if (FAILED(hr) || slot == nullptr) {
    SysFreeString(text);
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  *static_cast<BSTR*>(slot) = text;
  return S_OK;
}

}  // namespace

// ---- the participant property table ------------------------------------------

void CPropMap::SetAt(ULONG key, const PropXlate& value) {
  auto& bucket = m_buckets[key % kBuckets];
  for (auto& entry : bucket) {
    if (entry.first == key) {
      entry.second = value;
      return;
    }
  }
  bucket.emplace_back(key, value);
  ++m_count;
}

const PropXlate* CPropMap::Lookup(ULONG key) const {
  for (const auto& entry : m_buckets[key % kBuckets])
    if (entry.first == key) return &entry.second;
  return nullptr;
}

void CPropMap::RemoveAll() {
  for (auto& bucket : m_buckets) bucket.clear();
  m_count = 0;
}

// ---- construction ------------------------------------------------------------------

MAPIParSelUI::MAPIParSelUI() : CAXLogger(WSTR("MAPI Search")) {
  struct Row {
    const WCHAR* name;
    ULONG pid;
    ULONG tag;
    bool request;
  };
  // The order of insertion decides the order within a bucket.
  static const Row kRows[] = {
      {WSTR("PID_ADDRTYPE"), 3, PROP_TAG(PT_UNICODE, 0x3002), true},
      {WSTR("PID_DISPLAY_NAME"), 1, PROP_TAG(PT_UNICODE, 0x3001), true},
      {WSTR("PID_EMAIL_ADDRESS"), 2, PROP_TAG(PT_UNICODE, 0x3003), true},
      {WSTR("PID_ENTRYID"), 4, PR_ENTRYID, true},
      {WSTR("PID_STORE_ENTRYID"), 5, PR_STORE_ENTRYID, true},
      {WSTR("PID_STORE_RECORD_KEY"), 14, PR_STORE_RECORD_KEY, true},
      {WSTR("PID_RECORD_KEY"), 15, PR_RECORD_KEY, true},
      {WSTR("PID_RECIPIENT_TYPE"), 6, PR_RECIPIENT_TYPE, false},
      {WSTR("PID_DISPLAY_TYPE"), 7, PR_DISPLAY_TYPE, false},
      {WSTR("PID_OFFICE_TELEPHONE_NUMBER"), 17, PROP_TAG(PT_UNICODE, 0x3A08), true},
      {WSTR("PID_HOME_TELEPHONE_NUMBER"), 18, PROP_TAG(PT_UNICODE, 0x3A09), true},
      {WSTR("PID_PRIMARY_TELEPHONE_NUMBER"), 19, PROP_TAG(PT_UNICODE, 0x3A1A), true},
      {WSTR("PID_OFFICE2_TELEPHONE_NUMBER"), 20, PROP_TAG(PT_UNICODE, 0x3A1B), true},
      {WSTR("PID_CELLULAR_TELEPHONE_NUMBER"), 21, PROP_TAG(PT_UNICODE, 0x3A1C), true},
      {WSTR("PID_RADIO_TELEPHONE_NUMBER"), 22, PROP_TAG(PT_UNICODE, 0x3A1D), true},
      {WSTR("PID_CAR_TELEPHONE_NUMBER"), 23, PROP_TAG(PT_UNICODE, 0x3A1E), true},
      {WSTR("PID_OTHER_TELEPHONE_NUMBER"), 24, PROP_TAG(PT_UNICODE, 0x3A1F), true},
      {WSTR("PID_BEEPER_TELEPHONE_NUMBER"), 25, PROP_TAG(PT_UNICODE, 0x3A21), true},
      {WSTR("PID_OBJECT_TYPE"), 8, PR_OBJECT_TYPE, true},
      {WSTR("PID_TITLE"), 9, PROP_TAG(PT_UNICODE, 0x3A17), true},
      {WSTR("PID_GIVEN_NAME"), 10, PROP_TAG(PT_UNICODE, 0x3A06), true},
      {WSTR("PID_MIDDLE_NAME"), 11, PROP_TAG(PT_UNICODE, 0x3A44), true},
      {WSTR("PID_SURNAME"), 12, PROP_TAG(PT_UNICODE, 0x3A11), true},
      {WSTR("PID_GENERATION"), 13, PROP_TAG(PT_UNICODE, 0x3A05), false},
      {WSTR("PID_PRIMARY_FAX_NUMBER"), 26, PROP_TAG(PT_UNICODE, 0x3A23), true},
      {WSTR("PID_BUSINESS_FAX_NUMBER"), 27, PROP_TAG(PT_UNICODE, 0x3A24), true},
      {WSTR("PID_HOME_FAX_NUMBER"), 28, PROP_TAG(PT_UNICODE, 0x3A25), true},
      {WSTR("PID_FULLNAME"), kPidFullName, 0, false},
  };
  for (const Row& row : kRows) PropMap.SetAt(PROP_ID(row.tag), PropXlate(row.pid, row.tag, row.request, row.name));

  static const WCHAR* const kTypeNames[] = {
      WSTR("Message store object"),   WSTR("Address book object"),       WSTR("Folder object"),
      WSTR("Address book container object"), WSTR("Message object"),    WSTR("Messaging user object"),
      WSTR("Message attachment object"),     WSTR("Distribution list object"), WSTR("Profile section object"),
      WSTR("Status object"),                 WSTR("Session object"),     WSTR("Form object"),
  };
  for (ULONG type = 1; type <= 12; ++type) m_ObjTypeNames[type] = kTypeNames[type - 1];
}

MAPIParSelUI::~MAPIParSelUI() {
  if (m_lpSession != nullptr) DoLogout();
  // A session whose Logoff failed is still ours to give back.
  if (m_lpSession != nullptr) {
    m_lpSession->Release();
    m_lpSession = nullptr;
  }
  FreeAdrList(m_AddrList);
  m_AddrList = nullptr;
  DestroyPropertySet();
  PropMap.RemoveAll();
  m_ObjTypeNames.clear();
}

const WCHAR* MAPIParSelUI::GetLogPrefix() { return WSTR("CMapiSearchAX :: "); }

void MAPIParSelUI::LogErrorText(const WString& text) {
  Log(LOG_ERROR, WSTR("Tessaro ERROR :: MAPIParSelUI::DisplayError(663): %s"), text.c_str());
}

std::vector<ULONG> MAPIParSelUI::RequestedTags() const {
  std::vector<ULONG> tags;
  PropMap.ForEach([&](ULONG, const PropXlate& x) {
    if (x.m_bRequest) tags.push_back(x.m_ulPropTag);
  });
  return tags;
}

const WCHAR* MAPIParSelUI::ObjectTypeName(LONG type) const {
  const auto it = m_ObjTypeNames.find(static_cast<ULONG>(type));
  return it != m_ObjTypeNames.end() ? it->second.c_str() : kUnknownObjectType;
}

// ---- logon, dialog, resolution, logoff -------------------------------------------

HRESULT MAPIParSelUI::DoLogin() {
  m_settings.Load();
  InitializeMAPI();
  // A session is kept without its address book only after a failed Logoff
  // (DoLogout keeps the session to try again); such a session gets its store
  // and address book again here instead of being reported as ready.
  if (m_lpSession != nullptr && m_lpAddrBook != nullptr) return S_OK;

  HRESULT hr = S_OK;
  if (m_lpSession == nullptr) {
    LPMAPISESSION session = nullptr;
    hr = plat::Mapi().MAPILogonEx(m_ulUIParam, nullptr, nullptr,
                                  MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_USE_DEFAULT | MAPI_NO_MAIL, &session);
    if (FAILED(hr)) {
      char name[kMAPIErrorNameSize];
      const WString text = Wide(FormatMAPIErrorName(name, "MAPILogon", hr));
      Log(LOG_ERROR, WSTR("Tessaro ERROR :: MAPIParSelUI::DoLogin(68): %s"), text.c_str());
      DoLogout();
      return hr;
    }
    // The logon dialog is modal, and a call the page made while it was up
    // may have logged on already: that session stays, this one goes back.
    if (m_lpSession == nullptr) {
      m_lpSession = session;
    } else {
      session->Logoff(m_ulUIParam, 0, 0);
      session->Release();
      if (m_lpAddrBook != nullptr) return S_OK;
    }
  }

  // A profile without a default store still gives a usable address book.
  LPMDB store = nullptr;
  if (m_lpMDB == nullptr && SUCCEEDED(OpenDefaultStore(m_lpSession, &store))) m_lpMDB = store;

  LPADRBOOK book = nullptr;
  hr = m_lpSession->OpenAddressBook(m_ulUIParam, nullptr, 0, &book);
  if (FAILED(hr)) {
    if (book != nullptr) book->Release();
    DoLogout();
    return hr;
  }
  if (m_lpAddrBook == nullptr) {
    m_lpAddrBook = book;
  } else {
    book->Release();  // one opened by a nested call meanwhile
  }
  return hr;
}

HRESULT MAPIParSelUI::InitializeMAPI() {
  if (m_bMAPIInitialized) return S_OK;
  const HRESULT hr = plat::Mapi().MAPIInitialize(nullptr);
  m_bMAPIInitialized = SUCCEEDED(hr);
  if (FAILED(hr)) {
    char name[kMAPIErrorNameSize];
    const WString text = Wide(FormatMAPIErrorName(name, "MAPILogon", hr));
    Log(LOG_ERROR, WSTR("Tessaro ERROR :: MAPIParSelUI::InitializeMAPI(736): %s"), text.c_str());
  } else {
    Log(LOG_INFO, WSTR("Tessaro INFO  :: MAPIParSelUI::InitializeMAPI(738): MAPI Initialized"));
  }
  return hr;
}

HRESULT MAPIParSelUI::OpenDefaultStore(LPMAPISESSION session, LPMDB* store) {
  if (session == nullptr || store == nullptr) return E_POINTER;
  LPMAPITABLE table = nullptr;
  HRESULT hr = session->GetMsgStoresTable(0, &table);
  if (FAILED(hr)) return hr;

  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DEFAULT_STORE}};
  SPropValue isDefault;
  std::memset(&isDefault, 0, sizeof isDefault);
  isDefault.ulPropTag = PR_DEFAULT_STORE;
  isDefault.Value.b = TRUE;
  SRestriction restriction;
  std::memset(&restriction, 0, sizeof restriction);
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty.relop = RELOP_EQ;
  restriction.res.resProperty.ulPropTag = PR_DEFAULT_STORE;
  restriction.res.resProperty.lpProp = &isDefault;

  LPSRowSet rows = nullptr;
  hr = plat::Mapi().HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr, 0,
                                   &rows);
  if (SUCCEEDED(hr)) {
    if (rows != nullptr && rows->cRows > 0 && rows->aRow[0].cValues > 0 && rows->aRow[0].lpProps != nullptr &&
        rows->aRow[0].lpProps[0].ulPropTag == PR_ENTRYID) {
      const SBinary& id = rows->aRow[0].lpProps[0].Value.bin;
      hr = session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, MDB_WRITE, store);
    } else {
      hr = MAPI_E_NOT_FOUND;
    }
  }
  if (rows != nullptr) plat::Mapi().FreeProws(rows);
  table->Release();
  return hr;
}

HRESULT MAPIParSelUI::ShowParticipantsDialog() {
  if (m_lpAddrBook == nullptr) return MAPI_E_NOT_INITIALIZED;
  WCHAR caption[] = WSTR("Get Call Participants");
  WCHAR newEntryTitle[] = WSTR("New Contact");
  WCHAR wellsTitle[] = WSTR("&Call Participants");
  WCHAR addTitle[] = WSTR("&Add");
  LPTSTR destTitles[1] = {addTitle};
  ULONG destComps[1] = {MAPI_TO};

  ADRPARM params;
  std::memset(&params, 0, sizeof params);
  params.cbABContEntryID = 0;
  params.lpABContEntryID = nullptr;
  params.ulFlags = DIALOG_MODAL | AB_RESOLVE | MAPI_UNICODE;
  params.lpszCaption = caption;
  params.lpszNewEntryTitle = newEntryTitle;
  params.lpszDestWellsTitle = wellsTitle;
  params.cDestFields = 1;
  params.nDestFieldFocus = 0;
  params.lppszDestTitles = destTitles;
  params.lpulDestComps = destComps;

  // The dialog is modal: while it is up the page may log this control out
  // or show the dialog again. The address book stays alive until the
  // dialog is closed; what was picked is then resolved against the address
  // book the control holds by then, if any.
  const ComPtr<IAddrBook> book(m_lpAddrBook);
  ULONG_PTR uiParam = m_ulUIParam;
  LPADRLIST list = nullptr;
  HRESULT hr = book->Address(&uiParam, &params, &list);
  if (FAILED(hr)) {
    FreeAdrList(m_AddrList);
    m_AddrList = nullptr;
    FreeAdrList(list);
    return hr == MAPI_E_USER_CANCEL ? S_OK : hr;
  }
  FreeAdrList(m_AddrList);
  m_AddrList = list;
  if (m_AddrList == nullptr) return hr;
  hr = ProcessAddrList();
  if (FAILED(hr)) {
    FreeAdrList(m_AddrList);
    m_AddrList = nullptr;
  }
  return hr;
}

HRESULT MAPIParSelUI::ProcessAddrList() {
  Log(LOG_DETAIL, WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(853): PropMap.GetCount = %d"),
      static_cast<int>(PropMap.GetCount()));
  const std::vector<ULONG> requested = RequestedTags();
  // SPropTagArray: the count, then the tags.
  std::vector<ULONG> storage(requested.size() + 1);
  storage[0] = static_cast<ULONG>(requested.size());
  for (size_t i = 0; i < requested.size(); ++i) storage[i + 1] = requested[i];
  auto* lpPTArray = reinterpret_cast<LPSPropTagArray>(storage.data());

  Log(LOG_DETAIL, WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(871): \tlpPTArray->cValues = %d\tm_lpAddrBook = 0x%x"),
      static_cast<int>(lpPTArray->cValues), Shown(m_lpAddrBook));
  Log(LOG_DETAIL,
      WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(879): Calling m_lpAddrBook->PrepareRecips(ulFlags = %d, lpPTArray = 0x%x, m_AddrList = 0x%x)"),
      0, Shown(lpPTArray), Shown(m_AddrList));
  const HRESULT hr = m_lpAddrBook != nullptr ? m_lpAddrBook->PrepareRecips(0, lpPTArray, m_AddrList)
                                             : MAPI_E_NOT_INITIALIZED;
  if (FAILED(hr)) {
    Log(LOG_ERROR, WSTR("Tessaro ERROR :: MAPIParSelUI::ProcessAddrList(888): PrepareRecips() Failed."));
    DisplayError(m_lpAddrBook, hr, "PrepareRecips");
  } else {
    Log(LOG_INFO,
        WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(899): PrepareRecips() successfully called against Address List."));
  }
  Log(LOG_ERROR, WSTR("Tessaro ERROR :: MAPIParSelUI::ProcessAddrList(909): MAPIParSelUI::ProcessAddrList() returning 0x%x"),
      static_cast<unsigned>(hr));
  return hr;
}

HRESULT MAPIParSelUI::DoLogout() {
  FreeAdrList(m_AddrList);
  m_AddrList = nullptr;
  if (m_lpAddrBook != nullptr) {
    m_lpAddrBook->Release();
    m_lpAddrBook = nullptr;
  }
  if (m_lpMDB != nullptr) {
    m_lpMDB->Release();
    m_lpMDB = nullptr;
  }
  if (m_lpSession == nullptr) return S_OK;
  const HRESULT hr = m_lpSession->Logoff(m_ulUIParam, MAPI_LOGOFF_UI, 0);
  if (FAILED(hr)) {
    // The session stays, so that a later DoLogout tries again.
    DisplayError(m_lpSession, hr, "Logoff");
    return hr;
  }
  Log(LOG_INFO, WSTR("Tessaro INFO  :: MAPIParSelUI::DoLogout(208): MAPI Session id of 0x%x was Logged Off Successfully"),
      Shown(m_lpSession));
  m_lpSession->Release();
  m_lpSession = nullptr;
  return hr;
}

HRESULT MAPIParSelUI::FreeAdrList(LPADRLIST list) {
  if (list == nullptr) return S_OK;
  for (ULONG i = 0; i < list->cEntries; ++i) {
    plat::Mapi().MAPIFreeBuffer(list->aEntries[i].rgPropVals);
    list->aEntries[i].rgPropVals = nullptr;
  }
  plat::Mapi().MAPIFreeBuffer(list);
  return S_OK;
}

// ---- the page's methods ---------------------------------------------------------------
//
// VARIANT inputs are read from their 32-bit value field whatever their tag.
// Out pointers that are null are refused with E_POINTER rather than written
// through.

HRESULT MAPIParSelUI::DoGetParticipantsDlg(VARIANT hWnd) {
  m_ulUIParam = static_cast<ULONG>(hWnd.lVal);
  if (m_lpAddrBook == nullptr || m_lpSession == nullptr) {
    const HRESULT hr = DoLogin();
    if (FAILED(hr)) return hr;
  }
  return ShowParticipantsDialog();
}

HRESULT MAPIParSelUI::GetParticipantCount(VARIANT* pvtCount) {
  if (pvtCount == nullptr) return E_POINTER;
  WriteCount(pvtCount, m_AddrList != nullptr ? m_AddrList->cEntries : 0);
  return S_OK;
}

HRESULT MAPIParSelUI::FirstParticipant(VARIANT* bSuccess) {
  if (bSuccess == nullptr) return E_POINTER;
  const bool any = m_AddrList != nullptr && m_AddrList->cEntries > 0;
  if (any) m_nParticipant = 0;
  WriteBool(bSuccess, any);
  return S_OK;
}

HRESULT MAPIParSelUI::NextParticipant(VARIANT* bSuccess) {
  if (bSuccess == nullptr) return E_POINTER;
  const bool more = m_AddrList != nullptr && m_nParticipant + 1 < m_AddrList->cEntries;
  if (more) ++m_nParticipant;
  WriteBool(bSuccess, more);
  return S_OK;
}

HRESULT MAPIParSelUI::GetParticipantPropertySetCount(VARIANT* pvCount) {
  if (pvCount == nullptr) return E_POINTER;
  if (m_AddrList == nullptr || m_nParticipant >= m_AddrList->cEntries) return E_ABORT;
  ULONG count = 0;
  const HRESULT hr = BuildPropertySet(&count);
  if (FAILED(hr)) return hr;
  WriteCount(pvCount, count);
  return S_OK;
}

HRESULT MAPIParSelUI::GetParticipantPropertyName(VARIANT vrPropertyPos, BSTR* pbstrPropertyName) {
  if (pbstrPropertyName == nullptr) return E_POINTER;
  const WCHAR* name = kUnknownProperty;
  UINT length = static_cast<UINT>(wstr::Len(kUnknownProperty));
  LONG pid = 0;
  LONG index = vrPropertyPos.lVal;
  if (m_psaPropIDs != nullptr && SUCCEEDED(SafeArrayGetElement(m_psaPropIDs, &index, &pid))) {
    PropMap.ForEach([&](ULONG, const PropXlate& x) {
      if (x.m_ulPID == static_cast<ULONG>(pid) && name == kUnknownProperty && x.m_bstrName != nullptr) {
        name = x.m_bstrName;
        length = SysStringLen(x.m_bstrName);
      }
    });
  }
  BSTR copy = SysAllocStringLen(name, length);
  if (copy == nullptr) return E_OUTOFMEMORY;
  *pbstrPropertyName = copy;
  return S_OK;
}

HRESULT MAPIParSelUI::GetParticipantPropertyValue(VARIANT nPropertyPos, BSTR* pbstrPropertyValue) {
  if (pbstrPropertyValue == nullptr) return E_POINTER;
  LONG index = nPropertyPos.lVal;
  void* slot = nullptr;
  // Outside the array nothing is written.
  if (m_psaPropValues == nullptr || FAILED(SafeArrayPtrOfIndex(m_psaPropValues, &index, &slot)) || slot == nullptr)
    return S_OK;
  // A null element stays null (SafeArrayGetElement would make it empty).
  const BSTR element = *static_cast<BSTR*>(slot);
  BSTR copy = nullptr;
  if (element != nullptr && (copy = SysAllocStringLen(element, SysStringLen(element))) == nullptr)
    return E_OUTOFMEMORY;
  *pbstrPropertyValue = copy;
  return S_OK;
}

HRESULT MAPIParSelUI::FirstProperty(VARIANT* bSuccess) {
  if (bSuccess == nullptr) return E_POINTER;
  WriteBool(bSuccess, true);
  m_nProperty = 0;
  VARIANT count;
  std::memset(&count, 0, sizeof count);
  m_nPropertyCount = SUCCEEDED(GetParticipantPropertySetCount(&count)) ? static_cast<ULONG>(count.lVal) : 0;
  return S_OK;
}

HRESULT MAPIParSelUI::NextProperty(VARIANT* bSuccess) {
  if (bSuccess == nullptr) return E_POINTER;
  const bool more = m_nProperty + 1 < m_nPropertyCount;
  if (more) ++m_nProperty;
  WriteBool(bSuccess, more);
  return S_OK;
}

HRESULT MAPIParSelUI::GetPropertyName(BSTR* pbstrPropertyName) {
  if (m_nProperty >= m_nPropertyCount) return E_FAIL;
  VARIANT pos;
  std::memset(&pos, 0, sizeof pos);
  pos.vt = VT_I4;
  pos.lVal = static_cast<LONG>(m_nProperty);
  return GetParticipantPropertyName(pos, pbstrPropertyName);
}

HRESULT MAPIParSelUI::GetPropertyValue(BSTR* pbstrPropertyValue) {
  if (m_nProperty >= m_nPropertyCount) return E_FAIL;
  VARIANT pos;
  std::memset(&pos, 0, sizeof pos);
  pos.vt = VT_I4;
  pos.lVal = static_cast<LONG>(m_nProperty);
  return GetParticipantPropertyValue(pos, pbstrPropertyValue);
}

// ---- property values ----------------------------------------------------------------

void MAPIParSelUI::DestroyPropertySet() {
  if (m_psaPropIDs != nullptr) SafeArrayDestroy(m_psaPropIDs);
  if (m_psaPropValues != nullptr) SafeArrayDestroy(m_psaPropValues);
  m_psaPropIDs = nullptr;
  m_psaPropValues = nullptr;
}

HRESULT MAPIParSelUI::BuildPropertySet(ULONG* count) {
  if (count == nullptr) return E_POINTER;
  if (m_AddrList == nullptr || m_nParticipant >= m_AddrList->cEntries) return E_ABORT;
  try {
    const ADRENTRY& entry = m_AddrList->aEntries[m_nParticipant];
    const ULONG cValues = entry.rgPropVals != nullptr ? entry.cValues : 0;
    Gathered gathered;
    gathered.reserve(cValues + 1);
    bool exchange = false;
    bool distList = false;
    ULONG phones = 0;
    WString initials, given, surname, generation;
    std::vector<BYTE> entryId;

    for (ULONG i = 0; i < cValues; ++i) {
      const SPropValue& v = entry.rgPropVals[i];
      const PropXlate* x = PropMap.Lookup(PROP_ID(v.ulPropTag));
      const ULONG pid = x != nullptr ? x->m_ulPID : 0;
      if (pid & kPidPhoneBit) ++phones;
      switch (PROP_TYPE(v.ulPropTag)) {
        case PT_UNICODE:
        case PT_STRING8: {
          WString text;
          if (PROP_TYPE(v.ulPropTag) == PT_UNICODE) {
            if (v.Value.lpszW != nullptr) text = v.Value.lpszW;
          } else {
            text = Wide(v.Value.lpszA);
          }
          // Only the wide forms are requested, so only they are recognised.
          if (v.ulPropTag == PROP_TAG(PT_UNICODE, 0x3002) && text == WSTR("EX")) exchange = true;
          if (v.ulPropTag == PROP_TAG(PT_UNICODE, 0x3A06)) given = text;
          if (v.ulPropTag == PROP_TAG(PT_UNICODE, 0x3A11)) surname = text;
          if (v.ulPropTag == PROP_TAG(PT_UNICODE, 0x3A05)) generation = text;
          if (v.ulPropTag == PROP_TAG(PT_UNICODE, 0x3A0A)) initials = text;
          if (!text.empty()) gathered.emplace_back(pid, std::move(text));
          break;
        }
        case PT_BINARY:
          if (v.ulPropTag == PR_ENTRYID && v.Value.bin.lpb != nullptr)
            entryId.assign(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
          gathered.emplace_back(pid, Hex(v.Value.bin));
          break;
        case PT_ERROR:
          if (v.Value.err == MAPI_E_NOT_FOUND) {
            gathered.emplace_back(pid, std::nullopt);
          } else {
            WString text;
            BuildMAPIErrorText(m_lpAddrBook, v.Value.err, "IAddrBook::PrepareRecips", text);
            gathered.emplace_back(pid, std::move(text));
          }
          break;
        default:
          if (v.ulPropTag == PR_OBJECT_TYPE) {
            gathered.emplace_back(pid, WString(ObjectTypeName(v.Value.l)));
            if (v.Value.l == static_cast<LONG>(MAPI_DISTLIST)) distList = true;
          }
          // Other numbers, times, flags and multi-valued properties are not
          // shown to the page.
          break;
      }
    }

    // An Exchange mailbox without a number to call is no call participant.
    if (exchange && phones == 0 && !distList) {
      DestroyPropertySet();
      *count = 0;
      return S_OK;
    }

    WString fullName;
    for (const WString* part : {&initials, &given, &surname}) {
      if (part->empty()) continue;
      fullName += *part;
      fullName += WCHAR(' ');
    }
    fullName += generation;
    if (!fullName.empty()) {
      while (!fullName.empty() && fullName.back() == WCHAR(' ')) fullName.pop_back();
      gathered.emplace_back(kPidFullName, std::move(fullName));
    }

    if (cValues == 0) {
      DestroyPropertySet();
      *count = 0;
      return S_OK;
    }

    ULONG placed = 0;
    for (const auto& value : gathered)
      if (!(exchange && value.first == kPidEmailAddress)) ++placed;

    DestroyPropertySet();
    m_psaPropIDs = SafeArrayCreateVector(VT_I4, 0, placed);
    m_psaPropValues = SafeArrayCreateVector(VT_BSTR, 0, placed);
    if (m_psaPropIDs == nullptr || m_psaPropValues == nullptr) {
      DestroyPropertySet();
      return E_OUTOFMEMORY;
    }
    LONG position = 0;
    for (const auto& value : gathered) {
      // An Exchange entry's own address is an X.500 one; its SMTP addresses
      // come from the directory below.
      if (exchange && value.first == kPidEmailAddress) continue;
      LONG pid = static_cast<LONG>(value.first);
      CBstr text(value.second ? value.second->c_str() : nullptr);
      if (value.second && text.Get() == nullptr) {
        DestroyPropertySet();
        return E_OUTOFMEMORY;
      }
      HRESULT hr = SafeArrayPutElement(m_psaPropIDs, &position, &pid);
      if (SUCCEEDED(hr)) hr = PlaceText(m_psaPropValues, position, text.Detach());
      if (FAILED(hr)) {
        DestroyPropertySet();
        return hr;
      }
      ++position;
    }
    AddSmtpProxyAddresses(entryId, m_psaPropIDs, m_psaPropValues, placed);
    *count = placed;
    return S_OK;
  } catch (const std::bad_alloc&) {
    DestroyPropertySet();
    return E_OUTOFMEMORY;
  }
}

HRESULT MAPIParSelUI::AddSmtpProxyAddresses(const std::vector<BYTE>& entryId, SAFEARRAY* ids, SAFEARRAY* values,
                                             ULONG& count) {
  if (m_lpAddrBook == nullptr || ids == nullptr || values == nullptr) return E_POINTER;
  ULONG objType = 0;
  LPUNKNOWN unknown = nullptr;
  std::vector<BYTE> id(entryId);
  HRESULT hr = m_lpAddrBook->OpenEntry(static_cast<ULONG>(id.size()),
                                       id.empty() ? nullptr : reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                                       &objType, &unknown);
  if (FAILED(hr) || unknown == nullptr) return hr;
  // Mail users and lists are property objects whatever interface they were
  // opened with.
  auto* entry = reinterpret_cast<LPMAPIPROP>(unknown);
  SizedSPropTagArray(1, tags) = {1, {PR_EMS_AB_PROXY_ADDRESSES}};
  ULONG cValues = 0;
  LPSPropValue props = nullptr;
  hr = entry->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &props);
  std::vector<WString> addresses;
  if (SUCCEEDED(hr) && (hr & MAPI_W_ERRORS_RETURNED) == 0 && props != nullptr && cValues >= 1 &&
      PROP_TYPE(props[0].ulPropTag) == PT_MV_UNICODE && props[0].Value.MVszW.lppszW != nullptr) {
    for (ULONG i = 0; i < props[0].Value.MVszW.cValues; ++i) {
      const WCHAR* text = props[0].Value.MVszW.lppszW[i];
      if (!IsSmtpProxy(text)) continue;
      const WCHAR* colon = text;
      while (*colon != WCHAR(':')) ++colon;
      addresses.emplace_back(colon + 1);
    }
  }
  if (props != nullptr) plat::Mapi().MAPIFreeBuffer(props);
  entry->Release();
  if (addresses.empty()) return S_OK;

  SAFEARRAYBOUND bound{count + static_cast<ULONG>(addresses.size()), 0};
  hr = SafeArrayRedim(ids, &bound);
  if (SUCCEEDED(hr)) hr = SafeArrayRedim(values, &bound);
  if (FAILED(hr)) {
    // Keep the arrays as they were.
    SAFEARRAYBOUND original{count, 0};
    SafeArrayRedim(ids, &original);
    SafeArrayRedim(values, &original);
    return hr;
  }
  for (size_t k = 0; k < addresses.size(); ++k) {
    LONG position = static_cast<LONG>(count + k);
    LONG pid = static_cast<LONG>(kPidEmailAddress);
    SafeArrayPutElement(ids, &position, &pid);
    PlaceText(values, position, SysAllocString(addresses[k].c_str()));
  }
  count += static_cast<ULONG>(addresses.size());
  return S_OK;
}

bool MAPIParSelUI::IsSmtpProxy(const WCHAR* text) {
  if (text == nullptr || *text == 0) return false;
  WString prefix;
  const WCHAR* p = text;
  for (; *p != 0 && *p != WCHAR(':'); ++p)
    prefix.push_back(*p >= 'a' && *p <= 'z' ? static_cast<WCHAR>(*p - 'a' + 'A') : *p);
  if (*p != WCHAR(':')) return false;
  for (const WCHAR* accepted : {WSTR("SMTP"), WSTR("SM"), WSTR("SMT"), WSTR("S")})
    if (prefix == accepted) return true;
  return false;
}
