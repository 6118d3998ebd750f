// The buffered socket's reading rules, fed from memory in pieces of every size.

#include "libs/ccutility/net/buffered_tcp_socket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/exception_text.h"
#include "tests/support/memory_socket.h"
#include "tests/support/peer_env.h"

namespace {

using cc::MemorySocket;
using cc::Scripted;
using gvtest::WhatOf;
using Ex = cc::SocketError::Exception;

// Reads lines until the stream ends; the end shows as a final "<closed>".
std::vector<std::string> AllLines(MemorySocket& s, bool unfold) {
  std::vector<std::string> lines;
  for (;;) {
    try {
      lines.push_back(s.ReadLine(unfold).c_str());
    } catch (const Ex::ConnectionClosed& e) {
      EXPECT_STREQ(e.what(), "SocketError:Peer Is Shutting Down");
      lines.push_back("<closed>");
      return lines;
    }
  }
}

}  // namespace

TEST(BufferedTCPSocket, ReadLineUnfoldsInPiecesOfEverySize) {
  struct Case {
    const char* input;
    bool unfold;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"Name: a\r\n  b\r\n\tc\r\nNext: d\r\n\r\n",
       true,
       {"Name: a b c", "Next: d", "", "<closed>"}},
      {"Name: a\r\n  b\r\n\r\n", false, {"Name: a", "b", "", "<closed>"}},
      // An empty line is never joined to the line after it, even one starting with a blank.
      {"\r\n b\r\n\r\n", true, {"", "b", "", "<closed>"}},
      // Bare line feeds end lines too; white space around the text goes.
      {" x \n\ty\t\nz\n\n", true, {"x y", "z", "", "<closed>"}},
      // A continuation of white space only still adds its one blank.
      {"A\r\n   \r\nB\r\n\r\n", true, {"A ", "B", "", "<closed>"}},
      // A line without its line feed at the end of the stream is not a line.
      {"done\r\npartial", true, {"done", "<closed>"}},
      // Unfolding looks at the byte after a line: the end of the stream there is the end.
      {"last\r\n", true, {"<closed>"}},
      {"last\r\n", false, {"last", "<closed>"}},
      {"", true, {"<closed>"}},
  };
  for (const Case& c : cases) {
    std::string input = c.input;
    for (uint32_t piece = 1; piece <= input.size() + 1; ++piece) {
      SCOPED_TRACE(testing::Message()
                   << "input " << testing::PrintToString(input) << " piece " << piece);
      auto s = Scripted(input, piece);
      EXPECT_EQ(AllLines(*s, c.unfold), c.lines);
    }
  }
}

TEST(BufferedTCPSocket, LineLongerThanTheBufferIsMessageTooLong) {
  const uint32_t size = cc::BufferedTCPSocket::kBufferSize;
  // A line of exactly the buffer's size, line feed included, still fits.
  std::string fits(size - 1, 'x');
  fits += "\nnext\n";
  auto s = Scripted(fits, 0);
  EXPECT_EQ(s->ReadLine(false).Length(), size - 1);
  EXPECT_STREQ(s->ReadLine(false).c_str(), "next");

  std::string tooLong(size + 10, 'y');
  tooLong += "\n";
  for (uint32_t piece : {0u, 4096u, 65537u}) {
    SCOPED_TRACE(piece);
    auto t = Scripted(tooLong, piece);
    try {
      t->ReadLine(true);
      ADD_FAILURE() << "no exception";
    } catch (const Ex& e) {
      EXPECT_STREQ(e.what(), "SocketError:Message Too Long");
      EXPECT_EQ(e.GetCategory(), cc::SocketError::kMessageTooLong);
    }
  }
}

// The buffered ReceiveN and the plain one of its base class, each naming its own class.
TEST(BufferedTCPSocket, ReceiveNAcrossCloses) {
  const std::string data = "0123456789";
  for (bool buffered : {true, false}) {
    auto receiveN = [buffered](MemorySocket& s, char* out, uint32_t n, bool partialOk) {
      return buffered ? s.ReceiveN(out, n, partialOk) : s.TCPSocket::ReceiveN(out, n, partialOk);
    };
    const std::string cut = std::string("SocketError:cc::") +
                            (buffered ? "BufferedTCPSocket" : "TCPSocket") +
                            "::ReceiveN got unexpected close during block read";
    for (uint32_t piece = 1; piece <= 11; ++piece) {
      SCOPED_TRACE(testing::Message() << (buffered ? "buffered" : "plain") << " piece " << piece);
      // The close comes in the middle of the second read.
      auto s = Scripted(data, piece);
      char out[8];
      EXPECT_EQ(receiveN(*s, out, 6, false), 6u);
      EXPECT_EQ(std::string(out, 6), "012345");
      EXPECT_EQ(WhatOf<Ex::ConnectionClosedError>([&] { receiveN(*s, out, 6, false); }), cut);

      auto p = Scripted(data, piece);
      EXPECT_EQ(receiveN(*p, out, 6, true), 6u);
      EXPECT_EQ(receiveN(*p, out, 6, true), 4u);
      EXPECT_EQ(std::string(out, 4), "6789");
      // At a read boundary, nothing read: 0, without an exception.
      EXPECT_EQ(receiveN(*p, out, 6, false), 0u);
      EXPECT_EQ(receiveN(*p, out, 6, true), 0u);
    }
  }
}

