#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

TEST(TextConversion, RoundTripsValidText) {
  const char* samples[] = {
      "",
      "plain ASCII",
      "Zo\xc3\xab \xc3\x85str\xc3\xb6m",  // two-byte letters
      "\xe2\x82\xac 20",                  // euro sign, three bytes
      "\xf0\x9f\x8e\xae game",            // U+1F3AE, four bytes (a surrogate pair in UTF-16)
      "\xf4\x8f\xbf\xbf",                 // U+10FFFF, the last code point
      "nul\0inside",
  };
  for (const char* sample : samples) {
    const std::string utf8(sample);
    EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8) << utf8;
  }
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(Utf8ToWide(withNul).size(), 3u);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(withNul)), withNul);
}

TEST(TextConversion, WideLengthsFollowThePlatformEncoding) {
  EXPECT_EQ(Utf8ToWide("\xc3\xa9").size(), 1u);
  EXPECT_EQ(Utf8ToWide("\xf0\x9f\x8e\xae").size(), kWideIsUtf16 ? 2u : 1u);
}

TEST(TextConversion, RefusesInvalidUtf8) {
  const char* bad[] = {
      "\xff",              // never valid
      "\x80",              // lone continuation byte
      "\xc0\xaf",          // overlong '/'
      "\xe0\x80\xaf",      // overlong, three bytes
      "\xf0\x80\x80\xaf",  // overlong, four bytes
      "\xed\xa0\x80",      // a surrogate written as UTF-8
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "\xe2\x82",          // cut short
      "ok\xc3",            // cut short at the end
  };
  for (const char* text : bad) {
    EXPECT_THROW(Utf8ToWide(text), std::system_error) << testing::PrintToString(std::string(text));
    EXPECT_FALSE(IsValidUtf8(text));
    EXPECT_THROW(PathFromUtf8(text), std::system_error);
  }
}

TEST(TextConversion, RefusesLoneSurrogates) {
  if (!kWideIsUtf16) GTEST_SKIP() << "surrogates exist only in UTF-16";
  const std::wstring cases[] = {
      std::wstring(1, static_cast<wchar_t>(0xD800)), std::wstring(1, static_cast<wchar_t>(0xDC00)),
      std::wstring{L'a', static_cast<wchar_t>(0xD83C)},                          // high at the end
      std::wstring{static_cast<wchar_t>(0xDF2E), static_cast<wchar_t>(0xD83C)},  // reversed pair
  };
  for (const std::wstring& wide : cases) {
    EXPECT_THROW(WideToUtf8(wide), std::system_error);
  }
  const std::wstring pair{static_cast<wchar_t>(0xD83C), static_cast<wchar_t>(0xDFAE)};
  EXPECT_EQ(WideToUtf8(pair), "\xf0\x9f\x8e\xae");
}

TEST(TextConversion, RefusesCodePointsUtf32CannotHold) {
  if (kWideIsUtf16) GTEST_SKIP() << "only UTF-32 can hold these values";
  const std::wstring cases[] = {
      std::wstring(1, static_cast<wchar_t>(0xD800)),
      std::wstring(1, static_cast<wchar_t>(0x110000)),
  };
  for (const std::wstring& wide : cases) {
    EXPECT_THROW(WideToUtf8(wide), std::system_error);
  }
}

TEST(ReplaceInvalidUtf8, ShowsEachBadByteAsAReplacementCharacter) {
  EXPECT_EQ(ReplaceInvalidUtf8("ok \xc3\xa9"), "ok \xc3\xa9");
  EXPECT_EQ(ReplaceInvalidUtf8("a\xff"
                               "b"),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(ReplaceInvalidUtf8("\xe2\x82"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_TRUE(IsValidUtf8(ReplaceInvalidUtf8("\xc0\xaf\xed\xa0\x80 tail")));
}

}  // namespace
