#include "activemon/ActiveMonAX.h"

#include <exception>
#include <new>
#include <vector>

#include "platform/wformat.h"

namespace {

const WCHAR* const kHookLibraryName = WSTR("ZLMActvHook.dll");
const WCHAR* const kReportCaption = WSTR("ZLMActvMonAX");

// Entry points come as FARPROC; the detour through a plain function pointer
// tells the compiler the cast to the real type is meant.
template <class F>
F EntryPoint(FARPROC proc) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

const disp::Member<CActiveMonAX> CActiveMonAX::kMembers[] = {
    disp::Method<&CActiveMonAX::MonInit>(WSTR("MonInit"), 1),
    disp::Method<&CActiveMonAX::MonUnInit>(WSTR("MonUnInit"), 2),
    disp::Method<&CActiveMonAX::GetIdleTime>(WSTR("GetIdleTime"), 3, disp::kRetVal),
};
const disp::Table<CActiveMonAX> CActiveMonAX::kDispatch(kMembers, IID_IActiveMon);

const tessaro::ControlClass CActiveMonAX::kClass = {&CLSID_ActiveMonAX, &IID_IActiveMon, nullptr,
                                                    WSTR("ATL 8.0 : ActiveMonAX")};

CActiveMonAX::CActiveMonAX(IUnknown* outer) : ControlFrame(kClass, outer), CAXLogger(WSTR("Activity Monitor")) {}

// The hook stays installed and its library loaded (see the class comment);
// only the library behind GetLastInputInfo is ours to give back.
CActiveMonAX::~CActiveMonAX() {
  if (m_hUser32 != nullptr) plat::Libraries().FreeLibrary(m_hUser32);
}

IUnknown* CActiveMonAX::QueryControl(REFIID riid) {
  if (riid == IID_IDispatch || riid == IID_IActiveMon) return static_cast<IActiveMon*>(this);
  return nullptr;
}

HRESULT CreateActiveMonAX(IUnknown* outer, REFIID riid, void** ppv) {
  return tessaro::CreateControl<CActiveMonAX>(outer, riid, ppv);
}

// ---- logger --------------------------------------------------------------------------

const WCHAR* CActiveMonAX::GetLogPrefix() { return WSTR("CActiveMonAX :: "); }

// ---- IActiveMon --------------------------------------------------------------------

HRESULT CActiveMonAX::MonInit() {
  if (FAILED(CheckSite())) return E_ACCESSDENIED;
  m_settings.Load();
  Log(LOG_MAJOR, WSTR("Tessaro INFO  :: CActiveMonAX::MonInit(18): Initializing Activity Monitor"));
  // Installed, or a load that failed: this object does not try again.
  if (m_loadAttempted) return S_OK;
  Log(LOG_INFO, WSTR("Tessaro INFO  :: CActiveMonAX::MonInit(22): need to load hook dll"));

  m_loadAttempted = true;
  m_moduleFileName.clear();
  m_moduleDir.clear();
  ComputeModulePath();

  const WString path = m_moduleDir + kHookLibraryName;
  Log(LOG_INFO, WSTR("Tessaro INFO  :: CActiveMonAX::MonInit(30): Loading hook dll %s"), path.c_str());
  m_hHookLib = plat::Libraries().LoadLibraryW(path.c_str());
  if (m_hHookLib == nullptr) {
    LPWSTR error = GetLastErrorText();
    Log(LOG_ERROR, WSTR("Tessaro ERROR :: CActiveMonAX::MonInit(36): Error: %s"), error);
    ReleaseLastErrorText(error);
    return S_FALSE;
  }

  m_pfnInstallHook = EntryPoint<PFN_InstallHook>(plat::Libraries().GetProcAddress(m_hHookLib, "InstallHook"));
  m_pfnUninstallHook = EntryPoint<PFN_UninstallHook>(plat::Libraries().GetProcAddress(m_hHookLib, "UninstallHook"));
  m_pfnGetTimeStamp = EntryPoint<PFN_GetTimeStamp>(plat::Libraries().GetProcAddress(m_hHookLib, "GetTimeStamp"));
  if (m_pfnInstallHook == nullptr || m_pfnUninstallHook == nullptr || m_pfnGetTimeStamp == nullptr) {
    Log(LOG_ERROR, WSTR("Tessaro ERROR :: CActiveMonAX::MonInit(45): Failed getting proc addresses"));
    plat::Libraries().FreeLibrary(m_hHookLib);
    ForgetHookLibrary();
    return S_FALSE;
  }

  Log(LOG_MAJOR, WSTR("Tessaro INFO  :: CActiveMonAX::MonInit(54): Installing Hook"));
  m_pfnInstallHook();
  m_hookRemoved = false;
  return S_OK;
}

HRESULT CActiveMonAX::MonUnInit() {
  if (FAILED(CheckSite())) return E_ACCESSDENIED;
  Log(LOG_MAJOR, WSTR("Tessaro INFO  :: CActiveMonAX::MonUnInit(64): Removing Hook"));
  if (HookInstalled()) {
    m_pfnUninstallHook();
    plat::Libraries().FreeLibrary(m_hHookLib);
    m_hookRemoved = true;
    m_loadAttempted = false;
    ForgetHookLibrary();
  }
  return S_OK;
}

// A null lTime is refused rather than written through.
HRESULT CActiveMonAX::GetIdleTime(LONG* lTime) {
  if (FAILED(CheckSite())) return E_ACCESSDENIED;
  if (lTime == nullptr) return E_POINTER;
  if (m_hookRemoved || !m_loadAttempted || !HookInstalled()) {
    *lTime = 0;
    return S_FALSE;
  }
  *lTime = static_cast<LONG>(GetLastTimestamp());
  return S_OK;
}

// ---- helpers -------------------------------------------------------------------------

bool CActiveMonAX::HookInstalled() const {
  return m_hHookLib != nullptr && m_pfnInstallHook != nullptr && m_pfnUninstallHook != nullptr &&
         m_pfnGetTimeStamp != nullptr && !m_hookRemoved;
}

void CActiveMonAX::ForgetHookLibrary() {
  m_hHookLib = nullptr;
  m_pfnInstallHook = nullptr;
  m_pfnUninstallHook = nullptr;
  m_pfnGetTimeStamp = nullptr;
}

// The module's directory (ending in a backslash) and file name. Where the
// name holds no backslash the directory is the current one, ".\". Unlike a
// single retry with the reported length, the buffer grows until the whole
// name fits, so a path longer than MAX_PATH is not silently cut.
void CActiveMonAX::ComputeModulePath() {
  try {
    WString full = WSTR(".");
    std::vector<WCHAR> buffer(MAX_PATH, 0);
    buffer[0] = '.';
    DWORD n = plat::Modules().GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    while (n > 0 && n >= buffer.size() && buffer.size() < 32768) {
      buffer.assign(buffer.size() * 2, 0);
      n = plat::Modules().GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (n > 0) full.assign(buffer.data(), n < buffer.size() ? n : buffer.size() - 1);
    const size_t slash = full.rfind('\\');
    if (slash == WString::npos) {
      m_moduleDir = WSTR(".\\");
      m_moduleFileName = full;
    } else {
      m_moduleDir = full.substr(0, slash + 1);
      m_moduleFileName = full.substr(slash + 1);
    }
  } catch (const std::exception& e) {
    const WString text = wfmt::String(WSTR("Unexpected exception thrown\n\tdescription: %S "), e.what());
    ShowReportBox(text.c_str(), kReportCaption);
  }
}

// The later of the hook's stamp and the system's, compared unsigned.
DWORD CActiveMonAX::GetLastTimestamp() {
  const DWORD hookStamp = m_pfnGetTimeStamp();
  const DWORD sysStamp = SystemStamp();
  Log(LOG_DETAIL, WSTR("Tessaro INFO  :: CActiveMonAX::GetLastTimestamp(98): dwHookStamp = %d - dwSysStamp = %d"),
      hookStamp, sysStamp);
  return hookStamp > sysStamp ? hookStamp : sysStamp;
}

// The time at which a poll first saw a larger last-input tick: its
// precision is the interval at which the page asks.
DWORD CActiveMonAX::SystemStamp() {
  DWORD tick = 0;
  if (PlatformQualifies()) {
    if (m_pfnGetLastInputInfo == nullptr) {
      // A failed load or lookup is tried again at the next poll.
      HMODULE user32 = plat::Libraries().LoadLibraryW(WSTR("user32.dll"));
      if (user32 != nullptr) {
        const FARPROC proc = plat::Libraries().GetProcAddress(user32, "GetLastInputInfo");
        if (proc != nullptr) {
          m_hUser32 = user32;
          m_pfnGetLastInputInfo = EntryPoint<PFN_GetLastInputInfo>(proc);
        } else {
          plat::Libraries().FreeLibrary(user32);
        }
      }
    }
    if (m_pfnGetLastInputInfo != nullptr) {
      LASTINPUTINFO info;
      info.cbSize = sizeof(LASTINPUTINFO);
      info.dwTime = 0;
      m_pfnGetLastInputInfo(&info);
      tick = info.dwTime;
    }
  }
  // The tick only ever advances; a wrapped (smaller) tick is not taken.
  if (tick > m_lastInputTick) {
    m_lastInputTick = tick;
    m_sysStamp = static_cast<DWORD>(plat::SystemInfo().CurrentTimeSeconds());
  }
  return m_sysStamp;
}

// Windows NT 5.0 to 5.2 (2000, XP, Server 2003) only; asked anew each time.
bool CActiveMonAX::PlatformQualifies() {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  auto* basic = reinterpret_cast<OSVERSIONINFOW*>(&version);
  if (!plat::SystemInfo().GetVersionExW(basic)) {
    version = OSVERSIONINFOEXW{};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!plat::SystemInfo().GetVersionExW(basic)) return false;
  }
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion == 5 &&
         version.dwMinorVersion <= 2;
}
