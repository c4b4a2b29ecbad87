#include "platform/linux/file_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/linux/paths.h"

namespace plat {

struct FileRegistry::Handle {
  Root root;
  WString path;  // normalised, lower-case form is derived when needed
};

namespace {

// Registry paths: backslash-separated; empty components (doubled or trailing
// backslashes) are dropped and names compare without regard to case.
WString Normalize(WStringView path) {
  WString out;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '\\') ++i;
    const size_t start = i;
    while (i < path.size() && path[i] != '\\') ++i;
    if (i > start) {
      if (!out.empty()) out.push_back('\\');
      out.append(path.substr(start, i - start));
    }
  }
  return out;
}

WString Join(const WString& a, const WString& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + WSTR("\\") + b;
}

WString Fold(WStringView s) { return wstr::LowerAscii(s); }

// Holds a flock on the hive's lock file for the scope of one operation.
class HiveLock {
 public:
  HiveLock(const std::string& lockFile, bool exclusive) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
      }
    }
  }
  ~HiveLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

 private:
  int fd_ = -1;
};

void MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') ::mkdir(dir.substr(0, pos).c_str(), 0700);
  }
}

std::string QuoteText(WStringView text) {
  std::string out = "\"";
  for (char c : wstr::ToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// Reads a quoted text at s[i] (at the opening quote); advances i past it.
bool UnquoteText(const std::string& s, size_t& i, WString& text) {
  if (i >= s.size() || s[i] != '"') return false;
  std::string raw;
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      raw.push_back(s[++i]);
    } else if (s[i] == '"') {
      ++i;
      text = wstr::FromUtf8(raw);
      return true;
    } else {
      raw.push_back(s[i]);
    }
  }
  return false;
}

// A REG_SZ or REG_EXPAND_SZ value is written as text when it is one
// terminated string without control characters; anything else as bytes.
bool AsText(const FileRegistry::Value& v, WString& text) {
  if ((v.type != REG_SZ && v.type != REG_EXPAND_SZ) || v.data.size() % 2 != 0 || v.data.size() < 2) return false;
  const size_t n = v.data.size() / 2;
  text.resize(n);
  std::memcpy(text.data(), v.data.data(), v.data.size());
  if (text.back() != 0) return false;
  text.pop_back();
  for (WCHAR c : text)
    if (c < 0x20) return false;
  return true;
}

std::vector<BYTE> TextBytes(const WString& text) {
  std::vector<BYTE> data((text.size() + 1) * sizeof(WCHAR), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
  return data;
}

bool ParseHex(const std::string& s, std::vector<BYTE>& out) {
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ',' || s[i] == ' ')) ++i;
    if (i >= s.size()) break;
    if (i + 1 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
      return false;
    out.push_back(static_cast<BYTE>(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    i += 2;
  }
  return true;
}

LONG CopyData(const FileRegistry::Value& v, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (type != nullptr) *type = v.type;
  const DWORD needed = static_cast<DWORD>(v.data.size());
  if (data != nullptr) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed != 0) std::memcpy(data, v.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

}  // namespace

FileRegistry::FileRegistry(std::string folder) : folder_(std::move(folder)) {}

std::string FileRegistry::DefaultFolder() {
  if (const char* dir = ::getenv("TESSARO_REGISTRY_DIR"); dir != nullptr && dir[0] == '/') return dir;
  if (const char* xdg = ::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
    return std::string(xdg) + "/tessaro/registry";
  const char* home = ::getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.config/tessaro/registry";
}

std::string FileRegistry::FileOf(Root root) const {
  return folder_ + (root == Root::User ? "/user.reg" : "/machine.reg");
}

std::string FileRegistry::Serialize(const Hive& hive) {
  std::ostringstream out;
  out << "; Tessaro registry. One [key] per section, then \"name\"=value lines:\n"
      << ";   \"text\", expand:\"text\", dword:0000002a, hex:01,02 (binary), hex(N):... (type N).\n";
  for (const auto& [folded, key] : hive) {
    out << "\n[" << wstr::ToUtf8(key.path) << "]\n";
    for (const auto& [vfolded, v] : key.values) {
      out << (v.name.empty() ? std::string("@") : QuoteText(v.name)) << "=";
      WString text;
      if (AsText(v, text)) {
        out << (v.type == REG_EXPAND_SZ ? "expand:" : "") << QuoteText(text);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out << buf;
      } else {
        out << (v.type == REG_BINARY ? std::string("hex:") : "hex(" + std::to_string(v.type) + "):");
        for (size_t i = 0; i < v.data.size(); ++i) {
          char buf[4];
          std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
          out << (i ? "," : "") << buf;
        }
      }
      out << "\n";
    }
  }
  return out.str();
}

bool FileRegistry::Parse(const std::string& text, Hive& hive) {
  std::istringstream in(text);
  std::string line;
  Key* current = nullptr;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] == ';' || line[i] == '#') continue;
    if (line[i] == '[') {
      if (line.back() != ']') return false;
      const WString path = Normalize(wstr::FromUtf8(line.substr(i + 1, line.size() - i - 2)));
      Key& key = hive[Fold(path)];
      if (key.path.empty()) key.path = path;
      current = &key;
      continue;
    }
    if (current == nullptr) return false;
    Value v;
    if (line[i] == '@') {
      ++i;
    } else if (!UnquoteText(line, i, v.name)) {
      return false;
    }
    if (i >= line.size() || line[i] != '=') return false;
    const std::string rest = line.substr(i + 1);
    size_t j = 0;
    WString textValue;
    if (rest.compare(0, 7, "expand:") == 0 && (j = 7, UnquoteText(rest, j, textValue))) {
      v.type = REG_EXPAND_SZ, v.data = TextBytes(textValue);
    } else if (!rest.empty() && rest[0] == '"' && (j = 0, UnquoteText(rest, j, textValue))) {
      v.type = REG_SZ, v.data = TextBytes(textValue);
    } else if (rest.compare(0, 6, "dword:") == 0) {
      char* end = nullptr;
      const DWORD d = static_cast<DWORD>(std::strtoul(rest.c_str() + 6, &end, 16));
      if (end == rest.c_str() + 6 || *end != 0) return false;
      v.type = REG_DWORD;
      v.data.resize(4);
      std::memcpy(v.data.data(), &d, 4);
    } else if (rest.compare(0, 4, "hex:") == 0) {
      v.type = REG_BINARY;
      if (!ParseHex(rest.substr(4), v.data)) return false;
    } else if (rest.compare(0, 4, "hex(") == 0) {
      const size_t close = rest.find("):");
      if (close == std::string::npos) return false;
      v.type = static_cast<DWORD>(std::strtoul(rest.c_str() + 4, nullptr, 16));
      if (!ParseHex(rest.substr(close + 2), v.data)) return false;
    } else {
      return false;
    }
    current->values[Fold(v.name)] = std::move(v);
  }
  return true;
}

