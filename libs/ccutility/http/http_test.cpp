// The HTTP message layer through a small subclass that sets bodies up as the client does, fed
// from memory in pieces of every size. (Against real servers it is tested through the client.)

#include "libs/ccutility/http/http.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/exception_text.h"
#include "tests/support/http_body.h"
#include "tests/support/memory_socket.h"

namespace {

using cc::Scripted;
using gvtest::Str;
using gvtest::WhatOf;

using cc::HTTP;
using SocketEx = cc::SocketError::Exception;
using HTTPEx = cc::HTTP::Exception;

// The least a client must add: a Host header and the set-up of a body after the response
// head. Offered headers are kept as "Name: value".
class TestHTTP : public HTTP {
 public:
  explicit TestHTTP(const CCSharedPtr<cc::BufferedTCPSocket>& s) : HTTP(s) {}

  void WriteRequestHeaders(CCString& text) override { text.Append("Host: test.example\r\n"); }
  bool OnHeader(const CCString& name, const CCString& value) override {
    offered.push_back(Str(name) + ": " + Str(value));
    return true;
  }
  void ReceiveResponse() override {
    ReadStatusAndHeaders(statusCode);
    if (state == kReadingBody) {
      if (expectNoBody)
        EndBody();
      else
        BeginBody();
    }
  }
  bool IsCorked() const override { return corked; }

  // Sends a request and prepares for its response.
  void Ask(const char* method, const char* path) {
    expectNoBody = ExpectsNoBody(method);
    offered.clear();
    SendRequest(method, path);
  }
  int32_t State() const { return state; }

  int32_t statusCode = 0;
  bool expectNoBody = false;
  bool corked = false;
  std::vector<std::string> offered;
};

using Reader = gvtest::BodyReader;
using gvtest::ReadBody;

}  // namespace

// ---- Writing --------------------------------------------------------------------------

TEST(HTTPWriter, RequestHeadIsOneGatheredWriteInOrder) {
  auto s = Scripted("", 0);
  TestHTTP h(s);
  h.AddHeader("X-Second", "b");
  h.AddHeader("X-First", "a");
  h.AddHeader("x-first", "again");  // replaces, whatever the case
  h.outgoing.contentEncoding = "gzip";
  h.outgoing.contentLength = 5;
  h.outgoing.rangeFirst = 0;
  h.outgoing.rangeLast = 4;
  h.outgoing.rangeTotal = 10;
  h.rangeStart = 100;
  h.rangeLength = -1;
  h.Ask("PUT", "/up?x=1");
  h.SendBody("hello", 5);
  EXPECT_EQ(s->Sent(),
            "PUT /up?x=1 HTTP/1.1\r\nHost: test.example\r\nx-first: again\r\nX-Second: b\r\n"
            "Content-Encoding: gzip\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n"
            "Content-Range: bytes 0-4/10\r\nRange: bytes=100-\r\n\r\nhello");
  // The outgoing block applied to that request only.
  EXPECT_TRUE(h.outgoing.headers.empty());
  EXPECT_EQ(h.outgoing.contentLength, 0);
  EXPECT_TRUE(HTTP::ExpectsNoBody("head"));  // any case
}

TEST(HTTPWriter, OutgoingBodiesMustBeFinishedAndFramedOneWay) {
  auto s = Scripted("", 0);
  TestHTTP h(s);
  h.outgoing.contentLength = 3;
  h.Ask("POST", "/a");
  EXPECT_EQ(WhatOf([&] { h.Ask("GET", "/b"); }),
            "HTTP::Exception: Cannot send new response until body is complete");
  EXPECT_EQ(WhatOf([&] { h.SendChunk("x"); }),
            "HTTP::Exception: SendChunk() is only legal for chunked");
  h.SendBody("ab", 2);
  EXPECT_EQ(WhatOf([&] { h.SendBody("cd", 2); }),
            "HTTP::Exception: Body is longer than its Content-Length");
  h.SendBody("c", 1);
  h.outgoing.chunked = true;
  h.outgoing.contentLength = 4;
  EXPECT_EQ(WhatOf([&] { h.Ask("POST", "/c"); }),
            "HTTP::Exception: Cannot have a Content-Length with Chunked");
}

