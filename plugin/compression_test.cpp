#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/cc_compression.h"
#include "plugin/cc_lzma.h"

namespace {

// Containers as the publisher's tools write them (LZMA-alone, size unknown, end marker).
// "abc" 3,000 times: a 64-byte container for 9,000 bytes of output.
const char kRepeatedHex[] =
    "5d00008000ffffffffffffffff00309888ad4b3712a33185ddfa5304edebdf42b812f31fea98ae810116ef64"
    "c4d600c64de9e45d4c2a12b7d9fbffff79a80000";
// "line N of the plug-in\n" for N = 0..399: literals and matches of many distances.
const char kLinesHex[] =
    "5d00008000ffffffffffffffff00361a4a1f08a026034d069df8b2a5acb0447fc731a6493554766221a47d48"
    "b4874221469e589b9c87dcd5df237ae863ddfe11991019245fe2232eed496c17504bbc088bd50db08158338e"
    "249e62fd74ebda4af6f26fdad44ce1853d61ec5d6660bd946832b964328767eeb88ee21fe4a0f5acccd9643c"
    "203b501a044c63c2d85edca04604dff2e0dc2cf9326b893b641f8389f40fb00263aea5e34a7ad70269f65c35"
    "e1450517ffb618dd8d0e1ac784a71a62f01d33c9dd8ab85faa982acdcf259a9dcde25ee280a3e586dd678ecb"
    "659a9cde53d6bf522bca398b6f4778b1c116f474a62ca49f046674568943540d6f0b30b88dc9ad26354c1169"
    "b1a19901e58b2b15050ef078cacb79a3ec31bbe5375e9690f9dc150e4424572c50406473ab3e2107b558d78b"
    "3b01f2110c2bdf396793de59135c8c5c493fb9c65df71cde43725e81716fd3f8719d195d3fbac05c1c7e7baa"
    "2ec8c95413da756e33e99248ee3cb56bd66cf558007ede93e05855f57a18fa0b0f1c34563ae74cdd0b89b462"
    "cb9143ebaf84fffe64ab19";

std::string FromHex(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    out += char(std::stoi(std::string(hex + i, 2), nullptr, 16));
  return out;
}

std::string RepeatedText() {
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "abc";
  return text;
}

std::string LinesText() {
  std::string text;
  for (int i = 0; i < 400; ++i)
    text += "line " + std::to_string(i) + " of the plug-in\n";
  return text;
}

std::string Decompress(const std::string& container, int32_t* state = nullptr) {
  CCLZMA lzma;
  CCString out = CCCompression::Run(lzma, CCString(container.data(), container.size()));
  if (state)
    *state = lzma.state;
  return std::string(out.c_str(), out.Length());
}

// Overwrites the little-endian field at `offset` of a container.
std::string WithField(std::string container, size_t offset, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    container[offset + i] = char(value >> (8 * i));
  return container;
}

TEST(CCLZMA, DecodesContainersOfThePublishersToolsKeepsTheirCRCAndCancels) {
  CCLZMA lzma;
  uint32_t crc = 0;
  lzma.crcOut = &crc;
  const std::string container = FromHex(kRepeatedHex);
  CCString out = CCCompression::Run(lzma, CCString(container.data(), container.size()));
  const std::string text = RepeatedText();
  EXPECT_EQ(std::string(out.c_str(), out.Length()), text);
  EXPECT_EQ(lzma.state, CCCompression::kFinished);
  EXPECT_EQ(crc, CCCompression::UpdateCRC32(0, reinterpret_cast<const uint8_t*>(text.data()),
                                            text.size()));
  EXPECT_EQ(CCCompression::UpdateCRC32(0, reinterpret_cast<const uint8_t*>("123456789"), 9),
            0xCBF43926u);
  // Cancelled before it starts: nothing.
  volatile bool cancel = true;
  lzma.cancelFlag = &cancel;
  EXPECT_TRUE(CCCompression::Run(lzma, CCString(container.data(), container.size())).IsEmpty());
  EXPECT_EQ(lzma.state, CCCompression::kCancelled);
}

TEST(CCLZMA, HeaderFieldsTheDecoderMustHonour) {
  const std::string lines = FromHex(kLinesHex);
  struct Case {
    const char* what;
    std::string container;
    std::string expected;
  } cases[] = {
      // The SDK raises a dictionary of 0 to its minimum, which holds every distance here.
      {"dictionary size 0", WithField(lines, 1, 0, 4), LinesText()},
      // A hostile dictionary size: the dictionary grows only with the real output.
      {"dictionary size 4 GiB", WithField(lines, 1, 0xFFFFFFFF, 4), LinesText()},
      {"size given", WithField(lines, 5, LinesText().size(), 8), LinesText()},
      {"size 0", WithField(lines, 5, 0, 8), ""},
      // The end marker comes before the announced size: broken.
      {"size beyond the stream", WithField(lines, 5, uint64_t(1) << 62, 8), ""},
      {"properties 225", WithField(lines, 0, 225, 1), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t state = -1;
    std::string out = Decompress(c.container, &state);
    EXPECT_EQ(out, c.expected);
    if (c.expected.empty() && std::string(c.what) != "size 0") {
      EXPECT_EQ(state, CCCompression::kRunning);
    }
  }
}

TEST(CCLZMA, EveryTruncationFailsInsteadOfWaiting) {
  for (const char* hex : {kRepeatedHex, kLinesHex}) {
    const std::string full = FromHex(hex);
    for (size_t length = 0; length < full.size(); ++length) {
      SCOPED_TRACE(length);
      int32_t state = -1;
      EXPECT_EQ(Decompress(full.substr(0, length), &state), "");
      EXPECT_EQ(state, CCCompression::kRunning);
    }
  }
  // With the size known, a stream cut before it is complete fails too.
  const std::string sized = WithField(FromHex(kLinesHex), 5, LinesText().size(), 8);
  EXPECT_EQ(Decompress(sized.substr(0, sized.size() / 2)), "");
}

TEST(CCLZMA, CorruptedStreamsEndAsFailures) {
  const std::string lines = FromHex(kLinesHex);
  int failures = 0;
  for (size_t at = CCLZMA::kHeaderSize; at < lines.size(); ++at) {
    std::string broken = lines;
    broken[at] = char(broken[at] ^ 0x5A);
    std::string out = Decompress(broken);
    // Without a checksum some flips decode to other text; none may crash or hang, and none
    // may pass as the original.
    EXPECT_NE(out, LinesText()) << at;
    failures += out.empty();
  }
  EXPECT_GT(failures, 0);
}

TEST(CCLZMA, StepsTakeInputAndGiveOutputInPiecesOfAnySize) {
  const std::string container = FromHex(kLinesHex);
  const std::string expected = LinesText();
  for (uint32_t piece = 1; piece <= 17; ++piece) {
    SCOPED_TRACE(piece);
    CCLZMA lzma;
    CCCompression::Tracker& tracker = *lzma.tracker;
    ASSERT_TRUE(lzma.BeginDecompression());
    std::string out;
    uint8_t room[7];
    size_t fed = 0;
    int32_t answer = CCCompression::kGoOn;
    for (int guard = 0; guard < 100000 && answer == CCCompression::kGoOn; ++guard) {
      if (tracker.GetInputLeft() == 0 && fed < container.size()) {
        uint32_t n = uint32_t(std::min<size_t>(piece, container.size() - fed));
        tracker.SetNextInput(reinterpret_cast<const uint8_t*>(container.data()) + fed);
        tracker.SetInputLeft(n);
        fed += n;
      }
      tracker.SetNextOutput(room);
      tracker.SetOutputRoom(sizeof room);
      answer = lzma.DecompressionStep();
      out.append(reinterpret_cast<char*>(room), tracker.GetNextOutput() - room);
    }
    lzma.EndDecompression();
    EXPECT_EQ(answer, CCCompression::kStreamFinished);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(tracker.GetStream()->totalOutput, expected.size());
    EXPECT_EQ(tracker.GetStream()->totalInput, container.size());
  }
}

}  // namespace
