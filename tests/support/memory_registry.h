// A registry held in memory, the same on both targets, for tests that must
// see every key a piece of code writes without touching the machine's. HKCR
// stands for HKLM\Software\Classes. Keys and value names compare without
// regard to letter case; a key with sub keys cannot be deleted, as on
// Windows. A call may be made to fail for paths that contain a given text.
#pragma once

#include <map>
#include <set>
#include <vector>

#include "platform/services.h"
#include "platform/wstr.h"

namespace testing_support {

class MemoryRegistry : public plat::RegistryService {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;

  LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) override;
  LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM sam,
                       LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) override;
  LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                        LPDWORD size) override;
  LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) override;
  LONG RegDeleteValueW(HKEY key, LPCWSTR name) override;
  LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPWSTR keyClass,
                     LPDWORD classSize, LPFILETIME lastWrite) override;
  LONG RegCloseKey(HKEY key) override;

  // Test side: full paths like L"HKLM\\Software\\Classes\\CLSID".
  void AddKey(const WString& path);
  bool HasKey(const WString& path) const;
  // The text of a value (name empty: the default value); false when absent.
  bool Text(const WString& path, const WString& name, WString* value) const;
  // Every key path under (and including) a prefix, as written.
  std::vector<WString> KeysUnder(const WString& prefix) const;
  size_t KeyCount() const { return keys_.size(); }
  // Creating a key or setting a value whose path contains this text fails
  // with ERROR_ACCESS_DENIED (empty: nothing fails).
  WString failWritesUnder;
  // Handles still open.
  size_t OpenHandles() const { return handles_.size(); }

 private:
  struct Value {
    DWORD type;
    std::vector<BYTE> data;
  };
  struct Key {
    WString path;  // as first written
    std::map<WString, Value> values;  // by folded name
  };
  bool Resolve(HKEY key, LPCWSTR subKey, WString* path) const;
  // Keys and names folded for comparison.
  static WString Folded(const WString& s);
  bool Fails(const WString& path) const;

  std::map<WString, Key> keys_;  // by folded full path
  std::map<HKEY, WString> handles_;
  uintptr_t nextHandle_ = 0x1000;
  plat::Substitute<plat::RegistryService> installed_;
};

}  // namespace testing_support
