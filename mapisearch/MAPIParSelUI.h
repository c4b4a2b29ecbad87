// The MAPI side of the participant search: logon, the "Get Call
// Participants" dialog, resolution of the picked entries, the participant
// and property cursors, and each participant's property values as named
// texts.
#pragma once

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "mapisearch/MAPIErrorText.h"
#include "module/AXLogger.h"
#include "platform/com.h"
#include "platform/mapi.h"
#include "platform/oleauto.h"

// One entry of the participant property table: the PID number the page
// sees, the MAPI property it stands for and the name given to the page.
class PropXlate {
 public:
  PropXlate() = default;
  PropXlate(ULONG pid, ULONG propTag, bool request, const WCHAR* name)
      : m_ulPID(pid), m_ulPropTag(propTag), m_bRequest(request), m_bstrName(SysAllocString(name)) {}
  virtual ~PropXlate() { SysFreeString(m_bstrName); }
  PropXlate(const PropXlate& other)
      : m_ulPID(other.m_ulPID),
        m_ulPropTag(other.m_ulPropTag),
        m_bRequest(other.m_bRequest),
        m_bstrName(other.m_bstrName != nullptr ? SysAllocStringLen(other.m_bstrName, SysStringLen(other.m_bstrName))
                                               : nullptr) {}
  PropXlate& operator=(const PropXlate& other) {
    if (this != &other) {
      PropXlate copy(other);
      std::swap(m_ulPID, copy.m_ulPID);
      std::swap(m_ulPropTag, copy.m_ulPropTag);
      std::swap(m_bRequest, copy.m_bRequest);
      std::swap(m_bstrName, copy.m_bstrName);
    }
    return *this;
  }

  ULONG m_ulPID = 0;
  ULONG m_ulPropTag = 0;
  bool m_bRequest = false;
  BSTR m_bstrName = nullptr;
};

// The participant property table: keyed by the 16-bit property id, kept in
// 17 buckets (id modulo 17). Walking goes bucket by bucket, each bucket from
// its newest entry to its oldest; that walk decides the order in which the
// properties are requested from the address book.
class CPropMap {
 public:
  static constexpr ULONG kBuckets = 17;

  // Adds or replaces the entry of key (a replaced entry keeps its place).
  void SetAt(ULONG key, const PropXlate& value);
  const PropXlate* Lookup(ULONG key) const;
  size_t GetCount() const { return m_count; }
  void RemoveAll();

  template <class F>
  void ForEach(F&& visit) const {
    for (const auto& bucket : m_buckets)
      for (auto it = bucket.rbegin(); it != bucket.rend(); ++it) visit(it->first, it->second);
  }

 private:
  std::vector<std::pair<ULONG, PropXlate>> m_buckets[kBuckets];  // oldest first
  size_t m_count = 0;
};

// PID of the composed full name, and the bit shared by the telephone and fax
// entries.
constexpr ULONG kPidFullName = 257;
constexpr ULONG kPidEmailAddress = 2;
constexpr ULONG kPidPhoneBit = 0x10;

class MAPIParSelUI : public CAXLogger {
 public:
  MAPIParSelUI();
  virtual ~MAPIParSelUI();
  MAPIParSelUI(const MAPIParSelUI&) = delete;
  MAPIParSelUI& operator=(const MAPIParSelUI&) = delete;

  // CAXLogger
  int QueryLoggerFlag() override { return 1; }
  const WCHAR* GetLogPrefix() override;

  // Logon, dialog and resolution.
  HRESULT DoLogin();
  HRESULT InitializeMAPI();
  HRESULT OpenDefaultStore(LPMAPISESSION session, LPMDB* store);
  HRESULT ShowParticipantsDialog();
  HRESULT ProcessAddrList();
  HRESULT DoLogout();
  HRESULT FreeAdrList(LPADRLIST list);
  // Logs the failure with the object's extended error.
  template <class T>
  void DisplayError(T* object, HRESULT hr, const char* operation);

  // The page's methods, behind the control's dispatch interface.
  HRESULT DoGetParticipantsDlg(VARIANT hWnd);
  HRESULT GetParticipantCount(VARIANT* pvtCount);
  HRESULT FirstParticipant(VARIANT* bSuccess);
  HRESULT GetParticipantPropertySetCount(VARIANT* pvCount);
  HRESULT GetParticipantPropertyName(VARIANT vrPropertyPos, BSTR* pbstrPropertyName);
  HRESULT GetParticipantPropertyValue(VARIANT nPropertyPos, BSTR* pbstrPropertyValue);
  HRESULT NextParticipant(VARIANT* bSuccess);
  HRESULT FirstProperty(VARIANT* bSuccess);
  HRESULT NextProperty(VARIANT* bSuccess);
  HRESULT GetPropertyName(BSTR* pbstrPropertyName);
  HRESULT GetPropertyValue(BSTR* pbstrPropertyValue);

  // Property values of the participant at m_nParticipant.
  HRESULT BuildPropertySet(ULONG* count);
  // One gathered value: PID and text (none: an empty value).
  using Gathered = std::vector<std::pair<ULONG, std::optional<WString>>>;
  // Appends the directory entry's SMTP addresses to the arrays as PID 2
  // values; count is the number of elements and grows by what was added.
  HRESULT AddSmtpProxyAddresses(const std::vector<BYTE>& entryId, SAFEARRAY* ids, SAFEARRAY* values,
                                ULONG& count);
  static bool IsSmtpProxy(const WCHAR* text);

  // The tags asked of PrepareRecips, in the table's walk order.
  std::vector<ULONG> RequestedTags() const;
  const WCHAR* ObjectTypeName(LONG type) const;

  ULONG m_nParticipant = 0;
  ULONG m_nProperty = 0;
  ULONG m_nPropertyCount = 0;
  LPMDB m_lpMDB = nullptr;
  LPADRLIST m_AddrList = nullptr;
  ULONG m_ulUIParam = 0;
  LPMAPISESSION m_lpSession = nullptr;
  LPADRBOOK m_lpAddrBook = nullptr;
  bool m_bMAPIInitialized = false;
  SAFEARRAY* m_psaPropIDs = nullptr;
  SAFEARRAY* m_psaPropValues = nullptr;
  CPropMap PropMap;
  std::map<ULONG, WString> m_ObjTypeNames;

 private:
  void DestroyPropertySet();
  void LogErrorText(const WString& text);
};

template <class T>
void MAPIParSelUI::DisplayError(T* object, HRESULT hr, const char* operation) {
  WString text;
  BuildMAPIErrorText(object, hr, operation, text);
  LogErrorText(text);
}
