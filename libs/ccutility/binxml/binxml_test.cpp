#include "libs/ccutility/binxml/binxml.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "logging/assert_logger.h"
#include "tests/support/test_folder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::vector<char>& bytes) {
  return Bytes(bytes.begin(), bytes.end());
}

// Encodes one message with a large enough buffer and returns the bytes on the wire.
template <class Build>
Bytes Encode(Build build, uint32_t threshold = 0, bool omitDefaults = false) {
  std::vector<char> buffer(1 << 17);
  BinXML::Writer writer(buffer.data(), uint32_t(buffer.size()), threshold, omitDefaults);
  build(writer);
  BinXML::StreamingOutput_Memory out;
  EXPECT_TRUE(writer.Send(out));
  EXPECT_EQ(writer.GetTotalSize(), out.Bytes().size());
  return Of(out.Bytes());
}

// Bytes 0, 1, 2 ... of a given length, in pieces of a chosen size, counting its reads.
class PatternSource : public BinXML::Streamable {
 public:
  PatternSource(uint32_t size, uint32_t piece, uint32_t deliver = UINT32_MAX)
      : m_size(size), m_piece(piece), m_deliver(std::min(size, deliver)), m_chunk(piece) {}
  uint32_t GetSize() override { return m_size; }
  void Rewind() override { m_next = 0; }
  const char* Read(uint32_t& length) override {
    length = std::min(m_piece, m_deliver - m_next);
    for (uint32_t i = 0; i < length; ++i)
      m_chunk[i] = char(m_next + i);
    m_next += length;
    ++reads;
    return length ? m_chunk.data() : nullptr;
  }
  int reads = 0;

 private:
  uint32_t m_size, m_piece, m_deliver, m_next = 0;
  std::vector<char> m_chunk;
};

Bytes Pattern(uint32_t size) {
  Bytes bytes(size);
  for (uint32_t i = 0; i < size; ++i)
    bytes[i] = uint8_t(i);
  return bytes;
}

