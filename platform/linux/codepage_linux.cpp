// MultiByteToWideChar and GetACP on Linux.
//
// The ANSI code page (CP_ACP; CP_THREAD_ACP is the same here, as every
// thread keeps the user default locale) follows the language of the C
// library's character locale (LC_ALL, else LC_CTYPE, else LANG), as Windows
// and Wine choose it from the user's language:
//
//   1250  Central European: cs hr hu pl ro sk sl sq bs tk, sr@latin
//   1251  Cyrillic: ru uk be bg mk sr kk ky tt mn tg ba
//   1253  Greek: el          1254  Turkish: tr az uz
//   1255  Hebrew: he iw yi   1256  Arabic: ar fa ur ug
//   1257  Baltic: et lt lv   1258  Vietnamese: vi     874  Thai: th
//   932   ja   936  zh (zh_CN, zh_SG)   950  zh_TW zh_HK zh_MO   949  ko
//   1252  every other language, and the "C" and "POSIX" locales (as Wine)
//
// The locale's character set (".UTF-8") does not matter: Windows programs
// never get UTF-8 as their ANSI code page. The single-byte code pages
// decode from tables generated from the published code page tables
// (tools/make-codepage-tables.py); every byte is a character, so they never
// fail. The multi-byte ones (932, 936, 949, 950) go through the C library's
// converter one character at a time; a pair or byte it does not know, a lead
// byte without its trail byte, and every non-ASCII byte where the C library
// has no converter for the code page become the code page's default
// character (U+30FB for 932, "?" otherwise), or fail under
// MB_ERR_INVALID_CHARS. Those code pages may also be asked for by number.
//
// CP_UTF8 decodes UTF-8. The Windows contract holds for all: bytes -1 means
// up to and including the terminator, size 0 asks for the number of UTF-16
// units needed, a buffer that is too small fails with
// ERROR_INSUFFICIENT_BUFFER (after being filled as far as it goes).
// Malformed UTF-8 becomes U+FFFD, one for each maximal ill-formed
// subsequence (the Unicode recommendation, as Windows does for a stray byte
// or a cut sequence), or fails with ERROR_NO_UNICODE_TRANSLATION under
// MB_ERR_INVALID_CHARS.
#include <iconv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

struct SingleByteTable {
  UINT codePage;
  char16_t upper[128];  // bytes 0x80 to 0xFF; the lower half is ASCII
};

const SingleByteTable kSingleByte[] = {
#include "platform/linux/codepage_tables.inc"
};

const SingleByteTable* SingleByteTableOf(UINT codePage) {
  for (const auto& t : kSingleByte)
    if (t.codePage == codePage) return &t;
  return nullptr;
}

void DecodeSingleByte(const SingleByteTable& table, const unsigned char* s, size_t n, std::u16string& out) {
  for (size_t i = 0; i < n; ++i) out.push_back(s[i] < 0x80 ? s[i] : table.upper[s[i] - 0x80]);
}

struct MultiByteCodePage {
  UINT codePage;
  const char* converter;  // the C library's name for it
  unsigned char leadRanges[4];  // first..last lead byte, twice
  char16_t defaultChar;
};

const MultiByteCodePage kMultiByte[] = {
    {932, "CP932", {0x81, 0x9F, 0xE0, 0xFC}, 0x30FB},
    {936, "CP936", {0x81, 0xFE, 0x81, 0xFE}, '?'},
    {949, "CP949", {0x81, 0xFE, 0x81, 0xFE}, '?'},
    {950, "CP950", {0x81, 0xFE, 0x81, 0xFE}, '?'},
};

const MultiByteCodePage* MultiByteCodePageOf(UINT codePage) {
  for (const auto& cp : kMultiByte)
    if (cp.codePage == codePage) return &cp;
  return nullptr;
}

bool IsLeadByte(const MultiByteCodePage& cp, unsigned char b) {
  return (b >= cp.leadRanges[0] && b <= cp.leadRanges[1]) || (b >= cp.leadRanges[2] && b <= cp.leadRanges[3]);
}

