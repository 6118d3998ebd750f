#include "launcher/text/text_helpers.h"

#include <gtest/gtest.h>

TEST(TextHelpers, WideRoundTrip) {
  const char* texts[] = {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80 smile"};
  for (const char* t : texts) {
    SCOPED_TRACE(t);
    CCWideString wide = ToWide(t);
    EXPECT_STREQ(ToUTF8(wide).c_str(), t);
  }
  CCWideString euro = ToWide("\xE2\x82\xAC");
  ASSERT_EQ(euro.Length(), 1u);
  EXPECT_EQ(unsigned(euro.c_str()[0]), 0x20ACu);
  CCWideString smile = ToWide("\xF0\x9F\x98\x80");
  EXPECT_EQ(smile.Length(), 2u);  // a surrogate pair
  EXPECT_TRUE(ToUTF8(nullptr).IsEmpty());
}

TEST(TextHelpers, IsNonAsciiUTF8Table) {
  struct Case {
    const char* text;
    bool want;
  } cases[] = {
      {"ascii only", false},
      {"\xC3\xA9", true},           // two bytes, one sequence
      {"\xC3", false},              // fewer than 2 bytes
      {"\xC3\x28", false},          // bad continuation
      {"\xC0\xAF", false},          // overlong two-byte lead
      {"\xE0\x80\xAF", false},      // overlong three-byte
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF0\x80\x80\xAF", false},  // overlong four-byte
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF itself
      {"ab\xE2\x82", false},        // truncated at the end
      {"\xFF\xFE", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsNonAsciiUTF8(c.text), c.want);
  }
}

TEST(TextHelpers, ByteSwapAndOSVersion) {
  EXPECT_EQ(ByteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_GT(GetOSMajorVersion(), 0);
}
