// cc::HTTPClient over a scripted connection fed from memory in pieces of every size, and
// against the test web server (GV_HTTP_PORT), the proxy (GV_PROXY_PORT) and the
// fault-injecting server (GV_FAULT_PORT) of the test run.

#include "libs/ccutility/http/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/exception_text.h"
#include "tests/support/http_body.h"
#include "tests/support/memory_socket.h"
#include "tests/support/peer_env.h"

namespace {

using gvtest::ReadBody;
using gvtest::Str;
using gvtest::WhatOf;
using Reader = gvtest::BodyReader;

using gvtest::Pattern;
using gvtest::PortOf;
using gvtest::UniqueKey;

using cc::CancelGroup;
using cc::HTTP;
using cc::HTTPClient;
using SocketEx = cc::SocketError::Exception;
using HTTPEx = cc::HTTP::Exception;
using Unhandled = cc::HTTP::Exception::UnhandledResponse;
using Clock = std::chrono::steady_clock;

CCString Url(const char* variable, const std::string& path) {
  return CCString(("http://127.0.0.1:" + std::to_string(PortOf(variable)) + path).c_str());
}

// The client with its waits and notes recorded, the headers it drops kept, and a proxy
// chosen by the test (on every platform).
class TestClient : public HTTPClient {
 public:
  explicit TestClient(
      const CCSharedPtr<cc::BufferedTCPSocket>& connection = new cc::BufferedTCPSocket)
      : HTTPClient(connection) {
    failureHook = [](void* context, const CCString& note) {
      static_cast<TestClient*>(context)->notes.push_back(Str(note));
    };
    failureContext = this;
  }

  // When false, waits are recorded but not slept (scripted tests).
  bool sleep = true;
  std::vector<uint32_t> waits;
  std::vector<std::string> notes;
  std::vector<std::string> dropped;  // "Name: value" of headers the client does not take
  std::string proxy;                 // "host[:port]" to use; empty: direct

  bool OnHeader(const CCString& name, const CCString& value) override {
    if (HTTPClient::OnHeader(name, value))
      return true;
    dropped.push_back(Str(name) + ": " + Str(value));
    return false;
  }
  std::string Header(const std::string& name) const {
    for (const std::string& h : dropped)
      if (h.rfind(name + ": ", 0) == 0)
        return h.substr(name.size() + 2);
    return "";
  }
  std::string BodyText() { return Str(HTTPClient::Body()); }

 protected:
  void Pause(uint32_t ms) override {
    waits.push_back(ms);
    if (sleep)
      HTTPClient::Pause(ms);
  }
  bool LookUpProxyServer(CCString& proxyServer) override {
    proxyServer = proxy.c_str();
    return !proxy.empty();
  }
};

// The client on a scripted server (see MemorySocket), its waits recorded but not slept.
struct Scripted {
  CCSharedPtr<cc::MemorySocket> socket;
  TestClient client;
  Scripted(std::vector<std::string> answers, uint32_t pieceSize = 0)
      : socket(new cc::MemorySocket(std::move(answers))), client(socket) {
    socket->SetPieceSize(pieceSize);
    client.sleep = false;
  }
};

const char kAddress[] = "http://files.example/a/b?c=d";

// A whole answer: the status (and any header lines after it), then a counted body.
std::string Answer(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}
std::string Ok(const std::string& body) {
  return Answer("200 OK", body);
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i)
    all += text;
  return all;
}

}  // namespace

// ---- Requests ---------------------------------------------------------------------------

TEST(HTTPClient, RequestHeadersInOrderWithOptionsForOneRequestOnly) {
  Scripted s({Ok("") + Ok("")});
  HTTPClient& c = s.client;
  c.from = "ops@publisher.example";
  c.userAgent = "Galvorand/4.0";
  c.ifModifiedSince = 784111777;
  c.ifUnmodifiedSince = 1700000000;
  c.rangeStart = 10;
  c.rangeLength = 5;
  c.SendRequest("GET", "http://files.example:8080/v.txt?x=1");
  c.GetState();
  c.SendRequest("HEAD", "http://files.example/w.txt");
  c.GetState();
  EXPECT_EQ(s.socket->SentOn(0),
            "GET /v.txt?x=1 HTTP/1.1\r\nHost: files.example:8080\r\n"
            "From: ops@publisher.example\r\nUser-Agent: Galvorand/4.0\r\n"
            "If-Modified-Since: Sun, 6 Nov 1994 08:49:37 GMT\r\n"
            "If-Unmodified-Since: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
            "Range: bytes=10-14\r\n\r\n");
  // A new server: a new connection, and no option of the first request carried over.
  EXPECT_EQ(s.socket->SentOn(1),
            "HEAD /w.txt HTTP/1.1\r\nHost: files.example\r\n"
            "From: ops@publisher.example\r\nUser-Agent: Galvorand/4.0\r\n\r\n");
}