FileRegistry::Hive FileRegistry::Load(Root root) {
  Hive hive;
  FILE* f = std::fopen(FileOf(root).c_str(), "rb");
  if (f == nullptr) return hive;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  if (!Parse(text, hive)) {
    // A hand-edited file that does not parse is left as it is; it reads as
    // far as it parsed.
    std::fprintf(stderr, "tessaro: registry file %s is malformed\n", FileOf(root).c_str());
  }
  return hive;
}

LONG FileRegistry::Store(Root root, const Hive& hive) {
  MakeDirectories(folder_);
  const std::string file = FileOf(root);
  const std::string temp = file + ".tmp." + std::to_string(::getpid()) + "." +
                           std::to_string(reinterpret_cast<std::uintptr_t>(&hive));
  const std::string text = Serialize(hive);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return ERROR_CANTWRITE;
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return ERROR_CANTWRITE;
  }
  if (const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return ERROR_SUCCESS;
}

bool FileRegistry::Resolve(HKEY key, LPCWSTR subKey, Root& root, WString& path, bool forOpen) {
  const WString sub = Normalize(subKey == nullptr ? WStringView() : WStringView(subKey));
  if (key == HKEY_CURRENT_USER) {
    root = Root::User, path = sub;
  } else if (key == HKEY_LOCAL_MACHINE) {
    root = Root::Machine, path = sub;
  } else if (key == HKEY_CLASSES_ROOT) {
    path = Join(WSTR("Software\\Classes"), sub);
    root = Root::Machine;
    if (forOpen && Load(Root::User).count(Fold(path)) != 0) root = Root::User;
  } else if (key != nullptr) {
    const auto* h = reinterpret_cast<const Handle*>(key);
    root = h->root, path = Join(h->path, sub);
  } else {
    return false;
  }
  return true;
}

LONG FileRegistry::RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, subKey, root, path, true)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(root) + ".lock", false);
  const Hive hive = Load(root);
  const auto it = hive.find(Fold(path));
  if (!path.empty() && it == hive.end()) return ERROR_FILE_NOT_FOUND;
  *result = reinterpret_cast<HKEY>(new Handle{root, it == hive.end() ? path : it->second.path});
  return ERROR_SUCCESS;
}

LONG FileRegistry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                   PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, subKey, root, path, false)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(root) + ".lock", true);
  Hive hive = Load(root);
  bool created = false;
  // Every missing level is created, as the registry does.
  WString level;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '\\') continue;
    level = path.substr(0, i);
    if (level.empty()) continue;
    Key& k = hive[Fold(level)];
    if (k.path.empty()) {
      k.path = level;
      created = true;
    }
  }
  if (created) {
    if (const LONG rc = Store(root, hive); rc != ERROR_SUCCESS) return rc;
  }
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = reinterpret_cast<HKEY>(new Handle{root, path});
  return ERROR_SUCCESS;
}

