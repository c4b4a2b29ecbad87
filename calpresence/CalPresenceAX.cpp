// The control as a COM object: its interfaces, the current control, the
// events, the browser site and the end of an instance.
#include "calpresence/CalPresenceAX.h"

#include <new>

#include "calendar/CalendarLog.h"
#include "calpresence/CalPresenceLog.h"

const disp::Member<CCalPresenceAX> CCalPresenceAX::kMembers[] = {
    disp::Method<CCalPresenceAX, &CCalPresenceAX::GetCalData>(WSTR("GetCalData"), DISPID_CALPRESENCE_GETCALDATA),
    disp::Method<CCalPresenceAX, &CCalPresenceAX::CheckProcessChange>(WSTR("CheckProcessChange"),
                                                                      DISPID_CALPRESENCE_CHECKPROCESSCHANGE),
    disp::Method<CCalPresenceAX, &CCalPresenceAX::Quit>(WSTR("Quit"), DISPID_CALPRESENCE_QUIT),
};
const disp::Table<CCalPresenceAX> CCalPresenceAX::kDispatch(kMembers, IID_ICalPresence);

// ---- CalPresenceRef ---------------------------------------------------------------

CalPresenceRef& CalPresenceRef::operator=(CalPresenceRef&& other) noexcept {
  if (this != &other) {
    CCalPresenceAX* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    if (old != nullptr) old->Unpin();
  }
  return *this;
}

CalPresenceRef::~CalPresenceRef() {
  if (p_ != nullptr) p_->Unpin();
}

// ---- life ------------------------------------------------------------------------

CCalPresenceAX::CCalPresenceAX()
    : CAXLogger(WSTR("Calendar Presence")),
      m_events(this, DIID__ICalPresenceEvents),
      m_propertyNotify(this, IID_IPropertyNotifySink) {
  OfferConnectionPoint(&m_events);
  OfferConnectionPoint(&m_propertyNotify);
  if (ModuleLockFn lock = s_moduleLock.load()) lock();
}

// The module's count is held until the memory goes, which a watcher still
// working with this instance may delay past the final release: the code that
// thread runs must not be unloaded under it.
CCalPresenceAX::~CCalPresenceAX() {
  if (ModuleLockFn unlock = s_moduleUnlock.load()) unlock();
}

void CCalPresenceAX::SetModuleLock(ModuleLockFn lock, ModuleLockFn unlock) {
  s_moduleLock.store(lock);
  s_moduleUnlock.store(unlock);
}

