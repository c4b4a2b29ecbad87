#include "tests/server_support.h"

#include <cstdlib>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceIds.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ModuleIds.h"

namespace server_support {

std::wstring WindowsPath(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return path;
}

namespace {

std::wstring FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != 0 ? WindowsPath(value) : std::wstring();
}

}  // namespace

std::wstring ModulePath() { return FromEnvironment("TESSARO_SERVER_DLL"); }
std::wstring ScriptsDir() { return FromEnvironment("TESSARO_SCRIPTS_DIR"); }

DWORD Run(const std::wstring& commandLine, DWORD timeoutMs) {
  std::wstring line = commandLine;  // CreateProcessW may write to it
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return kNotStarted;
  }
  DWORD code = kTimedOut;
  if (::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    if (!::GetExitCodeProcess(pi.hProcess, &code)) code = kNotStarted;
  } else {
    ::TerminateProcess(pi.hProcess, kTimedOut);
    ::WaitForSingleObject(pi.hProcess, 5000);
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return code;
}

DWORD Regsvr32(const std::wstring& switches) {
  return Run(L"regsvr32.exe /s " + switches + L" \"" + ModulePath() + L"\"", 60000);
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

std::optional<std::wstring> StringValue(HKEY root, const std::wstring& path, const std::wstring& name) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  std::optional<std::wstring> result;
  if (::RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(&text[0]), &bytes) == ERROR_SUCCESS) {
      text.resize(bytes / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      result = text;
    }
  }
  ::RegCloseKey(key);
  return result;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool DeleteTree(HKEY root, const std::wstring& path) {
  const LONG rc = ::RegDeleteTreeW(root, path.c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
  // RegDeleteTreeW empties the key; the key itself goes with RegDeleteKeyW.
  const LONG gone = ::RegDeleteKeyW(root, path.c_str());
  return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND;
}

bool CreatedKeys::Create(HKEY root, const std::wstring& path) {
  // The topmost missing key along the path is what this call creates.
  std::wstring topmost;
  size_t end = 0;
  while (end != std::wstring::npos) {
    end = path.find(L'\\', end + 1);
    const std::wstring prefix = path.substr(0, end);
    if (!KeyExists(root, prefix)) {
      topmost = prefix;
      break;
    }
  }
  HKEY key = nullptr;
  if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  if (!topmost.empty()) created_.push_back({root, topmost});
  return true;
}

CreatedKeys::~CreatedKeys() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) DeleteTree(it->root, it->path);
}

const wchar_t kPreApproved[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved";
const wchar_t kPreApprovedWow[] = L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved";

namespace {

std::wstring Text(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

const GUID* const kClassIds[] = {&CLSID_CalPresenceAX, &CLSID_ActiveMonAX, &CLSID_MapiSearchAX};

// Every key registration writes below a classes key.
std::vector<std::wstring> ClassesKeys() {
  std::vector<std::wstring> keys = {
      L"ZLMTessaro.CalPresenceAX.214", L"ZLMTessaro.CalPresenceAX", L"ZLMTessaro.ActiveMonAX.214",
      L"ZLMTessaro.ActiveMonAX",       L"ZLMTessaro.MapiSearchAX.214", L"ZLMTessaro.MapiSearchAX",
      L"AppID\\" + Text(APPID_ZLMTessaro), L"AppID\\ZLMTessaro.DLL", L"TypeLib\\" + Text(LIBID_TessaroLib)};
  for (const GUID* clsid : kClassIds) keys.push_back(L"CLSID\\" + Text(*clsid));
  for (const GUID* iid : {&IID_ICalPresence, &IID_IActiveMon, &IID_IMapiSearch, &DIID__ICalPresenceEvents,
                          &DIID__IIEMapiEvents}) {
    keys.push_back(L"Interface\\" + Text(*iid));
  }
  return keys;
}

}  // namespace

// The user's classes key and the parents the scripts never remove, which
// per-user registration may create; parents first.
const wchar_t* const kKeptParents[] = {L"Software\\Classes", L"Software\\Classes\\AppID",
                                       L"Software\\Classes\\CLSID"};

RegistrationUndo::RegistrationUndo() {
  for (const wchar_t* parent : kKeptParents) {
    if (!KeyExists(HKEY_CURRENT_USER, parent)) absentParents_.push_back(parent);
  }
  for (const wchar_t* parent : {kPreApproved, kPreApprovedWow}) {
    for (const GUID* clsid : kClassIds) {
      const std::wstring key = std::wstring(parent) + L"\\" + Text(*clsid);
      if (!KeyExists(HKEY_LOCAL_MACHINE, key)) absentBefore_.push_back(key);
    }
  }
}

RegistrationUndo::~RegistrationUndo() {
  Regsvr32(L"/u");
  Regsvr32(L"/u /n /i:user");
  // Unregistration stops at its first failure (a type library the other
  // mode already removed, say) and leaves the rest; whatever is left goes.
  for (const std::wstring& key : ClassesKeys()) {
    DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + key);
    DeleteTree(HKEY_CURRENT_USER, L"Software\\Classes\\" + key);
  }
  for (const std::wstring& key : absentBefore_) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  // Only while empty: RegDeleteKeyW leaves a key that has sub keys.
  for (auto key = absentParents_.rbegin(); key != absentParents_.rend(); ++key) {
    ::RegDeleteKeyW(HKEY_CURRENT_USER, key->c_str());
  }
}

}  // namespace server_support