TEST(HTTPClient, RefusesBadAndNonHttpURLsBeforeConnecting) {
  const struct {
    const char* url;
    const char* what;
  } cases[] = {
      {"https://files.example/x", "HTTP::Exception: Unsupported protocol"},
      {"ftp://files.example/x", "HTTP::Exception: Bad URL"},
      {"http://files.example:70000/x", "HTTP::Exception: Bad URL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    Scripted s({""});
    EXPECT_EQ(WhatOf([&] { s.client.SendRequest("GET", c.url); }), c.what);
    EXPECT_EQ(s.socket->Connects(), 0);
    EXPECT_EQ(s.client.QueuedRequests(), 0u);
  }
  Scripted s({""});
  EXPECT_THROW(s.client.SendRequest("GET", "https://x.example/"), HTTPEx::UnsupportedProtocol);
  EXPECT_THROW(s.client.SendRequest("GET", "http://x.example:0/"), HTTPEx::BadURL);
  EXPECT_EQ(WhatOf([&] { s.client.GetState(); }), "HTTP::Exception: No request sent");
}

TEST(HTTPClient, CorkedRequestsGoOutInOneWriteAndAnswersAreReadInOrder) {
  for (uint32_t piece = 1; piece <= 40; ++piece) {
    SCOPED_TRACE(piece);
    // Answers to a HEAD, a 204 and a 304 carry no body whatever their Content-Length says.
    Scripted s({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"
                "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"
                "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n"
                "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nthree\r\n0\r\n\r\n" +
                Ok("four")},
               piece);
    TestClient& c = s.client;
    c.corked = true;
    c.SendRequest("HEAD", "http://files.example/0");
    for (const char* path : {"/1", "/2", "/304", "/3"})
      c.SendRequest("GET", CCString("http://files.example").Append(path));
    EXPECT_EQ(s.socket->Writes(), 0);
    c.Uncork();
    EXPECT_EQ(s.socket->Writes(), 1);
    EXPECT_EQ(c.QueuedRequests(), 5u);
    c.SendRequest("GET", "http://files.example/4");  // uncorked: at once, same connection
    EXPECT_EQ(c.GetState(), HTTP::kComplete);
    EXPECT_EQ(c.incoming.contentLength, 10);
    EXPECT_EQ(c.BodyText(), "one");
    EXPECT_EQ(c.GetState(), HTTP::kComplete);
    EXPECT_EQ(c.statusCode, 204);
    EXPECT_THROW(c.GetState(), Unhandled::Redirection);  // a 304 is one, unless asked otherwise
    EXPECT_EQ(c.statusCode, 304);
    EXPECT_EQ(c.BodyText(), "three");
    EXPECT_EQ(c.BodyText(), "four");
    EXPECT_EQ(c.QueuedRequests(), 0u);
    EXPECT_EQ(s.socket->Connects(), 1);
    EXPECT_EQ(s.socket->Writes(), 2);
  }
}

TEST(HTTPClient, RequestsForAnotherServerWhileSeveralWaitAreRefused) {
  Scripted s({Ok("first") + Ok("second"), Ok("other")});
  TestClient& c = s.client;
  c.corked = true;
  c.SendRequest("GET", "http://a.example/1");
  c.SendRequest("GET", "http://a.example/2");
  EXPECT_EQ(WhatOf([&] { c.SendRequest("GET", "http://b.example/3"); }),
            "HTTP::Exception: Stacked requests can only be made to the same server");
  c.Uncork();
  EXPECT_EQ(c.GetState(), HTTP::kReadingBody);
  EXPECT_EQ(WhatOf([&] { c.SendRequest("GET", "http://a.example:81/3"); }),
            "HTTP::Exception: Stacked requests can only be made to the same server");
  EXPECT_EQ(c.BodyText(), "first");
  // One answer left, its body not read: given up for the other server's.
  EXPECT_EQ(c.GetState(), HTTP::kReadingBody);
  c.SendRequest("GET", "http://b.example/3");
  EXPECT_EQ(c.BodyText(), "other");
  EXPECT_EQ(s.socket->Connects(), 2);
  EXPECT_EQ(s.socket->SentOn(1), "GET /3 HTTP/1.1\r\nHost: b.example\r\n\r\n");
}

TEST(HTTPClient, ProxyGetsTheWholeURLAndServesEveryServer) {
  Scripted s({Ok("a") + Ok("b")});
  TestClient& c = s.client;
  c.proxy = "proxy.example";
  c.corked = true;
  c.SendRequest("GET", "http://a.example:8080/x?y");
  c.SendRequest("GET", "http://b.example/z");  // through a proxy: no stacking rule
  c.Uncork();
  EXPECT_EQ(c.BodyText(), "a");
  EXPECT_EQ(c.BodyText(), "b");
  EXPECT_EQ(Str(c.connHost), "proxy.example");
  EXPECT_EQ(s.socket->SentOn(0),
            "GET http://a.example:8080/x?y HTTP/1.1\r\nHost: a.example:8080\r\n\r\n"
            "GET http://b.example/z HTTP/1.1\r\nHost: b.example\r\n\r\n");

  const struct {
    const char* setting;
    bool used;
    const char* host;
    int32_t port;
  } settings[] = {{"", false, "", 0},
                  {"proxy.example", true, "proxy.example", 80},
                  {"proxy.example:3128", true, "proxy.example", 3128},
                  {"proxy.example:", true, "proxy.example", 80},
                  {"proxy.example:99999", true, "proxy.example", 80},
                  {":3128", false, "", 0}};
  for (const auto& p : settings) {
    SCOPED_TRACE(p.setting);
    Scripted t({Ok("")});
    t.client.proxy = p.setting;
    t.client.SendRequest("GET", "http://a.example/");
    EXPECT_EQ(t.client.useProxy, p.used);
    EXPECT_EQ(Str(t.client.proxyHost), p.host);
    EXPECT_EQ(t.client.proxyPort, p.port);
  }
}

// ---- Responses --------------------------------------------------------------------------

TEST(HTTPClient, ResponseHeadInPiecesOfEverySize) {
  const std::string answer =
      "HTTP/1.1 100 Continue\r\n\r\n"
      "HTTP/1.1 200 Fine  And Dandy \r\nServer: nginx/1.22\r\n"
      "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\nLast-Modified: Sunday, 06-Nov-94 08:49:37 GMT\r\n"
      "location: /elsewhere\r\nX-Other: dropped\r\n  folded\r\nContent-Length: 5\r\n\r\nhello";
  for (uint32_t piece = 1; piece <= answer.size(); ++piece) {
    SCOPED_TRACE(piece);
    Scripted s({answer}, piece);
    TestClient& c = s.client;
    c.SendRequest("GET", kAddress);
    EXPECT_EQ(c.GetState(), HTTP::kReadingBody);
    EXPECT_EQ(c.statusCode, 200);
    EXPECT_EQ(Str(c.reasonPhrase), "Fine  And Dandy");
    EXPECT_EQ(Str(c.server), "nginx/1.22");
    EXPECT_EQ(c.date, 1700000000);
    EXPECT_EQ(c.lastModified, 784111777);
    EXPECT_EQ(Str(c.location), "/elsewhere");
    EXPECT_EQ(c.Header("X-Other"), "dropped folded");
    EXPECT_EQ(c.BodyText(), "hello");
  }
}

TEST(HTTPClient, EndlessHeaderBlocksAreCutOff) {
  const std::string line(1000, 'h');
  const struct {
    std::string answer;
    const char* what;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nX-Folded: a\r\n" + Repeat(" " + line + "\r\n", 1100) + "\r\n",
       "HTTP::Exception: Message Too Long"},
      {"HTTP/1.1 200 OK\r\n" + Repeat("X-Many: " + line + "\r\n", 1100) + "\r\n",
       "HTTP::Exception: Header block is too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scripted s({c.answer}, 4096);
    s.client.SendRequest("GET", kAddress);
    EXPECT_EQ(WhatOf([&] { s.client.GetState(); }), c.what);
  }
}

TEST(HTTPClient, BodyWithoutLengthLastsUntilTheServerCloses) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
  for (Reader reader : gvtest::kBodyReaders) {
    for (uint32_t piece : {1u, 7u, 0u}) {
      SCOPED_TRACE(testing::Message() << "reader " << int(reader) << " piece " << piece);
      Scripted s({head + Pattern(0, 70000), Ok("ok")}, piece);
      s.client.SendRequest("GET", kAddress);
      EXPECT_TRUE(ReadBody(s.client, reader) == Pattern(0, 70000));
      // That connection ended with the body: the next request needs a new one.
      s.client.SendRequest("GET", kAddress);
      EXPECT_EQ(s.client.BodyText(), "ok");
      EXPECT_EQ(s.socket->Connects(), 2);
    }
  }
}

