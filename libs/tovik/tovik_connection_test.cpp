// The connections: the configuration texts, host lists and ports; connecting, queueing and
// moving on against listeners of the test's own on 127.0.0.1; discovery against the
// collection service inside the test run's private network namespace.

#include "libs/tovik/tovik_connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "libs/tovik/tovik_connection_factory.h"
#include "libs/tovik/tovik_discovery_connection.h"
#include "libs/tovik/tovik_host_list.h"
#include "libs/tovik/tovik_test_support.h"

namespace {

using namespace Vorq;
using namespace tovik_test;

// What the peer receives on `accepted` until `expected` bytes or 5 s of silence.
std::string ReceiveAll(sys::Handle accepted, size_t expected) {
  std::string got;
  char buffer[8192];
  while (got.size() < expected) {
    bool ready = false, exception = false;
    if (sys::Wait(accepted, false, 5000, &ready, &exception) != 1)
      break;
    int64_t n = sys::Receive(accepted, buffer, sizeof buffer);
    if (n <= 0)
      break;
    got.append(buffer, size_t(n));
  }
  return got;
}

// Connections that fill the backlog of a listener that never accepts, so that the next
// attempts to connect to it are never answered.
struct BacklogFillers {
  std::vector<sys::Handle> handles;
  BacklogFillers(uint16_t port, int count) {
    cc::SocketAddressIPv4 to;
    to.SetAddress(0x7F000001);
    to.SetPort(port);
    for (int i = 0; i < count; ++i) {
      handles.push_back(sys::Create(1));
      sys::SetNonBlocking(handles.back(), true);
      sys::Connect(handles.back(), to);
    }
  }
  ~BacklogFillers() {
    for (sys::Handle h : handles)
      sys::Close(h);
  }
};

}  // namespace

TEST(TovikConnectionFactory, ConfigurationTable) {
  using Auto = TovikAutoDiscoveryConnection;
  using AutoOrPublic = TovikAutoDiscoveryOrPublicConnection;
  using ListAutoPublic = TovikFromListAutoAndPublicConnection;
  const struct {
    const char* text;
    const std::type_info& type;  // the exact class
    const char* host;            // of the first attempt after Open; known before only for these
  } cases[] = {
      {"", typeid(Auto), nullptr},
      {" Auto ", typeid(Auto), nullptr},
      {"public", typeid(TovikPublicConnection), kTovikPublicServer},
      {"auto,public", typeid(AutoOrPublic), nullptr},
      {"public;auto", typeid(AutoOrPublic), nullptr},
      {"hostA", typeid(TovikOneFromListConnection), "hostA"},
      {"hostA:8443, hostB", typeid(TovikOneFromListConnection), "hostA:8443"},
      {"hostA;auto", typeid(ListAutoPublic), nullptr},
      {"hostA,public", typeid(ListAutoPublic), nullptr},
      {"auto,public,hostA", typeid(ListAutoPublic), nullptr},
      {"auto,auto", typeid(ListAutoPublic), nullptr},
      {",;, ,", typeid(Auto), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("configuration \"") + c.text + "\"");
    auto made = CreateTovikConnection(c.text);
    ITovikConnection& connection = *made;
    EXPECT_STREQ(typeid(connection).name(), c.type.name());
    // Not opened, so no discovery broadcast leaves.
    if (c.host) {
      EXPECT_STREQ(connection.GetHost(), c.host);
    }
    EXPECT_EQ(connection.GetPort(), kTovikDefaultPort);
  }
}

TEST(TovikHostList, SplitsTrimsSkipsKeywordsAndCuts) {
  TovikHostList list(" a.example:1 ;; b ,AUTO, public ,c\t");
  ASSERT_EQ(list.Count(), 5u);  // the keywords are entries too
  EXPECT_STREQ(list.Entry(4), "c");
  EXPECT_TRUE(list.Contains("auto"));
  uint32_t cursor = 0;
  EXPECT_STREQ(list.NextHost(&cursor), "a.example:1");
  EXPECT_STREQ(list.NextHost(&cursor), "b");
  EXPECT_STREQ(list.NextHost(&cursor), "c");
  EXPECT_EQ(list.NextHost(&cursor), nullptr);

  // Only 127 characters of the text count: the third entry is cut short.
  std::string text = std::string(60, 'x') + "," + std::string(60, 'y') + "," + "zzzzzzzzzz";
  TovikHostList cut(text.c_str());
  ASSERT_EQ(cut.Count(), 3u);
  EXPECT_STREQ(cut.Entry(2), "zzzzz");
  EXPECT_EQ(TovikHostList(nullptr).Count(), 0u);
}

