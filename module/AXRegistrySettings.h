// Diagnostic configuration of one reporting object: its debug flags from the
// per-user registry or the environment, and where its log file would live.
#pragma once

#include <atomic>

#include "platform/wstr.h"

class CAXRegistrySettings {
 public:
  explicit CAXRegistrySettings(const WCHAR* subKey);

  // Reads the registry and the environment once per object.
  void Load();

  const WString& GetDataFolder();
  void GetModulePath();
  const WString& GetLogFileName();
  bool EnsureDirectory(const WCHAR* directory);
  const WString& ResolveLogDirectory(const WCHAR* directory);
  const WString& ComputeLogFilePath(const WCHAR* directory);

  WString m_subKey;
  BOOL m_loaded = FALSE;
  WString m_dataFolder;
  WString m_logFileName;
  WString m_moduleDir;
  WString m_moduleFileName;
  WString m_logDirectory;
  WString m_logFilePath;
  // Written once at the end of Load, then only read, also by other threads'
  // log calls: one atomic word keeps that free of data races.
  std::atomic<DWORD> m_debugFlags{0};
};

// Registry keys of the diagnostic settings (under HKEY_CURRENT_USER). The two
// backslashes after "Software" are part of the stored texts.
extern const WCHAR* const kProductKey;    // "Software\\Norvane\Zelmora\Tessaro"
extern const WCHAR* const kComponentKey;  // the same with a trailing backslash
