// The ANSI code page on Linux: chosen from the locale's language, decoded
// from the code page's table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/services.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Sets the locale variables for a scope and puts the old values back.
class LocaleVariables {
 public:
  LocaleVariables(const char* all, const char* ctype, const char* lang) {
    Set("LC_ALL", all);
    Set("LC_CTYPE", ctype);
    Set("LANG", lang);
  }
  ~LocaleVariables() {
    for (const auto& saved : saved_) {
      if (saved.had) {
        ::setenv(saved.name, saved.value.c_str(), 1);
      } else {
        ::unsetenv(saved.name);
      }
    }
  }

 private:
  void Set(const char* name, const char* value) {
    const char* old = ::getenv(name);
    saved_[count_++] = {name, old != nullptr, old != nullptr ? old : ""};
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  struct Saved {
    const char* name;
    bool had;
    std::string value;
  } saved_[3];
  int count_ = 0;
};

std::u16string Decode(UINT cp, const std::string& bytes, DWORD flags = 0) {
  WCHAR out[64] = {};
  const int n = plat::Locale().MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), out, 64);
  return std::u16string(out, out + (n > 0 ? n : 0));
}

}  // namespace

TEST(AnsiCodePage, FollowsTheLanguageOfTheCharacterLocale) {
  const struct {
    const char* locale;
    UINT cp;
  } table[] = {{"C", 1252},           {"POSIX", 1252},      {"C.UTF-8", 1252},      {"en_US.UTF-8", 1252},
               {"de_DE@euro", 1252},  {"pl_PL.UTF-8", 1250}, {"cs_CZ", 1250},        {"sr_RS@latin", 1250},
               {"sr_RS", 1251},       {"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},        {"el_GR.UTF-8", 1253},
               {"tr_TR.UTF-8", 1254}, {"he_IL", 1255},       {"ar_EG.UTF-8", 1256},  {"lt_LT", 1257},
               {"vi_VN", 1258},       {"th_TH.UTF-8", 874},  {"ja_JP.UTF-8", 932},   {"zh_CN.UTF-8", 936},
               {"zh_SG", 936},        {"zh_TW.UTF-8", 950},  {"zh_HK.UTF-8", 950},   {"ko_KR.UTF-8", 949}};
  for (const auto& row : table) {
    LocaleVariables env(nullptr, nullptr, row.locale);
    EXPECT_EQ(row.cp, plat::Locale().GetACP()) << row.locale;
  }
  // LC_ALL before LC_CTYPE before LANG; none set is 1252.
  {
    LocaleVariables env("ru_RU.UTF-8", "el_GR.UTF-8", "ja_JP.UTF-8");
    EXPECT_EQ(1251u, plat::Locale().GetACP());
  }
  {
    LocaleVariables env("", "el_GR.UTF-8", "ja_JP.UTF-8");
    EXPECT_EQ(1253u, plat::Locale().GetACP());
  }
  {
    LocaleVariables env(nullptr, nullptr, nullptr);
    EXPECT_EQ(1252u, plat::Locale().GetACP());
  }
}

TEST(AnsiCodePage, AnsiTextDecodesInTheLocalesCodePage) {
  {
    LocaleVariables env(nullptr, nullptr, "en_US.UTF-8");
    EXPECT_EQ(u"Caf\u00E9 \u20AC", Decode(CP_ACP, "Caf\xE9 \x80"));
    EXPECT_EQ(u"Caf\u00E9", Decode(CP_THREAD_ACP, "Caf\xE9", MB_ERR_INVALID_CHARS));
    // Bytes the code page leaves unassigned are still characters.
    EXPECT_EQ(u"\u0081\u008D", Decode(CP_ACP, "\x81\x8D", MB_ERR_INVALID_CHARS));
  }
  {
    LocaleVariables env(nullptr, nullptr, "ru_RU.UTF-8");
    EXPECT_EQ(u"\u041C\u0438\u0440", Decode(CP_ACP, "\xCC\xE8\xF0"));
  }
  // One letter of each single-byte table, and a byte Windows maps to a
  // private-use character.
  const struct {
    UINT cp;
    char byte;
    char16_t unit;
  } letters[] = {{1250, '\xE8', 0x010D}, {1251, '\xC0', 0x0410}, {1252, '\xE9', 0x00E9}, {1253, '\xE1', 0x03B1},
                 {1254, '\xF0', 0x011F}, {1255, '\xE0', 0x05D0}, {1256, '\xC7', 0x0627}, {1257, '\xE0', 0x0105},
                 {1258, '\xD2', 0x0309}, {874, '\xA1', 0x0E01},  {1253, '\xAA', 0xF8F9}};
  for (const auto& l : letters) EXPECT_EQ(std::u16string(1, l.unit), Decode(l.cp, std::string(1, l.byte))) << l.cp;
}

TEST(AnsiCodePage, DoubleByteCodePagesDecodePairs) {
  EXPECT_EQ(u"a\u3042", Decode(932, "a\x82\xA0"));
  EXPECT_EQ(u"\uFF71", Decode(932, "\xB1"));  // a single-byte half-width letter
  EXPECT_EQ(u"\u4F60", Decode(936, "\xC4\xE3"));
  EXPECT_EQ(u"\uAC00", Decode(949, "\xB0\xA1"));
  EXPECT_EQ(u"\u4E2D", Decode(950, "\xA4\xA4"));
  {
    LocaleVariables env(nullptr, "ja_JP.UTF-8", nullptr);
    EXPECT_EQ(u"\u3042", Decode(CP_ACP, "\x82\xA0"));
  }
  // A lead byte without its trail byte is the default character, or an
  // error when invalid characters are refused.
  EXPECT_EQ(u"x\u30FB", Decode(932, "x\x82"));
  EXPECT_EQ(u"x?", Decode(936, "x\x81"));
  EXPECT_EQ(u"", Decode(932, "x\x82", MB_ERR_INVALID_CHARS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), plat::Errors().GetLastError());
  // Code pages without a decoder are refused.
  EXPECT_EQ(u"", Decode(437, "a"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::Errors().GetLastError());
}
