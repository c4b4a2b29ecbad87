// The control frame the three controls share: everything a host
// needs of an ActiveX control besides its own dispatch interface, written
// once.
//
// A control derives from its own interfaces and from tessaro::ControlFrame,
// and gets:
// - aggregation: an inner, non-delegating unknown (the object's identity and
//   its reference count) and a controlling unknown to which every other
//   interface delegates QueryInterface, AddRef and Release (the outer object
//   when aggregated, else the inner unknown);
// - one count of the module lock (module/ModuleLock.h) from construction to
//   destruction;
// - IObjectSafety: INTERFACESAFE_FOR_UNTRUSTED_CALLER is the only supported
//   option and the enabled options start at 0. An interface the object does
//   not answer (asked through the controlling unknown, as ATL does) gives the
//   query's error, with both option words 0 from GetInterfaceSafetyOptions;
//   a mask naming any other option gives E_FAIL; null option pointers give
//   E_POINTER. The enabled options are kept for the whole object, not per
//   interface;
// - IProvideClassInfo and IProvideClassInfo2: the class's type information
//   from the module's type library (disp::GetTypeInfoSource() asked for the
//   class's CLSID; E_NOTIMPL while no source is installed).
//   GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID) gives the event interface.
//   Choice for a class without events (the away timer): E_FAIL with
//   GUID_NULL, as ATL's IProvideClassInfo2Impl answers for a class declared
//   without a source interface; the kind is a valid question, the object
//   just has no answer. Any other kind is E_INVALIDARG with GUID_NULL, the
//   documented answer for an unsupported kind;
// - ISupportErrorInfo: S_OK for the class's dispatch interface, S_FALSE for
//   any other;
// - persistence with nothing to persist: IPersistStreamInit (also answered
//   for IPersist), IPersistStorage and IPersistPropertyBag. GetClassID gives
//   the CLSID, IsDirty S_FALSE, InitNew, Load and Save S_OK without touching
//   the stream, storage or bag (a null one is E_POINTER), GetSizeMax 0,
//   SaveCompleted and HandsOffStorage S_OK. Internet Explorer initialises an
//   <object> control through IPersistPropertyBag;
// - IViewObject and IViewObject2: Draw paints a rectangle along the bounds
//   and the class's text ("ATL 8.0 : CalPresenceAX" ...) centred on it,
//   through plat::Graphics(): Rectangle(bounds), then DrawTextW(text, -1,
//   bounds, DT_CENTER | DT_VCENTER | DT_SINGLELINE), which centres the line
//   both ways and clips it to the bounds. Every aspect is drawn alike (as
//   ATL's default drawing does); no device context or no bounds is
//   E_INVALIDARG (the controls are never active in place, so there is no
//   position of their own to fall back on). GetExtent gives ATL's default
//   extent, 2 inches square (5080 x 5080 HIMETRIC). SetAdvise keeps the
//   sink, GetAdvise hands it back; nothing here changes the view, so it is
//   never called. GetColorSet, Freeze and Unfreeze are E_NOTIMPL, as in ATL.
//
// - the site lock (module/SiteLock.h): CheckSite() is the first call of
//   every method of a control's own interface and answers E_ACCESSDENIED
//   for a host the machine's policy does not allow. While the policy is set
//   the frame also answers IObjectWithSite for a control that has none of
//   its own, so that the browser hands it the page's site; a control with
//   its own (the calendar presence control) passes the site on through
//   SiteLockOf(). With no policy nothing of this shows.
//
// The rest of the ATL control plumbing (IOleObject, in-place activation,
// data object, property pages, quick activation) is left out: the hosts
// create the controls and script them, nothing more.
//
// Shape of a control:
//
//   class CFooAX final : public IFoo, public tessaro::ControlFrame {
//    public:
//     explicit CFooAX(IUnknown* outer) : ControlFrame(kFooClass, outer) {}
//     TESSARO_CONTROL_IUNKNOWN()
//    protected:
//     IUnknown* QueryControl(REFIID riid) override;  // IFoo, IDispatch
//   };
//   HRESULT CreateFooAX(IUnknown* outer, REFIID riid, void** ppv) {
//     return tessaro::CreateControl<CFooAX>(outer, riid, ppv);
//   }
#pragma once

#include <new>

#include "module/SiteLock.h"
#include "platform/com.h"
#include "platform/graphics.h"

class CAXLogger;