void CCalPresenceAX::Unpin() {
  if (m_pins.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

ULONG CCalPresenceAX::AddRef() { return m_refs.fetch_add(1) + 1; }

ULONG CCalPresenceAX::Release() {
  const ULONG left = m_refs.fetch_sub(1) - 1;
  if (left != 0) return left;
  // References taken and given back during the final release (queries,
  // connection points) must not start it a second time.
  m_refs.store(0x40000000);
  FinalRelease();
  Unpin();
  return 0;
}

void CCalPresenceAX::FinalRelease() {
  CP_LOG(this, LOG_MAJOR, WSTR("Tessaro INFO  :: CCalPresenceAX::FinalRelease(264): DLL Released"));
  Quit();

  // The watcher, the notification sink and the calendar code must not reach
  // a released instance: it stops being the current control here.
  bool wasCurrent = false;
  {
    std::lock_guard<std::mutex> lock(s_currentLock);
    if (m_pCurrentControl == this) {
      m_pCurrentControl = nullptr;
      CalendarLog::Route(nullptr, m_logEnabled.load());
      wasCurrent = true;
    }
  }
  if (wasCurrent) Unpin();

  // What the page and the browser gave the control goes back now, on the
  // page's thread, even if a watcher still holds the memory for a while:
  // the browser must not call a subscriber that is about to go.
  if (m_browserAdvised) UnsubscribeBrowser();
  m_spWebBrowser.Reset();
  m_spUnkSite.Reset();
  for (plat::ConnectionPoint* point : {&m_events, &m_propertyNotify}) {
    for (size_t slot = 0; slot < point->SlotCount(); ++slot)
      if (point->SinkAt(slot) != nullptr) point->Unadvise(static_cast<DWORD>(slot + 1));
  }
}

HRESULT CreateCalPresence(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  auto* control = new (std::nothrow) CCalPresenceAX;
  if (control == nullptr) return E_OUTOFMEMORY;
  control->AddRef();
  const HRESULT hr = control->QueryInterface(riid, ppv);
  control->Release();
  return hr;
}

void PumpCalPresenceNotifications() { plat::Mapi().PumpNotifications(); }

// ---- the current control -------------------------------------------------------------

CalPresenceRef CCalPresenceAX::CurrentControl() {
  std::lock_guard<std::mutex> lock(s_currentLock);
  CCalPresenceAX* current = m_pCurrentControl;
  if (current != nullptr) current->Pin();
  return CalPresenceRef(current);
}

void CCalPresenceAX::SetCurrentControl(CCalPresenceAX* control) {
  CCalPresenceAX* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(s_currentLock);
    if (m_pCurrentControl != control) {
      old = m_pCurrentControl;
      if (control != nullptr) control->Pin();
      m_pCurrentControl = control;
    }
    CalendarLog::Route(control, m_logEnabled.load());
  }
  if (old != nullptr) old->Unpin();
}

void CCalPresenceAX::SetLogEnabled(BYTE enabled) {
  std::lock_guard<std::mutex> lock(s_currentLock);
  m_logEnabled.store(enabled);
  CalendarLog::Route(m_pCurrentControl, enabled);
}

// ---- IUnknown and IDispatch ----------------------------------------------------------

HRESULT CCalPresenceAX::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  IUnknown* answer = nullptr;
  if (riid == IID_IUnknown || riid == IID_ICalPresence || riid == IID_IDispatch) {
    answer = static_cast<ICalPresence*>(this);
  } else if (riid == IID_IObjectWithSite) {
    answer = static_cast<IObjectWithSite*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    answer = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    answer = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    answer = static_cast<IProvideClassInfo2*>(this);
  } else if (riid == IID_IObjectSafety) {
    answer = static_cast<IObjectSafety*>(this);
  }
  *ppv = answer;
  if (answer == nullptr) return E_NOINTERFACE;
  answer->AddRef();
  return S_OK;
}

HRESULT CCalPresenceAX::GetTypeInfoCount(UINT* count) { return kDispatch.GetTypeInfoCount(count); }

HRESULT CCalPresenceAX::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  return kDispatch.GetTypeInfo(index, lcid, info);
}

HRESULT CCalPresenceAX::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  return kDispatch.GetIDsOfNames(riid, names, count, lcid, ids);
}

HRESULT CCalPresenceAX::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  return kDispatch.Invoke(this, dispid, riid, lcid, flags, params, result, excepInfo, argErr);
}

const WCHAR* CCalPresenceAX::GetLogPrefix() { return WSTR("CCalPresenceAX :: "); }

// ---- ISupportErrorInfo, IProvideClassInfo2, IObjectSafety -------------------------

HRESULT CCalPresenceAX::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_ICalPresence ? S_OK : S_FALSE;
}

HRESULT CCalPresenceAX::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = nullptr;
  const disp::TypeInfoSource source = disp::GetTypeInfoSource();
  if (source == nullptr) return E_NOTIMPL;
  return source(CLSID_CalPresenceAX, 0, ppTI);
}

HRESULT CCalPresenceAX::GetGUID(DWORD guidKind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (guidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = IID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID__ICalPresenceEvents;
  return S_OK;
}

HRESULT CCalPresenceAX::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  IUnknown* answered = nullptr;
  const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&answered));
  if (FAILED(hr)) {
    *supported = 0;
    *enabled = 0;
    return hr;
  }
  answered->Release();
  *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  *enabled = m_safety;
  return S_OK;
}

HRESULT CCalPresenceAX::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  if ((mask & ~static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER)) != 0) return E_FAIL;
  IUnknown* answered = nullptr;
  const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&answered));
  if (FAILED(hr)) return hr;
  answered->Release();
  m_safety = (m_safety & ~mask) | (enabled & mask);
  return S_OK;
}

// ---- events -----------------------------------------------------------------------------

HRESULT CCalPresenceAX::FireOnCalDataChanged(LONG startTime, LONG duration, LONG startHour, LONG startMinute,
                                             LONG endHour, LONG endMinute, const WCHAR* subject,
                                             const WCHAR* location, const WCHAR* timeZone) {
  plat::EventArgs args;
  args.Long(startTime).Long(duration).Long(startHour).Long(startMinute).Long(endHour).Long(endMinute);
  args.String(subject).String(location).String(timeZone);
  return args.FireOn(m_events, DISPID_CALPRESENCE_ONCALDATACHANGED, true);
}

