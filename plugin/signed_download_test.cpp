#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "launcher/pathutil/path_util.h"
#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"
#include "tests/support/exception_text.h"
#include "tests/support/peer_env.h"
#include "tests/support/test_folder.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

std::string Web(const std::string& path) {
  return "http://127.0.0.1:" + gvtest::PeerText("GV_HTTP_PORT") + path;
}

std::string Fault(const std::string& path) {
  return "http://127.0.0.1:" + gvtest::PeerText("GV_FAULT_PORT") + path;
}

// The test web server's access log (a Unix path, seen by Windows programs as drive Z:).
std::string AccessLog() {
  std::string path = gvtest::PeerText("GV_PEERS_DIR") + "/nginx-access.log";
#if defined(_WIN32)
  path = "Z:" + path;
#endif
  return ReadWholeFile(std::filesystem::u8path(path));
}

// Records the waits between attempts instead of sleeping through them; the client's own
// waits (it asks a 5xx answer again itself) are only counted.
std::vector<uint32_t> g_waits;
int g_clientWaits = 0;
void RecordWait(uint32_t ms) {
  g_waits.push_back(ms);
}
void CountClientWait(uint32_t) {
  ++g_clientWaits;
}

auto FilesIn(const std::filesystem::path& folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

class FetchSignedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_waits.clear();
    g_clientWaits = 0;
    g_fetchSignedWait = RecordWait;
    g_fetchSignedClientWait = CountClientWait;
  }
  void TearDown() override {
    g_fetchSignedWait = m_realWait;
    g_fetchSignedClientWait = m_realClientWait;
  }
  void (*m_realWait)(uint32_t) = g_fetchSignedWait;
  void (*m_realClientWait)(uint32_t) = g_fetchSignedClientWait;
};

TEST_F(FetchSignedTest, FailedSignaturesAskAgainPastTheCaches) {
  NEED_PEER("GV_HTTP_PORT");
  NEED_PEER("GV_PEERS_DIR");
  const std::string key = gvtest::UniqueKey();
  CCString error;
  EXPECT_TRUE(
      FetchSigned(Web("/plugin-test/corrupt.sig?key=" + key).c_str(), &error, &g_pluginKey, 2)
          .IsEmpty());
  EXPECT_STREQ(error.c_str(), "Signature check failed");
  // Three requests: as given, then "&cb=" with one letter, then with two.
  const std::string log = AccessLog();
  const std::string target = "/plugin-test/corrupt.sig?key=" + key;
  std::vector<std::string> seen;
  for (size_t at = log.find(target); at != std::string::npos; at = log.find(target, at + 1))
    seen.push_back(log.substr(at, log.find(' ', at) - at));
  ASSERT_EQ(seen.size(), 3u) << log;
  EXPECT_EQ(seen[0], target);
  for (size_t letters = 1; letters <= 2; ++letters) {
    const std::string& url = seen[letters];
    EXPECT_EQ(url.substr(0, target.size() + 4), target + "&cb=");
    EXPECT_EQ(url.size(), target.size() + 4 + letters) << url;
    EXPECT_EQ(url.find_first_not_of("ABCDEFGHIJKLMNOP", target.size() + 4), std::string::npos);
  }
  // The second attempt's letter is kept by the third.
  EXPECT_EQ(seen[2].compare(0, seen[1].size(), seen[1]), 0);
}

