#include <gtest/gtest.h>

#include <string>

#include "plugin/trusted_source.h"
#include "tests/support/peer_env.h"

namespace {

// Each case starts from the suffixes it names (the set only grows in the program).
void UseSuffixes(std::initializer_list<const char*> suffixes) {
  cc::MutexLock lock(g_trustMutex);
  g_trustedSuffixes.clear();
  for (const char* s : suffixes)
    g_trustedSuffixes.insert(CCString(s));
}

TEST(IsTrustedSource, TheHostMustEndWithTheSuffixAndThePortMustBeDigits) {
  UseSuffixes({".galvorand.example", ".cdn.example:7000"});
  const struct {
    const char* url;
    bool trusted;
  } cases[] = {
      {"http://launcher.galvorand.example/plugin/", true},
      {"http://launcher.galvorand.example", true},  // no "/" at all
      {"http://LAUNCHER.Galvorand.EXAMPLE/", true},
      {"http://launcher.galvorand.example./plugin/", true},  // one trailing dot
      {"http://launcher.galvorand.example:80/", true},       // the default port written out
      {"http://a.galvorand.example.b.galvorand.example/", true},
      {"https://galvorand.example/", false},  // the leading "." is part of the suffix
      {"http://launcher.galvorand.example:7000/", false},
      {"http://edge.cdn.example:7000/plugin/", true},
      {"http://edge.cdn.example/plugin/", false},
      {"http://launcher.galvorand.example.evil.example/", false},
      {"http://evil.example/.galvorand.example/", false},  // in the path, not the host
      // What the URL parser once read as port 80 of attacker.example.
      {"http://attacker.example:80.galvorand.example/", false},
      {"http://launcher.galvorand.example@evil.example/", false},
      {"http://evil.example?.galvorand.example", false},
      {"launcher.galvorand.example/", false},  // no scheme
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(IsTrustedSource(c.url, ""), c.trusted);
    EXPECT_EQ(IsTrustedSource("", c.url), c.trusted);
  }
}

std::string TrustFolder(const std::string& name) {
  return "http://127.0.0.1:" + gvtest::PeerText("GV_HTTP_PORT") + "/plugin-test/trust/" + name +
         "/";
}

// Both addresses in `folder`, no base and no error text wanted.
int32_t CheckFolder(const std::string& folder) {
  return CheckSourceTrusted(folder.c_str(), folder.c_str(), "", nullptr);
}

TEST(CheckSourceTrusted, FetchesTheSignedListWhenTheHostIsNotKnown) {
  NEED_PEER("GV_HTTP_PORT");
  const std::string port = gvtest::PeerText("GV_HTTP_PORT");
  const std::string base = "http://127.0.0.1:" + port + "/";
  struct Case {
    std::string folder;
    int32_t result;
    std::string error;
  } cases[] = {
      {TrustFolder("unlisted"), kSourceNotTrusted,
       TrustFolder("unlisted") + " was not found in " + TrustFolder("unlisted") + "url.cert"},
      {TrustFolder("wrong-key"), kCertSignatureFailed,
       "Signature check failed on " + TrustFolder("wrong-key") +
           "url.cert. Download was probably corrupt"},
      {TrustFolder("missing"), kCertUnavailable,
       "HTTP::Exception::UnhandledResponse: Not Found (404 - 127.0.0.1) - " +
           TrustFolder("missing") + "url.cert"},
      {TrustFolder("listed"), kSourceTrusted, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    UseSuffixes({".galvorand.example"});
    CCString error = "stale";
    EXPECT_EQ(CheckSourceTrusted(c.folder.c_str(), c.folder.c_str(), c.folder.c_str(), &error),
              c.result);
    EXPECT_EQ(std::string(error.c_str()), c.error);
    EXPECT_EQ(CheckFolder(c.folder), c.result);
  }

  // The listed file had CR LF ends, blank lines and blanks around the names.
  EXPECT_EQ(g_trustedSuffixes,
            (std::set<CCString, CCStringLess>{".galvorand.example", ".extra.example",
                                              CCString((".0.0.1:" + port).c_str())}));
  // Added for the rest of the process: no fetch is needed now, not even from a folder
  // without a list.
  EXPECT_EQ(CheckFolder(TrustFolder("missing")), kSourceTrusted);

  // Two different addresses, neither listed.
  UseSuffixes({".galvorand.example"});
  CCString error;
  const std::string other = "http://other.example/x";
  EXPECT_EQ(
      CheckSourceTrusted(TrustFolder("unlisted").c_str(), other.c_str(), base.c_str(), &error),
      kSourceNotTrusted);
  EXPECT_EQ(std::string(error.c_str()), "Neither " + other + " nor " + base + " was found in " +
                                            TrustFolder("unlisted") + "url.cert");
  // A trusted address needs no list at all.
  EXPECT_EQ(CheckSourceTrusted("http://127.0.0.1:1/", "http://a.galvorand.example/", "", &error),
            kSourceTrusted);
  EXPECT_TRUE(error.IsEmpty());
}

}  // namespace