TEST(BufferedTCPSocket, ReceiveNServesBufferedBytesFirst) {
  const std::string body = gvtest::Pattern(0, 3 * 1000 * 1000);
  const std::string input = "head\r\n" + body;
  for (uint32_t piece : {0u, 1000u, 77777u}) {
    SCOPED_TRACE(piece);
    auto s = Scripted(input, piece);
    EXPECT_STREQ(s->ReadLine(false).c_str(), "head");
    // Longer than the buffer: what it holds, then straight from the socket.
    CCString big = s->ReceiveString(2 * 1000 * 1000, false);
    ASSERT_EQ(big.Length(), 2u * 1000 * 1000);
    EXPECT_EQ(memcmp(big.c_str(), body.data(), big.Length()), 0);
    // Shorter than the buffer: through buffer fills.
    CCString rest = s->ReceiveString(1000 * 1000, false);
    ASSERT_EQ(rest.Length(), 1000u * 1000);
    EXPECT_EQ(memcmp(rest.c_str(), body.data() + 2 * 1000 * 1000, rest.Length()), 0);
    EXPECT_EQ(s->GetBytesReceived(), input.size());
    EXPECT_EQ(s->ReceiveString(5, true).Length(), 0u);
  }
}

TEST(BufferedTCPSocket, SmallReceivesComeFromOneSystemRead) {
  auto s = Scripted("line\nabcdefghij", 0);
  EXPECT_STREQ(s->ReadLine(false).c_str(), "line");  // allocates the buffer
  uint32_t calls = s->ReadCalls();
  char out[4];
  EXPECT_EQ(s->Receive(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(s->Receive(out, 4), 4u);
  // Fewer bytes held than asked: what is held comes back.
  EXPECT_EQ(s->Receive(out, 4), 2u);
  EXPECT_EQ(std::string(out, 2), "ij");
  EXPECT_EQ(s->ReadCalls(), calls);
  // End of the stream: 0 from now on.
  EXPECT_EQ(s->Receive(out, 4), 0u);
  EXPECT_TRUE(s->IsReadClosed());
  EXPECT_EQ(s->Receive(out, 4), 0u);
}

TEST(BufferedTCPSocket, ReceiveAvailableGivesBufferedBytesThenWaitingOnes) {
  auto s = Scripted("x\nbuffered", 0);
  EXPECT_STREQ(s->ReadLine(false).c_str(), "x");
  EXPECT_STREQ(s->ReceiveAvailable().c_str(), "buffered");
  s->AddInput("more bytes");
  s->SetPieceSize(4);
  EXPECT_STREQ(s->ReceiveAvailable().c_str(), "more");
  EXPECT_STREQ(s->ReceiveAvailable().c_str(), " byt");
  EXPECT_STREQ(s->ReceiveAvailable().c_str(), "es");
}

TEST(BufferedTCPSocket, FillBufferReadsOnlyWhenAsked) {
  auto s = Scripted("abcdef", 2);
  EXPECT_EQ(s->FillBuffer(true), 2u);
  EXPECT_EQ(s->FillBuffer(true), 2u);  // unread bytes remain: no system read
  EXPECT_EQ(s->ReadCalls(), 1u);
  EXPECT_EQ(s->FillBuffer(false), 4u);
  EXPECT_STREQ(s->ReceiveString(3, false).c_str(), "abc");
  EXPECT_EQ(s->FillBuffer(false), 3u);
  EXPECT_STREQ(s->ReceiveString(3, false).c_str(), "def");
  EXPECT_THROW(s->FillBuffer(true), Ex::ConnectionClosed);
  EXPECT_TRUE(s->IsReadClosed());
}

TEST(BufferedTCPSocket, ReadErrorsAreThrownAndEndTheConnection) {
  auto s = Scripted("partial", 3);
  s->SetEndError(10054);
  EXPECT_EQ(WhatOf<Ex::ConnectionClosed>([&] { s->ReadLine(true); }),
            "SocketError:Reset By Peer (10054)");
  EXPECT_EQ(s->GetState(), cc::Socket::kClosed);
  EXPECT_EQ(WhatOf<Ex>([&] { s->Send("x"); }), "SocketError:Not Connected");

  // A failure that does not end the connection leaves it open.
  auto t = Scripted("", 0);
  t->SetEndError(10040);
  char c;
  EXPECT_THROW(t->ReceiveN(&c, 1, false), Ex);
  EXPECT_EQ(t->GetState(), cc::Socket::kConnected);  // "Message Too Long" keeps it open
}
