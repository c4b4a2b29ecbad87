// MultiByteToWideChar on Linux: the ANSI code page is UTF-8 here, so
// CP_ACP, CP_THREAD_ACP and CP_UTF8 all decode UTF-8, with the Windows
// contract: bytes -1 means up to and including the terminator, size 0 asks
// for the number of UTF-16 units needed, a buffer that is too small fails with
// ERROR_INSUFFICIENT_BUFFER (after being filled as far as it goes). Malformed
// input becomes U+FFFD, one for each maximal ill-formed subsequence (the
// Unicode recommendation, as Windows does for a stray byte or a cut
// sequence), or fails with ERROR_NO_UNICODE_TRANSLATION under
// MB_ERR_INVALID_CHARS.
#include <cstring>
#include <string>

#include "platform/services.h"

namespace plat {

namespace {

// Decodes UTF-8 into UTF-16; returns false if anything was malformed.
bool DecodeUtf8(const unsigned char* s, size_t n, std::u16string& out) {
  bool clean = true;
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the first continuation byte
    char32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2, cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3, cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out.push_back(0xFFFD);
      clean = false;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      const unsigned char lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
      if (j >= n || s[j] < lower || s[j] > upper) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[j] & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      clean = false;
      i = j;  // the maximal subpart is consumed; the offending byte starts anew
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i = j;
  }
  return clean;
}

}  // namespace

int LocaleService::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size) {
  if (text == nullptr || bytes == 0 || size < 0 || (out == nullptr && size != 0)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_UTF8) {
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
      Errors().SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP) {
    if ((flags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) ||
        (flags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)) {
      Errors().SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  } else {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t length = bytes < 0 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
  std::u16string wide;
  wide.reserve(length);
  if (!DecodeUtf8(reinterpret_cast<const unsigned char*>(text), length, wide) && (flags & MB_ERR_INVALID_CHARS)) {
    Errors().SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (size == 0) return static_cast<int>(wide.size());
  const size_t fits = wide.size() < static_cast<size_t>(size) ? wide.size() : static_cast<size_t>(size);
  wide.copy(out, fits);
  if (fits < wide.size()) {
    Errors().SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<int>(wide.size());
}

}  // namespace plat
