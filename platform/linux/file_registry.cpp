#include "platform/linux/file_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/linux/paths.h"

namespace plat {

struct FileRegistry::Handle {
  Root root;
  WString path;  // as written in the file when opened
  bool classes;  // reached through HKEY_CLASSES_ROOT: the merged view
};

// Where a key and sub key lead: the file and the key's path in it.
struct FileRegistry::Target {
  Root root = Root::User;
  WString path;
  bool classes = false;
};

// One call: holds the registry's lock, and hands the reports the call made
// to the diagnostics service only after releasing it (the service may call
// back into the registry).
class FileRegistry::Call {
 public:
  explicit Call(FileRegistry& registry) : registry_(registry), lock_(registry.mutex_) {}
  ~Call() {
    lock_.unlock();
    std::vector<std::string> reports;
    {
      std::lock_guard<std::mutex> guard(registry_.reportMutex_);
      reports.swap(registry_.pendingReports_);
    }
    for (const std::string& line : reports) Diagnostics().OutputDebugStringW(wstr::FromUtf8(line).c_str());
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  FileRegistry& registry_;
  std::unique_lock<std::mutex> lock_;
};

namespace {

const WCHAR kClasses[] = WSTR("Software\\Classes");

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

WStringView Text(LPCWSTR s) { return s == nullptr ? WStringView() : WStringView(s); }

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

bool IsHigh(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsControl(WCHAR c) { return c < 0x20 || c == 0x7F; }

// Whether text holds a character UTF-8 lines cannot carry as it is: a
// control character or a surrogate without its partner.
bool NeedsEscapes(WStringView text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
      ++i;
    } else if (IsControl(text[i]) || IsHigh(text[i]) || IsLow(text[i])) {
      return true;
    }
  }
  return false;
}

// Quoted text: a backslash or quote is preceded by a backslash; a control
// character or an unpaired surrogate is written \uXXXX; the rest is UTF-8.
std::string QuoteText(WStringView text) {
  std::string out = "\"";
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const WCHAR c = text[i];
    if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      ++i;
      continue;
    }
    if (c != '\\' && c != '"' && !IsControl(c) && !IsHigh(c) && !IsLow(c)) continue;
    out += wstr::ToUtf8(text.substr(run, i - run));
    if (c == '\\' || c == '"') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    }
    run = i + 1;
  }
  out += wstr::ToUtf8(text.substr(run));
  out.push_back('"');
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hexadecimal digits at s[i].
bool HexUnit(const std::string& s, size_t i, WCHAR& unit) {
  if (i + 4 > s.size()) return false;
  unsigned value = 0;
  for (size_t k = i; k < i + 4; ++k) {
    const int d = HexDigit(s[k]);
    if (d < 0) return false;
    value = value * 16 + static_cast<unsigned>(d);
  }
  unit = static_cast<WCHAR>(value);
  return true;
}

// Reads a quoted text at s[i] (at the opening quote); advances i past it.
// A backslash takes the next character as it is, except for \uXXXX.
bool UnquoteText(const std::string& s, size_t& i, WString& text) {
  if (i >= s.size() || s[i] != '"') return false;
  text.clear();
  std::string raw;
  for (++i; i < s.size(); ++i) {
    WCHAR unit = 0;
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'u' && HexUnit(s, i + 2, unit)) {
      text += wstr::FromUtf8(raw);
      raw.clear();
      text.push_back(unit);
      i += 5;
    } else if (s[i] == '\\' && i + 1 < s.size()) {
      raw.push_back(s[++i]);
    } else if (s[i] == '"') {
      ++i;
      text += wstr::FromUtf8(raw);
      return true;
    } else {
      raw.push_back(s[i]);
    }
  }
  return false;
}

// A section header names its key as it is, or, when the path holds what a
// line cannot carry (or begins with a quote), as one quoted text.
std::string HeaderText(const WString& path) {
  if (NeedsEscapes(path) || (!path.empty() && path[0] == '"')) return "[" + QuoteText(path) + "]";
  return "[" + wstr::ToUtf8(path) + "]";
}

