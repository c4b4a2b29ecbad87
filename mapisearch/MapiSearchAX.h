// The participant search control: lets the page pick call participants from
// the MAPI address book and read their properties as name and text pairs.
// Every method forwards to the control's MAPIParSelUI.
#pragma once

#include "mapisearch/MAPIParSelUI.h"
#include "module/ControlFrame.h"
#include "platform/com.h"
#include "platform/connpoint.h"
#include "platform/dispatch.h"

// The identities of the participant search, chosen once here.
TESSARO_DEFINE_GUID(IID_IMapiSearch, 0xE9A390C6, 0x82C7, 0x4720, 0xAB, 0x67, 0xA5, 0xF8, 0x21, 0x82, 0x63, 0xBE);
TESSARO_DEFINE_GUID(DIID__IIEMapiEvents, 0xEDCF28CB, 0xA071, 0x4E04, 0xA0, 0x66, 0xF7, 0xD0, 0xC5, 0x28, 0x1F, 0x33);
TESSARO_DEFINE_GUID(CLSID_MapiSearchAX, 0xA5EF6E51, 0xB2F9, 0x47D9, 0x9A, 0x74, 0x2E, 0x3B, 0xDC, 0x7B, 0x1E, 0xD2);

// Dual interface "IMapiSearch Interface". Booleans come back as VT_BOOL 1 or
// 0, counts as VT_I4.
struct IMapiSearch : IDispatch {
  STDMETHOD(DoLogin)() PURE;
  STDMETHOD(DoGetParticipantsDlg)(VARIANT hWnd) PURE;
  STDMETHOD(GetParticipantCount)(VARIANT* pvtCount) PURE;
  STDMETHOD(FirstParticipant)(VARIANT* bSuccess) PURE;
  STDMETHOD(DoLogout)() PURE;
  STDMETHOD(GetParticipantPropertySetCount)(VARIANT* pvCount) PURE;
  STDMETHOD(GetParticipantPropertyName)(VARIANT vrPropertyPos, BSTR* pbstrPropertyName) PURE;
  STDMETHOD(GetParticipantPropertyValue)(VARIANT nPropertyPos, BSTR* pbstrPropertyValue) PURE;
  STDMETHOD(NextParticipant)(VARIANT* bSuccess) PURE;
  STDMETHOD(FirstProperty)(VARIANT* bSuccess) PURE;
  STDMETHOD(NextProperty)(VARIANT* bSuccess) PURE;
  STDMETHOD(GetPropertyName)(BSTR* pbstrPropertyName) PURE;
  STDMETHOD(GetPropertyValue)(BSTR* pbstrPropertyValue) PURE;
};

// Apartment-threaded: one thread calls it, its reference count is not
// atomic. The event interface _IIEMapiEvents has no methods; its connection
// point is offered and never fires. Persistence, view, object safety, class
// information, error information and aggregation come from the shared
// control frame (module/ControlFrame.h).
class CMapiSearchAX final : public IMapiSearch,
                            public plat::ConnectionPointContainer,
                            public tessaro::ControlFrame {
 public:
  // outer: the controlling unknown when the object is aggregated.
  explicit CMapiSearchAX(IUnknown* outer = nullptr);
  ~CMapiSearchAX() override;
  CMapiSearchAX(const CMapiSearchAX&) = delete;
  CMapiSearchAX& operator=(const CMapiSearchAX&) = delete;

  TESSARO_CONTROL_IUNKNOWN()

  // IDispatch, from the method table.
  TESSARO_DISPATCH_FROM_TABLE(kDispatch)

  HRESULT STDMETHODCALLTYPE DoLogin() override;
  HRESULT STDMETHODCALLTYPE DoGetParticipantsDlg(VARIANT hWnd) override;
  HRESULT STDMETHODCALLTYPE GetParticipantCount(VARIANT* pvtCount) override;
  HRESULT STDMETHODCALLTYPE FirstParticipant(VARIANT* bSuccess) override;
  HRESULT STDMETHODCALLTYPE DoLogout() override;
  HRESULT STDMETHODCALLTYPE GetParticipantPropertySetCount(VARIANT* pvCount) override;
  HRESULT STDMETHODCALLTYPE GetParticipantPropertyName(VARIANT vrPropertyPos, BSTR* pbstrPropertyName) override;
  HRESULT STDMETHODCALLTYPE GetParticipantPropertyValue(VARIANT nPropertyPos, BSTR* pbstrPropertyValue) override;
  HRESULT STDMETHODCALLTYPE NextParticipant(VARIANT* bSuccess) override;
  HRESULT STDMETHODCALLTYPE FirstProperty(VARIANT* bSuccess) override;
  HRESULT STDMETHODCALLTYPE NextProperty(VARIANT* bSuccess) override;
  HRESULT STDMETHODCALLTYPE GetPropertyName(BSTR* pbstrPropertyName) override;
  HRESULT STDMETHODCALLTYPE GetPropertyValue(BSTR* pbstrPropertyValue) override;

  MAPIParSelUI& UI() { return m_ui; }

  static const disp::Member<CMapiSearchAX> kMembers[];
  static const disp::Table<CMapiSearchAX> kDispatch;
  // CLSID_MapiSearchAX, IMapiSearch, _IIEMapiEvents, "ATL 8.0 : MapiSearchAX".
  static const tessaro::ControlClass kClass;

 protected:
  // IMapiSearch, IDispatch, IConnectionPointContainer.
  IUnknown* QueryControl(REFIID riid) override;
  CAXLogger& SiteLog() override { return m_ui; }

 private:
  MAPIParSelUI m_ui;
  plat::ConnectionPoint m_events;
};

// Creates a participant search control, alone or aggregated, and returns its
// riid interface (tessaro::CreateControl: with an outer unknown riid must be
// IID_IUnknown).
HRESULT CreateMapiSearchAX(IUnknown* outer, REFIID riid, void** ppv);
