#include "libs/ccutility/file/cc_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>

#include "tests/support/exception_text.h"
#include "tests/support/test_folder.h"

namespace {

std::string Pattern(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i)
    text[i] = char('a' + (i * 7 + i / 26) % 26);
  return text;
}

// Each case works in a fresh temporary folder, removed afterwards.
class InTempFolder : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(temp.IsValid()); }
  TestFolder temp;
};
using File = InTempFolder;
using BufferedFile = InTempFolder;

}  // namespace

TEST_F(File, OpenRecoversFromMissingFoldersAndReadOnlyFiles) {
  cc::File file;
  CCString nested = temp.Join("x/y/z.bin");
  EXPECT_FALSE(file.Open(nested, cc::File::kWrite, false, false));
  EXPECT_FALSE(file.Open(nested, cc::File::kRead, true, true));  // read mode never recovers
  EXPECT_FALSE(std::filesystem::exists(temp.Native("x")));
  EXPECT_EQ(gvtest::WhatOf<cc::File::Exception>([&] { cc::File missing(nested, cc::File::kRead); }),
            std::string("Cannot open file - ") + nested.c_str() + " (2)");
  ASSERT_TRUE(file.Open(nested, cc::File::kWrite, false, true));
  file.Write("made");
  file.Close();

  TestFolder::MakeReadOnly(temp.Native("x/y/z.bin"));
  // Windows refuses to write a read-only file even to administrators (so does the host
  // build); Wine running as root lets it through, and then nothing needs clearing.
  bool refused = !file.Open(nested, cc::File::kAppend, false, true);
  int error = errno;
  file.Close();
  if (refused) {
    EXPECT_EQ(error, EACCES);
  }
  ASSERT_TRUE(file.Open(nested, cc::File::kAppend, true, false));
  EXPECT_EQ(TestFolder::IsReadOnly(temp.Native("x/y/z.bin")), !refused);
  EXPECT_EQ(file.Tell(), 4u);  // append starts at the end
  file.Write(CCString("+more"));
  file.Close();
  EXPECT_EQ(temp.Read("x/y/z.bin"), "made+more");
}

TEST_F(File, SeeksEnsureSizeAndAppendFile) {
  CCString path = temp.Join("seek.bin");
  cc::File file(path, cc::File::kWrite);
  file.EnsureSize(1000);
  EXPECT_EQ(file.GetSize(), 1000);
  EXPECT_EQ(file.Tell(), 0u);
  EXPECT_EQ(file.Printf("%d-%s", 42, "x"), 4);
  EXPECT_EQ(file.Seek(998), 0);
  EXPECT_EQ(file.Put('Z'), 1u);
  EXPECT_EQ(file.SeekFromEnd(-10), 0);
  EXPECT_EQ(file.SeekRelative(-90), 0);
  EXPECT_EQ(file.Tell(), 900u);
  EXPECT_NE(file.SeekRelative(-5000), 0);  // before the start: refused, nothing moves
  EXPECT_EQ(file.Tell(), 900u);

  std::string big = Pattern(65536 * 2 + 123);  // more than one piece, not a whole number
  {
    cc::File source(temp.Join("big.bin"), cc::File::kWrite);
    source.Write(big.data(), big.size());
  }
  file.SeekFromEnd(0);
  file.AppendFile(temp.Join("big.bin"));
  EXPECT_THROW(file.AppendFile(temp.Join("missing.bin")), cc::File::Exception);
  file.Close();
  std::string content = temp.Read("seek.bin");
  ASSERT_EQ(content.size(), 1000 + big.size());
  EXPECT_EQ(content.substr(0, 4), "42-x");
  EXPECT_EQ(content.find_first_not_of('\0', 4), 998u);
  EXPECT_EQ(content.substr(1000), big);

  cc::File reader(path, cc::File::kRead);
  char piece[200];
  EXPECT_EQ(reader.SeekFromEnd(-100), 0);
  EXPECT_FALSE(reader.IsEOF());
  EXPECT_EQ(reader.Read(piece, sizeof piece), 100u);
  EXPECT_TRUE(reader.IsEOF());
  EXPECT_EQ(reader.Write("no"), 0u);  // read mode
}