TEST(HTTPClient, RetryErrorsGrantTenMoreAttemptsOnce) {
  // A socket left non-blocking reports "would block" as an error of category Retry.
  Scripted s({""});
  s.socket->SetEndError(cc::SocketError::kWouldBlock);
  s.socket->SetBlocking(false);
  s.client.SendRequest("GET", kAddress);
  EXPECT_EQ(WhatOf([&] { s.client.GetState(); }), "HTTP::Exception: Retry - Would block");
  EXPECT_EQ(s.socket->Connects(), 3 + 10);

  // Any other socket error: three attempts, thrown on as an HTTP exception.
  Scripted reset({"HTTP/1.1 200 OK\r\n"});
  reset.socket->SetEndError(10050);  // WSAENETDOWN
  reset.client.SendRequest("GET", kAddress);
  EXPECT_THROW(reset.client.GetState(), HTTPEx);
  EXPECT_EQ(reset.socket->Connects(), 3);
  // So is an answer that is no HTTP, each time on a fresh connection with the request again.
  Scripted bad({"FOO/1.0 200 OK\r\n\r\n"});
  bad.client.SendRequest("GET", kAddress);
  EXPECT_EQ(WhatOf([&] { bad.client.GetState(); }),
            "HTTP::Exception: Unknown protocol in response: FOO/1.0 200 OK");
  ASSERT_EQ(bad.socket->Connects(), 3);
  EXPECT_EQ(bad.socket->SentOn(2), bad.socket->SentOn(0));

  // Connections closed before an answer are asked again: the third attempt's answer counts.
  Scripted closing({"", "", Ok("ok")});
  closing.client.SendRequest("GET", kAddress);
  EXPECT_EQ(closing.client.BodyText(), "ok");
  EXPECT_EQ(closing.client.notes.size(), 2u);
}

