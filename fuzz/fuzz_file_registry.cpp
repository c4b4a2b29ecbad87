// Fuzzes the Linux registry file. The input is a user.reg as a person may
// have edited it, then a list of registry calls that read and change it
// (through HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, the merged
// HKEY_CLASSES_ROOT, keys opened on the way, and a root the registry does
// not have). Beyond the sanitizers it checks that every value written reads
// back exactly, every listed sub key opens, a key with sub keys is not
// deleted, what the registry writes parses again to the same text, and a file
// that did not parse is kept aside before it is written anew.
#include "fuzz/registry_fuzz_support.h"
#include "platform/linux/file_registry.h"

using plat::FileRegistry;
using regfuzz::Reader;

namespace {

const char kMachine[] =
    "[Software\\Classes\\A]\n@=\"machine\"\n[Software\\Classes\\B\\C]\n\"v\"=dword:00000001\n";

bool SameHive(const FileRegistry::Hive& a, const FileRegistry::Hive& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || i->second.path != j->second.path) return false;
    if (i->second.values.size() != j->second.values.size()) return false;
    for (auto v = i->second.values.begin(), w = j->second.values.begin(); v != i->second.values.end(); ++v, ++w) {
      if (v->first != w->first || v->second.name != w->second.name || v->second.type != w->second.type ||
          v->second.data != w->second.data)
        return false;
    }
  }
  return true;
}

// What the writer makes of a file parses again to the same keys and values
// and the same text.
void CheckRoundTrip(const std::string& text) {
  FileRegistry::Hive first, second, third;
  FileRegistry::Parse(text, first);
  const std::string written = FileRegistry::Serialize(first);
  FUZZ_CHECK(FileRegistry::Parse(written, second));
  FUZZ_CHECK(SameHive(first, second));
  FUZZ_CHECK(FileRegistry::Serialize(second) == written);
}

class Calls {
 public:
  explicit Calls(FileRegistry& reg) : reg_(reg), slots_{HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT} {}

  void Run(Reader& in) {
    for (int n = 0; n < 64 && !in.done(); ++n) {
      switch (in.Byte() % 8) {
        case 0: Create(in); break;
        case 1: Set(in); break;
        case 2: Query(in); break;
        case 3: DeleteValue(in); break;
        case 4: DeleteKey(in); break;
        case 5: Enumerate(Pick(in)); break;
        case 6: Open(in); break;
        default: Close(in); break;
      }
    }
    while (slots_.size() > 3) {
      FUZZ_CHECK(reg_.RegCloseKey(slots_.back()) == ERROR_SUCCESS);
      FUZZ_CHECK(reg_.RegCloseKey(slots_.back()) == ERROR_INVALID_HANDLE);  // closed twice
      slots_.pop_back();
    }
  }

 private:
  HKEY Pick(Reader& in) {
    const uint8_t b = in.Byte();
    if (b == 0xFE) return HKEY_USERS;  // a root this registry does not have
    return slots_[b % slots_.size()];
  }
  static bool Plain(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }
  void Keep(HKEY key) {
    if (slots_.size() < 8) {
      slots_.push_back(key);
    } else {
      FUZZ_CHECK(reg_.RegCloseKey(key) == ERROR_SUCCESS);
    }
  }

