#include "mapisearch/MapiSearchAX.h"

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

const tessaro::ControlClass CMapiSearchAX::kClass = {&CLSID_MapiSearchAX, &IID_IMapiSearch, &DIID__IIEMapiEvents,
                                                     WSTR("ATL 8.0 : MapiSearchAX")};

CMapiSearchAX::CMapiSearchAX(IUnknown* outer) : ControlFrame(kClass, outer), m_events(this, DIID__IIEMapiEvents) {
  OfferConnectionPoint(&m_events);
}

CMapiSearchAX::~CMapiSearchAX() = default;

IUnknown* CMapiSearchAX::QueryControl(REFIID riid) {
  if (riid == IID_IDispatch || riid == IID_IMapiSearch) return static_cast<IMapiSearch*>(this);
  if (riid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(this);
  return nullptr;
}

HRESULT CreateMapiSearchAX(IUnknown* outer, REFIID riid, void** ppv) {
  return tessaro::CreateControl<CMapiSearchAX>(outer, riid, ppv);
}

// The calls that reach MAPI may run a modal loop (the logon and address
// book dialogs above all), in which the page's script runs on: it may call
// the control again or let go of it. Each such call holds a reference to
// the control until it returns, so the control's end waits for it.
HRESULT CMapiSearchAX::DoLogin() {
  const ComPtr<IMapiSearch> alive(this);
  return m_ui.DoLogin();
}
HRESULT CMapiSearchAX::DoGetParticipantsDlg(VARIANT hWnd) {
  const ComPtr<IMapiSearch> alive(this);
  return m_ui.DoGetParticipantsDlg(hWnd);
}
HRESULT CMapiSearchAX::GetParticipantCount(VARIANT* pvtCount) { return m_ui.GetParticipantCount(pvtCount); }
HRESULT CMapiSearchAX::FirstParticipant(VARIANT* bSuccess) { return m_ui.FirstParticipant(bSuccess); }
HRESULT CMapiSearchAX::DoLogout() {
  const ComPtr<IMapiSearch> alive(this);
  return m_ui.DoLogout();
}
HRESULT CMapiSearchAX::GetParticipantPropertySetCount(VARIANT* pvCount) {
  const ComPtr<IMapiSearch> alive(this);
  return m_ui.GetParticipantPropertySetCount(pvCount);
}
HRESULT CMapiSearchAX::GetParticipantPropertyName(VARIANT vrPropertyPos, BSTR* pbstrPropertyName) {
  return m_ui.GetParticipantPropertyName(vrPropertyPos, pbstrPropertyName);
}
HRESULT CMapiSearchAX::GetParticipantPropertyValue(VARIANT nPropertyPos, BSTR* pbstrPropertyValue) {
  return m_ui.GetParticipantPropertyValue(nPropertyPos, pbstrPropertyValue);
}
HRESULT CMapiSearchAX::NextParticipant(VARIANT* bSuccess) { return m_ui.NextParticipant(bSuccess); }
HRESULT CMapiSearchAX::FirstProperty(VARIANT* bSuccess) {
  const ComPtr<IMapiSearch> alive(this);
  return m_ui.FirstProperty(bSuccess);
}
HRESULT CMapiSearchAX::NextProperty(VARIANT* bSuccess) { return m_ui.NextProperty(bSuccess); }
HRESULT CMapiSearchAX::GetPropertyName(BSTR* pbstrPropertyName) { return m_ui.GetPropertyName(pbstrPropertyName); }
HRESULT CMapiSearchAX::GetPropertyValue(BSTR* pbstrPropertyValue) {
  return m_ui.GetPropertyValue(pbstrPropertyValue);
}
