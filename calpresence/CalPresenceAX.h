// The calendar presence control: tells a page, by events, which meetings of
// the user's calendar are in progress and when to ask again.
//
// Almost everything the control knows is class-wide: one MAPI session, one
// watcher thread and one meeting table per process, whichever page created
// the instance. The watcher thread shares the flags and pointers below with
// the pages' threads; each is an atomic written by single stores, so the
// orderings the update cycle relies on (the watcher sets m_enumerationDone
// before m_processFound, Quit sets m_exitThread before ThreadExitEvent) hold
// without locks. The one lock is the session lock (SessionLock), which keeps
// the watcher's teardown of the MAPI session out of a pass that uses it.
#pragma once

#include <atomic>
#include <mutex>

#include "calendar/MeetingTable.h"
#include "calpresence/CalPresenceIds.h"
#include "module/AXLogger.h"
#include "module/ControlFrame.h"
#include "platform/com.h"
#include "platform/connpoint.h"
#include "platform/dispatch.h"
#include "platform/mapi.h"

class CCalPresenceAX;
class CMAPIAdviseSink;

// A reference that keeps a control's memory, and with it its logger, alive
// while another thread (the watcher) or the notification sink works with it.
// It does not keep the control alive as a COM object: the control's final
// release still happens when the page lets go of it.
class CalPresenceRef {
 public:
  CalPresenceRef() = default;
  CalPresenceRef(const CalPresenceRef&) = delete;
  CalPresenceRef& operator=(const CalPresenceRef&) = delete;
  CalPresenceRef(CalPresenceRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  CalPresenceRef& operator=(CalPresenceRef&& other) noexcept;
  ~CalPresenceRef();

  CCalPresenceAX* get() const { return p_; }
  CCalPresenceAX* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  friend class CCalPresenceAX;
  explicit CalPresenceRef(CCalPresenceAX* adopted) : p_(adopted) {}  // takes over a pin
  CCalPresenceAX* p_ = nullptr;
};

// Persistence, view, object safety, class information, error information and
// aggregation come from the shared control frame (module/ControlFrame.h).
// Alone or aggregated, the object's final release (FinalRelease) happens when
// its inner unknown's count drops to 0; its memory goes with the last pin.
class CCalPresenceAX : public ICalPresence,
                       public IObjectWithSite,
                       public plat::ConnectionPointContainer,
                       public tessaro::ControlFrame,
                       public CAXLogger {
 public:
  // outer: the controlling unknown when the object is aggregated.
  explicit CCalPresenceAX(IUnknown* outer = nullptr);
  CCalPresenceAX(const CCalPresenceAX&) = delete;
  CCalPresenceAX& operator=(const CCalPresenceAX&) = delete;

  // IUnknown, delegating to the controlling unknown.
  TESSARO_CONTROL_IUNKNOWN()

  // IDispatch, from the method table.
  TESSARO_DISPATCH_FROM_TABLE(kDispatch)

  // ICalPresence
  HRESULT STDMETHODCALLTYPE GetCalData() override;
  HRESULT STDMETHODCALLTYPE CheckProcessChange() override;
  HRESULT STDMETHODCALLTYPE Quit() override;

  // Called only from inside the system: LocalGetCalData by GetCalData,
  // Cleanup by Quit, Logout by the watcher thread; the last one handles the
  // browser's OnQuit event.
  virtual HRESULT LocalGetCalData();
  virtual HRESULT Cleanup();
  virtual HRESULT Logout();
  virtual HRESULT OnBrowserQuit();

  // Makes sure a session, the default store and the change registration
  // exist and runs the calendar scan with the registration removed.
  virtual HRESULT Logon();
  // The calendar scan into the class-wide meeting table.
  HRESULT GetCalEntries(IMAPISession* session, IMsgStore* store);
  // Serialises a pass's use of the session and store with their teardown
  // (see Logon).
  static std::recursive_mutex& SessionLock();

  // IObjectWithSite
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override;

  // CAXLogger
  int QueryLoggerFlag() override { return 1; }
  const WCHAR* GetLogPrefix() override;

  // Events of _ICalPresenceEvents. Each returns the last subscriber's
  // result; callers ignore it.
  HRESULT FireOnCalDataChanged(LONG startTime, LONG duration, LONG startHour, LONG startMinute, LONG endHour,
                               LONG endMinute, const WCHAR* subject, const WCHAR* location,
                               const WCHAR* timeZone);
  HRESULT FireDone(LONG nextStartTime);
  HRESULT FirePasswordAvailable();

  // The event connection point (for hosts that connect without going
  // through IConnectionPointContainer).
  plat::ConnectionPoint& EventPoint() { return m_events; }
  bool BrowserAdvised() const { return m_browserAdvised; }
  DWORD BrowserCookie() const { return m_browserCookie; }
  IWebBrowser2* WebBrowser() const { return m_spWebBrowser.Get(); }

  // ---- class-wide state -------------------------------------------------------

  // The control whose logger the watcher, the sink and the calendar code
  // write to and on which they call back, pinned for the caller; empty when
  // there is none (the instance that last entered LocalGetCalData has been
  // released since).
  static CalPresenceRef CurrentControl();
  // Makes control the current one (nullptr: none) and routes the calendar
  // code's log there.
  static void SetCurrentControl(CCalPresenceAX* control);
  // Sets the log switch and routes the calendar code's log with it.
  static void SetLogEnabled(BYTE enabled);

  // Log switch: every log call of the control and the calendar code is
  // skipped while it is 0.
  static inline std::atomic<BYTE> m_logEnabled{0};
  static inline std::atomic<IMAPISession*> m_pSession{nullptr};
  // The default store; no reference of its own (m_pNotifyStore owns it).
  static inline std::atomic<IMsgStore*> m_pStore{nullptr};
  static inline std::atomic<IMsgStore*> m_pNotifyStore{nullptr};
  static inline std::atomic<CMAPIAdviseSink*> m_pAdviseSink{nullptr};
  static inline std::atomic<ULONG> m_ulConnection{0};
  // PR_IPM_APPOINTMENT_ENTRYID of the Inbox, a MAPI buffer.
  static inline std::atomic<LPSPropValue> m_pCalendarEntryID{nullptr};
  static inline std::atomic<IMAPIFolder*> m_pCalendarFolder{nullptr};
  // Result of MAPIInitialize; -1 while not tried or after a failure.
  static inline std::atomic<HRESULT> m_mapiInitResult{-1};
  static inline std::atomic<HANDLE> m_hThread{nullptr};
  static inline std::atomic<BYTE> m_exitThread{0};
  static inline std::atomic<BYTE> m_processFound{0};
  static inline std::atomic<BYTE> m_enumerationDone{0};
  static inline std::atomic<BYTE> m_processSwitch{1};
  static inline std::atomic<BYTE> m_doingWork{0};
  static inline std::atomic<BYTE> m_clearPending{1};
  // Seconds until the presence must next be recomputed.
  static inline std::atomic<DWORD> m_whenToClear{0};
  // m_meetings, m_meetingIndex and nextStartMeetingTime. Only the thread of
  // an update pass touches it.
  static inline MeetingTable m_meetingTable;

  // The two process-wide auto-reset events of the watcher handshake.
  static HANDLE ThreadExitEvent();
  static HANDLE ThreadWaitEvent();

  // The watcher thread and its test of one process.
  static DWORD WINAPI MyThread(LPVOID parameter);
  static DWORD IsMailClientProcess(DWORD processId);
  // True while the thread behind the handle runs (false for no handle).
  static bool WatcherRunning(HANDLE thread);

  // Logout's work: with logAs null (no current control) it runs silently.
  static HRESULT LogoutSession(CCalPresenceAX* logAs);

  // CLSID_CalPresenceAX, ICalPresence, _ICalPresenceEvents,
  // "ATL 8.0 : CalPresenceAX".
  static const tessaro::ControlClass kClass;

  // Nested logon retries a pass may run before it leaves the next attempt
  // to the page's tick.
  static constexpr int kMaxNestedLogonRetries = 3;

 protected:
  // The frame counts the module lock from construction until the memory
  // goes, which a watcher still working with this instance may delay past
  // the final release: the code that thread runs must not be unloaded under
  // it.
  ~CCalPresenceAX() override;

  // ICalPresence, IDispatch, IObjectWithSite, IConnectionPointContainer.
  IUnknown* QueryControl(REFIID riid) override;
  // The inner unknown's count (atomic: pins and the current control are
  // reached from the watcher thread too); its drop to 0 runs FinalRelease
  // and gives up the COM life's pin.
  ULONG InnerAddRef() override;
  ULONG InnerRelease() override;

 private:
  // The hosting browser's DWebBrowserEvents2 subscriber. It lives inside the
  // control and counts no references (the browser's reference must not keep
  // the control alive); the control unsubscribes before it goes.
  class BrowserEvents final : public IDispatch {
   public:
    explicit BrowserEvents(CCalPresenceAX* owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

   private:
    CCalPresenceAX* owner_;
  };

  friend class CalPresenceRef;
  void Pin() { m_pins.fetch_add(1, std::memory_order_relaxed); }
  void Unpin();
  void FinalRelease();
  // Logon's steps: the session and the default store with its
  // registration, then the scan between unregistering and registering again.
  void OpenSession();
  HRESULT ScanAndRegister(IMsgStore* store);
  void SubscribeBrowser();
  void UnsubscribeBrowser();

  static const disp::Member<CCalPresenceAX> kMembers[];
  static const disp::Table<CCalPresenceAX> kDispatch;

  std::atomic<ULONG> m_refs{0};
  // One pin for the COM life of the object, one while it is the current
  // control, one for each CalPresenceRef; the memory goes with the last.
  std::atomic<LONG> m_pins{1};

  plat::ConnectionPoint m_events;
  plat::ConnectionPoint m_propertyNotify;
  ComPtr<IUnknown> m_spUnkSite;
  ComPtr<IWebBrowser2> m_spWebBrowser;
  bool m_browserAdvised = false;
  DWORD m_browserCookie = kNoBrowserCookie;
  // The point the browser subscription was made on, so that it is undone
  // there even after the browser pointer was replaced.
  ComPtr<IConnectionPoint> m_browserPoint;
  BrowserEvents m_browserEvents{this};

  static constexpr DWORD kNoBrowserCookie = 0xFEFEFEFE;

  static inline std::mutex s_currentLock;
  static inline CCalPresenceAX* m_pCurrentControl = nullptr;  // holds a pin
};

// Creates a calendar presence control, alone or aggregated, and returns its
// riid interface (tessaro::CreateControl: with an outer unknown riid must be
// IID_IUnknown).
HRESULT CreateCalPresenceAX(IUnknown* outer, REFIID riid, void** ppv);

// Delivers the MAPI notifications waiting for the calling thread; a host
// calls it from its loop on the thread that runs the update passes.
void PumpCalPresenceNotifications();
