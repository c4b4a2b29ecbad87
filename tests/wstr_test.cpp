#include <gtest/gtest.h>

#include "platform/wstr.h"

TEST(WideText, Utf8RoundTripsAcrossPlanes) {
  const std::string text = "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  const WString wide = wstr::FromUtf8(text);
  EXPECT_EQ(12u, wide.size());  // the last character takes a surrogate pair
  EXPECT_EQ(text, wstr::ToUtf8(wide));
}

TEST(WideText, MalformedInputDoesNotLoseBytes) {
  // A stray continuation byte and a cut sequence come through as Latin-1.
  const WString wide = wstr::FromUtf8("a\x80" "b\xE2\x82");
  ASSERT_EQ(5u, wide.size());
  EXPECT_EQ(0x80, wide[1]);
  EXPECT_EQ(0xE2, wide[3]);
  // An unpaired surrogate becomes the replacement character.
  const WCHAR lone[] = {0xD800, 'x', 0};
  EXPECT_EQ("\xEF\xBF\xBDx", wstr::ToUtf8(lone));
}

TEST(WideText, CaseFoldingIsAsciiOnly) {
  EXPECT_TRUE(wstr::EqualsNoCase(WSTR("OUTLOOK.EXE"), WSTR("outlook.exe")));
  EXPECT_FALSE(wstr::EqualsNoCase(WSTR("outlook.ex"), WSTR("outlook.exe")));
  EXPECT_EQ(0u, wstr::Len(nullptr));
}
