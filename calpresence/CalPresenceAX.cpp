// The control as a COM object: its interfaces, the current control, the
// events, the browser site and the end of an instance.
#include "calpresence/CalPresenceAX.h"

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

const tessaro::ControlClass CCalPresenceAX::kClass = {&CLSID_CalPresenceAX, &IID_ICalPresence,
                                                      &DIID__ICalPresenceEvents, WSTR("ATL 8.0 : CalPresenceAX")};

CCalPresenceAX::CCalPresenceAX(IUnknown* outer)
    : ControlFrame(kClass, outer),
      CAXLogger(WSTR("Calendar Presence")),
      m_events(this, DIID__ICalPresenceEvents),
      m_propertyNotify(this, IID_IPropertyNotifySink) {
  OfferConnectionPoint(&m_events);
  OfferConnectionPoint(&m_propertyNotify);
}

// The module's count is held until the memory goes, which a watcher still
// working with this instance may delay past the final release: the code that
// thread runs must not be unloaded under it. The frame's count goes with the
// frame, after everything of the control.
CCalPresenceAX::~CCalPresenceAX() = default;

void CCalPresenceAX::Unpin() {
  if (m_pins.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

ULONG CCalPresenceAX::InnerAddRef() { return m_refs.fetch_add(1) + 1; }

ULONG CCalPresenceAX::InnerRelease() {
  const ULONG left = m_refs.fetch_sub(1) - 1;
  if (left != 0) return left;
  // References taken and given back during the final release (queries,
  // connection points) must not start it a second time. (Aggregated, they
  // would go to an outer object that is going itself: nothing in the final
  // release takes one.)
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
  SiteLockOf().SetSite(nullptr, *this);
  for (plat::ConnectionPoint* point : {&m_events, &m_propertyNotify}) {
    for (size_t slot = 0; slot < point->SlotCount(); ++slot)
      if (point->SinkAt(slot) != nullptr) point->Unadvise(static_cast<DWORD>(slot + 1));
  }
}

HRESULT CreateCalPresenceAX(IUnknown* outer, REFIID riid, void** ppv) {
  return tessaro::CreateControl<CCalPresenceAX>(outer, riid, ppv);
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

// ---- interfaces and IDispatch ----------------------------------------------------------

IUnknown* CCalPresenceAX::QueryControl(REFIID riid) {
  if (riid == IID_ICalPresence || riid == IID_IDispatch) return static_cast<ICalPresence*>(this);
  if (riid == IID_IObjectWithSite) return static_cast<IObjectWithSite*>(this);
  if (riid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(this);
  return nullptr;
}

const WCHAR* CCalPresenceAX::GetLogPrefix() { return WSTR("CCalPresenceAX :: "); }

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
  SiteLockOf().SetSite(site, *this);  // the site lock sees every site the host hands over
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
