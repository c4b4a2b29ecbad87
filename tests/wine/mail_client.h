// The mail client a process under Wine sees, for the end-to-end programs.
//
// mapi32.dll hands Extended MAPI on to the library named by "DLLPathEx"
// under HKLM\Software\Clients\Mail\NAME, NAME being the default value of
// HKLM\Software\Clients\Mail; it reads this once, when it is loaded. A
// MailClient registers a client of ours for its lifetime (a process makes
// it before its first MAPI call) and puts the previous default back after.
// With no library the client has no "DLLPathEx": logons then fail.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

namespace e2e {

// A Unix path as Wine shows it (drive Z: is /).
inline std::wstring WindowsPath(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return path;
}

// An environment variable holding a Unix path, as a Windows path; empty when unset.
inline std::wstring PathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != 0 ? WindowsPath(value) : std::wstring();
}

class MailClient {
 public:
  static constexpr const wchar_t* kMailKey = L"Software\\Clients\\Mail";

  explicit MailClient(const std::wstring& extendedMapiLibrary)
      : m_name(extendedMapiLibrary.empty() ? L"Tessaro Test Client Without MAPI" : L"Tessaro Memory Store") {
    HKEY mail = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMailKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &mail, nullptr) !=
        ERROR_SUCCESS)
      return;
    wchar_t previous[256] = {};
    DWORD size = sizeof previous - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(mail, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(previous), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
      m_previous = previous;
      m_hadPrevious = true;
    }
    // A run that ended without cleaning up left ours as the default.
    if (m_previous.rfind(L"Tessaro ", 0) == 0) m_hadPrevious = false;
    const std::wstring clientKey = std::wstring(kMailKey) + L"\\" + m_name;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, clientKey.c_str());
    HKEY client = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, clientKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &client,
                          nullptr) == ERROR_SUCCESS) {
      if (!extendedMapiLibrary.empty()) SetString(client, L"DLLPathEx", extendedMapiLibrary);
      ::RegCloseKey(client);
      m_ok = SetString(mail, nullptr, m_name);
    }
    ::RegCloseKey(mail);
  }

  ~MailClient() {
    HKEY mail = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMailKey, 0, KEY_ALL_ACCESS, &mail) == ERROR_SUCCESS) {
      if (m_hadPrevious) {
        SetString(mail, nullptr, m_previous);
      } else {
        ::RegDeleteValueW(mail, nullptr);
      }
      ::RegDeleteTreeW(mail, m_name.c_str());
      ::RegDeleteKeyW(mail, m_name.c_str());
      ::RegCloseKey(mail);
    }
  }

  MailClient(const MailClient&) = delete;
  MailClient& operator=(const MailClient&) = delete;

  bool ok() const { return m_ok; }

 private:
  static bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

  std::wstring m_name;
  std::wstring m_previous;
  bool m_hadPrevious = false;
  bool m_ok = false;
};

}  // namespace e2e
