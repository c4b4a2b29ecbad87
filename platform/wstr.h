// Wide (UTF-16) text helpers shared by both targets.
#pragma once

#include <string>
#include <string_view>

#include "platform/wintypes.h"

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;

namespace wstr {

// Length of a terminated wide text; 0 for a null pointer.
size_t Len(const WCHAR* s);

// UTF-8 <-> UTF-16. Malformed UTF-8 bytes are taken as Latin-1 characters;
// unpaired surrogates become U+FFFD.
WString FromUtf8(std::string_view utf8);
std::string ToUtf8(WStringView text);

// ASCII-only case folding, as the system's comparisons of file and process
// names need (the names it compares are ASCII).
WCHAR LowerAscii(WCHAR c);
WString LowerAscii(WStringView s);
bool EqualsNoCase(WStringView a, WStringView b);

}  // namespace wstr