TEST_F(FetchSignedTest, EachClassOfFailureHasItsOwnRetryRule) {
  NEED_PEER("GV_HTTP_PORT");
  NEED_PEER("GV_FAULT_PORT");
  struct Case {
    std::string url;
    int32_t retries;
    std::vector<uint32_t> waits;
    const char* errorStart;  // the error text begins with this, ends with " - " + url
  } cases[] = {
      // A client error and a redirection stop after the first attempt.
      {Web("/status-404"), 5, {}, "HTTP::Exception::UnhandledResponse: Not Found (404"},
      {Web("/redirect"), 5, {}, "HTTP::Exception::UnhandledResponse: "},
      // A server error waits its attempt number in seconds after each attempt.
      {Web("/status-503"),
       5,
       {0, 1000, 2000, 3000, 4000, 5000},
       "HTTP::Exception::UnhandledResponse: Service"},
      // Nothing listens there: asked again at once.
      {"http://127.0.0.1:1/plugin", 2, {}, ""},
      // A body cut short is never taken for content.
      {Fault("/cut-body"), 1, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    g_waits.clear();
    CCString error;
    EXPECT_TRUE(FetchSigned(c.url.c_str(), &error, &g_pluginKey, c.retries).IsEmpty());
    EXPECT_EQ(g_waits, c.waits);
    const std::string text = error.c_str();
    EXPECT_EQ(text.compare(0, strlen(c.errorStart), c.errorStart), 0) << text;
    const std::string tail = " - " + c.url;
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  }
}

TEST_F(FetchSignedTest, OddStatusesAndServerErrorsAreAskedAgain) {
  NEED_PEER("GV_FAULT_PORT");
  // "150 Odd" until the query busts the cache; the body then shows the address that worked.
  CCString error;
  CCString body = FetchSigned(Fault("/bust").c_str(), &error, nullptr, 3);
  EXPECT_EQ(gvtest::Str(body).substr(0, 9), "/bust?cb=");
  EXPECT_EQ(body.Length(), 10u);
  EXPECT_TRUE(g_waits.empty());
  // Four 503s, then the body ("&" in the given address is escaped, so the count is in the
  // path). The client asks three times itself before the first attempt fails.
  const std::string key = gvtest::UniqueKey();
  body = FetchSigned(Fault("/flaky/4?key=" + key).c_str(), &error, nullptr, 5);
  EXPECT_STREQ(body.c_str(), "ok\n");
  EXPECT_EQ(g_waits, (std::vector<uint32_t>{0}));
  EXPECT_EQ(g_clientWaits, 3);
}

TEST_F(FetchSignedTest, DownloadsToFileThroughATemporaryName) {
  NEED_PEER("GV_HTTP_PORT");
  TestFolder folder;
  ASSERT_TRUE(folder.IsValid());
  const std::string url = Web("/plugin-test/release/plugin/npwoxact.dll.sig");
  const std::string dll =
      gvtest::Str(FetchSigned(Web("/plugin-test/npwoxact.dll").c_str(), nullptr, nullptr, 0));
  // Over an older file, in a folder that does not exist yet, and without the temporary name.
  const CCString target = folder.Join("sub/npwoxact.dll");
  for (bool throughTemporary : {true, false}) {
    SCOPED_TRACE(throughTemporary);
    if (PathUtil::FileExists(target))
      folder.Write("sub/npwoxact.dll", "old");
    CCString error = "stale";
    EXPECT_TRUE(DownloadSignedToFile(target, url.c_str(), throughTemporary, 1, &error));
    EXPECT_TRUE(error.IsEmpty());
    EXPECT_EQ(folder.Read("sub/npwoxact.dll"), dll);
    EXPECT_EQ(FilesIn(folder.Native("sub")), 1);  // no temporary file left behind
  }
  EXPECT_NE(UniqueTemporaryPath(target), UniqueTemporaryPath(target));

  // A corrupt file never reaches the disk.
  const CCString other = folder.Join("other.dll");
  CCString error;
  EXPECT_FALSE(
      DownloadSignedToFile(other, Web("/plugin-test/corrupt.sig").c_str(), true, 0, &error));
  EXPECT_STREQ(error.c_str(), "Signature check failed");
  EXPECT_FALSE(PathUtil::FileExists(other));

  // A file where the folder should be: the target cannot be opened.
  folder.Write("blocker", "a file");
  const CCString blocked = folder.Join("blocker/npwoxact.dll");
  EXPECT_FALSE(DownloadSignedToFile(blocked, url.c_str(), true, 0, &error));
  EXPECT_EQ(gvtest::Str(error).rfind("Unable to write " + gvtest::Str(blocked) + ".", 0), 0u);
  EXPECT_EQ(FilesIn(folder.Native()), 2);  // other.dll was never written

#if !defined(_WIN32)
  // A disk that fills up halfway through the file (the file size limit makes the system
  // refuse the rest): the old copy stays whole and nothing else is left.
  folder.Write("sub/npwoxact.dll", "old copy");
  struct rlimit previous;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = previous;
  limit.rlim_cur = dll.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool written = DownloadSignedToFile(target, url.c_str(), true, 0, &error);
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousSignal);
  EXPECT_FALSE(written);
  EXPECT_EQ(folder.Read("sub/npwoxact.dll"), "old copy");
  EXPECT_EQ(FilesIn(folder.Native("sub")), 1);
#endif
}

}  // namespace