// An item as the wire format lays it out, written independently of the writer.
Bytes Item(uint8_t token, const Bytes& value) {
  Bytes out{token};
  size_t n = value.size();
  if (n <= 0x7F)
    out.push_back(uint8_t(n));
  else if (n <= 0x7EFF)
    out.insert(out.end(), {uint8_t(0x80 | n >> 8), uint8_t(n)});
  else
    out.insert(out.end(), {0xFF, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(BinXMLWriter, LengthFormsAtTheirBorders) {
  struct Case {
    uint32_t length;
    Bytes header;
  } cases[] = {
      {0, {9, 0x00}},
      {127, {9, 0x7F}},
      {128, {9, 0x80, 0x80}},
      {0x7EFF, {9, 0xFE, 0xFF}},
      {0x7F00, {9, 0xFF, 0x00, 0x00, 0x7F, 0x00}},
      {0x12345, {9, 0xFF, 0x00, 0x01, 0x23, 0x45}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes value = Pattern(c.length);
    Bytes wire =
        Encode([&](BinXML::Writer& w) { w.SetToken(9), w.WriteBinary(value.data(), c.length); });
    EXPECT_TRUE(wire == Cat({c.header, value}));
    BinXML::ReaderInput_Memory input(wire.data(), wire.size());
    BinXML::Reader reader(input, wire.size());
    EXPECT_EQ(reader.ReadHeader(), 9);
    EXPECT_EQ(reader.GetValueLength(), c.length);
    CCString read = reader.ReadBinary();
    EXPECT_EQ(Bytes(read.c_str(), read.c_str() + read.Length()), value);
    EXPECT_TRUE(reader.AtEnd());
  }
}

// Writes one item of token 3 holding `value`.
template <class T>
std::function<void(BinXML::Writer&)> Value(T value) {
  return [value](BinXML::Writer& w) mutable { w.SetToken(3), w.Write(value); };
}

TEST(BinXMLWriter, ValueKindsWithAndWithoutOmitDefaults) {
  using W = BinXML::Writer;
  struct Case {
    const char* name;
    std::function<void(W&)> write;
    Bytes wire;
    bool isDefault = false;  // left out in omit-defaults mode
  } cases[] = {
      {"u32 0", Value(uint32_t(0)), {3, 1, 0}, true},
      {"u32 0x1234", Value(uint32_t(0x1234)), {3, 2, 0x12, 0x34}},
      {"u32 max", Value(uint32_t(0xFFFFFFFF)), {3, 4, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"u64 2^56", Value(uint64_t(1) << 56), {3, 8, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"false", Value(false), {3, 1, 0}, true},
      {"true", Value(true), {3, 1, 1}},
      {"abc", Value("abc"), {3, 4, 'a', 'b', 'c', 0}},
      {"empty text", Value(CCString()), {3, 0}, true},
      {"String abc", Value(BinXML::String("abc")), {3, 4, 'a', 'b', 'c', 0}},
      {"empty String", Value(BinXML::String("")), {3, 0}, true},
      {"record of a 0",
       [](W& w) { w.BeginRecord(3), w.SetToken(1), w.Write(uint32_t(0)), w.EndRecord(); },
       {3, 3, 1, 1, 0},
       true},
  };
  for (const Case& c : cases) {
    for (bool omit : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (omit ? " omitted" : " plain"));
      Bytes wire = Encode(
          [&](W& w) {
            c.write(w);
            // A value left out must also clear the pending token.
            w.SetToken(4), w.Write(uint8_t(1));
          },
          0, omit);
      EXPECT_EQ(wire, Cat({omit && c.isDefault ? Bytes() : c.wire, {4, 1, 1}}));
    }
  }
}

TEST(BinXMLWriter, MisuseLogsTheAssertionAndThrows) {
  char buffer[64];
  BinXML::Writer w(buffer, sizeof buffer);
  Vorq::Assert::SimpleLogger logger;  // the assertion text goes to standard error
  auto logs = [](auto misuse, const char* assertion) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(misuse(), BinXML::MissingTokenOrValue);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(assertion), std::string::npos);
  };
  logs([&] { w.Write(uint32_t(1)); },
       "m_nextToken != Token::InvalidTokenValue is false (binxml_writer, ");
  w.SetToken(1);
  logs([&] { w.SetToken(2); }, "m_nextToken == Token::InvalidTokenValue is false (binxml_writer, ");
  logs([&] { w.BeginRecord(2); }, "m_nextToken == Token::InvalidTokenValue is false");
  w.Reset();
  logs([&] { w.EndRecord(); }, "m_depth > 0 is false");
}

// Header record with short items, body record whose attachment takes every length form;
// streamed or not, in pieces of any size, the bytes on the wire are the same. A streamed
// value goes out through a buffer far smaller than itself, read from its source only when
// sent, once per send.
TEST(BinXMLWriter, NestedRecordsWithStreamedValuesMatchTheWireFormat) {
  for (uint32_t attachment : {10u, 200u, 0x7EF0u, 0x9000u}) {
    Bytes expected = Cat({
        Item(1, Cat({Item(2, {8}), Item(3, {'m', 0}), Item(11, {0x65, 0x00})})),
        Item(2, Cat({Item(5, Cat({Item(6, Pattern(attachment)), Item(7, {1}),
                                  Item(8, Pattern(attachment))})),
                     Item(9, {2})})),
        Item(3, {'z', 0}),
    });
    for (uint32_t piece : {1u, 1000u, 0x9000u}) {
      if (piece == 1 && attachment > 200)
        continue;  // byte by byte only where it is cheap
      for (uint32_t threshold : {0u, 8u, 4096u}) {
        SCOPED_TRACE(testing::Message() << attachment << " bytes in pieces of " << piece
                                        << ", threshold " << threshold);
        bool streamed = threshold && attachment >= threshold;
        PatternSource source(attachment, piece), second(attachment, piece);
        std::vector<char> buffer(streamed ? 256 : 0x12100);
        BinXML::Writer w(buffer.data(), uint32_t(buffer.size()), threshold, true);
        w.BeginRecord(1);
        w.SetToken(2), w.Write(uint8_t(8));
        w.SetToken(3), w.Write("m");
        w.SetToken(4), w.Write(uint32_t(0));
        w.SetToken(11), w.Write(uint64_t(0x6500));
        w.EndRecord();
        w.BeginRecord(2);
        w.BeginRecord(5);
        w.SetToken(6), w.Write(source);
        w.SetToken(7), w.Write(true);
        w.SetToken(8), w.Write(second);
        w.EndRecord();
        w.SetToken(9), w.Write(uint32_t(2));
        w.EndRecord();
        w.SetToken(3), w.Write(CCString("z"));
        const int readsPerPass = int((attachment + piece - 1) / piece);
        EXPECT_EQ(source.reads, streamed ? 0 : readsPerPass);
        EXPECT_EQ(w.GetStreamedSize(), streamed ? 2 * attachment : 0);
        EXPECT_EQ(w.GetChunkCount(), streamed ? 5u : 1u);
        EXPECT_EQ(w.GetBufferSize() + w.GetStreamedSize(), expected.size());
        BinXML::StreamingOutput_Memory out;
        ASSERT_TRUE(w.Send(out));
        EXPECT_EQ(Of(out.Bytes()), expected);
        // Sending rewinds the source: a second send gives the same message.
        out.Clear();
        ASSERT_TRUE(w.Send(out));
        EXPECT_EQ(Of(out.Bytes()), expected);
        EXPECT_EQ(source.reads, (streamed ? 2 : 1) * readsPerPass);
      }
    }
  }
}

TEST(BinXMLWriter, ShortSourcesAndSmallBuffersFailWithoutLosingTheSize) {
  // A streamed source that ends early makes the send fail.
  PatternSource shortStreamed(5000, 100, 4000);
  char buffer[64];
  BinXML::Writer streaming(buffer, sizeof buffer, 4096);
  streaming.SetToken(6), streaming.Write(shortStreamed);
  BinXML::StreamingOutput_Memory out;
  EXPECT_FALSE(streaming.Send(out));

  // A copied one throws at once.
  PatternSource shortCopied(100, 10, 50);
  BinXML::Writer copying(buffer, sizeof buffer);
  copying.SetToken(6);
  EXPECT_THROW(copying.Write(shortCopied), BinXML::BadStream);

  // An overflowing buffer still counts the message, including a header widened later.
  auto build = [](BinXML::Writer& w) {
    w.BeginRecord(1);
    for (uint32_t i = 0; i < 100; ++i)
      w.SetToken(2), w.Write(i + 1);
    w.EndRecord();
  };
  Bytes whole = Encode(build);
  BinXML::Writer small(buffer, sizeof buffer);
  build(small);
  EXPECT_TRUE(small.IsOverflowed());
  EXPECT_EQ(small.GetTotalSize(), whole.size());
  EXPECT_FALSE(small.Send(out));
}

TEST(BinXMLStreams, FileStreamReadsInPiecesWithOptionalZero) {
  TestFolder folder;
  ASSERT_TRUE(folder.IsValid());
  for (uint32_t size : {0u, 1u, 1023u, 1024u, 1025u, 5000u}) {
    for (bool zero : {false, true}) {
      SCOPED_TRACE(testing::Message() << size << (zero ? " with zero" : ""));
      Bytes content = Pattern(size);
      ASSERT_TRUE(folder.Write("f.bin", std::string(content.begin(), content.end())));
      std::vector<std::pair<uint32_t, uint32_t>> progress;
      auto report = [](uint32_t done, uint32_t total, void* context) {
        static_cast<decltype(progress)*>(context)->push_back({done, total});
      };
      BinXML::FileStream stream(folder.Join("f.bin"), zero, report, &progress);
      ASSERT_TRUE(stream.IsOpen());
      uint32_t total = size + (zero ? 1 : 0);
      EXPECT_EQ(stream.GetSize(), total);
      Bytes expected = content;
      if (zero)
        expected.push_back(0);
      for (int pass = 0; pass < 2; ++pass) {  // rewinding reads it again
        stream.Rewind();
        progress.clear();
        Bytes read;
        uint32_t length;
        while (const char* piece = stream.Read(length))
          read.insert(read.end(), piece, piece + length);
        EXPECT_EQ(read, expected);
        EXPECT_EQ(progress.size(), (size + 1023) / 1024 + (zero ? 1 : 0));
        EXPECT_TRUE(progress.empty() || progress.back() == std::make_pair(total, total));
      }
    }
  }
  BinXML::FileStream missing(folder.Join("missing.bin"));
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.GetSize(), 0u);
}

TEST(BinXMLStreams, CopiesShareTheBufferAndReadOnTheirOwn) {
  BinXML::Binary original("\x01\x02\x03", 3);
  BinXML::Binary copy(original);
  uint32_t length;
  EXPECT_EQ(original.Read(length), copy.Data());
  EXPECT_EQ(original.Read(length), nullptr);
  EXPECT_EQ(copy.Read(length), copy.Data());  // its own position
  EXPECT_EQ(length, 3u);
  original = BinXML::Binary();
  EXPECT_EQ(copy.Data()[2], 3);  // still held by the copy
}

// A message the telemetry client might receive, with tokens the reader does not know: 98 is
// passed over by the next header read, 99 is peeked at and left to LeaveRecord with the rest
// of its record (a second kind the reader must not take).
Bytes AnswerMessage() {
  return Cat({
      Item(1, Cat({Item(1, {0x01, 0x02}), Item(2, {8}), Item(99, Pattern(300)), Item(2, {9})})),
      Item(2,
           Cat({Item(1, {2}), Item(98, {1, 2, 3}), Item(6, {'o', 'k', 0}), Item(7, Item(1, {5}))})),
  });
}

struct Answer {
  uint32_t sequence = 0, kind = 0, type = 0;
  CCString text;
};

// Reads the two records of a message, peeking at every header before reading it.
Answer ReadAnswer(BinXML::Reader& reader) {
  Answer answer;
  for (int record = 0; record < 2; ++record) {
    uint8_t token = reader.Peek();
    EXPECT_EQ(reader.ReadHeader(), token);  // the peeked header, not the next one
    uint64_t outer = reader.EnterRecord();
    while (!reader.AtEnd()) {
      uint8_t item = reader.Peek();
      if (item == 99)
        break;
      EXPECT_EQ(reader.ReadHeader(), item);
      if (token == 1 && item == 1)
        answer.sequence = reader.ReadUInt32();
      else if (token == 1 && item == 2)
        answer.kind = reader.ReadUInt8();
      else if (token == 2 && item == 1)
        answer.type = reader.ReadUInt8();
      else if (token == 2 && item == 6)
        answer.text = reader.ReadText();
    }
    reader.LeaveRecord(outer);
  }
  return answer;
}

TEST(BinXMLReader, HostileInputThrowsBadStream) {
  using R = BinXML::Reader;
  void (*const u32InRecord)(R&) = [](R& r) { r.EnterRecord(), r.ReadHeader(), r.ReadUInt32(); };
  struct Case {
    const char* name;
    Bytes wire;
    void (*read)(R&);  // what is read after the first header
  } cases[] = {
      {"u32 of 5 bytes", {1, 5, 0, 0, 0, 0, 1}, [](R& r) { r.ReadUInt32(); }},
      {"u64 of 9 bytes", {1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 1}, [](R& r) { r.ReadUInt64(); }},
      {"bool of 2 bytes", {1, 2, 0, 1}, [](R& r) { r.ReadBool(); }},
      {"long form cut", {1, 0xFF, 0, 0, 1}, [](R&) {}},
      {"huge length", {1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, [](R& r) { r.ReadText(); }},
      {"item past its record", {2, 3, 1, 4, 0, 0, 0, 0}, u32InRecord},
      {"header past its record", {2, 3, 1, 0xFF, 0, 0, 0, 1, 0}, u32InRecord},
      {"unknown item past its record",
       {2, 3, 9, 4, 0, 0, 0, 0, 0},
       [](R& r) {
         uint64_t outer = r.EnterRecord();
         r.ReadHeader(), r.LeaveRecord(outer);
       }},
  };
  for (const Case& c : cases) {
    for (bool bounded : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (bounded ? " bounded" : " unbounded"));
      BinXML::ReaderInput_Memory input(c.wire.data(), c.wire.size());
      R reader(input, bounded ? c.wire.size() : R::kUnbounded);
      EXPECT_THROW((reader.ReadHeader(), c.read(reader)), BinXML::BadStream);
      EXPECT_LE(input.Consumed(), c.wire.size());
    }
  }
}

// Every cut of a valid message fails cleanly, whether the reader knows the message's length
// or only the input runs out; the whole message reads, its unknown items skipped, a peeked
// one with the rest of its record.
TEST(BinXMLReader, EveryTruncationThrowsBadStream) {
  Bytes wire = AnswerMessage();
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    for (bool bounded : {true, false}) {
      SCOPED_TRACE(testing::Message() << cut << (bounded ? " bounded" : " unbounded"));
      BinXML::ReaderInput_Memory input(wire.data(), cut);
      BinXML::Reader reader(input, bounded ? cut : BinXML::Reader::kUnbounded);
      if (cut < wire.size()) {
        EXPECT_THROW(ReadAnswer(reader), BinXML::BadStream);
        EXPECT_LE(input.Consumed(), cut);
        continue;
      }
      Answer a = ReadAnswer(reader);
      EXPECT_EQ(std::make_tuple(a.sequence, a.kind, a.type, std::string(a.text.c_str())),
                std::make_tuple(0x102u, 8u, 2u, std::string("ok")));
      EXPECT_EQ(reader.AtEnd(), bounded);
      EXPECT_EQ(input.Consumed(), wire.size());
    }
  }
}

}  // namespace
