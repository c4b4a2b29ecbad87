// The formatter against a table of formats. Under Wine every row is also
// checked against the platform's own _vsnwprintf from msvcrt.dll, so the
// expected texts are the platform's, and both targets agree.
#include <gtest/gtest.h>

#include <cstdarg>
#include <climits>

#include "platform/wformat.h"
#include "tests/support/test_support.h"

using testing_support::U8;

namespace {

#ifdef _WIN32
using VsnwprintfFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);

WString PlatformFormat(const WCHAR* format, ...) {
  static const auto fn =
      reinterpret_cast<VsnwprintfFn>(reinterpret_cast<void*>(
          ::GetProcAddress(::LoadLibraryW(L"msvcrt.dll"), "_vsnwprintf")));
  wchar_t buffer[512] = {};
  va_list args;
  va_start(args, format);
  fn(buffer, 511, format, args);
  va_end(args);
  return buffer;
}
#endif

int g_rows = 0;

template <class Format, class... Args>
std::string FormatText(Format format, Args...) {
  return U8(WString(format));
}

#ifdef _WIN32
#define ROW(expected, ...)                                                              \
  do {                                                                                  \
    ++g_rows;                                                                           \
    EXPECT_EQ(U8(WSTR(expected)), U8(wfmt::String(__VA_ARGS__))) << FormatText(__VA_ARGS__); \
    EXPECT_EQ(U8(PlatformFormat(__VA_ARGS__)), U8(wfmt::String(__VA_ARGS__)))         \
        << "platform differs for " << FormatText(__VA_ARGS__);                          \
  } while (0)
#else
#define ROW(expected, ...)                                                              \
  do {                                                                                  \
    ++g_rows;                                                                           \
    EXPECT_EQ(U8(WSTR(expected)), U8(wfmt::String(__VA_ARGS__))) << FormatText(__VA_ARGS__); \
  } while (0)
#endif

}  // namespace

TEST(WideFormat, AgreesWithThePlatformTable) {
  const WCHAR* wide = WSTR("wide");
  const char* narrow = "narrow";
  ROW("plain text", WSTR("plain text"));
  ROW("100%", WSTR("100%%"));
  ROW("[wide]", WSTR("[%s]"), wide);
  ROW("[narrow]", WSTR("[%S]"), narrow);
  ROW("[narrow]", WSTR("[%hs]"), narrow);
  ROW("[wide]", WSTR("[%ls]"), wide);
  ROW("[wide]", WSTR("[%ws]"), wide);
  ROW("[  wide]", WSTR("[%6s]"), wide);
  ROW("[wide  ]", WSTR("[%-6s]"), wide);
  ROW("[wi]", WSTR("[%.2s]"), wide);
  ROW("[    na]", WSTR("[%6.2S]"), narrow);
  ROW("[(null)]", WSTR("[%s]"), static_cast<const WCHAR*>(nullptr));
  ROW("[(null)]", WSTR("[%S]"), static_cast<const char*>(nullptr));
  ROW("42 -42 0", WSTR("%d %d %d"), 42, -42, 0);
  ROW("-2147483648", WSTR("%d"), static_cast<int>(0x80000000u));
  ROW("4294967295", WSTR("%u"), 0xFFFFFFFFu);
  ROW("123456 654321", WSTR("%ld %lu"), static_cast<LONG>(123456), static_cast<DWORD>(654321));
  ROW("-1 4294967295", WSTR("%ld %lu"), static_cast<LONG>(-1), static_cast<DWORD>(0xFFFFFFFF));
  ROW("a1c A1C", WSTR("%x %X"), 0xA1Cu, 0xA1Cu);
  ROW("00000a1c", WSTR("%08x"), 0xA1Cu);
  ROW("0x00000a1c", WSTR("0x%08x"), 0xA1Cu);
  ROW("ffffffff", WSTR("%x"), -1);
  ROW("007", WSTR("%.3u"), 7u);
  ROW("999", WSTR("%.3u"), 999u);
  ROW("1234", WSTR("%.3u"), 1234u);
  ROW("0A", WSTR("%.2X"), 10u);
  ROW("FF", WSTR("%.2X"), 255u);
  ROW("[   42]", WSTR("[%5d]"), 42);
  ROW("[42   ]", WSTR("[%-5d]"), 42);
  ROW("[00042]", WSTR("[%05d]"), 42);
  ROW("[-0042]", WSTR("[%05d]"), -42);
  ROW("[  042]", WSTR("[%5.3d]"), 42);
  ROW("[+42]", WSTR("[%+d]"), 42);
  ROW("[ 42]", WSTR("[% d]"), 42);
  ROW("[0x2a]", WSTR("[%#x]"), 42u);
  ROW("[0X2A]", WSTR("[%#X]"), 42u);
  ROW("[0]", WSTR("[%#x]"), 0u);
  ROW("[52]", WSTR("[%o]"), 42u);
  ROW("[   42]", WSTR("[%*d]"), 5, 42);
  ROW("[42   ]", WSTR("[%*d]"), -5, 42);
  ROW("[wid]", WSTR("[%.*s]"), 3, wide);
  ROW("[-7]", WSTR("[%hd]"), 0x1FFF9);
  ROW("[12345678901]", WSTR("[%I64d]"), 12345678901LL);
  ROW("[-12345678901]", WSTR("[%lld]"), -12345678901LL);
  ROW("[18446744073709551615]", WSTR("[%I64u]"), 0xFFFFFFFFFFFFFFFFULL);
  ROW("[ffffffffff]", WSTR("[%I64x]"), 0xFFFFFFFFFFULL);
  ROW("[A]", WSTR("[%c]"), static_cast<int>('A'));
  ROW("[B]", WSTR("[%C]"), static_cast<int>('B'));
  ROW("[  C]", WSTR("[%3c]"), static_cast<int>('C'));
  ROW("[\u00e9]", WSTR("[%c]"), 0xE9);
  ROW("21:04:09.007 [0x00000a1c] P :: ", WSTR("%s.%.3u [0x%08x] %s"), WSTR("21:04:09"), 7u, 0xA1Cu,
      WSTR("P :: "));
  ROW("Tessaro INFO  :: f(1): 3 of 4 from x", WSTR("Tessaro INFO  :: f(1): %d of %lu from %S"), 3,
      static_cast<DWORD>(4), "x");
  ROW("[1.500000]", WSTR("[%f]"), 1.5);
  ROW("[2.25]", WSTR("[%.2f]"), 2.25);
  ROW("[-0001.50]", WSTR("[%08.2f]"), -1.5);
  ROW("[1.50    ]", WSTR("[%-8.2f]"), 1.5);
  ROW("[   +1.5]", WSTR("[%+7.1f]"), 1.5);
  ROW("[0.25]", WSTR("[%g]"), 0.25);
  ROW("[0]", WSTR("[%#o]"), 0u);
  ROW("[052]", WSTR("[%#o]"), 42u);
  ROW("[]", WSTR("[%.0o]"), 0u);
  ROW("[]", WSTR("[%.0d]"), 0);
  // The most negative width from the arguments pads nothing.
  ROW("[42]", WSTR("[%*d]"), INT_MIN, 42);
  ROW("[x]", WSTR("[%*s]"), INT_MIN, WSTR("x"));
  EXPECT_GT(g_rows, 60);
}