TEST(HTTPWriter, ChunksAreHexSizedAndEndWithAnEmptyOne) {
  auto s = Scripted("", 0);
  TestHTTP h(s);
  h.outgoing.chunked = true;
  h.outgoing.contentType = "application/octet-stream";
  h.Ask("POST", "/c");
  h.corked = true;
  EXPECT_EQ(WhatOf([&] { h.SendChunk("x"); }), "HTTP::Exception: Cannot send chunk while corked");
  h.corked = false;
  h.SendChunk("hello");
  h.SendChunk(CCString(std::string(26, 'z').c_str()));
  h.SendChunk("");
  EXPECT_EQ(s->Sent(),
            "POST /c HTTP/1.1\r\nHost: test.example\r\nContent-Type: application/octet-stream\r\n"
            "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1A\r\n" +
                std::string(26, 'z') + "\r\n0\r\n\r\n");
  // The body is over: no more chunks, and a new message may start.
  EXPECT_EQ(WhatOf([&] { h.SendChunk("x"); }),
            "HTTP::Exception: SendChunk() is only legal for chunked");
  h.SendResponseHead(200, "OK");
  EXPECT_TRUE(s->Sent().ends_with("0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"));
}

// ---- Reading from memory --------------------------------------------------------------

TEST(HTTPReader, ParsesTheSameInPiecesOfEverySize) {
  struct Case {
    std::string input;
    int status;
    std::vector<std::string> offered;
    std::string body;
    bool chunked;
  };
  // clang-format off
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\ncontent-type: text/plain\r\nX-A: 1\r\n\r\n"
       "hello world",
       200, {"X-A: 1"}, "hello world", false},
      {"HTTP/1.1 200 Fine\r\nX-Folded: first\r\n  second\r\n\tthird\r\nContent-Length: 3\r\n"
       "\r\nabc",
       200, {"X-Folded: first second third"}, "abc", false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;name=value\r\nhello\r\n"
       "6 ; x\r\n world\r\n0;last=1\r\nX-Trailer: yes\r\nX-Sum:  42 \r\n\r\n",
       200, {"X-Trailer: yes", "X-Sum: 42"}, "hello world", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\nContent-Length: 99\r\n\r\n"
       "A\r\n0123456789\r\n1\r\n!\r\n0\r\n\r\n",
       200, {}, "0123456789!", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, {}, "", false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 200, {}, "", true},
      {"HTTP/1.1 206 Part\r\nContent-Range: bytes 7-7/100\r\nContent-Length: 1\r\n\r\nx", 206,
       {}, "x", false},
      {"HTTP/1.1 416 No\r\nContent-Range: bytes */100\r\nContent-Length: 0\r\n\r\n", 416, {},
       "", false},
  };
  // clang-format on
  // A response behind each one shows that reading stopped exactly at its end.
  const std::string next = "HTTP/1.1 204 No Content\r\nX-Next: 1\r\n\r\n";
  for (const Case& c : cases) {
    const std::string input = c.input + next;
    for (Reader reader : gvtest::kBodyReaders) {
      for (uint32_t piece = 0; piece <= input.size(); ++piece) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(c.input) << " reader "
                                        << int(reader) << " piece " << piece);
        auto s = Scripted(input, piece);
        TestHTTP h(s);
        EXPECT_EQ(h.GetState(), HTTP::kReadingBody + (c.body.empty() ? 1 : 0));
        EXPECT_EQ(h.statusCode, c.status);
        EXPECT_EQ(h.incoming.chunked, c.chunked);
        EXPECT_EQ(ReadBody(h, reader), c.body);
        EXPECT_EQ(h.offered, c.offered);
        EXPECT_EQ(h.State(), HTTP::kComplete);
        EXPECT_EQ(h.GetBodyRead(), int32_t(c.body.size()));
        h.Ask("GET", "/next");
        EXPECT_EQ(h.GetState(), HTTP::kComplete);
        EXPECT_EQ(h.statusCode, 204);
        EXPECT_EQ(h.offered, std::vector<std::string>{"X-Next: 1"});
        EXPECT_EQ(s->InputLeft(), 0u);
      }
    }
  }
}