// Random seeks, reads, writes and formatted writes (short ones inside the buffer, long ones
// across its edge) of every length, checked against a string holding what the file must hold.
TEST_F(BufferedFile, RandomSeeksMatchAModel) {
  CCString path = temp.Join("model.bin");
  std::mt19937 random(1234);
  for (uint32_t capacity : {1u, 5u, 16u, 100u}) {
    SCOPED_TRACE(testing::Message() << "capacity " << capacity);
    std::string model;
    size_t position = 0, size = 0;  // a seek past the end raises the size too
    {
      cc::BufferedFile file(capacity);
      ASSERT_TRUE(file.Open(path, cc::File::kWrite, false, false));
      for (int step = 0; step < 400; ++step) {
        if (random() % 3 == 0) {
          position = random() % (model.size() + 8);
          ASSERT_EQ(file.Seek(position), 0);
        } else if (random() % 3 == 0) {
          // Mostly short steps back, which land inside the write buffer.
          int64_t back = -int64_t(random() % (std::min<size_t>(position, 2 * capacity) + 1));
          ASSERT_EQ(file.SeekRelative(back), 0);
          position = size_t(int64_t(position) + back);
        } else {
          std::string text = Pattern(3 + random() % (capacity * 2 + 3)).substr(random() % 3);
          int kind = int(random() % 3);
          if (kind == 0) {
            ASSERT_EQ(file.Write(text.data(), text.size()), text.size());
          } else {
            if (kind == 1)
              text.resize(std::min<size_t>(text.size(), 1 + random() % 3));
            ASSERT_EQ(file.Printf("%s", text.c_str()), int(text.size()));
          }
          model.resize(std::max(model.size(), position + text.size()), '\0');
          model.replace(position, text.size(), text);
          position += text.size();
        }
        ASSERT_EQ(file.Tell(), position) << "step " << step;
        size = std::max(size, position);
        ASSERT_EQ(file.GetSize(), int64_t(size)) << "step " << step;
        if (step % 25 == 24) {
          // Nothing buffered may be lost, however the steps before mixed the buffer up.
          file.Flush();
          ASSERT_EQ(temp.Read("model.bin"), model) << "step " << step;
        }
      }
    }
    ASSERT_EQ(temp.Read("model.bin"), model);

    cc::BufferedFile file(capacity);
    ASSERT_TRUE(file.Open(path, cc::File::kRead, false, false));
    for (int step = 0; step < 300; ++step) {
      size_t target = random() % (model.size() + 1);
      if (step % 2)
        ASSERT_EQ(file.SeekRelative(int64_t(target) - int64_t(file.Tell())), 0);
      else
        ASSERT_EQ(file.Seek(target), 0);
      char buffer[256];
      size_t got = file.Read(buffer, std::min<size_t>(1 + random() % (capacity * 2 + 1), 256));
      ASSERT_EQ(std::string(buffer, got), model.substr(target, got)) << "step " << step;
      ASSERT_TRUE(got > 0 || target == model.size()) << "step " << step;
      ASSERT_EQ(file.Tell(), target + got);
    }
    char last;
    ASSERT_EQ(file.Seek(model.size()), 0);
    EXPECT_EQ(file.Read(&last, 1), 0u);
    EXPECT_TRUE(file.IsEOF());
  }
}

TEST_F(BufferedFile, SmallFileGetsASmallBuffer) {
  CCString path = temp.Join("ten.bin");
  cc::File(path, cc::File::kWrite).Write("0123456789");
  cc::BufferedFile file(cc::BufferedFile::kDefaultCapacity);
  ASSERT_TRUE(file.Open(path, cc::File::kRead, false, false));
  char text[16];
  ASSERT_EQ(file.Read(text, 1), 1u);
  EXPECT_GT(file.AllocatedBytes(), 0u);
  EXPECT_LE(file.AllocatedBytes(), 10u);
  EXPECT_EQ(file.Read(text + 1, sizeof text - 1), 9u);
  EXPECT_EQ(std::string(text, 10), "0123456789");
  file.Close();
  EXPECT_EQ(file.AllocatedBytes(), 0u);
}

TEST_F(BufferedFile, AppendKeepsContentAndFlushWritesOut) {
  CCString path = temp.Join("log.txt");
  cc::File(path, cc::File::kWrite).Write("first\r\n");
  cc::BufferedFile file(1 << 20);
  ASSERT_TRUE(file.Open(path, cc::File::kAppend, true, true));
  file.Write("second\r\n");
  EXPECT_EQ(file.GetSize(), 15);
  EXPECT_EQ(temp.Read("log.txt"), "first\r\n");  // still in the buffer
  file.Flush();
  EXPECT_EQ(temp.Read("log.txt"), "first\r\nsecond\r\n");
  // Reading back through the same append stream, then writing again, still appends.
  ASSERT_EQ(file.Seek(0), 0);
  char head[5];
  ASSERT_EQ(file.Read(head, 5), 5u);
  EXPECT_EQ(std::string(head, 5), "first");
  file.Write("third");
  file.Close();
  EXPECT_EQ(temp.Read("log.txt"), "first\r\nsecond\r\nthird");
}