  void Create(Reader& in) {
    const HKEY parent = Pick(in);
    const WString name = in.Name();
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (reg_.RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) !=
        ERROR_SUCCESS)
      return;
    HKEY again = nullptr;
    FUZZ_CHECK(reg_.RegOpenKeyW(parent, name.c_str(), &again) == ERROR_SUCCESS);
    reg_.RegCloseKey(again);
    Keep(key);
  }

  void Set(Reader& in) {
    static const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, REG_NONE};
    const HKEY key = Pick(in);
    const WString name = in.Name();
    const uint8_t t = in.Byte();
    DWORD type = t < 0xF0 ? types[t % 7] : static_cast<DWORD>(in.Byte()) << 24 | in.Byte() << 8 | in.Byte();
    std::vector<BYTE> data;
    if (t & 0x80) {
      const WString text = in.Name();  // a string with its terminator
      data.assign(reinterpret_cast<const BYTE*>(text.c_str()),
                  reinterpret_cast<const BYTE*>(text.c_str() + text.size() + 1));
    } else {
      data = in.Data();
    }
    if (reg_.RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())) !=
        ERROR_SUCCESS)
      return;
    DWORD readType = 0, size = 0;
    FUZZ_CHECK(reg_.RegQueryValueExW(key, name.c_str(), nullptr, &readType, nullptr, &size) == ERROR_SUCCESS);
    std::vector<BYTE> read(size);
    FUZZ_CHECK(reg_.RegQueryValueExW(key, name.c_str(), nullptr, &readType, read.data(), &size) ==
                   ERROR_SUCCESS);
    FUZZ_CHECK(readType == type);
    FUZZ_CHECK(read == data);
  }

  void Query(Reader& in) {
    const HKEY key = Pick(in);
    const WString name = in.Name();
    const DWORD capacity = in.Byte() % 32;
    std::vector<BYTE> buffer(capacity + 1);  // never a null pointer, which asks for the size only
    DWORD type = 0, size = capacity;
    const LONG rc = reg_.RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer.data(), &size);
    if (rc == ERROR_SUCCESS) FUZZ_CHECK(size <= capacity);
    if (rc == ERROR_MORE_DATA) FUZZ_CHECK(size > capacity);
  }

  void DeleteValue(Reader& in) {
    const HKEY key = Pick(in);
    const WString name = in.Name();
    if (reg_.RegDeleteValueW(key, name.c_str()) != ERROR_SUCCESS) return;
    DWORD size = 0;
    FUZZ_CHECK(reg_.RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size) ==
                   ERROR_FILE_NOT_FOUND);
  }

  void DeleteKey(Reader& in) {
    const HKEY parent = Pick(in);
    const WString name = in.Name();
    bool hadSubKeys = false;
    HKEY child = nullptr;
    if (reg_.RegOpenKeyW(parent, name.c_str(), &child) == ERROR_SUCCESS) {
      WCHAR first[512];
      DWORD size = 512;
      hadSubKeys = reg_.RegEnumKeyExW(child, 0, first, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_NO_MORE_ITEMS;
      reg_.RegCloseKey(child);
    }
    const LONG rc = reg_.RegDeleteKeyW(parent, name.c_str());
    // Through the merged classes view the key deleted may be one file's while
    // the other's stays, and the sub keys listed are both files'.
    if (!Plain(parent)) return;
    if (hadSubKeys) FUZZ_CHECK(rc != ERROR_SUCCESS);
    if (rc == ERROR_SUCCESS) FUZZ_CHECK(reg_.RegOpenKeyW(parent, name.c_str(), &child) == ERROR_FILE_NOT_FOUND);
  }

  void Enumerate(HKEY key) {
    for (DWORD i = 0;; ++i) {
      FUZZ_CHECK(i < 100000);
      WCHAR name[512];
      DWORD size = 512;
      const LONG rc = reg_.RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) break;
      FUZZ_CHECK(size > 0 && wstr::Len(name) == size);
      FUZZ_CHECK(WStringView(name, size).find('\\') == WStringView::npos);
      HKEY child = nullptr;
      FUZZ_CHECK(reg_.RegOpenKeyW(key, name, &child) == ERROR_SUCCESS);
      reg_.RegCloseKey(child);
    }
  }

  void Open(Reader& in) {
    const HKEY parent = Pick(in);
    const WString name = in.Name();
    HKEY key = nullptr;
    if (reg_.RegOpenKeyW(parent, name.c_str(), &key) == ERROR_SUCCESS) Keep(key);
  }

  void Close(Reader& in) {
    const uint8_t b = in.Byte();
    if (slots_.size() <= 3) return;
    const size_t i = 3 + b % (slots_.size() - 3);
    FUZZ_CHECK(reg_.RegCloseKey(slots_[i]) == ERROR_SUCCESS);
    slots_.erase(slots_.begin() + static_cast<long>(i));
  }

  FileRegistry& reg_;
  std::vector<HKEY> slots_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static regfuzz::CountingDiagnostics diagnostics;
  static plat::Substitute<plat::DiagnosticsService> quiet(diagnostics);
  std::string text, program;
  regfuzz::Split(data, size, text, program);
  CheckRoundTrip(text);

  const std::string& folder = regfuzz::ScratchFolder();
  regfuzz::EmptyFolder(folder);
  regfuzz::WriteFile(folder + "/user.reg", text);
  regfuzz::WriteFile(folder + "/machine.reg", kMachine);
  {
    FileRegistry reg(folder);
    Reader in(program);
    Calls(reg).Run(in);
  }

  std::string machine;
  FileRegistry::Hive hive;
  FUZZ_CHECK(regfuzz::ReadFile(folder + "/machine.reg", machine) && FileRegistry::Parse(machine, hive));
  const bool parsed = FileRegistry::Parse(text, hive);
  std::string now;
  FUZZ_CHECK(regfuzz::ReadFile(folder + "/user.reg", now) || !parsed);
  if (now != text) {
    // Written anew: in the writer's own form, and a file that did not parse
    // is kept aside as it was.
    FileRegistry::Hive written;
    FUZZ_CHECK(FileRegistry::Parse(now, written));
    FUZZ_CHECK(FileRegistry::Serialize(written) == now);
    bool keptAside = false;
    for (const std::string& name : regfuzz::FilesIn(folder)) {
      std::string old;
      if (name.rfind("user.reg.bad-", 0) == 0 && regfuzz::ReadFile(folder + "/" + name, old)) keptAside = old == text;
    }
    FUZZ_CHECK(keptAside == !parsed);
  }
  return 0;
}
