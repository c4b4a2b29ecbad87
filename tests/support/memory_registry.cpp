#include "tests/support/memory_registry.h"

#include <cstring>

namespace testing_support {

MemoryRegistry::MemoryRegistry() : installed_(*this) {
  for (const WCHAR* root : {WSTR("HKLM"), WSTR("HKCU"), WSTR("HKU"), WSTR("HKLM\\Software"),
                            WSTR("HKLM\\Software\\Classes"), WSTR("HKCU\\Software")}) {
    AddKey(root);
  }
}

MemoryRegistry::~MemoryRegistry() = default;

WString MemoryRegistry::Folded(const WString& s) { return wstr::LowerAscii(s); }

bool MemoryRegistry::Fails(const WString& path) const {
  return !failWritesUnder.empty() && Folded(path).find(Folded(failWritesUnder)) != WString::npos;
}

bool MemoryRegistry::Resolve(HKEY key, LPCWSTR subKey, WString* path) const {
  if (key == HKEY_LOCAL_MACHINE) *path = WSTR("HKLM");
  else if (key == HKEY_CURRENT_USER) *path = WSTR("HKCU");
  else if (key == HKEY_USERS) *path = WSTR("HKU");
  else if (key == HKEY_CLASSES_ROOT) *path = WSTR("HKLM\\Software\\Classes");
  else {
    auto it = handles_.find(key);
    if (it == handles_.end()) return false;
    *path = it->second;
  }
  if (subKey != nullptr && subKey[0] != 0) *path += WString(WSTR("\\")) + subKey;
  return true;
}

void MemoryRegistry::AddKey(const WString& path) {
  // Parents first.
  for (size_t pos = path.find('\\'); pos != WString::npos; pos = path.find('\\', pos + 1)) {
    const WString parent = path.substr(0, pos);
    if (keys_.count(Folded(parent)) == 0) keys_[Folded(parent)].path = parent;
  }
  if (keys_.count(Folded(path)) == 0) keys_[Folded(path)].path = path;
}

bool MemoryRegistry::HasKey(const WString& path) const { return keys_.count(Folded(path)) != 0; }

bool MemoryRegistry::Text(const WString& path, const WString& name, WString* value) const {
  auto key = keys_.find(Folded(path));
  if (key == keys_.end()) return false;
  auto v = key->second.values.find(Folded(name));
  if (v == key->second.values.end() || v->second.type != REG_SZ) return false;
  const auto* text = reinterpret_cast<const WCHAR*>(v->second.data.data());
  size_t n = v->second.data.size() / sizeof(WCHAR);
  while (n > 0 && text[n - 1] == 0) --n;
  value->assign(text, n);
  return true;
}

std::vector<WString> MemoryRegistry::KeysUnder(const WString& prefix) const {
  std::vector<WString> out;
  const WString folded = Folded(prefix);
  for (const auto& [k, key] : keys_) {
    if (k == folded || k.compare(0, folded.size() + 1, folded + WSTR("\\")) == 0) out.push_back(key.path);
  }
  return out;
}

LONG MemoryRegistry::RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  WString path;
  if (!Resolve(key, subKey, &path)) return ERROR_INVALID_HANDLE;
  if (!HasKey(path)) return ERROR_FILE_NOT_FOUND;
  *result = reinterpret_cast<HKEY>(nextHandle_++);
  handles_[*result] = keys_[Folded(path)].path;
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                     PHKEY result, LPDWORD disposition) {
  WString path;
  if (!Resolve(key, subKey, &path)) return ERROR_INVALID_HANDLE;
  const bool existed = HasKey(path);
  if (!existed) {
    if (Fails(path)) return ERROR_ACCESS_DENIED;
    AddKey(path);
  }
  if (disposition != nullptr) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = reinterpret_cast<HKEY>(nextHandle_++);
  handles_[*result] = keys_[Folded(path)].path;
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  WString path;
  if (!Resolve(key, nullptr, &path)) return ERROR_INVALID_HANDLE;
  auto k = keys_.find(Folded(path));
  if (k == keys_.end()) return ERROR_FILE_NOT_FOUND;
  auto v = k->second.values.find(Folded(name != nullptr ? WString(name) : WString()));
  if (v == k->second.values.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->second.type;
  const DWORD needed = static_cast<DWORD>(v->second.data.size());
  if (data != nullptr) {
    if (size == nullptr || *size < needed) {
      if (size != nullptr) *size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, v->second.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  WString path;
  if (!Resolve(key, nullptr, &path)) return ERROR_INVALID_HANDLE;
  if (Fails(path + WSTR("\\") + (name != nullptr ? WString(name) : WString()))) return ERROR_ACCESS_DENIED;
  auto k = keys_.find(Folded(path));
  if (k == keys_.end()) return ERROR_KEY_DELETED;
  Value& v = k->second.values[Folded(name != nullptr ? WString(name) : WString())];
  v.type = type;
  v.data.assign(data, data + size);
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegDeleteValueW(HKEY key, LPCWSTR name) {
  WString path;
  if (!Resolve(key, nullptr, &path)) return ERROR_INVALID_HANDLE;
  auto k = keys_.find(Folded(path));
  if (k == keys_.end()) return ERROR_KEY_DELETED;
  return k->second.values.erase(Folded(name != nullptr ? WString(name) : WString())) != 0 ? ERROR_SUCCESS
                                                                                        : ERROR_FILE_NOT_FOUND;
}

LONG MemoryRegistry::RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  WString path;
  if (!Resolve(key, subKey, &path)) return ERROR_INVALID_HANDLE;
  if (!HasKey(path)) return ERROR_FILE_NOT_FOUND;
  if (KeysUnder(path).size() > 1) return ERROR_ACCESS_DENIED;
  keys_.erase(Folded(path));
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPWSTR, LPDWORD,
                                   LPFILETIME) {
  WString path;
  if (!Resolve(key, nullptr, &path)) return ERROR_INVALID_HANDLE;
  const WString folded = Folded(path) + WSTR("\\");
  std::set<WString> children;
  for (const auto& [k, entry] : keys_) {
    if (k.compare(0, folded.size(), folded) == 0 && k.find('\\', folded.size()) == WString::npos)
      children.insert(entry.path.substr(folded.size()));
  }
  if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = children.begin();
  std::advance(it, index);
  if (*nameSize <= it->size()) return ERROR_MORE_DATA;
  it->copy(name, it->size());
  name[it->size()] = 0;
  *nameSize = static_cast<DWORD>(it->size());
  return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS)
    return ERROR_SUCCESS;
  return handles_.erase(key) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace testing_support