TEST(HTTPClient, StatusClassesBecomeTheirExceptions) {
  const struct {
    const char* status;
    int connects;  // attempts made
    std::vector<uint32_t> waits;
    const char* what;
  } cases[] = {
      {"301 Moved", 1, {}, "HTTP::Exception::UnhandledResponse: Moved (301)"},
      {"404 Not Found", 1, {}, "HTTP::Exception::UnhandledResponse: Not Found (404)"},
      {"503 Busy", 3, {2000, 4000}, "HTTP::Exception::UnhandledResponse: Busy (503)"},
      {"150 Odd", 3, {}, "HTTP::Exception::UnhandledResponse: Odd (150)"},
  };
  for (const auto& c : cases) {
    // With a body, without one, and answering a HEAD: each attempt asks again.
    for (const char* method : {"GET", "HEAD"}) {
      for (const std::string body : {"body", ""}) {
        SCOPED_TRACE(std::string(c.status) + " " + method + " " + body);
        Scripted s(
            {Answer(std::string(c.status) + "\r\nLocation: http://files.example/new", body)});
        s.client.SendRequest(method, kAddress);
        EXPECT_EQ(WhatOf([&] { s.client.GetState(); }), c.what);
        ASSERT_EQ(s.socket->Connects(), c.connects);
        EXPECT_EQ(s.socket->Sent(), s.socket->SentOn(0));
        EXPECT_EQ(s.client.waits, c.waits);
        EXPECT_EQ(Str(s.client.location), "http://files.example/new");  // not followed
      }
    }
  }
  // The body of an answer thrown on stays readable, and the connection usable.
  Scripted s({Answer("404 Not Found", "missing") + Ok("ok")});
  TestClient& c = s.client;
  c.SendRequest("GET", kAddress);
  EXPECT_THROW(c.GetState(), Unhandled::ClientError);
  EXPECT_EQ(c.BodyText(), "missing");
  c.SendRequest("GET", kAddress);
  EXPECT_EQ(c.BodyText(), "ok");
  EXPECT_EQ(s.socket->Connects(), 1);
  // Without throwOnUnhandled every status is a plain answer.
  Scripted quiet({Answer("503 Busy", "busy")});
  quiet.client.throwOnUnhandled = false;
  quiet.client.SendRequest("GET", kAddress);
  EXPECT_EQ(quiet.client.BodyText(), "busy");
  EXPECT_EQ(quiet.client.statusCode, 503);
}

