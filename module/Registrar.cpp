#include "module/Registrar.h"

#include <vector>

#include "platform/com.h"
#include "platform/services.h"

namespace tessaro {

namespace {

enum class Flag { None, NoRemove, ForceRemove, Delete };

HRESULT FromWin32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

// Whether a key name names a key below the one it is relative to (not just
// empty or backslashes).
bool NamesKey(const WString& name) { return name.find_first_not_of(WCHAR('\\')) != WString::npos; }

// The name of the first sub key of key, however long.
LONG FirstSubKey(HKEY key, WString* name) {
  std::vector<WCHAR> buffer(256);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    const LONG rc = plat::Registry().RegEnumKeyExW(key, 0, buffer.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA && buffer.size() < 65536) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (rc == ERROR_SUCCESS) name->assign(buffer.data(), size);
    return rc;
  }
}

bool IsBlank(WCHAR c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The script's tokens, with quoting undone and replacements made.
class Tokens {
 public:
  Tokens(const WString& text, const std::vector<std::pair<WString, WString>>& replacements)
      : text_(text), replacements_(replacements) {}

  // False at the end of the text or on a malformed token (ok() tells which).
  bool Next(WString* token, bool* quoted) {
    if (hasPushed_) {
      hasPushed_ = false;
      *token = pushed_;
      *quoted = pushedQuoted_;
      return true;
    }
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return false;
    WString raw;
    *quoted = text_[pos_] == '\'';
    if (*quoted) {
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) return Fail();  // unterminated quote
        const WCHAR c = text_[pos_++];
        if (c == '\'') {
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            raw += '\'';
            ++pos_;
            continue;
          }
          break;
        }
        raw += c;
      }
    } else {
      while (pos_ < text_.size() && !IsBlank(text_[pos_])) raw += text_[pos_++];
    }
    return Replace(raw, token);
  }

  // Hands a token back: the next call returns it again.
  void PushBack(const WString& token, bool quoted) {
    pushed_ = token;
    pushedQuoted_ = quoted;
    hasPushed_ = true;
  }

  bool ok() const { return ok_; }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }

  bool Replace(const WString& raw, WString* out) {
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '%') {
        *out += raw[i];
        continue;
      }
      const size_t end = raw.find('%', i + 1);
      if (end == WString::npos) return Fail();
      const WString name = raw.substr(i + 1, end - i - 1);
      if (name.empty()) {
        *out += '%';
      } else {
        bool found = false;
        for (const auto& [key, value] : replacements_) {
          if (wstr::EqualsNoCase(name, key.c_str())) {
            *out += value;
            found = true;
            break;
          }
        }
        if (!found) return Fail();  // an unknown replacement is a script fault
      }
      i = end;
    }
    return true;
  }

  const WString& text_;
  const std::vector<std::pair<WString, WString>>& replacements_;
  size_t pos_ = 0;
  bool ok_ = true;
  WString pushed_;
  bool pushedQuoted_ = false;
  bool hasPushed_ = false;
};

}  // namespace

struct Registrar::Node {
  bool isValue = false;  // "val name = ..." of the enclosing key
  Flag flag = Flag::None;
  WString name;
  bool hasValue = false;
  DWORD type = REG_SZ;
  WString text;
  DWORD number = 0;
  std::vector<Node> children;
};

void Registrar::AddReplacement(const WString& name, const WString& value) {
  m_replacements.emplace_back(name, value);
}

namespace {

// Reads "= s 'text'" or "= d 'number'" after a name; the '=' is already taken.
template <class NodeT>
bool ReadValue(Tokens& tokens, NodeT* node) {
  WString type, value;
  bool quoted = false;
  if (!tokens.Next(&type, &quoted) || !tokens.Next(&value, &quoted)) return false;
  node->hasValue = true;
  if (wstr::EqualsNoCase(type, WSTR("s"))) {
    node->type = REG_SZ;
    node->text = value;
    return true;
  }
  if (wstr::EqualsNoCase(type, WSTR("d"))) {
    // Decimal, or hexadecimal with 0x.
    node->type = REG_DWORD;
    unsigned long long n = 0;
    size_t i = 0;
    unsigned base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
      base = 16;
      i = 2;
    }
    if (i >= value.size()) return false;
    for (; i < value.size(); ++i) {
      const WCHAR c = value[i];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else return false;
      n = n * base + digit;
      if (n > 0xFFFFFFFFull) return false;
    }
    node->number = static_cast<DWORD>(n);
    return true;
  }
  return false;  // other value types are not used by our scripts
}

}  // namespace

