// Type libraries on Linux: no binary library exists, so registration writes
// the keys a registered library has (its description, its file for win32,
// its flags and help directory) from the library's identity, under the
// machine's or the user's classes.
#include "platform/typelib.h"

#include "platform/services.h"
#include "platform/wformat.h"

namespace plat {

namespace {

HKEY ClassesRoot(bool perUser, HKEY* opened) {
  *opened = nullptr;
  if (!perUser) return HKEY_CLASSES_ROOT;
  if (Registry().RegCreateKeyExW(HKEY_CURRENT_USER, WSTR("Software\\Classes"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, opened, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return *opened;
}

WString VersionKey(const TypeLibIdentity& id) {
  return wfmt::String(WSTR("TypeLib\\%s\\%x.%x"), GuidText(id.libid).c_str(), id.major, id.minor);
}

LONG SetText(HKEY root, const WString& path, const WString& value) {
  HKEY key = nullptr;
  LONG rc = Registry().RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = Registry().RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  Registry().RegCloseKey(key);
  return rc;
}

}  // namespace

HRESULT TypeLibService::RegisterTypeLib(LPCWSTR modulePath, const TypeLibIdentity& id, bool perUser) {
  HKEY opened = nullptr;
  HKEY root = ClassesRoot(perUser, &opened);
  if (root == nullptr) return E_ACCESSDENIED;
  const WString version = VersionKey(id);
  WString dir(modulePath);
  const size_t slash = dir.find_last_of(WSTR("\\/"));
  dir.erase(slash == WString::npos ? 0 : slash);
  LONG rc = SetText(root, version, id.helpString);
  if (rc == ERROR_SUCCESS)
    rc = SetText(root, version + wfmt::String(WSTR("\\%x\\win32"), id.lcid), modulePath);
  if (rc == ERROR_SUCCESS) rc = SetText(root, version + WSTR("\\FLAGS"), WSTR("0"));
  if (rc == ERROR_SUCCESS) rc = SetText(root, version + WSTR("\\HELPDIR"), dir);
  if (opened != nullptr) Registry().RegCloseKey(opened);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT TypeLibService::UnRegisterTypeLib(const TypeLibIdentity& id, bool perUser) {
  HKEY opened = nullptr;
  HKEY root = ClassesRoot(perUser, &opened);
  if (root == nullptr) return E_ACCESSDENIED;
  const WString version = VersionKey(id);
  const WString lcidKey = version + wfmt::String(WSTR("\\%x"), id.lcid);
  HKEY probe = nullptr;
  HRESULT hr = S_OK;
  if (Registry().RegOpenKeyW(root, version.c_str(), &probe) != ERROR_SUCCESS) {
    hr = TYPE_E_REGISTRYACCESS;
  } else {
    Registry().RegCloseKey(probe);
    // Leaves first; the library's key goes when no other version is left.
    for (const WString& leaf : {lcidKey + WSTR("\\win32"), lcidKey, version + WSTR("\\FLAGS"),
                                version + WSTR("\\HELPDIR"), version}) {
      Registry().RegDeleteKeyW(root, leaf.c_str());
    }
    Registry().RegDeleteKeyW(root, wfmt::String(WSTR("TypeLib\\%s"), GuidText(id.libid).c_str()).c_str());
  }
  if (opened != nullptr) Registry().RegCloseKey(opened);
  return hr;
}

HRESULT TypeLibService::LoadTypeInfo(LPCWSTR, REFGUID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return TYPE_E_CANTLOADLIBRARY;
}

}  // namespace plat
