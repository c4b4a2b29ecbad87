// The module object of ZLMTessaro.dll: the lock count, the class table with
// one kept class factory per class, registration from the registry scripts
// among the module's resources (per machine, or per user after DllInstall
// with "user"), pre-approval of the classes for the browser, and the answers
// of the module's exports.
#pragma once

#include <atomic>

#include "platform/com.h"

namespace tessaro {

// Creates an object of one class, alone (outer nullptr) or aggregated.
using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// One row of the class table.
struct ClassEntry {
  const CLSID* clsid;
  CreateInstanceFn create;
  int scriptId;       // REGISTRY resource of the class script
  int bitmapId;       // toolbox bitmap
  DWORD oleMisc;      // MiscStatus value, written as decimal text
  bool safeCategories;  // registers CATID_SafeForScripting and CATID_SafeForInitializing
};

class CTessaroModule {
 public:
  // The one module object of the process.
  static CTessaroModule& Instance();

  // The class table in its fixed order: CalPresenceAX, ActiveMonAX,
  // MapiSearchAX.
  static const ClassEntry* Classes(size_t* count);

  // Process attach: remembers the module handle (nullptr: the program that
  // holds this code). Returns false when the module must not load.
  bool Attach(HINSTANCE module);
  void Detach();
  HINSTANCE ModuleHandle() const { return m_module; }

  // The lock count (interlocked).
  LONG Lock();
  LONG Unlock();
  LONG LockCount() const;

  // The exports' work.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
  HRESULT CanUnloadNow();
  HRESULT RegisterServer();
  HRESULT UnregisterServer();
  HRESULT Install(BOOL install, LPCWSTR commandLine);

  // Registration and unregistration of the scripts, categories and type
  // library (DllRegisterServer adds the pre-approval on top).
  HRESULT Register();
  HRESULT Unregister();
  // Writes the pre-approval key of one class under both HKLM parents.
  HRESULT PreApprove(REFCLSID clsid);
  // Pre-approves the classes in table order, stopping at the first failure.
  HRESULT PreApproveClasses();

  // Per-user registration (HKEY_CURRENT_USER\Software\Classes), switched on
  // by DllInstall "user" for the rest of the process.
  bool PerUser() const { return m_perUser.load(); }
  void SetPerUser(bool perUser) { m_perUser.store(perUser); }

  // Releases the kept class factories (process detach, tests).
  void ReleaseFactories();

 private:
  HINSTANCE m_module = nullptr;
  std::atomic<bool> m_perUser{false};
};

}  // namespace tessaro

// The module's exports, with the standard COM server signatures.
extern "C" {
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllCanUnloadNow();
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine);
}
