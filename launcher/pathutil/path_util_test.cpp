#include "launcher/pathutil/path_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "libs/ccutility/file/read_whole_file.h"
#include "tests/support/exception_text.h"
#include "tests/support/test_folder.h"

TEST(PathUtil, PathTextRules) {
  enum Op { kNormalize, kNormalizeForward, kDirectory, kBaseName };
  const struct {
    Op op;
    const char* input;
    const char* expected;
  } cases[] = {
      {kNormalize, " \t\r\n", ""},
      {kNormalize, "  a//b/c  ", "a\\b\\c"},
      {kNormalize, "C:/x//y/", "C:\\x\\y\\"},
      {kNormalize, "\\\\server\\share//dir\\\\f", "\\\\server\\share\\dir\\f"},
      {kNormalize, "\\\\\\server/share", "\\\\server\\share"},
      {kNormalize, "//server/share", "\\server\\share"},  // only "\\" marks a network path
      {kNormalizeForward, "a\\b\\\\c", "a/b/c"},
      {kNormalizeForward, "\\\\server\\share\\\\x", "\\\\server/share/x"},
      {kDirectory, "a\\b\\c.txt", "a\\b\\"},
      {kDirectory, "a/b/", "a/"},
      {kDirectory, "a\\", ""},
      {kDirectory, "\\x", "\\"},
      {kDirectory, "name", ""},
      {kBaseName, "dir\\file.tar.gz", "file.tar"},
      {kBaseName, "dir/noext", "noext"},
      {kBaseName, "a.b\\c", "c"},
      {kBaseName, "file.", "file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "op " << c.op << " '" << c.input << "'");
    CCString got = c.op == kNormalize          ? PathUtil::NormalizePath(c.input)
                   : c.op == kNormalizeForward ? PathUtil::NormalizePath(c.input, true)
                   : c.op == kDirectory        ? PathUtil::GetDirectoryPart(c.input)
                                               : PathUtil::GetBaseName(c.input);
    EXPECT_STREQ(got.c_str(), c.expected);
  }
}

TEST(PathUtil, JoinPathRules) {
  const struct {
    const char* folder;
    const char* name;
    bool forwardSlash;
    const char* expected;
  } cases[] = {
      {"a", "b", false, "a\\b"},       {"a\\", "b", false, "a\\b"},
      {"a/", "b/c", false, "a\\b\\c"}, {"a", "/b", false, "\\b"},
      {"", "b", false, "b"},           {"a", "", false, "a\\"},
      {"a\\b", "c", true, "a/b/c"},    {"\\\\srv\\share", "f", false, "\\\\srv\\share\\f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.folder << "' + '" << c.name << "'");
    EXPECT_STREQ(PathUtil::JoinPath(c.folder, c.name, c.forwardSlash).c_str(), c.expected);
  }
}

TEST(PathUtil, CreateFoldersMakesChainsOrReportsTheSystemError) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  EXPECT_STREQ(PathUtil::CreateFolders(".", true).c_str(), ".");
  EXPECT_NO_THROW(PathUtil::CreateFolders(temp.Path(), false));  // exists already

  CCString deep = temp.Join("one/two/three");
  EXPECT_STREQ(PathUtil::CreateFolders(deep, true).c_str(), PathUtil::NormalizePath(deep).c_str());
  EXPECT_TRUE(std::filesystem::is_directory(temp.Native("one/two/three")));
  EXPECT_EQ(errno, 0);

  ASSERT_TRUE(temp.Write("plain", "not a folder"));
  // A file where the folder should be counts as existing, as the runtime reports it.
  EXPECT_NO_THROW(PathUtil::CreateFolders(temp.Join("plain"), false));
  for (const char* name : {"no/such/leaf", "plain/leaf"}) {
    SCOPED_TRACE(name);
    CCString normalized = PathUtil::NormalizePath(temp.Join(name));
    // The error the system gives for this very folder, as the message must show it.
    ASSERT_NE(PathUtil::CreateFolder(normalized), 0);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", unsigned(errno));
    CCString expected("Could not create destination folder ");
    expected.Append(normalized).Append(" due to err ").Append(digits);
    try {
      PathUtil::CreateFolders(temp.Join(name), false);
      ADD_FAILURE() << "no exception";
    } catch (const PathUtil::PathError& e) {
      EXPECT_STREQ(e.what(), expected.c_str());
      EXPECT_STREQ(e.path.c_str(), normalized.c_str());
    }
  }
}

TEST(PathUtil, ExistsWritableDeleteRenameCopyAndReadBytes) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  CCString a = temp.Join("a.txt"), b = temp.Join("b.txt"), c = temp.Join("c.txt");
  const std::string binary("a\0b\r\n\xff\n", 7);  // read back byte for byte
  ASSERT_TRUE(temp.Write("a.txt", "alpha") && temp.Write("b.txt", binary) &&
              temp.Write("c.txt", "gamma") && temp.Write("empty", ""));
  EXPECT_TRUE(PathUtil::ReadWholeFile(temp.Join("empty")).IsEmpty());
  EXPECT_TRUE(PathUtil::FileExists(a));
  EXPECT_FALSE(PathUtil::FileExists(temp.Path()));  // a folder
  EXPECT_FALSE(PathUtil::MakeWritable(temp.Join("missing")));

  TestFolder::MakeReadOnly(temp.Native("a.txt"));
  EXPECT_NE(PathUtil::DeletePath(a, false), 0);
  EXPECT_TRUE(PathUtil::MakeWritable(a));
  EXPECT_FALSE(TestFolder::IsReadOnly(temp.Native("a.txt")));
  TestFolder::MakeReadOnly(temp.Native("a.txt"));
  EXPECT_EQ(PathUtil::DeletePath(a, true), 0);
  EXPECT_FALSE(PathUtil::FileExists(a));

  // Rename never overwrites; copy does.
  EXPECT_NE(PathUtil::RenamePath(b, c), 0);
  EXPECT_STREQ(PathUtil::ReadWholeFile(c).c_str(), "gamma");
  EXPECT_TRUE(PathUtil::CopyPath(b, c));
  EXPECT_EQ(gvtest::Str(PathUtil::ReadWholeFile(c)), binary);
  EXPECT_EQ(PathUtil::RenamePath(b, a), 0);
  EXPECT_FALSE(PathUtil::FileExists(b));
  EXPECT_FALSE(PathUtil::CopyPath(temp.Join("missing"), c));
}