bool Registrar::Parse(const WString& script, std::vector<Node>* roots) {
  Tokens tokens(script, m_replacements);
  WString token;
  bool quoted = false;
  // A stack of open blocks; the bottom one holds the roots.
  std::vector<std::vector<Node>*> open{roots};
  bool pendingBlock = false;  // the last key may open a block
  while (tokens.Next(&token, &quoted)) {
    std::vector<Node>& level = *open.back();
    if (!quoted && token == WSTR("{")) {
      if (!pendingBlock || level.empty()) return false;
      open.push_back(&level.back().children);
      pendingBlock = false;
      continue;
    }
    if (!quoted && token == WSTR("}")) {
      if (open.size() == 1) return false;
      open.pop_back();
      pendingBlock = false;
      continue;
    }
    Node node;
    if (open.size() == 1) {
      // A root: only its name, then its block.
      if (RootKey(token) == nullptr) return false;
      node.name = token;
      level.push_back(std::move(node));
      pendingBlock = true;
      continue;
    }
    if (!quoted && wstr::EqualsNoCase(token, WSTR("val"))) {
      node.isValue = true;
      WString eq;
      if (!tokens.Next(&node.name, &quoted) || !tokens.Next(&eq, &quoted) || eq != WSTR("=") ||
          !ReadValue(tokens, &node)) {
        return false;
      }
      level.push_back(std::move(node));
      pendingBlock = false;
      continue;
    }
    if (!quoted && wstr::EqualsNoCase(token, WSTR("NoRemove"))) node.flag = Flag::NoRemove;
    else if (!quoted && wstr::EqualsNoCase(token, WSTR("ForceRemove"))) node.flag = Flag::ForceRemove;
    else if (!quoted && wstr::EqualsNoCase(token, WSTR("Delete"))) node.flag = Flag::Delete;
    if (node.flag != Flag::None) {
      if (!tokens.Next(&token, &quoted)) return false;
    }
    if (!NamesKey(token)) return false;  // '' would stand for the enclosing key itself
    node.name = token;
    level.push_back(std::move(node));
    pendingBlock = true;
    // An optional "= type value" follows the name.
    WString next;
    bool nextQuoted = false;
    if (!tokens.Next(&next, &nextQuoted)) break;
    if (!nextQuoted && next == WSTR("=")) {
      if (!ReadValue(tokens, &level.back())) return false;
    } else {
      tokens.PushBack(next, nextQuoted);
    }
  }
  return tokens.ok() && open.size() == 1;
}

HKEY Registrar::RootKey(const WString& name) const {
  if (wstr::EqualsNoCase(name, WSTR("HKCR")) || wstr::EqualsNoCase(name, WSTR("HKEY_CLASSES_ROOT")))
    return m_classesRoot != nullptr ? m_classesRoot : HKEY_CLASSES_ROOT;
  if (wstr::EqualsNoCase(name, WSTR("HKCU")) || wstr::EqualsNoCase(name, WSTR("HKEY_CURRENT_USER"))) return HKEY_CURRENT_USER;
  if (wstr::EqualsNoCase(name, WSTR("HKLM")) || wstr::EqualsNoCase(name, WSTR("HKEY_LOCAL_MACHINE"))) return HKEY_LOCAL_MACHINE;
  if (wstr::EqualsNoCase(name, WSTR("HKU")) || wstr::EqualsNoCase(name, WSTR("HKEY_USERS"))) return HKEY_USERS;
  return nullptr;
}

