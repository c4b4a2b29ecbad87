#include "module/AXLogger.h"

#include <cstdarg>
#include <exception>
#include <memory>

#include "platform/services.h"
#include "platform/wformat.h"

const WCHAR* const kNoLastErrorText = WSTR("<no lasterror recorded>");

namespace {

// Line buffer: the prefix plus room for header digits, a 2048-character
// message and the line feed.
constexpr size_t kLineExtra = 2078;
constexpr size_t kHeaderExtra = 28;
constexpr size_t kMessageArea = 2048;

}  // namespace

LPWSTR GetLastErrorText() {
  const DWORD code = plat::Errors().GetLastError();
  LPWSTR text = nullptr;
  const DWORD n = plat::Errors().FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0x0400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return const_cast<LPWSTR>(kNoLastErrorText);
  return text;
}

void ReleaseLastErrorText(LPWSTR text) {
  if (text != nullptr && text != kNoLastErrorText) plat::Errors().LocalFree(text);
}

void ShowReportBox(const WCHAR* text, const WCHAR* caption) {
  plat::Diagnostics().MessageBoxW(nullptr, text, caption, MB_OK);
}

int CAXLogger::ForwardLine(DWORD, const WCHAR*) { return 0; }
int CAXLogger::WriteToFile(DWORD, const WCHAR*) { return 0; }

void CAXLogger::Log(DWORD level, const WCHAR* format, ...) {
  const DWORD flags = m_settings.m_debugFlags;
  if ((level & flags) != level) return;

  va_list args;
  va_start(args, format);
  try {
    const WCHAR* prefix = GetLogPrefix();
    const size_t prefixLen = wstr::Len(prefix);
    std::unique_ptr<WCHAR[]> line(new WCHAR[prefixLen + kLineExtra]);
    line[0] = 0;

    SYSTEMTIME now;
    plat::Clock().GetLocalTime(&now);
    WCHAR clock[20];
    clock[0] = 0;
    plat::Locale().GetTimeFormatW(LOCALE_INVARIANT, LOCALE_USE_CP_ACP | TIME_FORCE24HOURFORMAT, &now,
                                  WSTR("HH:mm:ss"), clock, 20);
    const DWORD threadId = plat::Clock().GetCurrentThreadId();

    size_t header = 0;
    if (flags & LOG_TO_DEBUGGER) {
      const int n = wfmt::Format(line.get(), prefixLen + kHeaderExtra, WSTR("%s.%.3u [0x%08x] %s"), clock,
                                 static_cast<unsigned>(now.wMilliseconds), threadId, prefix);
      if (n < 0) {
        va_end(args);
        return;
      }
      header = static_cast<size_t>(n);
    }

    WCHAR* message = line.get() + header;
    int m = wfmt::FormatV(message, kMessageArea, format, args);
    if (m < 0) m = static_cast<int>(wstr::Len(message));  // cut to 2047 characters
    if (m > 0) {
      if (flags & LOG_TO_FILE) WriteToFile(level, message);
      size_t end = header + static_cast<size_t>(m);
      if (line[end - 1] != '\n') {
        line[end++] = '\n';
        line[end] = 0;
      }
      if (flags & LOG_TO_DEBUGGER) plat::Diagnostics().OutputDebugStringW(line.get());
      if ((level & LOG_NO_FORWARD) == 0 && (flags & LOG_FORWARD) && level != 0)
        ForwardLine(level | LOG_FORWARDED, message);
    }
  } catch (const std::exception& e) {
    const WString text = wfmt::String(WSTR("Unexpected exception thrown\n\tprocessing:\n%s\n\tdescription: %S "),
                                      format, e.what());
    ShowReportBox(text.c_str(), WSTR("Unexpected runtime error"));
  } catch (...) {
    const WString text = wfmt::String(WSTR("Unexpected exception thrown\n\tprocessing:\n%s"), format);
    ShowReportBox(text.c_str(), WSTR("Unexpected runtime error"));
  }
  va_end(args);
}
