// The away timer control: tells the page when the user last used keyboard or
// mouse, from the input hook library "ZLMActvHook.dll" beside the module and,
// on Windows 2000, XP and Server 2003, from the system's last-input tick.
#pragma once

#include "hook/ZLMActvHook.h"
#include "module/AXLogger.h"
#include "module/ControlFrame.h"
#include "platform/com.h"
#include "platform/dispatch.h"
#include "platform/services.h"

TESSARO_DEFINE_GUID(IID_IActiveMon, 0x73E6349A, 0xE37D, 0x4FB7, 0xA1, 0x6C, 0x1E, 0x06, 0xB8, 0xA1, 0xB5, 0x5D);
TESSARO_DEFINE_GUID(CLSID_ActiveMonAX, 0xE76575E2, 0xEE76, 0x4284, 0xA1, 0xCB, 0xF5, 0x8E, 0x09, 0xA6, 0xD1, 0x68);

// Dual interface "IActiveMon Interface".
struct IActiveMon : IDispatch {
  // Loads the hook library and installs the hook: S_OK, or S_FALSE when the
  // library cannot be used.
  STDMETHOD(MonInit)() PURE;
  // Removes the hook and frees the library; always S_OK.
  STDMETHOD(MonUnInit)() PURE;
  // The moment of the last input in seconds since 1970 UTC with S_OK, or 0
  // with S_FALSE while no hook is installed.
  STDMETHOD(GetIdleTime)(LONG* lTime) PURE;
};

// The away timer ("Norvane Zelmora Away Timer"). Apartment-threaded: one
// thread calls it, its reference count is not atomic.
//
// States: Idle (constructed), Installed (MonInit succeeded), Failed (MonInit
// could not load or use the library; not retried), Removed (MonUnInit after
// Installed; MonInit installs again). Destroying the control neither removes
// the hook nor frees the library: only MonUnInit does.
//
// Persistence, view, object safety, class information, error information and
// aggregation come from the shared control frame (module/ControlFrame.h);
// the away timer has no outgoing interface and no connection points.
class CActiveMonAX final : public IActiveMon, public tessaro::ControlFrame, public CAXLogger {
 public:
  // outer: the controlling unknown when the object is aggregated.
  explicit CActiveMonAX(IUnknown* outer = nullptr);
  ~CActiveMonAX() override;
  CActiveMonAX(const CActiveMonAX&) = delete;
  CActiveMonAX& operator=(const CActiveMonAX&) = delete;

  // IUnknown, delegating to the controlling unknown.
  TESSARO_CONTROL_IUNKNOWN()

  // IDispatch, from the method table.
  TESSARO_DISPATCH_FROM_TABLE(kDispatch)

  // IActiveMon
  HRESULT STDMETHODCALLTYPE MonInit() override;
  HRESULT STDMETHODCALLTYPE MonUnInit() override;
  HRESULT STDMETHODCALLTYPE GetIdleTime(LONG* lTime) override;

  // CAXLogger
  int QueryLoggerFlag() override { return 1; }
  const WCHAR* GetLogPrefix() override;

  static const disp::Member<CActiveMonAX> kMembers[];
  static const disp::Table<CActiveMonAX> kDispatch;
  // CLSID_ActiveMonAX, IActiveMon, no events, "ATL 8.0 : ActiveMonAX".
  static const tessaro::ControlClass kClass;

  using PFN_GetLastInputInfo = BOOL(WINAPI*)(PLASTINPUTINFO);

  WString m_moduleFileName;
  WString m_moduleDir;
  DWORD m_lastInputTick = 0;  // the largest last-input tick seen, ms since system start
  DWORD m_sysStamp = 0;       // seconds since 1970 when that tick was first seen
  HMODULE m_hHookLib = nullptr;
  PFN_InstallHook m_pfnInstallHook = nullptr;
  PFN_UninstallHook m_pfnUninstallHook = nullptr;
  PFN_GetTimeStamp m_pfnGetTimeStamp = nullptr;
  bool m_hookRemoved = false;
  bool m_loadAttempted = false;
  PFN_GetLastInputInfo m_pfnGetLastInputInfo = nullptr;
  HMODULE m_hUser32 = nullptr;  // holds m_pfnGetLastInputInfo's library

 protected:
  // IActiveMon, IDispatch.
  IUnknown* QueryControl(REFIID riid) override;
  CAXLogger& SiteLog() override { return *this; }

 private:
  void ComputeModulePath();
  bool HookInstalled() const;
  DWORD GetLastTimestamp();
  DWORD SystemStamp();
  bool PlatformQualifies();
  void ForgetHookLibrary();
};

// Creates an away timer and returns its riid interface; with an outer
// unknown (aggregation) riid must be IID_IUnknown.
HRESULT CreateActiveMonAX(IUnknown* outer, REFIID riid, void** ppv);