TEST(HTTPClient, UnreadBodiesAreDrainedOrAbandonedBeforeTheNextAnswer) {
  Scripted s({Ok("abc") + Ok(std::string(HTTPClient::kDrainLimit + 1, 'x')), Ok("next")});
  TestClient& c = s.client;
  c.SendRequest("GET", "http://files.example/1");
  EXPECT_EQ(c.GetState(), HTTP::kReadingBody);
  c.SendRequest("GET", "http://files.example/2");
  c.ReceiveResponse();  // the small body is read and thrown away
  EXPECT_EQ(c.incoming.contentLength, HTTPClient::kDrainLimit + 1);
  c.SendRequest("GET", "http://files.example/3");
  c.ReceiveResponse();  // too big: given up; the queue goes again on a new connection
  EXPECT_EQ(c.BodyText(), "next");
  EXPECT_EQ(s.socket->Connects(), 2);
  EXPECT_EQ(s.socket->SentOn(1), "GET /3 HTTP/1.1\r\nHost: files.example\r\n\r\n");
}

// ---- Resume -----------------------------------------------------------------------------

TEST(HTTPClient, ResumesFromFirstMissingByte) {
  const std::string body = Pattern(0, 1000);
  const struct {
    const char* name;
    int32_t rangeStart, rangeLength;
    size_t first, length;  // the part of the body asked for
    const char* resumeRange;
  } cases[] = {
      {"whole", -1, 0, 0, 1000, "Range: bytes=400-\r\n"},
      {"counted range", 100, 500, 100, 500, "Range: bytes=500-599\r\n"},
      {"open range", 100, -1, 100, 900, "Range: bytes=500-\r\n"},
      {"suffix", -1, 700, 300, 700, "Range: bytes=-300\r\n"},
  };
  for (const auto& c : cases) {
    // The first connection ends after 400 bytes of the part; the second sends the rest.
    const std::string status = c.rangeLength == 0 ? "200 OK" : "206 Partial";
    const std::string cut = "HTTP/1.1 " + status +
                            "\r\nContent-Length: " + std::to_string(c.length) + "\r\n\r\n" +
                            body.substr(c.first, 400);
    const std::string rest = Answer("206 Partial", body.substr(c.first + 400, c.length - 400));
    for (Reader reader : {Reader::kReceive, Reader::kPieces, Reader::kContinue}) {
      SCOPED_TRACE(std::string(c.name) + " read by " + std::to_string(int(reader)));
      Scripted s({cut, rest}, 128);
      TestClient& client = s.client;
      client.rangeStart = c.rangeStart;
      client.rangeLength = c.rangeLength;
      client.SendRequest("GET", kAddress);
      std::string got = ReadBody(client, reader);
      EXPECT_EQ(got.size(), c.length);
      EXPECT_TRUE(got == body.substr(c.first, c.length));
      EXPECT_EQ(client.GetBodyRead(), int32_t(c.length));
      EXPECT_EQ(client.incoming.contentLength, int32_t(c.length));
      ASSERT_EQ(s.socket->Connects(), 2);
      EXPECT_NE(s.socket->SentOn(1).find(c.resumeRange), std::string::npos) << s.socket->SentOn(1);
      EXPECT_EQ(client.notes.size(), 1u);
    }
  }
}