HRESULT CCalPresenceAX::FireDone(LONG nextStartTime) {
  plat::EventArgs args;
  args.Long(nextStartTime);
  return args.FireOn(m_events, DISPID_CALPRESENCE_DONE, false);
}

HRESULT CCalPresenceAX::FirePasswordAvailable() {
  plat::EventArgs args;
  return args.FireOn(m_events, DISPID_CALPRESENCE_PASSWORDAVAILABLE, true);
}

// ---- the browser site ------------------------------------------------------------------

HRESULT CCalPresenceAX::SetSite(IUnknown* site) {
  if (site != nullptr) {
    m_spWebBrowser.Reset();
    HRESULT hr = site->QueryInterface(IID_IWebBrowser2, m_spWebBrowser.ReceiveVoid());
    if (FAILED(hr) || !m_spWebBrowser) {
      ComPtr<IServiceProvider> services;
      if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, services.ReceiveVoid())) && services) {
        hr = services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, m_spWebBrowser.ReceiveVoid());
      }
    }
    if (FAILED(hr) || !m_spWebBrowser) {
      m_spWebBrowser.Reset();
      CP_LOG(this, LOG_ERROR, WSTR("Tessaro ERROR :: CCalPresenceAX::SetSite(420): IWebBrowser2 QI Failed."));
      return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    bool refused = false;
    try {
      // A second subscription while one is held is refused; the first one
      // and its cookie stay.
      if (m_browserCookie != kNoBrowserCookie) refused = true;
      else SubscribeBrowser();
    } catch (...) {
      refused = true;
    }
    if (refused) {
      CP_LOG(this, LOG_ERROR,
             WSTR("Tessaro ERROR :: CCalPresenceAX::SetSite(453): BrowserSubscription threw exception."));
    }
  } else {
    try {
      if (m_browserAdvised) UnsubscribeBrowser();
    } catch (...) {
      CP_LOG(this, LOG_ERROR,
             WSTR("Tessaro ERROR :: CCalPresenceAX::SetSite(453): BrowserSubscription threw exception."));
    }
    m_spWebBrowser.Reset();
  }
  if (site != m_spUnkSite.Get()) m_spUnkSite = ComPtr<IUnknown>(site);
  return S_OK;
}

HRESULT CCalPresenceAX::GetSite(REFIID riid, void** ppvSite) {
  if (ppvSite == nullptr) return E_POINTER;
  *ppvSite = nullptr;
  if (!m_spUnkSite) return E_FAIL;
  return m_spUnkSite->QueryInterface(riid, ppvSite);
}

void CCalPresenceAX::SubscribeBrowser() {
  ComPtr<IConnectionPointContainer> container;
  if (FAILED(m_spWebBrowser.QueryInterface(IID_IConnectionPointContainer, container)) || !container) return;
  ComPtr<IConnectionPoint> point;
  if (FAILED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Receive())) || !point) return;
  DWORD cookie = 0;
  if (FAILED(point->Advise(static_cast<IDispatch*>(&m_browserEvents), &cookie))) return;
  m_browserCookie = cookie;
  m_browserPoint = point;
  m_browserAdvised = true;
}

void CCalPresenceAX::UnsubscribeBrowser() {
  if (m_browserPoint) m_browserPoint->Unadvise(m_browserCookie);
  m_browserPoint.Reset();
  m_browserCookie = kNoBrowserCookie;
  m_browserAdvised = false;
}

HRESULT CCalPresenceAX::OnBrowserQuit() { return S_OK; }

HRESULT CCalPresenceAX::BrowserEvents::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2) {
    *ppv = static_cast<IDispatch*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// The subscriber needs no type information of its own: it answers by
// dispatch id, and only OnQuit has a handler.
HRESULT CCalPresenceAX::BrowserEvents::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT CCalPresenceAX::BrowserEvents::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT CCalPresenceAX::BrowserEvents::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}

HRESULT CCalPresenceAX::BrowserEvents::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                              EXCEPINFO*, UINT*) {
  if (result != nullptr) VariantInit(result);
  if (dispid == DISPID_ONQUIT) return owner_->OnBrowserQuit();
  return S_OK;  // every other browser event is accepted and ignored
}