bool HeaderPath(const std::string& inner, WString& path) {
  size_t j = 0;
  WString quoted;
  if (!inner.empty() && inner[0] == '"' && UnquoteText(inner, j, quoted) && j == inner.size()) {
    path = Normalize(quoted);
  } else {
    path = Normalize(wstr::FromUtf8(inner));
  }
  // The root holds no values here, and a name holding NUL cannot be opened.
  return !path.empty() && path.find(WCHAR(0)) == WString::npos;
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
    if (IsControl(c)) return false;
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
    if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0) return false;
    out.push_back(static_cast<BYTE>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
    i += 2;
  }
  return true;
}

// A 32-bit number in hexadecimal (leading blanks and 0x allowed); a sign or
// a value wider than 32 bits does not parse.
bool ParseHex32(const std::string& s, DWORD& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (s.compare(i, 2, "0x") == 0 || s.compare(i, 2, "0X") == 0) i += 2;
  if (i >= s.size()) return false;
  std::uint64_t n = 0;
  for (; i < s.size(); ++i) {
    const int d = HexDigit(s[i]);
    if (d < 0) return false;
    n = n * 16 + static_cast<unsigned>(d);
    if (n > 0xFFFFFFFFull) return false;
  }
  value = static_cast<DWORD>(n);
  return true;
}

// The data after "name=" of a value line.
bool ParseData(const std::string& rest, FileRegistry::Value& v) {
  size_t j = 0;
  WString text;
  if (rest.compare(0, 7, "expand:") == 0) {
    j = 7;
    if (!UnquoteText(rest, j, text) || j != rest.size()) return false;
    v.type = REG_EXPAND_SZ, v.data = TextBytes(text);
  } else if (!rest.empty() && rest[0] == '"') {
    if (!UnquoteText(rest, j, text) || j != rest.size()) return false;
    v.type = REG_SZ, v.data = TextBytes(text);
  } else if (rest.compare(0, 6, "dword:") == 0) {
    DWORD d = 0;
    if (!ParseHex32(rest.substr(6), d)) return false;
    v.type = REG_DWORD;
    v.data.resize(4);
    std::memcpy(v.data.data(), &d, 4);
  } else if (rest.compare(0, 4, "hex:") == 0) {
    v.type = REG_BINARY;
    if (!ParseHex(rest.substr(4), v.data)) return false;
  } else if (rest.compare(0, 4, "hex(") == 0) {
    // The type in hexadecimal, as the registry editor writes it.
    const size_t close = rest.find("):", 4);
    if (close == std::string::npos || !ParseHex32(rest.substr(4, close - 4), v.type)) return false;
    if (!ParseHex(rest.substr(close + 2), v.data)) return false;
  } else {
    return false;
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

// The number of levels of path (below the first `skip`) the hive holds.
size_t DepthHeld(const FileRegistry::Hive& hive, const WString& path, size_t skip) {
  const WString folded = Fold(path);
  size_t held = 0, level = 0;
  for (size_t i = 0; i <= folded.size(); ++i) {
    if (i != folded.size() && folded[i] != '\\') continue;
    if (++level <= skip) continue;
    if (hive.count(folded.substr(0, i)) == 0) break;
    held = level - skip;
  }
  return held;
}

// The names of the direct sub keys of path (empty: of the root), by folded name.
void AddChildren(const FileRegistry::Hive& hive, const WString& path, std::map<WString, WString>& children) {
  const WString prefix = path.empty() ? WString() : Fold(path) + WSTR("\\");
  for (auto it = hive.lower_bound(prefix); it != hive.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const WString rest = it->second.path.substr(prefix.size());
    if (rest.empty() || rest.find('\\') != WString::npos) continue;  // deeper level
    children.emplace(Fold(rest), rest);
  }
}

bool HasSubKeys(const FileRegistry::Hive& hive, const WString& folded) {
  const WString prefix = folded + WSTR("\\");
  const auto it = hive.lower_bound(prefix);
  return it != hive.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

}  // namespace

FileRegistry::FileRegistry(std::string folder) : folder_(std::move(folder)) {}

FileRegistry::~FileRegistry() {
  for (Handle* h : handles_) delete h;
}

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
      << ";   \"text\", expand:\"text\", dword:0000002a, hex:01,02 (binary), hex(N):... (type N, hexadecimal).\n"
      << ";   In quotes \\\\ is a backslash, \\\" a quote and \\uXXXX any UTF-16 unit.\n";
  for (const auto& [folded, key] : hive) {
    out << "\n" << HeaderText(key.path) << "\n";
    for (const auto& [vfolded, v] : key.values) {
      out << (v.name.empty() ? std::string("@") : QuoteText(v.name)) << "=";
      WString text;
      char buf[16];
      if (AsText(v, text)) {
        out << (v.type == REG_EXPAND_SZ ? "expand:" : "") << QuoteText(text);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d;
        std::memcpy(&d, v.data.data(), 4);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out << buf;
      } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out << (v.type == REG_BINARY ? "hex:" : buf);
        for (size_t i = 0; i < v.data.size(); ++i) {
          std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
          out << (i ? "," : "") << buf;
        }
      }
      out << "\n";
    }
  }
  return out.str();
}