TEST(HTTPClient, ResumeThatDoesNotFitFailsAfterItsAttempts) {
  const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + Pattern(0, 40);
  const struct {
    const char* name;
    std::string resumed;
    const char* what;
  } cases[] = {
      {"other length", Answer("206 Partial", Pattern(40, 70)),
       "HTTP::Exception::UnhandledResponse: Unable to Resume (206)"},
      {"whole again", Ok(Pattern(0, 100)),
       "HTTP::Exception::UnhandledResponse: Unable to Resume (200)"},
      {"refused range", Answer("416 Range Not Satisfiable", ""),
       "HTTP::Exception::UnhandledResponse: Range Not Satisfiable (416)"},
      {"closing", "", "HTTP::Exception: Lost connection - Peer Is Shutting Down"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scripted s({cut, c.resumed});
    s.client.SendRequest("GET", kAddress);
    char buffer[1000];
    EXPECT_EQ(s.client.Receive(buffer, sizeof buffer), 40u);
    EXPECT_EQ(WhatOf([&] { s.client.Receive(buffer, sizeof buffer); }), c.what);
    // Three attempts: the cut read and two resumes (each reading its answer up to three
    // times when the connection closes).
    EXPECT_EQ(s.socket->Connects(), std::string(c.name) == "closing" ? 7 : 3);
    // Every resume asked for the same missing part.
    EXPECT_NE(s.socket->Sent().find("Range: bytes=40-\r\n"), std::string::npos);
  }
}

// ---- Fetch if modified ------------------------------------------------------------------

TEST(HTTPClient, FetchIfModifiedAsksOnlyForTheHeadWhenUnchanged) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
      "Content-Length: 5\r\n\r\n";
  Scripted same({head});
  int64_t known = 784111777;
  HTTPClient::FetchError error;
  EXPECT_EQ(Str(same.client.FetchIfModified("http://files.example/a b", &known, 3, &error)), "");
  EXPECT_EQ(known, 784111777);
  EXPECT_EQ(same.socket->SentOn(0), "HEAD /a%20b HTTP/1.1\r\nHost: files.example\r\n\r\n");
  EXPECT_EQ(Str(error.description), "");

  Scripted changed({head + head + "hello"});
  known = 700000000;
  EXPECT_EQ(Str(changed.client.FetchIfModified("http://files.example/a", &known, 3, &error)),
            "hello");
  EXPECT_EQ(known, 784111777);
  EXPECT_EQ(changed.socket->Connects(), 1);
  EXPECT_EQ(changed.socket->SentOn(0),
            "HEAD /a HTTP/1.1\r\nHost: files.example\r\n\r\n"
            "GET /a HTTP/1.1\r\nHost: files.example\r\n\r\n");

  Scripted none({""});
  EXPECT_EQ(Str(none.client.FetchIfModified("http://files.example/a", nullptr, -1, &error)), "");
  EXPECT_EQ(none.socket->Connects(), 0);
  EXPECT_EQ(error.failures, 0);
}

TEST(HTTPClient, FetchIfModifiedStopsOnClientErrorsAndRecordsEachFailure) {
  // Client errors and redirects (not followed) end the attempts at once.
  HTTPClient::FetchError error;
  for (const std::string status : {"404 Not Found", "302 Found"}) {
    SCOPED_TRACE(status);
    error = HTTPClient::FetchError();
    Scripted s({Answer(status + "\r\nLocation: /new", "")});
    EXPECT_EQ(Str(s.client.FetchIfModified("http://files.example/gone", nullptr, 5, &error)), "");
    EXPECT_EQ(s.socket->Connects(), 1);
    EXPECT_EQ(error.failures, 1);
    EXPECT_EQ(error.statusCode, std::stoi(status));
    EXPECT_EQ(Str(error.url), "http://files.example/gone");
    EXPECT_EQ(Str(error.description), "HTTP::Exception::UnhandledResponse: " + status.substr(4));
  }

  // An odd status: each further attempt asks for an address with one more letter, after the
  // query if there is one.
  const struct {
    const char* url;
    std::string first, busted;  // patterns of the first attempt's target and the later ones'
  } odds[] = {{"http://files.example/x", "/x", "/x\\?cb="},
              {"http://files.example/x?y=1", "/x\\?y=1", "/x\\?y=1&cb="}};
  for (const auto& o : odds) {
    SCOPED_TRACE(o.url);
    Scripted odd({Answer("150 Odd", "")});
    EXPECT_EQ(Str(odd.client.FetchIfModified(o.url, nullptr, 2, &error)), "");
    ASSERT_EQ(odd.socket->Connects(), 9);  // three attempts of three reads each
    const std::string targets[] = {o.first, o.busted + "[A-P]", o.busted + "[A-P]{2}"};
    for (int attempt = 0; attempt < 3; ++attempt) {
      SCOPED_TRACE(attempt);
      std::regex line("GET " + targets[attempt] + " HTTP/1.1\r\n[^]*");
      EXPECT_TRUE(std::regex_match(odd.socket->SentOn(attempt * 3), line))
          << odd.socket->SentOn(attempt * 3);
    }
    EXPECT_EQ(error.statusCode, 150);
  }

  // A connection that closes at once: every attempt again at once.
  error = HTTPClient::FetchError();
  Scripted closing({""});
  EXPECT_EQ(Str(closing.client.FetchIfModified("http://files.example/x", nullptr, 2, &error)), "");
  EXPECT_EQ(closing.socket->Connects(), 9);  // three attempts of three reads each
  EXPECT_EQ(error.failures, 3);
  EXPECT_EQ(Str(error.description), "HTTP::Exception: Lost connection - Peer Is Shutting Down");
  EXPECT_TRUE(closing.client.waits.empty());
}