LONG FileRegistry::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, nullptr, root, path, true)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(root) + ".lock", false);
  const Hive hive = Load(root);
  const auto k = hive.find(Fold(path));
  if (k == hive.end()) return path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  const auto v = k->second.values.find(Fold(name == nullptr ? WStringView() : WStringView(name)));
  if (v == k->second.values.end()) return ERROR_FILE_NOT_FOUND;
  return CopyData(v->second, type, data, size);
}

LONG FileRegistry::RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, nullptr, root, path, false)) return ERROR_INVALID_HANDLE;
  if (path.empty()) return ERROR_ACCESS_DENIED;  // values do not live at a root
  HiveLock lock(FileOf(root) + ".lock", true);
  Hive hive = Load(root);
  const auto k = hive.find(Fold(path));
  if (k == hive.end()) return ERROR_KEY_DELETED;
  Value v;
  v.name = name == nullptr ? WString() : WString(name);
  v.type = type;
  v.data.assign(data, data + size);
  k->second.values[Fold(v.name)] = std::move(v);
  return Store(root, hive);
}

LONG FileRegistry::RegDeleteValueW(HKEY key, LPCWSTR name) {
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, nullptr, root, path, false)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(root) + ".lock", true);
  Hive hive = Load(root);
  const auto k = hive.find(Fold(path));
  if (k == hive.end()) return ERROR_FILE_NOT_FOUND;
  if (k->second.values.erase(Fold(name == nullptr ? WStringView() : WStringView(name))) == 0)
    return ERROR_FILE_NOT_FOUND;
  return Store(root, hive);
}

LONG FileRegistry::RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, subKey, root, path, true)) return ERROR_INVALID_HANDLE;
  if (path.empty()) return ERROR_ACCESS_DENIED;
  HiveLock lock(FileOf(root) + ".lock", true);
  Hive hive = Load(root);
  const WString folded = Fold(path);
  const auto k = hive.find(folded);
  if (k == hive.end()) return ERROR_FILE_NOT_FOUND;
  const auto next = std::next(k);
  if (next != hive.end() && next->first.compare(0, folded.size() + 1, folded + WSTR("\\")) == 0)
    return ERROR_ACCESS_DENIED;  // a key with sub keys is not deleted
  hive.erase(k);
  return Store(root, hive);
}

LONG FileRegistry::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPWSTR, LPDWORD,
                                 LPFILETIME lastWrite) {
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(mutex_);
  Root root;
  WString path;
  if (!Resolve(key, nullptr, root, path, true)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(root) + ".lock", false);
  const Hive hive = Load(root);
  const WString prefix = path.empty() ? WString() : Fold(path) + WSTR("\\");
  DWORD seen = 0;
  for (auto it = hive.lower_bound(prefix); it != hive.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const WString rest = it->second.path.substr(prefix.size());
    if (rest.find('\\') != WString::npos) continue;  // deeper level
    if (seen++ != index) continue;
    if (rest.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    rest.copy(name, rest.size());
    name[rest.size()] = 0;
    *nameSize = static_cast<DWORD>(rest.size());
    if (lastWrite != nullptr) *lastWrite = FILETIME{0, 0};
    return ERROR_SUCCESS;
  }
  return ERROR_NO_MORE_ITEMS;
}

LONG FileRegistry::RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  delete reinterpret_cast<Handle*>(key);
  return ERROR_SUCCESS;
}

// The real registry service on Linux is the file registry in the default folder.
namespace {
FileRegistry& DefaultRegistry() {
  static FileRegistry registry(FileRegistry::DefaultFolder());
  return registry;
}
}  // namespace

LONG RegistryService::RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  return DefaultRegistry().RegOpenKeyW(key, subKey, result);
}
LONG RegistryService::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                      REGSAM sam, LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
  return DefaultRegistry().RegCreateKeyExW(key, subKey, reserved, keyClass, options, sam, sa, result, disposition);
}
LONG RegistryService::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                       LPDWORD size) {
  return DefaultRegistry().RegQueryValueExW(key, name, reserved, type, data, size);
}
LONG RegistryService::RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                     DWORD size) {
  return DefaultRegistry().RegSetValueExW(key, name, reserved, type, data, size);
}
LONG RegistryService::RegDeleteValueW(HKEY key, LPCWSTR name) { return DefaultRegistry().RegDeleteValueW(key, name); }
LONG RegistryService::RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return DefaultRegistry().RegDeleteKeyW(key, subKey); }
LONG RegistryService::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                                    LPWSTR keyClass, LPDWORD classSize, LPFILETIME lastWrite) {
  return DefaultRegistry().RegEnumKeyExW(key, index, name, nameSize, reserved, keyClass, classSize, lastWrite);
}
LONG RegistryService::RegCloseKey(HKEY key) { return DefaultRegistry().RegCloseKey(key); }

}  // namespace plat
