// The diagnostic log base of every reporting class.
#pragma once

#include "module/AXRegistrySettings.h"
#include "platform/wintypes.h"

// Level bits of a line, and enable bits of the flags word.
constexpr DWORD LOG_ERROR = 0x00000001;
constexpr DWORD LOG_MAJOR = 0x00000002;
constexpr DWORD LOG_INFO = 0x00000004;
constexpr DWORD LOG_DETAIL = 0x00000008;
// Output bits of the flags word.
constexpr DWORD LOG_FORWARD = 0x00000100;
constexpr DWORD LOG_TO_FILE = 0x01000000;
constexpr DWORD LOG_TO_DEBUGGER = 0x08000000;
// Bits of the level handed to the forwarding hook.
constexpr DWORD LOG_NO_FORWARD = 0x02000000;
constexpr DWORD LOG_FORWARDED = 0x04000000;

// The text GetLastErrorText returns when the system has none for the code.
extern const WCHAR* const kNoLastErrorText;

// The calling thread's last system error as text. The caller releases a text
// other than kNoLastErrorText with LocalFree (ReleaseLastErrorText does so).
LPWSTR GetLastErrorText();
void ReleaseLastErrorText(LPWSTR text);

// The modal report box: no owner window, an OK button only.
void ShowReportBox(const WCHAR* text, const WCHAR* caption);

class CAXLogger {
 public:
  explicit CAXLogger(const WCHAR* settingsSubKey) : m_settings(settingsSubKey) {}

  virtual int QueryLoggerFlag() = 0;
  virtual const WCHAR* GetLogPrefix() = 0;
  virtual int ForwardLine(DWORD level, const WCHAR* message);
  virtual int WriteToFile(DWORD level, const WCHAR* message);
  // Writes one line when every bit of level is enabled in the flags word.
  virtual void Log(DWORD level, const WCHAR* format, ...);

  CAXRegistrySettings& Settings() { return m_settings; }

 protected:
  // Owners are destroyed as themselves, never through this base.
  ~CAXLogger() = default;

  CAXRegistrySettings m_settings;
};