TEST(HTTPReader, StatusLinesGiveCodeAndReasonOrAClearError) {
  const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string goOn;
  for (int i = 0; i < HTTP::kMaxInterimAnswers; ++i)
    goOn += go;
  const std::string longReason(60000, 'r');
  const std::string nul(1, '\0');
  const char kBad[] = "HTTP::Exception: Unknown protocol in response: ";
  const char kCode[] = "HTTP::Exception: Unknown response code: ";
  struct Case {
    std::string input;  // each status line is followed by an empty header block
    int32_t code;       // 0: `text` is what is thrown
    std::string text;   // the reason phrase
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", 200, "OK"},
      {"HTTP/1.0 404 Not Found\n\n", 404, "Not Found"},
      // Any version, even none, after "HTTP/"; blanks and tabs around the code.
      {"  HTTP/2\t301 \t Moved  Permanently \r\n\r\n", 301, "Moved  Permanently"},
      {"HTTP/ 599\r\n\r\n", 599, ""},
      // A carriage return or NUL inside the line is text of the reason.
      {"HTTP/1.1 200 O\rK\r\n\r\n", 200, "O\rK"},
      {"HTTP/1.1 200 O" + nul + "K\r\n\r\n", 200, "O" + nul + "K"},
      {"HTTP/1.1 200 " + longReason + "\r\n\r\n", 200, longReason},
      // "100 Continue" answers come before the final one; any other 1xx is final.
      {goOn + "HTTP/1.1 204 No Content\r\n\r\n", 204, "No Content"},
      {go + "HTTP/1.1 101 Switching\r\n\r\n", 101, "Switching"},
      {goOn + go + "HTTP/1.1 200 OK\r\n\r\n", 0, "HTTP::Exception: Too many interim responses"},
      // Not a status line.
      {"200 OK\r\n\r\n", 0, kBad + std::string("200 OK")},
      {"http/1.1 200 OK\r\n\r\n", 0, kBad + std::string("http/1.1 200 OK")},
      {"HTTPS/1.1 200 OK\r\n\r\n", 0, kBad + std::string("HTTPS/1.1 200 OK")},
      {"\x80\xff\xfe\r\n\r\n", 0, kBad + std::string("\x80\xff\xfe")},
      {"\r\n\r\n", 0, kBad},
      // Codes: one to three digits from 100 to 599.
      {"HTTP/1.1\r\n\r\n", 0, kCode},
      {"HTTP/1.1 99 Low\r\n\r\n", 0, kCode + std::string("99")},
      {"HTTP/1.1 600 High\r\n\r\n", 0, kCode + std::string("600")},
      {"HTTP/1.1 0200 OK\r\n\r\n", 0, kCode + std::string("0200")},
      {"HTTP/1.1 -200 OK\r\n\r\n", 0, kCode + std::string("-200")},
      {"HTTP/1.1 2x0 OK\r\n\r\n", 0, kCode + std::string("2x0")},
      {"HTTP/1.1 200\rOK\r\n\r\n", 0, kCode + std::string("200\rOK")},
      {"HTTP/1.1 2" + nul + "00 OK\r\n\r\n", 0, kCode + std::string("2")},  // what() ends at NUL
      // Would wrap to 200 in 64 bits.
      {"HTTP/1.1 18446744073709551816 OK\r\n\r\n", 0, kCode + std::string("18446744073709551816")},
      // Cut short (every cut of whole responses: EveryCutShortResponseThrowsAClose).
      {"HTTP/1.1 200 OK", 0, "SocketError:Peer Is Shutting Down"},
  };
  for (const Case& c : cases) {
    for (uint32_t piece : {0u, 7u}) {
      SCOPED_TRACE(testing::Message()
                   << testing::PrintToString(c.input.substr(0, 80)) << " piece " << piece);
      auto s = Scripted(c.input, piece);
      TestHTTP h(s);
      if (c.code == 0) {
        EXPECT_EQ(WhatOf([&] { h.GetState(); }), c.text);
        continue;
      }
      EXPECT_EQ(h.GetState(), HTTP::kComplete);  // none of them declares a body
      EXPECT_EQ(h.statusCode, c.code);
      EXPECT_EQ(Str(h.reasonPhrase), c.text);
    }
  }
}

