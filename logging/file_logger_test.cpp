#include "logging/file_logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/read_whole_file.h"
#include "tests/support/exception_text.h"
#include "tests/support/test_folder.h"

namespace {

// The file's lines without their "\r\n".
std::vector<std::string> Lines(const CCString& path) {
  std::string text = gvtest::Str(PathUtil::ReadWholeFile(path));
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  EXPECT_EQ(at, text.size()) << "text after the last \\r\\n";
  return lines;
}

// "**** Starting at Www Mmm dd hh:mm:ss yyyy with version <version> ****", the day written
// "05" by the Windows runtime and " 5" by the host's.
void ExpectBanner(const std::string& line, const std::string& version) {
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      line, m,
      std::regex(
          R"(\*\*\*\* Starting at (Sun|Mon|Tue|Wed|Thu|Fri|Sat) )"
          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|0[1-9]|[12]\d|3[01]) )"
          R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d 2\d{3} with version (.*) \*\*\*\*)")))
      << line;
  EXPECT_EQ(m[5].str(), version);
}

}  // namespace

TEST(FileLogger, BannerPrefixesAndLineEnds) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  CCString path = temp.Join("no/such/folder/Galvorand.log");
  CCSharedPtr<FileLogger> logger(new FileLogger(path, 0));
  EXPECT_FALSE(PathUtil::FileExists(path));  // nothing happens before the first message
  for (int level = 0; level <= 8; ++level)
    logger->LogF(level, __LINE__, "Main", "level %d", level);
  logger->Log(2, __LINE__, "Main", "100% finished text");
  logger->Finish(100);

  std::vector<std::string> lines = Lines(path);
  ASSERT_FALSE(lines.empty());
  ExpectBanner(lines[0], "4.0.0.320");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"level 0", "level 1", "level 2", "level 3",
                                      "*TraceWarning: level 4", "*Warning: level 5", "level 6",
                                      "*Error: level 7", "*Error: level 8", "100% finished text"}));
}

// Each run appends, even to a file left read-only, and starts with one banner of its own.
TEST(FileLogger, RunsAppendThroughAReadOnlyFileAndReopeningWritesNoSecondBanner) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  CCString path = temp.Join("app.log");
  ASSERT_TRUE(temp.Write("app.log", "old line\r\n"));
  TestFolder::MakeReadOnly(temp.Native("app.log"));
  {
    CCSharedPtr<FileLogger> first(new FileLogger(path, 2));
    first->Log(1, 0, "", "below the level");
    first->LogF(2, 0, "", "run %s", "one");
    first->Finish(100);
    first->Log(2, 0, "", "run one again");
  }  // destruction writes out the buffer
  {
    CCSharedPtr<FileLogger> second(new FileLogger(path, 2));
    second->version = "5.1.2.3";  // the application's version arrives before any message
    second->Log(5, 0, "", "run two");
  }
  std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "old line");
  ExpectBanner(lines[1], "4.0.0.320");
  EXPECT_EQ(lines[2], "run one");
  EXPECT_EQ(lines[3], "run one again");
  ExpectBanner(lines[4], "5.1.2.3");
  EXPECT_EQ(lines[5], "*Warning: run two");
}
