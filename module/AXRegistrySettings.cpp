#include "module/AXRegistrySettings.h"

#include <cstdlib>
#include <exception>
#include <memory>

#include "module/AXLogger.h"
#include "platform/services.h"
#include "platform/wformat.h"

const WCHAR* const kProductKey = WSTR("Software\\\\Norvane\\Zelmora\\Tessaro");
const WCHAR* const kComponentKey = WSTR("Software\\\\Norvane\\Zelmora\\Tessaro\\");

namespace {

const WCHAR* const kCaption = WSTR("AXRegistrySettings");

void ReportException(const std::exception& e) {
  const WString text = wfmt::String(WSTR("Unexpected exception thrown\n\tdescription: %S"), e.what());
  ShowReportBox(text.c_str(), kCaption);
}

// Reads a decimal number the way the C library's atoi does: leading blanks
// and a sign are allowed, the first other character ends it, and text that
// is not a number gives 0.
DWORD ParseDecimal(const WString& text) {
  return static_cast<DWORD>(std::atol(wstr::ToUtf8(text).c_str()));
}

bool ReadEnvironment(const WCHAR* name, WString& value) {
  WCHAR small[MAX_PATH];
  DWORD n = plat::Env().GetEnvironmentVariableW(name, small, MAX_PATH);
  if (n == 0) return false;
  if (n < MAX_PATH) {
    value.assign(small, n);
  } else {
    std::unique_ptr<WCHAR[]> big(new WCHAR[n]);
    const DWORD m = plat::Env().GetEnvironmentVariableW(name, big.get(), n);
    if (m == 0 || m >= n) return false;
    value.assign(big.get(), m);
  }
  return !value.empty();
}

}  // namespace

CAXRegistrySettings::CAXRegistrySettings(const WCHAR* subKey) : m_subKey(subKey != nullptr ? subKey : WSTR("")) {}

void CAXRegistrySettings::Load() {
  if (m_loaded) return;
  try {
    DWORD flags = 0;
    HKEY key = nullptr;
    const WString component = WString(kComponentKey) + m_subKey;
    if (plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, component.c_str(), &key) == ERROR_SUCCESS) {
      DWORD value = 0, type = 0, size = sizeof value;
      if (plat::Registry().RegQueryValueExW(key, WSTR("DebugFlags"), nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                                            &size) == ERROR_SUCCESS &&
          type == REG_DWORD)
        flags = value;

      WCHAR directory[MAX_PATH] = {};
      type = 0;
      size = sizeof directory;
      const bool haveDirectory =
          plat::Registry().RegQueryValueExW(key, WSTR("LogDirectory"), nullptr, &type,
                                            reinterpret_cast<LPBYTE>(directory), &size) == ERROR_SUCCESS &&
          type == REG_SZ;
      // A text that fills the whole buffer has no room for its terminator.
      directory[MAX_PATH - 1] = 0;
      plat::Registry().RegCloseKey(key);
      ComputeLogFilePath(haveDirectory ? directory : nullptr);
    }
    if (flags == 0) {
      WString text;
      if (ReadEnvironment(WSTR("ZLMTessaroLogLevel"), text)) flags = ParseDecimal(text);
      WString directory;
      const bool haveDirectory = ReadEnvironment(WSTR("ZLMTessaroLogDir"), directory);
      // Once the component key gave a path this changes nothing.
      ComputeLogFilePath(haveDirectory ? directory.c_str() : nullptr);
    }
    if (flags != 0) {
      HKEY product = nullptr;
      if (plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, kProductKey, &product) == ERROR_SUCCESS) {
        plat::Registry().RegSetValueExW(product, WSTR("LogFilenameLastUsed"), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(m_logFilePath.c_str()),
                                        static_cast<DWORD>((m_logFilePath.size() + 1) * sizeof(WCHAR)));
        plat::Registry().RegCloseKey(product);
      }
    }
    m_debugFlags.store(flags, std::memory_order_release);
    if ((flags & LOG_TO_FILE) && m_logFilePath.empty()) ComputeLogFilePath(nullptr);
    m_loaded = TRUE;
  } catch (const std::exception&) {
    // m_loaded stays false: the next Load starts again.
  }
}