TEST(HTTPReader, DeclaredRangesAndTypesAreKept) {
  auto s = Scripted(
      "HTTP/1.1 206 Partial\r\nCONTENT-RANGE: bytes 100-149/1024\r\n"
      "Content-Type: application/x-thing\r\nContent-Encoding: gzip\r\n"
      "Content-length: 50\r\n\r\n",
      0);
  TestHTTP h(s);
  h.GetState();
  EXPECT_EQ(h.incoming.rangeFirst, 100);
  EXPECT_EQ(h.incoming.rangeLast, 149);
  EXPECT_EQ(h.incoming.rangeTotal, 1024);
  EXPECT_EQ(h.incoming.contentLength, 50);
  EXPECT_EQ(Str(h.incoming.contentType), "application/x-thing");
  EXPECT_EQ(Str(h.incoming.contentEncoding), "gzip");
}

TEST(HTTPReader, HostileResponsesGiveClearErrorsInPiecesOfEverySize) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
  struct Case {
    std::string input;
    const char* what;
  } cases[] = {
      {ok + "Content-Length: -5\r\n\r\n", "HTTP::Exception: Content-Length is negative"},
      {ok + "content-length: -99999999999\r\n\r\n", "HTTP::Exception: Content-Length is negative"},
      {ok + "Content-Length: 12x\r\n\r\n", "HTTP::Exception: Content-Length is not a number"},
      {ok + "Content-Length:\r\n\r\n", "HTTP::Exception: Content-Length is not a number"},
      {ok + "Content-Length: 2147483648\r\n\r\n", "HTTP::Exception: Content-Length is too large"},
      {ok + "Content-Range: bytes 10-5/100\r\n\r\n", "HTTP::Exception: Range end >= range start"},
      {ok + "Content-Range: bytes 1-x/100\r\n\r\n",
       "HTTP::Exception: Content-Range is not readable"},
      {chunked + "5\r\nhello, world\r\n0\r\n\r\n",
       "HTTP::Exception: Received too many bytes for chunk"},
      {chunked + "zz\r\n", "HTTP::Exception: Chunk size is not a number"},
      {chunked + "\r\n", "HTTP::Exception: Chunk size is not a number"},
      {chunked + "80000000\r\n", "HTTP::Exception: Chunk is too large"},
      {ok + "Content-Length: 10\r\n\r\nabc",
       "SocketError:cc::HTTP::Body got unexpected close during read"},
      {chunked + "5\r\nhel", "SocketError:cc::HTTP::Body got unexpected close during read"},
      {chunked + "5\r\nhello", "SocketError:Peer Is Shutting Down"},
      {ok + "Content-Le", "SocketError:Peer Is Shutting Down"},
      {ok + "X: 1\r\n", "SocketError:Peer Is Shutting Down"},
  };
  for (const Case& c : cases) {
    for (uint32_t piece = 0; piece <= c.input.size(); piece += 1 + piece / 8) {
      SCOPED_TRACE(testing::Message() << testing::PrintToString(c.input) << " piece " << piece);
      auto s = Scripted(c.input, piece);
      TestHTTP h(s);
      EXPECT_EQ(WhatOf([&] { h.Body(); }), c.what);
    }
  }
  EXPECT_THROW(TestHTTP(Scripted(cases[0].input, 0)).GetState(), HTTPEx::UnexpectedResponse);
  // A counted read names its own call.
  auto cut = Scripted(ok + "Content-Length: 10\r\n\r\nabc", 0);
  TestHTTP h(cut);
  EXPECT_EQ(WhatOf([&] { ReadBody(h, Reader::kReceive); }),
            "SocketError:cc::HTTP::Receive got unexpected close during block read");
  EXPECT_EQ(h.GetBodyRead(), 3);
}

TEST(HTTPReader, EveryCutShortResponseThrowsAClose) {
  const std::string responses[] = {
      "HTTP/1.1 200 OK\r\nX-F: a\r\n b\r\nContent-Length: 5\r\n\r\nhello",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;e\r\nabc\r\n0\r\nT: 1\r\n\r\n",
  };
  for (const std::string& full : responses) {
    for (Reader reader : gvtest::kBodyReaders) {
      for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(testing::Message()
                     << testing::PrintToString(full.substr(0, cut)) << " reader " << int(reader));
        auto s = Scripted(full.substr(0, cut), 1);
        TestHTTP h(s);
        EXPECT_THROW(ReadBody(h, reader), SocketEx::ConnectionClosed);
      }
    }
  }
}

