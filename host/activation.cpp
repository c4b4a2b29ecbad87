#include "host/activation.h"

#include <cstdio>

#include "host/page_site.h"
#include "module/TessaroModule.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace host {

namespace {

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

// The default value of HKCR\path as text. The user's classes come first, as
// in the merged view Windows gives of HKCR (read here explicitly, so that the
// answer does not depend on how a system merges the two).
bool ReadDefault(const WString& path, WString* value) {
  plat::RegistryService& reg = plat::Registry();
  HKEY key = nullptr;
  if (reg.RegOpenKeyW(HKEY_CURRENT_USER, (WSTR("Software\\Classes\\") + path).c_str(), &key) != ERROR_SUCCESS &&
      reg.RegOpenKeyW(HKEY_CLASSES_ROOT, path.c_str(), &key) != ERROR_SUCCESS) {
    return false;
  }
  WCHAR text[1024];
  DWORD size = sizeof text;
  DWORD type = 0;
  const LONG rc = reg.RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  reg.RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  size_t n = size / sizeof(WCHAR);
  while (n > 0 && text[n - 1] == 0) --n;
  value->assign(text, n);
  return true;
}

WString OwnModulePath() {
  WCHAR path[4 * MAX_PATH];
  const DWORD n = plat::Modules().GetModuleFileNameW(nullptr, path, 4 * MAX_PATH);
  return n == 0 || n >= 4 * MAX_PATH ? WString() : WString(path, n);
}

// The class object entry point of the server at path.
DllGetClassObjectFn ServerEntry(const WString& path) {
  if (wstr::EqualsNoCase(path, OwnModulePath())) return &DllGetClassObject;
  // Kept loaded for the life of the program, as COM keeps a server it loaded
  // until the program asks it to unload.
  HMODULE server = plat::Libraries().LoadLibraryW(path.c_str());
  if (server == nullptr) return nullptr;
  return reinterpret_cast<DllGetClassObjectFn>(
      reinterpret_cast<void (*)()>(plat::Libraries().GetProcAddress(server, "DllGetClassObject")));
}

}  // namespace

HRESULT ClassOfProgId(const WCHAR* progId, CLSID* clsid) {
  WString text;
  if (!ReadDefault(WString(progId) + WSTR("\\CLSID"), &text)) return REGDB_E_CLASSNOTREG;
  return plat::GuidFromText(text, clsid) ? S_OK : REGDB_E_CLASSNOTREG;
}

namespace {

// The control from the server the registry names for progId.
HRESULT CreateRegistered(const WCHAR* progId, REFIID riid, void** ppv) {
  CLSID clsid{};
  HRESULT hr = ClassOfProgId(progId, &clsid);
  if (FAILED(hr)) return hr;
  WString server;
  if (!ReadDefault(WSTR("CLSID\\") + plat::GuidText(clsid) + WSTR("\\InprocServer32"), &server))
    return REGDB_E_CLASSNOTREG;
  const DllGetClassObjectFn entry = ServerEntry(server);
  if (entry == nullptr) return CO_E_ERRORINDLL;
  IClassFactory* factory = nullptr;
  hr = entry(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  return hr;
}

// A new control goes on the page the program acts as, if any.
HRESULT Placed(HRESULT hr, void* control) {
  if (SUCCEEDED(hr)) PlaceOnPage(static_cast<IUnknown*>(control));
  return hr;
}

}  // namespace

HRESULT CreateControl(const WCHAR* progId, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  HRESULT hr = CreateRegistered(progId, riid, ppv);
  if (hr != REGDB_E_CLASSNOTREG && hr != CO_E_ERRORINDLL) return Placed(hr, *ppv);
  // Not registered, or registered for a copy of the module that cannot be
  // loaded from here (moved, removed, or another program's): this program
  // registers its own copy for the current user and tries once more.
  const HRESULT installed = DllInstall(TRUE, WSTR("user"));
  if (FAILED(installed)) return installed;
  std::fprintf(stderr, "tessaro: registered the controls for the current user\n");
  hr = CreateRegistered(progId, riid, ppv);
  return Placed(hr, *ppv);
}

}  // namespace host
