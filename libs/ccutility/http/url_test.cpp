#include "libs/ccutility/http/url.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct ParseCase {
  const char* text;
  bool ok;
  const CCString* scheme;
  const char* host;
  int32_t port;
  const char* path;
};

TEST(ParseURL, SplitsSchemeHostPortAndPath) {
  const CCString* http = &cc::HTTPScheme();
  const CCString* https = &cc::HTTPSScheme();
  const ParseCase cases[] = {
      {"downloads.example", true, http, "downloads.example", 80, "/"},
      {"downloads.example/plugin/npwoxact.dll.ver", true, http, "downloads.example", 80,
       "/plugin/npwoxact.dll.ver"},
      {"http://downloads.example/a/b?v=37&x=/y", true, http, "downloads.example", 80,
       "/a/b?v=37&x=/y"},
      {"HTTPS://Host.Example/Path", true, https, "Host.Example", 443, "/Path"},
      {"http://h.example:8080/p", true, http, "h.example", 8080, "/p"},
      {"https://h.example:80", true, https, "h.example", 80, "/"},
      {"http://h.example/p:99", true, http, "h.example", 80, "/p:99"},
      {"127.0.0.1:18080/x", true, http, "127.0.0.1", 18080, "/x"},
      // Failures.
      {"ftp://h.example/", false, nullptr, "", 0, ""},
      {"://h.example/", false, nullptr, "", 0, ""},
      {"httpx://h.example/", false, nullptr, "", 0, ""},
      {"http:///path", false, nullptr, "", 0, ""},
      {"/path", false, nullptr, "", 0, ""},
      {"http://h.example:/p", false, nullptr, "", 0, ""},
      {"http://h.example:0/p", false, nullptr, "", 0, ""},
      {"http://h.example:abc/p", false, nullptr, "", 0, ""},
      {"http://attacker.example:80.galvorand.example/", false, nullptr, "", 0, ""},
      {"http://h.example:65536/", false, nullptr, "", 0, ""},
      {"http:/h.example/p", false, nullptr, "", 0, ""},  // "http:" reads as host and empty port
      {"h.example/redirect?to=http://other.example/", false, nullptr, "", 0, ""},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    cc::URL url;
    url.host = "stale";
    url.port = 1;
    EXPECT_EQ(cc::ParseURL(c.text, url), c.ok);
    EXPECT_EQ(url.scheme, c.scheme);
    EXPECT_STREQ(url.host.c_str(), c.host);
    EXPECT_EQ(url.port, c.port);
    EXPECT_STREQ(url.path.c_str(), c.path);
  }
}

TEST(ParseURL, HostileInputFailsCleanlyOrKeepsEveryByte) {
  cc::URL url;
  // A NUL would let "evil.example\0.good.example" pass a suffix check and connect elsewhere.
  EXPECT_FALSE(cc::ParseURL(CCString("http://evil.example\0.good.example/", 35), url));
  EXPECT_FALSE(cc::ParseURL(CCString("http://h.example/a\0b", 20), url));
  EXPECT_EQ(url.port, 0);
  EXPECT_EQ(url.scheme, nullptr);

  // A 1 MB host and a 1 MB path come through whole.
  std::string host(1 << 20, 'h');
  std::string path = "/" + std::string(1 << 20, 'p');
  std::string text = "http://" + host + ":81" + path;
  ASSERT_TRUE(cc::ParseURL(CCString(text.data(), text.size()), url));
  EXPECT_EQ(url.host.Length(), host.size());
  EXPECT_EQ(url.path.Length(), path.size());
  EXPECT_EQ(url.port, 81);

  // Ports are decimal digits up to 65535; leading zeros are fine.
  EXPECT_FALSE(cc::ParseURL("http://h.example:4294967296/", url));
  EXPECT_TRUE(cc::ParseURL("http://h.example:010/", url));
  EXPECT_EQ(url.port, 10);
}

TEST(ComposeURL, LeavesOutTheDefaultPort) {
  struct Case {
    const CCString* scheme;
    int32_t port;
    const char* expected;
  } const cases[] = {
      {&cc::HTTPScheme(), 80, "http://h.example/p?q=1"},
      {&cc::HTTPScheme(), 8080, "http://h.example:8080/p?q=1"},
      {&cc::HTTPScheme(), 443, "http://h.example:443/p?q=1"},
      {&cc::HTTPSScheme(), 443, "https://h.example/p?q=1"},
      {&cc::HTTPSScheme(), 80, "https://h.example:80/p?q=1"},
      {&cc::HTTPScheme(), 0, ""},
      {nullptr, 80, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    cc::URL url;
    url.scheme = c.scheme;
    url.host = "h.example";
    url.path = "/p?q=1";
    url.port = c.port;
    EXPECT_STREQ(cc::ComposeURL(url).c_str(), c.expected);
  }
}

TEST(EscapeURL, EscapesNineteenCharactersAndNothingElse) {
  // One byte at a time: "%" stays, so text escaped already is left as it is.
  const std::string escaped = "$&+,;@ \"<>#{}|^~[]`";
  for (int byte = 0; byte < 256; ++byte) {
    char c = char(byte);
    SCOPED_TRACE(byte);
    CCString out = cc::EscapeURL(CCString(&c, 1));
    if (escaped.find(c) != std::string::npos) {
      char expected[4];
      std::snprintf(expected, sizeof expected, "%%%02X", byte);
      EXPECT_STREQ(out.c_str(), expected);
    } else {
      ASSERT_EQ(out.Length(), 1u);
      EXPECT_EQ(out[0], c);
    }
  }
}

TEST(EscapeURL, KeepsLengthAndBytesAroundNULs) {
  CCString in("a\0 \0b", 5);
  CCString out = cc::EscapeURL(in);
  ASSERT_EQ(out.Length(), 7u);
  EXPECT_EQ(std::string(out.c_str(), out.Length()), std::string("a\0%20\0b", 7));
  EXPECT_TRUE(cc::EscapeURL(CCString()).IsEmpty());

  std::string big(1 << 20, ' ');
  EXPECT_EQ(cc::EscapeURL(CCString(big.data(), big.size())).Length(), 3u << 20);
}

}  // namespace
