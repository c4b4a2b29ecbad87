// Tessaro's one formatter for wide text, with the wide printf convention of
// Windows on every target:
//   %s wide text      %S narrow text      %hs narrow   %ls / %ws wide
//   %c wide char      %C narrow char      %hc narrow   %lc wide
//   %d %i %u %x %X %o with h, l (32-bit, as on Windows), ll / I64 (64-bit),
//   I (pointer-sized); flags - + blank # 0; width and precision, also as *;
//   %p, %e %f %g (and capitals), %%.
// Narrow text is read as UTF-8. A null text pointer prints "(null)".
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/wstr.h"

namespace wfmt {

// Formats into dst, which has room for count characters including the
// terminator. The result is always terminated when count > 0. Returns the
// length of the text, or -1 when it was cut to count - 1 characters.
int FormatV(WCHAR* dst, size_t count, const WCHAR* format, va_list args);
int Format(WCHAR* dst, size_t count, const WCHAR* format, ...);

// Formats without a limit.
WString StringV(const WCHAR* format, va_list args);
WString String(const WCHAR* format, ...);

}  // namespace wfmt