TEST(TovikSimpleConnection, HostTextAndPorts) {
  std::string longHost(200, 'h');
  TovikSimpleConnection c(longHost.c_str());
  EXPECT_EQ(strlen(c.GetHost()), 126u);
  c.SetPort(8000);
  const struct {
    const char* host;
    uint16_t port;
  } cases[] = {{"hostA:8443", 8443},  {"hostA:0", 8000},   {"hostA", 8000},       {"hostA:", 8000},
               {"hostA:65536", 8000}, {"hostA:12x", 8000}, {"hostA:65535", 65535}};
  for (const auto& p : cases) {
    SCOPED_TRACE(p.host);
    EXPECT_EQ(c.PortOfHost(p.host), p.port);
  }
  c.SetHost("other:1");
  EXPECT_EQ(c.GetPort(), 8000);  // the port of a host text is not taken as the default
}

TEST(TovikSimpleConnection, QueuedBytesGoOutOnceConnected) {
  RawListener listener;
  for (bool deferred : {true, false}) {
    SCOPED_TRACE(deferred ? "deferred" : "connecting");
    TovikSimpleConnection c(Local(listener.port).c_str());
    ASSERT_TRUE(c.Open(deferred));
    EXPECT_EQ(c.IsBlocking(), deferred);
    EXPECT_EQ(c.IsOpen(), !deferred);
    EXPECT_TRUE(c.Append("first ", 6));
    EXPECT_TRUE(c.Append("second", 6));
    EXPECT_EQ(c.HasPendingOutput(), !deferred);
    if (deferred) {  // nothing has been tried yet
      EXPECT_EQ(listener.Accept(50), sys::kInvalidHandle);
    }
    ASSERT_TRUE(c.Flush(5000, nullptr));
    EXPECT_TRUE(c.IsConnectedFlag());
    EXPECT_FALSE(c.HasPendingOutput());
    sys::Handle accepted = listener.Accept(5000);
    ASSERT_NE(accepted, sys::kInvalidHandle);
    EXPECT_EQ(ReceiveAll(accepted, 12), "first second");
    sys::Close(accepted);
  }
}

TEST(TovikSimpleConnection, AppendRefusesWhatDoesNotFitAndARefusedServerIsLeftForLater) {
  TovikSimpleConnection c(Local(RefusingPort()).c_str());
  ASSERT_TRUE(c.Open(false));
  std::string block(4000, 'b');
  EXPECT_TRUE(c.Append(block.data(), 4000));
  EXPECT_TRUE(c.Append(block.data(), 96));
  EXPECT_FALSE(c.Append("x", 1));
  EXPECT_EQ(c.PendingOutput(), 4096u);
  FastClock clock;  // some stacks report a refusal only as a connection that never completes
  EXPECT_FALSE(c.Flush(-1, nullptr));
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.PendingOutput(), 4096u);  // kept for when the server comes back
}

TEST(TovikOneFromListConnection, RefusedAndSilentServersAreLeftForTheNext) {
  // A backlog of one, filled: the next connection attempts are never accepted.
  RawListener full(0);
  BacklogFillers fillers(full.port, 3);
  RawListener good;
  std::string list = Local(RefusingPort()) + ", auto ," + Local(full.port) + ";" + Local(good.port);
  TovikOneFromListConnection c(list.c_str());
  FastClock clock;
  ASSERT_TRUE(c.Open(false));
  ASSERT_TRUE(c.Append("hello", 5));
  uint64_t start = clock.NowMs();
  ASSERT_TRUE(c.Flush(-1, nullptr));
  // The silent server had its 20 seconds.
  EXPECT_GE(clock.NowMs() - start, TovikSimpleConnection::kConnectTimeLimitMs);
  EXPECT_STREQ(c.GetHost(), Local(good.port).c_str());
  sys::Handle accepted = good.Accept(5000);
  ASSERT_NE(accepted, sys::kInvalidHandle);
  EXPECT_EQ(ReceiveAll(accepted, 5), "hello");
  sys::Close(accepted);
  // When the list is used up the connection closes.
  c.NextServer();
  EXPECT_FALSE(c.IsOpen());
}

TEST(TovikSimpleConnection, FlushTimesOutOnASilentServerAndStaysOpen) {
  RawListener full(0);
  BacklogFillers fillers(full.port, 2);
  TovikSimpleConnection silent(Local(full.port).c_str());
  ASSERT_TRUE(silent.Open(false));
  ASSERT_TRUE(silent.Append("x", 1));
  uint32_t elapsed = 0;
  EXPECT_FALSE(silent.Flush(0, &elapsed));
  EXPECT_EQ(elapsed, 0u);
  EXPECT_FALSE(silent.Flush(30, &elapsed));
  EXPECT_EQ(elapsed, 30u);  // capped at the time-out
  EXPECT_TRUE(silent.IsOpen());
  EXPECT_TRUE(silent.HasPendingOutput());
}

// A framed message of `length` bytes of `fill`.
std::string Framed(uint32_t length, char fill) {
  std::string m = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
  return m + std::string(length, fill);
}

