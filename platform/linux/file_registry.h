// The registry on Linux: one text file per root in a folder of the user's
// configuration ("user.reg" for HKEY_CURRENT_USER, "machine.reg" for
// HKEY_LOCAL_MACHINE; HKEY_CLASSES_ROOT is HKLM\Software\Classes, with
// HKCU\Software\Classes taking precedence when a key is opened).
//
// The files are plain text a person can read and edit, in the layout of the
// registry editor's export files. Every change re-reads the file under an
// exclusive lock, writes a temporary file and renames it over the old one, so
// neither a crash nor a concurrent writer leaves a damaged file.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

class FileRegistry : public RegistryService {
 public:
  // folder: a Unix directory, created on the first write.
  explicit FileRegistry(std::string folder);
  // The folder the real service uses: $TESSARO_REGISTRY_DIR, else
  // $XDG_CONFIG_HOME/tessaro/registry, else ~/.config/tessaro/registry.
  static std::string DefaultFolder();

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

  struct Value {
    WString name;  // as first written
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
  };
  struct Key {
    WString path;                        // as first written
    std::map<WString, Value> values;     // by lower-cased name
  };
  using Hive = std::map<WString, Key>;   // by lower-cased path

  // Text form of a hive and back; Parse returns false on a malformed file.
  static std::string Serialize(const Hive& hive);
  static bool Parse(const std::string& text, Hive& hive);

 private:
  struct Handle;
  enum class Root { User, Machine };

  bool Resolve(HKEY key, LPCWSTR subKey, Root& root, WString& path, bool forOpen);
  Hive Load(Root root);
  LONG Store(Root root, const Hive& hive);
  std::string FileOf(Root root) const;

  std::string folder_;
  std::mutex mutex_;
};

}  // namespace plat
