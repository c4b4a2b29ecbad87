// Type libraries through OLE Automation.
#include "platform/typelib.h"

#include <string>

namespace plat {

namespace {

using RegisterForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnRegisterForUserFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// An entry point of the already loaded OLE Automation library, or nullptr.
FARPROC OleAutExport(const char* name) {
  HMODULE oleaut = ::GetModuleHandleW(L"OLEAUT32.DLL");
  return oleaut != nullptr ? ::GetProcAddress(oleaut, name) : nullptr;
}

}  // namespace

HRESULT TypeLibService::RegisterTypeLib(LPCWSTR modulePath, const TypeLibIdentity&, bool perUser) {
  ITypeLib* lib = nullptr;
  HRESULT hr = ::LoadTypeLibEx(modulePath, REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  BSTR helpFile = nullptr;
  std::wstring helpDir;
  if (SUCCEEDED(lib->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile)) && helpFile != nullptr &&
      helpFile[0] != 0) {
    helpDir = helpFile;
    const size_t slash = helpDir.find_last_of(L"\\/");
    helpDir.erase(slash == std::wstring::npos ? 0 : slash);
  }
  ::SysFreeString(helpFile);
  OLECHAR* dir = helpDir.empty() ? nullptr : &helpDir[0];
  std::wstring path(modulePath);
  auto forUser = perUser ? reinterpret_cast<RegisterForUserFn>(
                               reinterpret_cast<void (*)()>(OleAutExport("RegisterTypeLibForUser")))
                         : nullptr;
  hr = forUser != nullptr ? forUser(lib, &path[0], dir) : ::RegisterTypeLib(lib, &path[0], dir);
  lib->Release();
  return hr;
}

HRESULT TypeLibService::UnRegisterTypeLib(const TypeLibIdentity& id, bool perUser) {
  auto forUser = perUser ? reinterpret_cast<UnRegisterForUserFn>(
                               reinterpret_cast<void (*)()>(OleAutExport("UnRegisterTypeLibForUser")))
                         : nullptr;
  if (forUser != nullptr) return forUser(id.libid, id.major, id.minor, id.lcid, SYS_WIN32);
  return ::UnRegisterTypeLib(id.libid, id.major, id.minor, id.lcid, SYS_WIN32);
}

HRESULT TypeLibService::LoadTypeInfo(LPCWSTR modulePath, REFGUID guid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = ::LoadTypeLibEx(modulePath, REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(guid, info);
  lib->Release();
  return hr;
}

}  // namespace plat
