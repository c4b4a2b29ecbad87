#include "module/ControlFrame.h"

#include "module/AXLogger.h"
#include "module/ModuleLock.h"
#include "platform/dispatch.h"

namespace tessaro {

ModuleLockHold::ModuleLockHold() { ModuleLockIncrement(); }
ModuleLockHold::~ModuleLockHold() { ModuleLockDecrement(); }

ControlFrame::ControlFrame(const ControlClass& controlClass, IUnknown* outer)
    : m_class(controlClass), m_inner(this), m_pOuter(outer != nullptr ? outer : &m_inner) {}

ControlFrame::~ControlFrame() = default;

// ---- the inner unknown ---------------------------------------------------------

HRESULT ControlFrame::Inner::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  IUnknown* answer = nullptr;
  if (riid == IID_IUnknown) answer = this;
  else answer = frame_->QueryControl(riid);
  if (answer == nullptr) answer = frame_->QueryFrame(riid);
  *ppv = answer;
  if (answer == nullptr) return E_NOINTERFACE;
  answer->AddRef();
  return S_OK;
}

ULONG ControlFrame::InnerAddRef() { return ++m_refs; }

ULONG ControlFrame::InnerRelease() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

IUnknown* ControlFrame::QueryFrame(REFIID riid) {
  if (riid == IID_IPersistStreamInit || riid == IID_IPersist) return static_cast<IPersistStreamInit*>(this);
  if (riid == IID_IPersistStorage) return static_cast<IPersistStorage*>(this);
  if (riid == IID_IPersistPropertyBag) return static_cast<IPersistPropertyBag*>(this);
  if (riid == IID_IViewObject2 || riid == IID_IViewObject) return static_cast<IViewObject2*>(this);
  if (riid == IID_IObjectSafety) return static_cast<IObjectSafety*>(this);
  if (riid == IID_IProvideClassInfo2 || riid == IID_IProvideClassInfo) return static_cast<IProvideClassInfo2*>(this);
  if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
  if (riid == IID_IObjectWithSite && m_siteLock.Armed()) return &m_siteHolder;
  return nullptr;
}

HRESULT ControlFrame::Offers(REFIID riid) {
  IUnknown* probe = nullptr;
  const HRESULT hr = m_pOuter->QueryInterface(riid, reinterpret_cast<void**>(&probe));
  if (FAILED(hr)) return hr;
  if (probe != nullptr) probe->Release();
  return S_OK;
}

// ---- persistence -------------------------------------------------------------------

HRESULT ControlFrame::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = *m_class.clsid;
  return S_OK;
}

HRESULT ControlFrame::IsDirty() { return S_FALSE; }
HRESULT ControlFrame::Load(LPSTREAM pStm) { return pStm != nullptr ? S_OK : E_POINTER; }
HRESULT ControlFrame::Save(LPSTREAM pStm, BOOL) { return pStm != nullptr ? S_OK : E_POINTER; }

HRESULT ControlFrame::GetSizeMax(ULARGE_INTEGER* pCbSize) {
  if (pCbSize == nullptr) return E_POINTER;
  pCbSize->QuadPart = 0;
  return S_OK;
}

HRESULT ControlFrame::InitNew() { return S_OK; }
HRESULT ControlFrame::InitNew(IStorage* pStg) { return pStg != nullptr ? S_OK : E_POINTER; }
HRESULT ControlFrame::Load(IStorage* pStg) { return pStg != nullptr ? S_OK : E_POINTER; }
HRESULT ControlFrame::Save(IStorage* pStgSave, BOOL) { return pStgSave != nullptr ? S_OK : E_POINTER; }
HRESULT ControlFrame::SaveCompleted(IStorage*) { return S_OK; }
HRESULT ControlFrame::HandsOffStorage() { return S_OK; }

HRESULT ControlFrame::Load(IPropertyBag* pPropBag, IErrorLog*) { return pPropBag != nullptr ? S_OK : E_POINTER; }
HRESULT ControlFrame::Save(IPropertyBag* pPropBag, BOOL, BOOL) { return pPropBag != nullptr ? S_OK : E_POINTER; }