// ---- Against the test web server --------------------------------------------------------

TEST(HTTPClientWebServer, KeepAliveAndPipelinedRequestsShareOneConnection) {
  NEED_PEER("GV_HTTP_PORT");
  TestClient c;
  std::string connection;  // the server's number for the connection it answers on
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE(i);
    c.SendRequest("GET", Url("GV_HTTP_PORT", "/many/" + std::string(i < 10 ? "00" : "0") +
                                                 std::to_string(i) + ".bin"));
    EXPECT_EQ(c.BodyText(), Pattern(0, 1024));
    if (i == 0)
      connection = c.Header("X-Connection");
    EXPECT_EQ(c.Header("X-Connection"), connection);
  }
  EXPECT_FALSE(connection.empty());

  // Pipelined: all requests out at once, the answers read in order on the same connection.
  const struct {
    const char* path;
    std::string body;
  } files[] = {{"/small.txt", "hello from the publisher\n"},
               {"/1k.bin", Pattern(0, 1024)},
               {"/empty.txt", ""},
               {"/dated.txt", "a file last changed on the 14th\n"},
               {"/1m.bin", Pattern(0, 1 << 20)}};
  c.corked = true;
  for (const auto& f : files)
    c.SendRequest("GET", Url("GV_HTTP_PORT", f.path));
  c.Uncork();
  for (const auto& f : files) {
    SCOPED_TRACE(f.path);
    EXPECT_TRUE(c.BodyText() == f.body);
    EXPECT_EQ(c.Header("X-Connection"), connection);
  }
  EXPECT_EQ(c.QueuedRequests(), 0u);
}

TEST(HTTPClientWebServer, RangesAndConditions) {
  NEED_PEER("GV_HTTP_PORT");
  TestClient c;
  c.rangeStart = 1000;
  c.rangeLength = 24;
  c.SendRequest("GET", Url("GV_HTTP_PORT", "/1k.bin"));
  EXPECT_EQ(c.BodyText(), Pattern(1000, 24));
  EXPECT_EQ(c.statusCode, 206);
  EXPECT_EQ(c.incoming.rangeTotal, 1024);

  // nginx reads only a two-digit day of the month in If-Modified-Since.
  c.ifModifiedSince = 1700000000;
  c.SendRequest("GET", Url("GV_HTTP_PORT", "/dated.txt"));
  EXPECT_THROW(c.GetState(), Unhandled::Redirection);
  EXPECT_EQ(c.statusCode, 304);
  c.ifModifiedSince = 1600000000;
  c.SendRequest("GET", Url("GV_HTTP_PORT", "/dated.txt"));
  EXPECT_EQ(c.BodyText(), "a file last changed on the 14th\n");
  EXPECT_EQ(c.lastModified, 1700000000);
}

TEST(HTTPClientWebServer, ProxyForwardsTheWholeURL) {
  NEED_PEER("GV_PROXY_PORT");
  NEED_PEER("GV_HTTP_PORT");
  TestClient c;
  c.proxy = "127.0.0.1:" + std::to_string(PortOf("GV_PROXY_PORT"));
  c.SendRequest("GET", Url("GV_HTTP_PORT", "/1k.bin"));
  EXPECT_EQ(c.BodyText(), Pattern(0, 1024));
  EXPECT_NE(c.Header("Via").find("gvproxy"), std::string::npos) << c.Header("Via");
  EXPECT_EQ(c.connPort, PortOf("GV_PROXY_PORT"));
}

TEST(HTTPClientWebServer, RefusedConnectionTimesOutInConnect) {
  // Nothing listens on port 1 of the loopback.
  TestClient c;
  EXPECT_EQ(WhatOf<SocketEx::Timeout>([&] { c.SendRequest("GET", "http://127.0.0.1:1/x"); }),
            "SocketError:HTTPClient::Timeout in connect");
  ASSERT_EQ(c.notes.size(), 1u);
  EXPECT_EQ(c.notes[0], "http://127.0.0.1:1/x HTTP.cpp(214) - Cannot connect");
  HTTPClient::FetchError error;
  EXPECT_EQ(Str(c.FetchIfModified("http://127.0.0.1:1/x", nullptr, 2, &error)), "");
  EXPECT_EQ(error.failures, 3);
  EXPECT_EQ(Str(error.description), "SocketError:HTTPClient::Timeout in connect");
}