TEST(PathUtil, ReplaceFileOntoReadOnlyAndMissingDestinations) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  CCString source = temp.Join("new.bin"), destination = temp.Join("app.bin");
  ASSERT_TRUE(temp.Write("new.bin", "new content") && temp.Write("app.bin", "old"));
  TestFolder::MakeReadOnly(temp.Native("app.bin"));
  EXPECT_EQ(PathUtil::ReplaceFile(source, destination), 0);
  EXPECT_STREQ(PathUtil::ReadWholeFile(destination).c_str(), "new content");
  EXPECT_FALSE(PathUtil::FileExists(source));
  EXPECT_FALSE(PathUtil::FileExists(CCString(destination).Append(".bak")));

  ASSERT_TRUE(temp.Write("new.bin", "second"));
  EXPECT_EQ(PathUtil::ReplaceFile(source, temp.Join("fresh.bin")), 0);
  EXPECT_STREQ(PathUtil::ReadWholeFile(temp.Join("fresh.bin")).c_str(), "second");
  EXPECT_EQ(PathUtil::ReplaceFile(temp.Join("missing"), temp.Join("other")), 1);
}

TEST(PathUtil, NonAsciiNamesReachTheFileSystemAsUnicode) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  const char* folderName =
      "Gr\xC3\xBC\xC3\x9F"
      "e";  // Grüße
  const char* fileName =
      "Gr\xC3\xBC\xC3\x9F"
      "e/\xE6\x97\xA5\xE6\x9C\xAC.txt";  // 日本.txt
  CCString folder = PathUtil::CreateFolders(temp.Join(folderName), false);
  CCString file = temp.Join(fileName);
  ASSERT_TRUE(WriteWholeFile(temp.Native(fileName), "unicode"));
  EXPECT_TRUE(PathUtil::FileExists(file));

  CCString copy = PathUtil::JoinPath(folder, "\xD0\xBA\xD0\xBE\xD0\xBF\xD0\xB8\xD1\x8F");  // копия
  EXPECT_TRUE(PathUtil::CopyPath(file, copy));
  EXPECT_STREQ(PathUtil::ReadWholeFile(copy).c_str(), "unicode");
  EXPECT_EQ(PathUtil::ReplaceFile(copy, file), 0);
  EXPECT_FALSE(PathUtil::FileExists(copy));
  EXPECT_EQ(PathUtil::DeletePath(file, false), 0);
  EXPECT_FALSE(std::filesystem::exists(temp.Native(fileName)));
}