// ---- the view ------------------------------------------------------------------------

HRESULT ControlFrame::Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL,
                           BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (hdcDraw == nullptr || lprcBounds == nullptr) return E_INVALIDARG;
  RECT bounds = {lprcBounds->left, lprcBounds->top, lprcBounds->right, lprcBounds->bottom};
  plat::GraphicsService& graphics = plat::Graphics();
  graphics.Rectangle(hdcDraw, bounds.left, bounds.top, bounds.right, bounds.bottom);
  graphics.DrawTextW(hdcDraw, m_class.drawText, -1, &bounds, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  return S_OK;
}

HRESULT ControlFrame::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** ppColorSet) {
  if (ppColorSet != nullptr) *ppColorSet = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlFrame::Freeze(DWORD, LONG, void*, DWORD* pdwFreeze) {
  if (pdwFreeze != nullptr) *pdwFreeze = 0;
  return E_NOTIMPL;
}

HRESULT ControlFrame::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT ControlFrame::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) {
  m_adviseSink = ComPtr<IAdviseSink>(pAdvSink);
  m_adviseAspects = pAdvSink != nullptr ? aspects : 0;
  m_adviseFlags = pAdvSink != nullptr ? advf : 0;
  return S_OK;
}

HRESULT ControlFrame::GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) {
  if (pAspects != nullptr) *pAspects = m_adviseAspects;
  if (pAdvf != nullptr) *pAdvf = m_adviseFlags;
  if (ppAdvSink != nullptr) m_adviseSink.CopyTo(ppAdvSink);
  return S_OK;
}

HRESULT ControlFrame::GetExtent(DWORD, LONG, DVTARGETDEVICE*, LPSIZEL lpsizel) {
  if (lpsizel == nullptr) return E_POINTER;
  lpsizel->cx = kExtentHimetric;
  lpsizel->cy = kExtentHimetric;
  return S_OK;
}

// ---- IObjectSafety ----------------------------------------------------------------------

HRESULT ControlFrame::GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) {
  if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr) return E_POINTER;
  *pdwSupportedOptions = 0;
  *pdwEnabledOptions = 0;
  const HRESULT hr = Offers(riid);
  if (FAILED(hr)) return hr;
  *pdwSupportedOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  *pdwEnabledOptions = m_safety;
  return S_OK;
}

HRESULT ControlFrame::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) {
  const HRESULT hr = Offers(riid);
  if (FAILED(hr)) return hr;
  if ((dwOptionSetMask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) != 0) return E_FAIL;
  m_safety = (m_safety & ~dwOptionSetMask) | (dwEnabledOptions & dwOptionSetMask);
  return S_OK;
}

// ---- IProvideClassInfo2, ISupportErrorInfo -----------------------------------------------

HRESULT ControlFrame::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = nullptr;
  const disp::TypeInfoSource source = disp::GetTypeInfoSource();
  if (source == nullptr) return E_NOTIMPL;
  return source(*m_class.clsid, 0, ppTI);
}

HRESULT ControlFrame::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
  if (pGUID == nullptr) return E_POINTER;
  *pGUID = IID_NULL;
  if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  if (m_class.events == nullptr) return E_FAIL;
  *pGUID = *m_class.events;
  return S_OK;
}

HRESULT ControlFrame::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == *m_class.primary ? S_OK : S_FALSE;
}

// ---- the site lock's IObjectWithSite -----------------------------------------------------

HRESULT ControlFrame::SiteHolder::SetSite(IUnknown* site) {
  frame_->m_siteLock.SetSite(site, frame_->SiteLog());
  return S_OK;
}

HRESULT ControlFrame::SiteHolder::GetSite(REFIID riid, void** ppvSite) {
  if (ppvSite == nullptr) return E_POINTER;
  *ppvSite = nullptr;
  IUnknown* site = frame_->m_siteLock.Site();
  if (site == nullptr) return E_FAIL;
  return site->QueryInterface(riid, ppvSite);
}

}  // namespace tessaro