// Not in the table: Wine's msvcrt prints nothing for it.
TEST(WideFormat, AlternateOctalKeepsItsZeroWhenThePrecisionLeavesNone) {
  EXPECT_EQ("[0]", U8(wfmt::String(WSTR("[%#.0o]"), 0u)));
  EXPECT_EQ("[  0]", U8(wfmt::String(WSTR("[%#3.0o]"), 0u)));
  EXPECT_EQ("[0]", U8(wfmt::String(WSTR("[%#.0llo]"), 0ULL)));
  EXPECT_EQ("[0007]", U8(wfmt::String(WSTR("[%#.4o]"), 7u)));
}

TEST(WideFormat, CutsToTheGivenCountAndSaysSo) {
  WCHAR buffer[8];
  EXPECT_EQ(5, wfmt::Format(buffer, 8, WSTR("%s"), WSTR("abcde")));
  EXPECT_EQ("abcde", U8(buffer));
  EXPECT_EQ(7, wfmt::Format(buffer, 8, WSTR("%s"), WSTR("abcdefg")));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%s"), WSTR("abcdefgh")));
  EXPECT_EQ("abcdefg", U8(buffer));  // count - 1 characters, terminated
  EXPECT_EQ(-1, wfmt::Format(buffer, 4, WSTR("%08x"), 1u));
  EXPECT_EQ("000", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 1, WSTR("x")));
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ(0, wfmt::Format(buffer, 8, WSTR("")));
}

TEST(WideFormat, StopsOnceTheBufferIsFullHoweverWideTheField) {
  // Each of these would be billions of characters: the formatter stops at
  // the end of the buffer instead of producing (or allocating) them.
  WCHAR buffer[8];
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%*d"), INT_MAX, 1));
  EXPECT_EQ("       ", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%-*d|"), INT_MAX, 1));
  EXPECT_EQ("1      ", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%.*x"), INT_MAX, 1u));
  EXPECT_EQ("0000000", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%0*d"), 200000000, -5));
  EXPECT_EQ("-000000", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%.*f"), INT_MAX, 1.0));
  EXPECT_EQ("1.00000", U8(buffer));
  EXPECT_EQ(-1, wfmt::Format(buffer, 8, WSTR("%*f"), INT_MAX, 1.0));
  EXPECT_EQ("       ", U8(buffer));
}

TEST(WideFormat, FloatingPointIsNeverCut) {
  const WString wide = wfmt::String(WSTR("[%600f]"), 1.5);
  ASSERT_EQ(602u, wide.size());
  EXPECT_EQ("1.500000]", U8(wide.substr(593)));
  EXPECT_EQ(WString(592, ' '), wide.substr(1, 592));

  const WString left = wfmt::String(WSTR("%-600.1f|"), -2.5);
  ASSERT_EQ(601u, left.size());
  EXPECT_EQ("-2.5 ", U8(left.substr(0, 5)));
  EXPECT_EQ('|', left.back());

  // Digits a double does not have are zeros, however many are asked for.
  const WString precise = wfmt::String(WSTR("%.3000f"), 0.25);
  ASSERT_EQ(3002u, precise.size());
  EXPECT_EQ("0.25", U8(precise.substr(0, 4)));
  EXPECT_EQ(WString(2998, '0'), precise.substr(4));
  const WString significant = wfmt::String(WSTR("%#.1500G"), 0.25);
  ASSERT_EQ(1502u, significant.size());
  EXPECT_EQ("0.25", U8(significant.substr(0, 4)));
  EXPECT_EQ(WString(1498, '0'), significant.substr(4));
}

TEST(WideFormat, UnboundedStringsGrow) {
  const WString big(5000, 'x');
  EXPECT_EQ(5002u, wfmt::String(WSTR("[%s]"), big.c_str()).size());
  EXPECT_EQ("\xE2\x82\xAC and \xF0\x9F\x98\x80", U8(wfmt::String(WSTR("%S and %S"), "\xE2\x82\xAC", "\xF0\x9F\x98\x80")));
}