// The tail rule: a message that left in part is not finished on the next connection, which
// begins at a message boundary; whole queued messages go there, after the greeting.
TEST(TovikSimpleConnection, NextConnectionBeginsWithTheGreetingAtAMessageBoundary) {
  RawListener listener;
  FastClock clock;
  TovikSimpleConnection c(Local(listener.port).c_str());
  ASSERT_TRUE(c.Open(false));
  const std::string greeting = Framed(3, 'g');
  c.SetGreeting(greeting.data(), uint32_t(greeting.size()));
  const std::string message = Framed(996, 'm');
  ASSERT_TRUE(c.Append(message.data(), uint32_t(message.size())));
  ASSERT_TRUE(c.Flush(5000, nullptr));
  sys::Handle first = listener.Accept(5000);
  ASSERT_NE(first, sys::kInvalidHandle);
  // The peer reads nothing: sooner or later a send takes only part of the queue.
  int sends = 0;
  while (c.PendingOutput() % message.size() == 0 && sends++ < 100000) {
    if (c.PendingOutput() + message.size() <= TovikSimpleConnection::kOutputSize) {
      ASSERT_TRUE(c.Append(message.data(), uint32_t(message.size())));
    }
    c.Flush(0, nullptr);
  }
  ASSERT_NE(c.PendingOutput() % message.size(), 0u);
  const uint32_t whole = c.PendingOutput() / uint32_t(message.size());
  sys::Close(first);

  c.Drop();
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.PendingOutput(), whole * message.size());
  EXPECT_FALSE(c.Connect());  // not before the pause
  const std::string later = Framed(10, 'l');
  ASSERT_TRUE(c.Append(later.data(), uint32_t(later.size())));
  clock.Advance(TovikSimpleConnection::kReconnectPauseMs);
  ASSERT_TRUE(c.Flush(5000, nullptr));
  sys::Handle second = listener.Accept(5000);
  ASSERT_NE(second, sys::kInvalidHandle);
  std::string expected = greeting;
  for (uint32_t i = 0; i < whole; ++i)
    expected += message;
  expected += later;
  EXPECT_TRUE(ReceiveAll(second, expected.size()) == expected);
  sys::Close(second);

  // A plain Close (the end of a session) drops the part-sent tail too, but does not come back.
  c.Close();
  clock.Advance(TovikSimpleConnection::kReconnectPauseMs);
  EXPECT_FALSE(c.Connect());
}

TEST(TovikAutoDiscovery, AnswerIsRecognisedExactly) {
  const struct {
    const char* bytes;
    int32_t length;
    bool server;
  } cases[] = {{"tovikServer", 12, true},       {"tovikServer", 11, true},
               {"tovikServe", 10, false},       {"tovikServerX", 12, false},
               {"tovikServer\0junk", 16, true}, {"", 0, false},
               {"TOVIKSERVER", 12, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(TovikAutoDiscoveryConnection::IsServerAnswer(c.bytes, c.length), c.server);
  }
}

TEST(TovikAutoDiscovery, WrongAnswerIgnoredThenRetriedAfterTwoMinutes) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Control("discovery answer tovikServerX");
  FastClock clock(false);  // real waits: the answers must have time to arrive
  TovikAutoDiscoveryConnection c;
  c.SetPort(gvtest::PortOf("GV_TOVIK_PORT"));
  ASSERT_TRUE(c.Open(false));
  ASSERT_TRUE(c.Append("\0\0\0\0", 4));
  EXPECT_FALSE(c.Flush(2500, nullptr));
  EXPECT_GE(c.GetStrayDatagrams(), 2u);  // our own question and the wrong answer
  EXPECT_TRUE(c.IsWaitingToRetry());
  EXPECT_STREQ(c.GetHost(), "");
  EXPECT_TRUE(c.IsOpen());  // still open: messages keep queueing

  Control("discovery answer tovikServer");
  clock.Advance(60000);
  EXPECT_TRUE(c.IsOpen());
  EXPECT_TRUE(c.IsWaitingToRetry());
  clock.Advance(60000);
  EXPECT_TRUE(c.IsOpen());  // two minutes after the start: a new attempt
  EXPECT_TRUE(c.IsDiscovering());
  EXPECT_TRUE(c.Flush(3000, nullptr));
  EXPECT_STREQ(c.GetHost(), "127.0.0.1");
}

TEST(TovikFromListAutoAndPublic, ListThenDiscoveryThenPublic) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  std::string publicServer = "localhost:" + gvtest::PeerText("GV_TOVIK_PORT");
  SetTovikPublicServer(publicServer.c_str());
  std::string list = Local(RefusingPort()) + ",auto";
  for (bool discoveryAnswers : {true, false}) {
    SCOPED_TRACE(discoveryAnswers ? "discovery answers" : "nobody answers");
    Control(discoveryAnswers ? "discovery on" : "discovery off");
    auto c = CreateTovikConnection(list.c_str());
    c->SetPort(gvtest::PortOf("GV_TOVIK_PORT"));
    ASSERT_TRUE(c->Open(false));
    ASSERT_TRUE(c->Append("\0\0\0\0", 4));
    EXPECT_TRUE(c->Flush(10000, nullptr));
    EXPECT_STREQ(c->GetHost(), discoveryAnswers ? "127.0.0.1" : publicServer.c_str());
  }
  SetTovikPublicServer(nullptr);
}
