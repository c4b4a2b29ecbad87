#include "mapisearch/MapiSearchAX.h"

#include <new>

// The out parameters are also [out, retval], so that script can take the
// value as the call's result as well as pass a variable for it. VARIANT
// inputs passed by reference (as script engines pass variables) are followed
// to the value they refer to, whose 32-bit value field is then read.
const disp::Member<CMapiSearchAX> CMapiSearchAX::kMembers[] = {
    disp::Method<&CMapiSearchAX::DoLogin>(WSTR("DoLogin"), 1),
    disp::Method<&CMapiSearchAX::DoGetParticipantsDlg>(WSTR("DoGetParticipantsDlg"), 2),
    disp::Method<&CMapiSearchAX::GetParticipantCount>(WSTR("GetParticipantCount"), 3, disp::kRetVal),
    disp::Method<&CMapiSearchAX::FirstParticipant>(WSTR("FirstParticipant"), 4, disp::kRetVal),
    disp::Method<&CMapiSearchAX::DoLogout>(WSTR("DoLogout"), 5),
    disp::Method<&CMapiSearchAX::GetParticipantPropertySetCount>(WSTR("GetParticipantPropertySetCount"), 6,
                                                                 disp::kRetVal),
    disp::Method<&CMapiSearchAX::GetParticipantPropertyName>(WSTR("GetParticipantPropertyName"), 7,
                                                             disp::kRetVal),
    disp::Method<&CMapiSearchAX::GetParticipantPropertyValue>(WSTR("GetParticipantPropertyValue"), 8,
                                                              disp::kRetVal),
    disp::Method<&CMapiSearchAX::NextParticipant>(WSTR("NextParticipant"), 9, disp::kRetVal),
    disp::Method<&CMapiSearchAX::FirstProperty>(WSTR("FirstProperty"), 10, disp::kRetVal),
    disp::Method<&CMapiSearchAX::NextProperty>(WSTR("NextProperty"), 11, disp::kRetVal),
    disp::Method<&CMapiSearchAX::GetPropertyName>(WSTR("GetPropertyName"), 12, disp::kRetVal),
    disp::Method<&CMapiSearchAX::GetPropertyValue>(WSTR("GetPropertyValue"), 13, disp::kRetVal),
};
const disp::Table<CMapiSearchAX> CMapiSearchAX::kDispatch(kMembers, IID_IMapiSearch);

CMapiSearchAX::CMapiSearchAX() : m_events(this, DIID__IIEMapiEvents) { OfferConnectionPoint(&m_events); }

CMapiSearchAX::~CMapiSearchAX() = default;

HRESULT CMapiSearchAX::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IMapiSearch) {
    *ppv = static_cast<IMapiSearch*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IObjectSafety) {
    *ppv = static_cast<IObjectSafety*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CMapiSearchAX::AddRef() { return ++m_refs; }

ULONG CMapiSearchAX::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

HRESULT CreateMapiSearchAX(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) CMapiSearchAX();
  if (object == nullptr) return E_OUTOFMEMORY;
  object->AddRef();
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT CMapiSearchAX::GetTypeInfoCount(UINT* count) { return kDispatch.GetTypeInfoCount(count); }
HRESULT CMapiSearchAX::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  return kDispatch.GetTypeInfo(index, lcid, info);
}
HRESULT CMapiSearchAX::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  return kDispatch.GetIDsOfNames(riid, names, count, lcid, ids);
}
HRESULT CMapiSearchAX::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* info, UINT* argErr) {
  return kDispatch.Invoke(this, id, riid, lcid, flags, params, result, info, argErr);
}

HRESULT CMapiSearchAX::DoLogin() { return m_ui.DoLogin(); }
HRESULT CMapiSearchAX::DoGetParticipantsDlg(VARIANT hWnd) { return m_ui.DoGetParticipantsDlg(hWnd); }
HRESULT CMapiSearchAX::GetParticipantCount(VARIANT* pvtCount) { return m_ui.GetParticipantCount(pvtCount); }
HRESULT CMapiSearchAX::FirstParticipant(VARIANT* bSuccess) { return m_ui.FirstParticipant(bSuccess); }
HRESULT CMapiSearchAX::DoLogout() { return m_ui.DoLogout(); }
HRESULT CMapiSearchAX::GetParticipantPropertySetCount(VARIANT* pvCount) {
  return m_ui.GetParticipantPropertySetCount(pvCount);
}
HRESULT CMapiSearchAX::GetParticipantPropertyName(VARIANT vrPropertyPos, BSTR* pbstrPropertyName) {
  return m_ui.GetParticipantPropertyName(vrPropertyPos, pbstrPropertyName);
}
HRESULT CMapiSearchAX::GetParticipantPropertyValue(VARIANT nPropertyPos, BSTR* pbstrPropertyValue) {
  return m_ui.GetParticipantPropertyValue(nPropertyPos, pbstrPropertyValue);
}
HRESULT CMapiSearchAX::NextParticipant(VARIANT* bSuccess) { return m_ui.NextParticipant(bSuccess); }
HRESULT CMapiSearchAX::FirstProperty(VARIANT* bSuccess) { return m_ui.FirstProperty(bSuccess); }
HRESULT CMapiSearchAX::NextProperty(VARIANT* bSuccess) { return m_ui.NextProperty(bSuccess); }
HRESULT CMapiSearchAX::GetPropertyName(BSTR* pbstrPropertyName) { return m_ui.GetPropertyName(pbstrPropertyName); }
HRESULT CMapiSearchAX::GetPropertyValue(BSTR* pbstrPropertyValue) {
  return m_ui.GetPropertyValue(pbstrPropertyValue);
}

HRESULT CMapiSearchAX::InterfaceSupportsErrorInfo(REFIID riid) { return riid == IID_IMapiSearch ? S_OK : S_FALSE; }

HRESULT CMapiSearchAX::GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                 DWORD* pdwEnabledOptions) {
  if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr) return E_POINTER;
  *pdwSupportedOptions = 0;
  *pdwEnabledOptions = 0;
  IUnknown* probe = nullptr;
  const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
  if (FAILED(hr)) return hr;
  probe->Release();
  *pdwSupportedOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  *pdwEnabledOptions = m_safetyOptions;
  return S_OK;
}

HRESULT CMapiSearchAX::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) {
  IUnknown* probe = nullptr;
  const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
  if (FAILED(hr)) return hr;
  probe->Release();
  if ((dwOptionSetMask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) != 0) return E_FAIL;
  m_safetyOptions = (m_safetyOptions & ~dwOptionSetMask) | (dwEnabledOptions & dwOptionSetMask);
  return S_OK;
}