namespace tessaro {

// What the frame knows of a control class.
struct ControlClass {
  const CLSID* clsid;
  const IID* primary;  // the dual dispatch interface
  const IID* events;   // the outgoing interface; nullptr for none
  const WCHAR* drawText;
};

// Holds one count of the module lock for its own lifetime.
class ModuleLockHold {
 public:
  ModuleLockHold();
  ~ModuleLockHold();
  ModuleLockHold(const ModuleLockHold&) = delete;
  ModuleLockHold& operator=(const ModuleLockHold&) = delete;
};

class ControlFrame : public IPersistStreamInit,
                     public IPersistStorage,
                     public IPersistPropertyBag,
                     public IViewObject2,
                     public IObjectSafety,
                     public IProvideClassInfo2,
                     public ISupportErrorInfo {
 public:
  ControlFrame(const ControlFrame&) = delete;
  ControlFrame& operator=(const ControlFrame&) = delete;

  // IUnknown is the control's (TESSARO_CONTROL_IUNKNOWN): one set of
  // delegating methods overrides those of every base.

  // The object's own non-delegating unknown: its identity when alone, the
  // pointer the outer object keeps when aggregated.
  IUnknown* InnerUnknown() { return &m_inner; }
  // Where the delegating methods go: the outer object, or InnerUnknown().
  IUnknown* OuterUnknown() const { return m_pOuter; }
  bool Aggregated() const { return m_pOuter != &m_inner; }
  const ControlClass& Class() const { return m_class; }

  // IPersist (all three persistence interfaces)
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;

  // IPersistStreamInit (IsDirty and InitNew also serve IPersistStorage and
  // IPersistPropertyBag)
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM pStm) override;
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM pStm, BOOL fClearDirty) override;
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pCbSize) override;
  HRESULT STDMETHODCALLTYPE InitNew() override;

  // IPersistStorage
  HRESULT STDMETHODCALLTYPE InitNew(IStorage* pStg) override;
  HRESULT STDMETHODCALLTYPE Load(IStorage* pStg) override;
  HRESULT STDMETHODCALLTYPE Save(IStorage* pStgSave, BOOL fSameAsLoad) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage* pStgNew) override;
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override;

  // IPersistPropertyBag
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;

  // IViewObject, IViewObject2
  HRESULT STDMETHODCALLTYPE Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                                 HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                                 BOOL(STDMETHODCALLTYPE* pfnContinue)(ULONG_PTR dwContinue),
                                 ULONG_PTR dwContinue) override;
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                                        HDC hicTargetDev, LOGPALETTE** ppColorSet) override;
  HRESULT STDMETHODCALLTYPE Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) override;
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD dwFreeze) override;
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd,
                                      LPSIZEL lpsizel) override;

  // IObjectSafety
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                      DWORD* pdwEnabledOptions) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                                      DWORD dwEnabledOptions) override;

  // IProvideClassInfo, IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD dwGuidKind, GUID* pGUID) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // ATL's default extent of a control, HIMETRIC.
  static constexpr LONG kExtentHimetric = 5080;

 protected:
  // outer: the controlling unknown when aggregated, else nullptr.
  ControlFrame(const ControlClass& controlClass, IUnknown* outer);
  virtual ~ControlFrame();

  // The control's own interfaces: the pointer answering riid, or nullptr.
  // Takes no reference. IUnknown and the frame's interfaces are answered by
  // the frame.
  virtual IUnknown* QueryControl(REFIID riid) = 0;

  // The inner unknown's reference count: by default a plain count (the
  // controls are apartment-threaded) that deletes the object at 0. A control
  // with a longer end (the calendar presence control) overrides both.
  virtual ULONG InnerAddRef();
  virtual ULONG InnerRelease();

  // The site lock's answer for a call now: S_OK, or E_ACCESSDENIED after the
  // lock's warning went to SiteLog(). The first call of every method of the
  // control's own interface.
  HRESULT CheckSite() { return m_siteLock.Check(SiteLog()); }
  SiteLock& SiteLockOf() { return m_siteLock; }
  // The log the site lock's warnings go to: the control's own.
  virtual CAXLogger& SiteLog() = 0;

 private:
  // IObjectWithSite for a control without its own, offered while the lock
  // is armed: the site goes to the lock.
  class SiteHolder final : public IObjectWithSite {
   public:
    explicit SiteHolder(ControlFrame* frame) : frame_(frame) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return frame_->m_pOuter->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return frame_->m_pOuter->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return frame_->m_pOuter->Release(); }
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override;

   private:
    ControlFrame* frame_;
  };

  class Inner final : public IUnknown {
   public:
    explicit Inner(ControlFrame* frame) : frame_(frame) {}
    // IID_IUnknown: this object; then the control's interfaces, then the
    // frame's; E_NOINTERFACE (and *ppv null) for any other.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return frame_->InnerAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return frame_->InnerRelease(); }

   private:
    ControlFrame* frame_;
  };

  // The frame's own interfaces for riid, or nullptr; no reference taken.
  IUnknown* QueryFrame(REFIID riid);
  // True when the object, asked through its controlling unknown, answers riid.
  HRESULT Offers(REFIID riid);

  ModuleLockHold m_moduleLock;  // first member: held until the memory goes
  const ControlClass& m_class;
  Inner m_inner;
  IUnknown* m_pOuter;
  ULONG m_refs = 0;
  DWORD m_safety = 0;
  ComPtr<IAdviseSink> m_adviseSink;
  DWORD m_adviseAspects = 0;
  DWORD m_adviseFlags = 0;
  SiteLock m_siteLock;
  SiteHolder m_siteHolder{this};
};

// The creation function of every control class, as the module's class
// table calls it: the object alone (outer nullptr) or aggregated. With an
// outer unknown riid must be IID_IUnknown, the inner unknown being the only
// pointer an aggregating object may hold; any other riid is
// CLASS_E_NOAGGREGATION, the answer ATL's class factory gives. *ppv is null
// on every failure.
template <class T>
HRESULT CreateControl(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  T* object = new (std::nothrow) T(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  const HRESULT hr = inner->QueryInterface(riid, ppv);
  inner->Release();  // the object goes here when riid was not answered
  return hr;
}

}  // namespace tessaro

// The delegating IUnknown of a control: overrides the methods of all its
// bases, the frame's and the control's own interfaces alike.
#define TESSARO_CONTROL_IUNKNOWN()                                                \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {    \
    return OuterUnknown()->QueryInterface(riid, ppv);                             \
  }                                                                               \
  ULONG STDMETHODCALLTYPE AddRef() override { return OuterUnknown()->AddRef(); }  \
  ULONG STDMETHODCALLTYPE Release() override { return OuterUnknown()->Release(); }