bool FileRegistry::Parse(const std::string& text, Hive& hive, size_t* badLine) {
  std::istringstream in(text);
  std::string line;
  Key* current = nullptr;  // null before the first section and in one whose header is bad
  size_t number = 0, firstBad = 0;
  auto bad = [&] {
    if (firstBad == 0) firstBad = number;
  };
  while (std::getline(in, line)) {
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] == ';' || line[i] == '#') continue;
    if (line[i] == '[') {
      WString path;
      current = nullptr;
      if (line.back() != ']' || !HeaderPath(line.substr(i + 1, line.size() - i - 2), path)) {
        bad();
        continue;
      }
      Key& key = hive[Fold(path)];
      if (key.path.empty()) key.path = path;
      current = &key;
      continue;
    }
    Value v;
    if (current == nullptr) {
      bad();
      continue;
    }
    if (line[i] == '@') {
      ++i;
    } else if (!UnquoteText(line, i, v.name) || v.name.find(WCHAR(0)) != WString::npos) {
      bad();
      continue;
    }
    if (i >= line.size() || line[i] != '=' || !ParseData(line.substr(i + 1), v)) {
      bad();
      continue;
    }
    current->values[Fold(v.name)] = std::move(v);
  }
  // Every key's parents exist, as in the registry itself.
  std::vector<WString> paths;
  for (const auto& [folded, key] : hive) paths.push_back(key.path);
  for (const WString& path : paths) {
    for (size_t i = path.find('\\'); i != WString::npos; i = path.find('\\', i + 1)) {
      Key& parent = hive[Fold(path.substr(0, i))];
      if (parent.path.empty()) parent.path = path.substr(0, i);
    }
  }
  if (badLine != nullptr) *badLine = firstBad;
  return firstBad == 0;
}

void FileRegistry::Report(const std::string& line) {
  std::lock_guard<std::mutex> guard(reportMutex_);
  pendingReports_.push_back(line);
}

