#include "launcher/text/cc_string.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

TEST(CCString, CopyAndAssignShareAndAppendDetaches) {
  CCString a("abc");
  CCString b(a);
  EXPECT_TRUE(a.SharesBufferWith(b));
  b.Append("def");
  EXPECT_STREQ(a.c_str(), "abc");
  EXPECT_STREQ(b.c_str(), "abcdef");
  EXPECT_FALSE(a.SharesBufferWith(b));

  // Assignment shares too, and ORs in the flags except the number base.
  CCString target;
  target.SetFlags(CCString::kBaseHex);
  CCString source("X");
  source.SetFlags(CCString::kIgnoreCase | CCString::kBaseOctal);
  target = source;
  EXPECT_TRUE(target.SharesBufferWith(source));
  EXPECT_EQ(target.Flags(), CCString::kIgnoreCase | CCString::kBaseHex);
  target = "text";  // a new buffer, flags kept
  EXPECT_FALSE(target.SharesBufferWith(source));
  EXPECT_EQ(target.Flags(), CCString::kIgnoreCase | CCString::kBaseHex);
}

TEST(CCString, EmptyNullSelfAndBinaryAppends) {
  CCString none;
  CCString null(static_cast<const char*>(nullptr));
  EXPECT_STREQ(none.c_str(), "");
  EXPECT_EQ(null.Length(), 0u);
  none.Append(static_cast<const char*>(nullptr)).Append("");
  EXPECT_TRUE(none.IsEmpty());
  EXPECT_TRUE(none == null);

  CCString s("ab");
  s.Append(s);
  EXPECT_STREQ(s.c_str(), "abab");
  s.Append(s.c_str() + 1, 2);  // bytes from its own buffer
  EXPECT_STREQ(s.c_str(), "ababba");
  CCString bin("x\0y", 3);
  EXPECT_EQ(bin.Length(), 3u);
  s.Prepend(">");
  EXPECT_STREQ(s.c_str(), ">ababba");
}

TEST(CCString, CaseFlagDrivesComparisonsAndMapOrder) {
  CCString plain("Hello");
  CCString folded("Hello");
  folded.SetFlags(CCString::kIgnoreCase);
  EXPECT_NE(plain.Compare("HELLO"), 0);
  EXPECT_EQ(folded.Compare("HELLO"), 0);
  EXPECT_TRUE(folded.StartsWith("hE"));
  EXPECT_FALSE(plain.StartsWith("hE"));
  EXPECT_TRUE(plain.StartsWith(""));
  EXPECT_LT(CCString("abc").Compare("abd"), 0);
  EXPECT_GT(CCString("abcd").Compare("abc"), 0);

  // Map order folds case when either key does.
  std::map<CCString, int, CCStringLess> m;
  CCString key("Server");
  key.SetFlags(CCString::kIgnoreCase);
  m[key] = 1;
  CCString probe("SERVER");
  probe.SetFlags(CCString::kIgnoreCase);
  EXPECT_EQ(m.count(probe), 1u);
  EXPECT_TRUE(CCString("ab") < CCString("abc"));
  EXPECT_FALSE(CCString("abc") < CCString("ab"));
  EXPECT_TRUE(CCString("B") < CCString("a"));  // byte-wise without the flag
}

TEST(CCString, SubstringAndFindBounds) {
  CCString hello("hello");
  EXPECT_STREQ(hello.Substring(1, 3).c_str(), "ell");
  EXPECT_STREQ(hello.Substring(3, 100).c_str(), "lo");
  EXPECT_STREQ(hello.Substring(5).c_str(), "");
  EXPECT_STREQ(hello.Substring(9, 1).c_str(), "");
  CCString s("a/b\\c/d");
  EXPECT_EQ(s.FindFirstOf("/\\"), 1);
  EXPECT_EQ(s.FindFirstOf("/\\", 2), 3);
  EXPECT_EQ(s.FindLastOf("/\\"), 5);
  EXPECT_EQ(s.FindLastOf("/\\", 4), 3);
  EXPECT_EQ(s.FindLastOf("/\\", 100), 5);
  EXPECT_EQ(s.FindFirstOf("x"), CCString::kNotFound);
  CCString t("abcABCabc");
  EXPECT_EQ(t.FindLast("abc"), 6);
  EXPECT_EQ(t.FindLast("ABC"), 3);
  EXPECT_EQ(t.Find("ABC", 4, true), 6);
  EXPECT_EQ(t.FindLast("zz"), CCString::kNotFound);
}