const WString& CAXRegistrySettings::GetDataFolder() {
  if (!m_dataFolder.empty()) return m_dataFolder;
  try {
    WCHAR path[MAX_PATH] = {};
    if (SUCCEEDED(plat::Files().SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                                 SHGFP_TYPE_CURRENT, path))) {
      WString folder = path;
      folder += WSTR("\\Norvane\\Zelmora\\Tessaro");
      // A folder path too long for the system's 260 characters is cut there.
      if (folder.size() > MAX_PATH - 1) folder.resize(MAX_PATH - 1);
      plat::Files().SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
      m_dataFolder = folder;
    } else {
      m_dataFolder = WSTR("\\");
    }
  } catch (const std::exception& e) {
    ReportException(e);
  }
  return m_dataFolder;
}

void CAXRegistrySettings::GetModulePath() {
  if (!m_moduleDir.empty() && !m_moduleFileName.empty()) return;
  try {
    WString full = WSTR(".");
    WCHAR probe[MAX_PATH] = {'.', 0};
    const DWORD n = plat::Modules().GetModuleFileNameW(nullptr, probe, MAX_PATH);
    if (n > 0) {
      std::unique_ptr<WCHAR[]> buffer(new WCHAR[n + 1]());
      const DWORD m = plat::Modules().GetModuleFileNameW(nullptr, buffer.get(), n + 1);
      full.assign(buffer.get(), m < n + 1 ? m : n);
    }
    const size_t slash = full.rfind('\\');
    if (slash == WString::npos) {
      m_moduleDir = WSTR(".\\");
      m_moduleFileName = full;
    } else {
      m_moduleDir = full.substr(0, slash + 1);
      m_moduleFileName = full.substr(slash + 1);
    }
  } catch (const std::exception& e) {
    ReportException(e);
  }
}

const WString& CAXRegistrySettings::GetLogFileName() {
  if (!m_logFileName.empty()) return m_logFileName;
  try {
    GetModulePath();
    WString name = m_moduleFileName;
    if (name.size() >= 4 && wstr::EqualsNoCase(WStringView(name).substr(name.size() - 4), WSTR(".dll")))
      name.resize(name.size() - 4);
    name += WSTR(".log");
    m_logFileName = name;
  } catch (const std::exception& e) {
    ReportException(e);
  }
  return m_logFileName;
}

bool CAXRegistrySettings::EnsureDirectory(const WCHAR* directory) {
  if (directory == nullptr || directory[0] == 0) return false;
  try {
    const WString prefixed = WString(WSTR("\\\\?\\")) + directory;
    if (plat::Files().CreateDirectoryW(prefixed.c_str(), nullptr)) return true;
    if (plat::Errors().GetLastError() == ERROR_ALREADY_EXISTS) return true;
    LPWSTR error = GetLastErrorText();
    const WString text =
        wfmt::String(WSTR("CreateDirectory returned error: %s\nDirectory: %s"), error, prefixed.c_str());
    ReleaseLastErrorText(error);
    ShowReportBox(text.c_str(), kCaption);
  } catch (const std::exception& e) {
    ReportException(e);
  }
  return false;
}

const WString& CAXRegistrySettings::ResolveLogDirectory(const WCHAR* directory) {
  try {
    m_logDirectory = GetDataFolder();
    if (directory != nullptr && directory[0] != 0 && EnsureDirectory(directory)) m_logDirectory = directory;
  } catch (const std::exception& e) {
    ReportException(e);
  }
  return m_logDirectory;
}

const WString& CAXRegistrySettings::ComputeLogFilePath(const WCHAR* directory) {
  if (!m_logFilePath.empty()) return m_logFilePath;
  try {
    ResolveLogDirectory(directory);
    GetLogFileName();
    WString path = m_logDirectory;
    if (path.empty() || path.back() != '\\') path.push_back('\\');
    path += m_logFileName;
    m_logFilePath = path;
  } catch (const std::exception& e) {
    ReportException(e);
  }
  return m_logFilePath;
}
