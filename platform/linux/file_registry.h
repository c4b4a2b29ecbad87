// The registry on Linux: one text file per root in a folder of the user's
// configuration ("user.reg" for HKEY_CURRENT_USER, "machine.reg" for
// HKEY_LOCAL_MACHINE). HKEY_CLASSES_ROOT is the merged view of the user's
// and the machine's Software\Classes: a key is the user's when the user's
// file holds it, or, for a key that does not exist yet, when the user's file
// holds more of its path than the machine's; otherwise it is the machine's.
// Opening, reading, writing and deleting all follow that rule, so a value
// written through HKEY_CLASSES_ROOT reads back from the same file; listing
// the sub keys of a key reached through it shows both files' sub keys.
//
// The files are plain text a person can read and edit, in the layout of the
// registry editor's export files. Every change re-reads the file under an
// exclusive lock, writes a temporary file and renames it over the old one, so
// neither a crash nor a concurrent writer leaves a damaged file. A file that
// does not parse is reported once and read as far as its lines parse; the
// first change after that keeps the file aside as "<file>.bad-<UTC time>"
// (and says so) before writing what could be read.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

class FileRegistry : public RegistryService {
 public:
  // folder: a Unix directory, created on the first write.
  explicit FileRegistry(std::string folder);
  ~FileRegistry() override;
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

  // Text form of a hive and back. Parse skips the lines it cannot read (and
  // a section whose header it cannot read) and then returns false; badLine,
  // when given, receives the number of the first such line.
  static std::string Serialize(const Hive& hive);
  static bool Parse(const std::string& text, Hive& hive, size_t* badLine = nullptr);

 private:
  struct Handle;
  struct Target;
  class Call;
  enum class Root { User, Machine };
  enum class FileState { Missing, Parsed, Malformed, Unreadable };

  bool Resolve(HKEY key, LPCWSTR subKey, Target& target);
  Root ClassesRoot(const WString& path);
  Hive Load(Root root, FileState* state = nullptr);
  LONG Store(Root root, const Hive& hive, FileState loaded);
  LONG KeepAside(Root root);
  std::string FileOf(Root root) const;
  HKEY NewHandle(const Target& target, const WString& path);
  void Report(const std::string& line);

  std::string folder_;
  std::mutex mutex_;
  std::set<Handle*> handles_;
  // Malformed files already reported, by name, with the state they had.
  std::map<std::string, std::string> reported_;
  std::mutex reportMutex_;
  std::vector<std::string> pendingReports_;
};

}  // namespace plat