TEST(CCString, TrimSplitReplace) {
  CCString s(" \t\r\nx \t\r\n");
  EXPECT_STREQ(s.Trim().c_str(), "x");
  CCString white(" \t ");
  EXPECT_TRUE(white.Trim().IsEmpty());

  CCString words("a b");
  char sep = 'z';
  EXPECT_STREQ(words.SplitOff(" ", &sep).c_str(), "a");
  EXPECT_EQ(sep, ' ');
  EXPECT_STREQ(words.c_str(), "b");
  CCString one("ab");
  EXPECT_STREQ(one.SplitOff(" ", &sep).c_str(), "ab");
  EXPECT_EQ(sep, '\0');
  EXPECT_TRUE(one.IsEmpty());

  CCString r("aaa");
  EXPECT_STREQ(r.ReplaceAll("aa", "b").c_str(), "ba");
  CCString r2("x.y.z");
  EXPECT_STREQ(r2.ReplaceAll(".", "::").c_str(), "x::y::z");
}

TEST(CCString, ParseIntegerTable) {
  struct Case {
    const char* text;
    int base;
    int64_t want;
  } cases[] = {
      {"101b", 0, 5},    {"0x1F", 0, 31},  {"017", 0, 15},   {"-12", 0, -12}, {"", 0, 0},
      {"12ab", 10, 12},  {"0x1F", 16, 31}, {"0x", 16, 0},    {"ff", 16, 255}, {"0", 0, 0},
      {"-0x10", 0, -16}, {"19", 8, 1},     {"zz", 36, 1295},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CCString::ParseInteger(c.text, -1, c.base), c.want);
  }
  EXPECT_EQ(CCString::ParseInteger("1234", 2, 10), 12);
  EXPECT_EQ(CCString::ParseInteger("99", 0, 10), 0);
  // No overflow check: wraps in 64 bits.
  EXPECT_EQ(CCString::ParseInteger("18446744073709551617", -1, 10), 1);
}

TEST(CCString, AppendNumberTable) {
  struct Case {
    int64_t value;
    int base, width;
    bool isSigned;
    const char* want;
  } cases[] = {
      {13, 16, 4, true, "000D"},
      {-42, 10, 0, true, "-42"},
      {-42, 10, 5, true, "-00042"},
      {5, 2, 8, false, "00000101"},
      {255, 99, 0, true, "255"},
      {0, 10, 0, true, "0"},
      {-1, 16, 0, true, "FFFFFFFFFFFFFFFF"},
      {-1, 16, 20, true, "FFFFFFFFFFFFFFFFFFFF"},  // padded with the highest digit
      {-1, 10, 0, false, "18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    CCString s;
    s.AppendNumber(c.value, c.base, c.width, c.isSigned);
    EXPECT_STREQ(s.c_str(), c.want);
  }
  CCString big;
  big.AppendNumber(1, 10, 99);  // the width is capped at 32
  EXPECT_EQ(big.Length(), 32u);
  CCString octal;
  octal.SetFlags(CCString::kBaseOctal);
  octal.AppendNumber(8, 0);
  EXPECT_STREQ(octal.c_str(), "10");
}

TEST(CCString, ResizeReceivesAndCutsBack) {
  CCString s("head:");
  CCString shared(s);
  char* p = s.Resize(9);
  memcpy(p + 5, "body", 4);
  EXPECT_STREQ(s.c_str(), "head:body");
  EXPECT_STREQ(shared.c_str(), "head:");
  s.Resize(7);
  EXPECT_STREQ(s.c_str(), "head:bo");
  EXPECT_STREQ(CCString::Format("%s=%d", "n", 42).c_str(), "n=42");
  CCString longText = CCString::Format("%0300d", 7);
  EXPECT_EQ(longText.Length(), 300u);
}

TEST(CCString, CopiesAcrossThreadsKeepCountsRight) {
  CCString shared("shared text");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared] {
      for (int i = 0; i < 10000; ++i) {
        CCString copy(shared);
        CCString other = copy;
        other.Append("!");  // detaches
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_STREQ(shared.c_str(), "shared text");
}