// ---- Against the fault-injecting server -------------------------------------------------

TEST(HTTPClientFaultServer, CutBodyResumesIntoOneContinuousBody) {
  NEED_PEER("GV_FAULT_PORT");
  TestClient c;
  // Cut after 3000 bytes each time it is asked without a range; the whole body is read in
  // one attempt (Body, through the resuming Receive).
  cc::HTTPClient::FetchError error;
  std::string got =
      Str(c.FetchIfModified(Url("GV_FAULT_PORT", "/cut/300000/3000"), nullptr, 0, &error));
  EXPECT_TRUE(got == Pattern(0, 300000)) << got.size();
  EXPECT_EQ(error.failures, 0) << Str(error.description);
  EXPECT_EQ(c.notes.size(), 1u);
}

TEST(HTTPClientFaultServer, ServerErrorsAreAskedAgainAfterRealWaits) {
  NEED_PEER("GV_FAULT_PORT");
  TestClient c;
  HTTPClient::FetchError error;
  // The address is escaped, "&" too: the count goes in the path.
  const CCString url = Url("GV_FAULT_PORT", "/flaky/6?key=" + UniqueKey());
  auto start = Clock::now();
  // Attempt 0 reads three 503s (waits 2 s, 4 s), attempt 1 three more (2 s, 4 s, then 1 s
  // before attempt 2), attempt 2 gets the answer.
  EXPECT_EQ(Str(c.FetchIfModified(url, nullptr, 3, &error)), "ok\n");
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(c.waits, (std::vector<uint32_t>{2000, 4000, 2000, 4000, 1000}));
  EXPECT_GE(seconds, 12.9);  // the waits were really slept
  EXPECT_EQ(error.failures, 2);
  EXPECT_EQ(error.statusCode, 503);
  EXPECT_EQ(Str(error.description), "HTTP::Exception::UnhandledResponse: Service Unavailable");
  EXPECT_EQ(Str(error.url), Str(url));
}

TEST(HTTPClientFaultServer, KillEndsABlockedReadAndEveryAttempt) {
  NEED_PEER("GV_FAULT_PORT");
  TestClient c;
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.Kill();
  });
  auto start = Clock::now();
  HTTPClient::FetchError error;
  EXPECT_EQ(Str(c.FetchIfModified(Url("GV_FAULT_PORT", "/silent"), nullptr, 5, &error)), "");
  killer.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(error.failures, 1);
  EXPECT_EQ(Str(error.description), "HTTP::Exception: Connection killed");
  EXPECT_THROW(c.SendRequest("GET", Url("GV_FAULT_PORT", "/status/200")), HTTPEx::ConnectionKilled);
  c.Reset();
  c.SendRequest("GET", Url("GV_FAULT_PORT", "/status/200"));
  EXPECT_EQ(c.BodyText(), "status 200\n");
}

// A group cut from another thread: the member blocked on a silent server, one made later,
// one reset after the cut and the waits of the group's thread all end at once.
TEST(HTTPClientFaultServer, ACancelledGroupCutsEveryClientOfItsThread) {
  NEED_PEER("GV_FAULT_PORT");
  CancelGroup group;
  CancelGroup::Scope scope(group);
  std::thread cutter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    group.Cancel();
  });
  auto start = Clock::now();
  HTTPClient member;
  member.SendRequest("GET", Url("GV_FAULT_PORT", "/silent"));
  EXPECT_THROW(member.Body(), HTTPEx::ConnectionKilled);
  cutter.join();
  EXPECT_EQ(Str(group.LastRequest()), Str(Url("GV_FAULT_PORT", "/silent")));
  member.Reset();
  EXPECT_THROW(member.SendRequest("GET", Url("GV_FAULT_PORT", "/status/200")),
               HTTPEx::ConnectionKilled);
  HTTPClient later;
  EXPECT_EQ(Str(later.FetchIfModified(Url("GV_FAULT_PORT", "/status/200"), nullptr, 5, nullptr)),
            "");
  CancelGroup::WaitOnCurrent(20000);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}