FileRegistry::Hive FileRegistry::Load(Root root, FileState* state) {
  Hive hive;
  const std::string file = FileOf(root);
  FileState st = FileState::Parsed;
  std::string text, identity;
  if (FILE* f = std::fopen(file.c_str(), "rb"); f == nullptr) {
    st = errno == ENOENT ? FileState::Missing : FileState::Unreadable;
  } else {
    struct stat info {};
    if (::fstat(::fileno(f), &info) == 0) {
      identity = std::to_string(info.st_ino) + "/" + std::to_string(info.st_size) + "/" +
                 std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    if (std::ferror(f)) st = FileState::Unreadable;
    std::fclose(f);
  }
  size_t badLine = 0;
  if (st == FileState::Parsed && !Parse(text, hive, &badLine)) st = FileState::Malformed;
  if (state != nullptr) *state = st;
  // Each damaged file is reported once, not on every read.
  if ((st == FileState::Malformed || st == FileState::Unreadable) && reported_[file] != identity) {
    reported_[file] = identity;
    Report(st == FileState::Unreadable
               ? "tessaro: registry file " + file + " cannot be read; it is not changed\n"
               : "tessaro: registry file " + file + " does not parse at line " + std::to_string(badLine) +
                     "; the lines that do not parse are left out, and the next change keeps the file aside\n");
  }
  return hive;
}

// A file that does not parse is renamed aside before it is written anew
// from what could be read of it.
LONG FileRegistry::KeepAside(Root root) {
  const std::string file = FileOf(root);
  const std::string stamp = file + ".bad-" + UtcStamp();
  std::string aside = stamp;
  for (int n = 2; ::access(aside.c_str(), F_OK) == 0; ++n) aside = stamp + "-" + std::to_string(n);
  if (::rename(file.c_str(), aside.c_str()) != 0) {
    Report("tessaro: registry file " + file + " does not parse and cannot be kept aside; it is not changed\n");
    return ERROR_CANTWRITE;
  }
  Report("tessaro: registry file " + file + " does not parse; kept as " + aside +
         ", written anew from the lines that parse\n");
  return ERROR_SUCCESS;
}

LONG FileRegistry::Store(Root root, const Hive& hive, FileState loaded) {
  if (loaded == FileState::Unreadable) return ERROR_ACCESS_DENIED;  // writing would drop what it holds
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
  if (ok && loaded == FileState::Malformed) ok = KeepAside(root) == ERROR_SUCCESS;
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

FileRegistry::Root FileRegistry::ClassesRoot(const WString& path) {
  const size_t user = DepthHeld(Load(Root::User), path, 2);
  return user > 0 && user >= DepthHeld(Load(Root::Machine), path, 2) ? Root::User : Root::Machine;
}

bool FileRegistry::Resolve(HKEY key, LPCWSTR subKey, Target& target) {
  const WString sub = Normalize(Text(subKey));
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
    target.root = key == HKEY_CURRENT_USER ? Root::User : Root::Machine;
    target.path = sub;
    return true;
  }
  if (key == HKEY_CLASSES_ROOT) {
    target.path = Join(kClasses, sub);
    target.classes = true;
    target.root = ClassesRoot(target.path);
    return true;
  }
  // Only handles this registry handed out and has not closed are looked into.
  auto* h = reinterpret_cast<Handle*>(key);
  if (handles_.count(h) == 0) return false;
  target.path = Join(h->path, sub);
  target.classes = h->classes;
  target.root = h->classes && !sub.empty() ? ClassesRoot(target.path) : h->root;
  return true;
}

HKEY FileRegistry::NewHandle(const Target& target, const WString& path) {
  auto* h = new Handle{target.root, path, target.classes};
  handles_.insert(h);
  return reinterpret_cast<HKEY>(h);
}

LONG FileRegistry::RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Call call(*this);
  Target t;
  if (!Resolve(key, subKey, t)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(t.root) + ".lock", false);
  const Hive hive = Load(t.root);
  const auto it = hive.find(Fold(t.path));
  const bool isRoot = t.path.empty() || (t.classes && Fold(t.path) == Fold(kClasses));
  if (!isRoot && it == hive.end()) return ERROR_FILE_NOT_FOUND;
  *result = NewHandle(t, it == hive.end() ? t.path : it->second.path);
  return ERROR_SUCCESS;
}

LONG FileRegistry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                   PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Call call(*this);
  Target t;
  if (!Resolve(key, subKey, t)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(t.root) + ".lock", true);
  FileState state;
  Hive hive = Load(t.root, &state);
  bool created = false;
  // Every missing level is created, as the registry does.
  for (size_t i = 0; i <= t.path.size(); ++i) {
    if (i != t.path.size() && t.path[i] != '\\') continue;
    const WString level = t.path.substr(0, i);
    if (level.empty()) continue;
    Key& k = hive[Fold(level)];
    if (k.path.empty()) {
      k.path = level;
      created = true;
    }
  }
  if (created) {
    if (const LONG rc = Store(t.root, hive, state); rc != ERROR_SUCCESS) return rc;
  }
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  const auto it = hive.find(Fold(t.path));
  *result = NewHandle(t, it == hive.end() ? t.path : it->second.path);
  return ERROR_SUCCESS;
}