// One character of `length` bytes through the converter; false if it is not
// one character of the code page.
bool ConvertOne(iconv_t cd, const unsigned char* s, size_t length, std::u16string& out) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in[2] = {static_cast<char>(s[0]), length > 1 ? static_cast<char>(s[1]) : '\0'};
  char units[8];
  char* inp = in;
  char* outp = units;
  size_t inLeft = length, outLeft = sizeof units;
  if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return false;
  const size_t produced = sizeof units - outLeft;
  if (produced == 0) return false;
  for (size_t k = 0; k + 1 < produced; k += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(units[k]) |
                                        (static_cast<unsigned char>(units[k + 1]) << 8)));
  return true;
}

bool DecodeMultiByte(const MultiByteCodePage& cp, const unsigned char* s, size_t n, std::u16string& out) {
  const iconv_t cd = iconv_open("UTF-16LE", cp.converter);
  bool clean = true;
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      out.push_back(s[i++]);
      continue;
    }
    const size_t length = IsLeadByte(cp, s[i]) && i + 1 < n ? 2 : 1;
    if (!ConvertOne(cd, s + i, length, out)) {
      out.push_back(cp.defaultChar);
      clean = false;
    }
    i += length;
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return clean;
}

// The language, territory and modifier of a locale name such as
// "sr_RS.UTF-8@latin".
struct LocaleName {
  std::string language, territory, modifier;
};

LocaleName SplitLocale(const std::string& name) {
  LocaleName parts;
  const size_t at = name.find('@');
  if (at != std::string::npos) parts.modifier = name.substr(at + 1);
  const std::string base = name.substr(0, std::min(at, name.find('.')));
  const size_t underscore = base.find('_');
  parts.language = base.substr(0, underscore);
  if (underscore != std::string::npos) parts.territory = base.substr(underscore + 1);
  return parts;
}

bool OneOf(const std::string& language, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (language == n) return true;
  return false;
}

UINT AnsiCodePageOfLocale(const std::string& name) {
  const LocaleName l = SplitLocale(name);
  const std::string& lang = l.language;
  if (lang == "sr") return l.modifier == "latin" ? 1250 : 1251;
  if (OneOf(lang, {"cs", "hr", "hu", "pl", "ro", "sk", "sl", "sq", "bs", "tk"})) return 1250;
  if (OneOf(lang, {"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "mn", "tg", "ba"})) return 1251;
  if (lang == "el") return 1253;
  if (OneOf(lang, {"tr", "az", "uz"})) return 1254;
  if (OneOf(lang, {"he", "iw", "yi"})) return 1255;
  if (OneOf(lang, {"ar", "fa", "ur", "ug"})) return 1256;
  if (OneOf(lang, {"et", "lt", "lv"})) return 1257;
  if (lang == "vi") return 1258;
  if (lang == "th") return 874;
  if (lang == "ja") return 932;
  if (lang == "ko") return 949;
  if (lang == "zh") return OneOf(l.territory, {"TW", "HK", "MO"}) ? 950 : 936;
  return 1252;
}

}  // namespace

UINT LocaleService::GetACP() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = ::getenv(var);
    if (v != nullptr && v[0] != 0) return AnsiCodePageOfLocale(v);
  }
  return 1252;
}

int LocaleService::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int size) {
  if (text == nullptr || bytes == 0 || size < 0 || (out == nullptr && size != 0)) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = GetACP();
  if (codePage == CP_UTF8) {
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
      Errors().SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  } else if (SingleByteTableOf(codePage) != nullptr || MultiByteCodePageOf(codePage) != nullptr) {
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
  const auto* bytesIn = reinterpret_cast<const unsigned char*>(text);
  bool clean = true;
  if (const SingleByteTable* table = SingleByteTableOf(codePage)) {
    DecodeSingleByte(*table, bytesIn, length, wide);
  } else if (const MultiByteCodePage* multi = MultiByteCodePageOf(codePage)) {
    clean = DecodeMultiByte(*multi, bytesIn, length, wide);
  } else {
    clean = DecodeUtf8(bytesIn, length, wide);
  }
  if (!clean && (flags & MB_ERR_INVALID_CHARS)) {
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