LONG Registrar::DeleteTree(HKEY key, const WString& subKey) {
  // An empty name opens the key itself: a hive's root is never deleted.
  if (!NamesKey(subKey)) return ERROR_INVALID_PARAMETER;
  plat::RegistryService& reg = plat::Registry();
  HKEY child = nullptr;
  LONG rc = reg.RegOpenKeyW(key, subKey.c_str(), &child);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  WString previous;
  for (;;) {
    // Always the first sub key: the one before it was just deleted.
    WString name;
    rc = FirstSubKey(child, &name);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // A name that does not open as listed, or a sub key that is still there
    // after its deletion, would make this loop for ever.
    if (rc == ERROR_SUCCESS && (!NamesKey(name) || name.find(WCHAR(0)) != WString::npos || name == previous))
      rc = ERROR_ACCESS_DENIED;
    if (rc == ERROR_SUCCESS) rc = DeleteTree(child, name);
    if (rc != ERROR_SUCCESS) {
      reg.RegCloseKey(child);
      return rc;
    }
    previous = name;
  }
  reg.RegCloseKey(child);
  rc = reg.RegDeleteKeyW(key, subKey.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

namespace {

LONG SetValue(HKEY key, const WCHAR* name, DWORD type, const WString& text, DWORD number) {
  if (type == REG_DWORD) {
    return plat::Registry().RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                           sizeof number);
  }
  return plat::Registry().RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                         static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

bool HasSubKeys(HKEY key) {
  WString name;
  return FirstSubKey(key, &name) != ERROR_NO_MORE_ITEMS;
}

}  // namespace

HRESULT Registrar::Register(HKEY parent, const std::vector<Node>& nodes) {
  plat::RegistryService& reg = plat::Registry();
  for (const Node& node : nodes) {
    if (node.isValue) {
      const LONG rc = SetValue(parent, node.name.c_str(), node.type, node.text, node.number);
      if (rc != ERROR_SUCCESS) return FromWin32(rc);
      continue;
    }
    if (node.flag == Flag::ForceRemove || node.flag == Flag::Delete) {
      const LONG rc = DeleteTree(parent, node.name);
      if (rc != ERROR_SUCCESS) return FromWin32(rc);
      if (node.flag == Flag::Delete) continue;
    }
    HKEY key = nullptr;
    LONG rc = reg.RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return FromWin32(rc);
    if (node.hasValue) rc = SetValue(key, nullptr, node.type, node.text, node.number);
    HRESULT hr = FromWin32(rc);
    if (SUCCEEDED(hr)) hr = Register(key, node.children);
    reg.RegCloseKey(key);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Registrar::Unregister(HKEY parent, const std::vector<Node>& nodes) {
  plat::RegistryService& reg = plat::Registry();
  for (const Node& node : nodes) {
    if (node.isValue) {
      const LONG rc = reg.RegDeleteValueW(parent, node.name.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return FromWin32(rc);
      continue;
    }
    if (node.flag == Flag::ForceRemove || node.flag == Flag::Delete) {
      const LONG rc = DeleteTree(parent, node.name);
      if (rc != ERROR_SUCCESS) return FromWin32(rc);
      continue;
    }
    HKEY key = nullptr;
    LONG rc = reg.RegOpenKeyW(parent, node.name.c_str(), &key);
    if (rc == ERROR_FILE_NOT_FOUND) continue;  // nothing of ours is there
    if (rc != ERROR_SUCCESS) return FromWin32(rc);
    const HRESULT hr = Unregister(key, node.children);
    const bool keep = node.flag == Flag::NoRemove || HasSubKeys(key);
    reg.RegCloseKey(key);
    if (FAILED(hr)) return hr;
    if (!keep) {
      rc = reg.RegDeleteKeyW(parent, node.name.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return FromWin32(rc);
    }
  }
  return S_OK;
}

HRESULT Registrar::Run(const WString& script, bool registering) {
  std::vector<Node> roots;
  if (!Parse(script, &roots)) return DISP_E_EXCEPTION;
  for (const Node& root : roots) {
    const HKEY key = RootKey(root.name);
    const HRESULT hr = registering ? Register(key, root.children) : Unregister(key, root.children);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Registrar::RunResource(HMODULE module, int id, bool registering) {
  plat::ModuleService& modules = plat::Modules();
  HRSRC res = modules.FindResourceW(module, MAKEINTRESOURCEW(id), WSTR("REGISTRY"));
  if (res == nullptr) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  const DWORD size = modules.SizeofResource(module, res);
  HGLOBAL loaded = modules.LoadResource(module, res);
  const auto* bytes = static_cast<const unsigned char*>(loaded != nullptr ? modules.LockResource(loaded) : nullptr);
  if (bytes == nullptr) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  // The scripts are plain ASCII text; each byte is one character.
  WString script;
  script.reserve(size);
  for (DWORD i = 0; i < size && bytes[i] != 0; ++i) script += static_cast<WCHAR>(bytes[i]);
  return Run(script, registering);
}

}  // namespace tessaro