TEST(HTTPReader, BodyAndContinueGuardAgainstMixedReads) {
  auto s = Scripted("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", 0);
  TestHTTP h(s);
  char buffer[3];
  h.Receive(buffer, sizeof buffer);
  EXPECT_EQ(WhatOf([&] { h.Body(); }), "HTTP::Exception: Already read 3 bytes of the body");
  CCString other("ab");
  EXPECT_EQ(WhatOf([&] { h.ContinueReceivingBody(other); }),
            "HTTP::Exception: Body size seems to be off. You must use the same string to "
            "retrieve the entire body when using ContinueReceivingBody().");

  // A HEAD response announces a length but carries no body.
  auto t = Scripted("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", 0);
  TestHTTP g(t);
  g.Ask("HEAD", "/");
  CCString body("stale");
  EXPECT_FALSE(g.ContinueReceivingBody(body));
  EXPECT_EQ(Str(body), "");
  EXPECT_EQ(Str(g.Body()), "");
}

TEST(HTTPReader, DrainReadsSmallBodiesAndAbandonsTheRest) {
  const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string big =
      "HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'x') + second;
  struct Case {
    int32_t limit;
    uint32_t readFirst;
    bool drained;
  } cases[] = {{65536, 5000, true}, {65536, 0, false}, {-1, 69999, false}, {69999, 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit << " after " << c.readFirst);
    auto s = Scripted(big, 1000);
    TestHTTP h(s);
    h.GetState();
    std::string first(c.readFirst, '\0');
    for (uint32_t got = 0; got < c.readFirst;)
      got += h.Receive(&first[got], c.readFirst - got);
    EXPECT_EQ(h.DrainBody(c.limit), c.drained);
    EXPECT_EQ(h.State(), HTTP::kComplete);
    if (c.drained) {
      h.Ask("GET", "/");
      EXPECT_EQ(Str(h.Body()), "ok");
    }
  }
  auto t = Scripted("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n", 0);
  TestHTTP g(t);
  g.GetState();
  EXPECT_FALSE(g.DrainBody(65536));  // a chunked body is never drained
}

TEST(HTTPReader, KillMakesEveryLaterOperationThrowUntilReset) {
  auto s = Scripted("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd", 0);
  TestHTTP h(s);
  h.GetState();
  h.Kill();
  char c;
  const std::function<void()> operations[] = {
      [&] { h.GetState(); },       [&] { h.Receive(&c, 1); },  [&] { h.ReceivePiece(); },
      [&] { h.Body(); },           [&] { h.WaitReadable(0); }, [&] { h.Ask("GET", "/"); },
      [&] { h.DrainBody(65536); },
  };
  for (const auto& operation : operations)
    EXPECT_THROW(operation(), HTTPEx::ConnectionKilled);
  EXPECT_EQ(WhatOf([&] { h.Body(); }), "HTTP::Exception: Connection killed");
  h.Reset();
  EXPECT_FALSE(h.IsKilled());
  EXPECT_EQ(h.State(), HTTP::kNoConnection);
}

TEST(HTTPException, TextsNameThePeerWhenKnown) {
  cc::SocketError error;
  error.SetPeerAddress(0x7F000001);
  HTTPEx::UnexpectedResponse::BadResponse bad(error, "Unknown response code: 700");
  EXPECT_STREQ(bad.what(), "HTTP::Exception: Unknown response code: 700 (127.0.0.1)");
  EXPECT_EQ(Str(bad.GetDescription()), "HTTP::Exception: Unknown response code: 700");

  HTTPEx::UnhandledResponse::ServerError server(error, "Service Unavailable", 503);
  EXPECT_STREQ(server.what(),
               "HTTP::Exception::UnhandledResponse: Service Unavailable (503 - 127.0.0.1)");
  EXPECT_EQ(Str(server.GetDescription()),
            "HTTP::Exception::UnhandledResponse: Service Unavailable");
  EXPECT_EQ(server.GetStatusCode(), 503);
  HTTPEx::UnhandledResponse none(error, "Odd", 0);
  EXPECT_STREQ(none.what(), "HTTP::Exception::UnhandledResponse: Odd");
  // One catch of the socket root catches them all.
  EXPECT_THROW(throw HTTPEx::UnhandledResponse::Redirection(error, "Found", 302), SocketEx);
}