LONG FileRegistry::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  Call call(*this);
  Target t;
  if (!Resolve(key, nullptr, t)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(t.root) + ".lock", false);
  const Hive hive = Load(t.root);
  const auto k = hive.find(Fold(t.path));
  if (k == hive.end()) return t.path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  const auto v = k->second.values.find(Fold(Text(name)));
  if (v == k->second.values.end()) return ERROR_FILE_NOT_FOUND;
  return CopyData(v->second, type, data, size);
}

LONG FileRegistry::RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  Call call(*this);
  Target t;
  if (!Resolve(key, nullptr, t)) return ERROR_INVALID_HANDLE;
  if (t.path.empty()) return ERROR_ACCESS_DENIED;  // values do not live at a root
  HiveLock lock(FileOf(t.root) + ".lock", true);
  FileState state;
  Hive hive = Load(t.root, &state);
  const auto k = hive.find(Fold(t.path));
  if (k == hive.end()) return ERROR_KEY_DELETED;
  Value v;
  v.name = WString(Text(name));
  v.type = type;
  v.data.assign(data, data + size);
  k->second.values[Fold(v.name)] = std::move(v);
  return Store(t.root, hive, state);
}

LONG FileRegistry::RegDeleteValueW(HKEY key, LPCWSTR name) {
  Call call(*this);
  Target t;
  if (!Resolve(key, nullptr, t)) return ERROR_INVALID_HANDLE;
  HiveLock lock(FileOf(t.root) + ".lock", true);
  FileState state;
  Hive hive = Load(t.root, &state);
  const auto k = hive.find(Fold(t.path));
  if (k == hive.end()) return ERROR_FILE_NOT_FOUND;
  if (k->second.values.erase(Fold(Text(name))) == 0) return ERROR_FILE_NOT_FOUND;
  return Store(t.root, hive, state);
}

LONG FileRegistry::RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Call call(*this);
  Target t;
  if (!Resolve(key, subKey, t)) return ERROR_INVALID_HANDLE;
  if (t.path.empty() || (t.classes && Fold(t.path) == Fold(kClasses))) return ERROR_ACCESS_DENIED;
  HiveLock lock(FileOf(t.root) + ".lock", true);
  FileState state;
  Hive hive = Load(t.root, &state);
  const WString folded = Fold(t.path);
  const auto k = hive.find(folded);
  if (k == hive.end()) return ERROR_FILE_NOT_FOUND;
  if (HasSubKeys(hive, folded)) return ERROR_ACCESS_DENIED;  // a key with sub keys is not deleted
  hive.erase(k);
  return Store(t.root, hive, state);
}

LONG FileRegistry::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD, LPWSTR, LPDWORD,
                                 LPFILETIME lastWrite) {
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  Call call(*this);
  Target t;
  if (!Resolve(key, nullptr, t)) return ERROR_INVALID_HANDLE;
  std::map<WString, WString> children;  // by folded name
  {
    HiveLock lock(FileOf(t.root) + ".lock", false);
    AddChildren(Load(t.root), t.path, children);
  }
  if (t.classes) {
    // The merged view lists the other file's sub keys too.
    const Root other = t.root == Root::User ? Root::Machine : Root::User;
    HiveLock lock(FileOf(other) + ".lock", false);
    AddChildren(Load(other), t.path, children);
  }
  if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
  const WString& child = std::next(children.begin(), index)->second;
  if (child.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  child.copy(name, child.size());
  name[child.size()] = 0;
  *nameSize = static_cast<DWORD>(child.size());
  if (lastWrite != nullptr) *lastWrite = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG FileRegistry::RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  Call call(*this);
  auto* h = reinterpret_cast<Handle*>(key);
  if (handles_.erase(h) == 0) return ERROR_INVALID_HANDLE;
  delete h;
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
