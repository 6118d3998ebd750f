// The telemetry client against the collection service on 127.0.0.1 (a peer of the test run,
// queried through its control port), and the decoding of answers against hostile bytes.

#include "libs/tovik/tovik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "libs/ccutility/binxml/binxml_error.h"
#include "libs/tovik/tovik_answer.h"
#include "libs/tovik/tovik_test_support.h"

namespace {

using namespace Vorq;
using namespace tovik_test;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes)
    out += char(b);
  return out;
}

using Row = std::vector<std::string>;

// A client on a fixed-host connection to the service, opened as the log sink opens it.
struct Client {
  Tovik tovik;
  explicit Client(bool deferred = true) {
    auto* c = new TovikSimpleConnection("127.0.0.1", gvtest::PortOf("GV_TOVIK_PORT"));
    tovik.SetConnection(c, true);
    EXPECT_TRUE(c->Open(deferred));
  }
  uint32_t SendNumbered(const char* text) {
    BinXML::String body(text);
    EXPECT_TRUE(
        tovik.Send(Tovik::CallerValues(), 2, true, "numbered.cpp", 1, &body, nullptr, nullptr));
    return tovik.GetSequence();
  }
};

}  // namespace

// What the fields mean is checked against the service; here, where they are read from.
TEST(TovikAnswer, DecodesTheBodyRecordAndRejectsHostileBytes) {
  const struct {
    const char* name;
    std::string bytes;
    bool bad;
    uint32_t receipt;
  } cases[] = {
      {"empty", "", false, 0},
      {"header record skipped", Bytes({2, 3, 3, 1, 41, 1, 3, 3, 1, 5}), false, 41},
      {"unknown tokens skipped", Bytes({9, 1, 0, 2, 7, 200, 2, 'x', 'y', 3, 1, 7}), false, 7},
      {"receipt of five bytes", Bytes({2, 7, 1, 1, 1, 3, 5, 0, 0, 0, 0, 1}), true, 0},
      {"type of two bytes", Bytes({2, 4, 1, 2, 0, 1}), true, 0},
      {"body past the end", Bytes({2, 0x10, 1, 1, 1}), true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.bad) {
      EXPECT_THROW(ParseTovikAnswer(c.bytes.data(), uint32_t(c.bytes.size())), BinXML::BadStream);
    } else {
      EXPECT_EQ(ParseTovikAnswer(c.bytes.data(), uint32_t(c.bytes.size())).receipt, c.receipt);
    }
  }
}

TEST(Tovik, SessionReceiptsAndStoredLogLines) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client(false);
  Tovik& t = client.tovik;
  ASSERT_TRUE(t.GetConnection()->IsConnecting());  // what follows queues while connecting
  ASSERT_TRUE(t.StartSession("TovikTest", "1.2.3", 4, 0));
  uint64_t before = TovikClock::Current().NowSeconds();
  uint32_t id = t.GetSessionId();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(t.GetHighestReceipt(), 1u);

  t.SetSourcePrefix("C:\\build\\");
  EXPECT_TRUE(t.Log(5, "C:\\build\\launcher\\main.cpp", 42, "disk %s at %d%%", "full", 99));
  EXPECT_TRUE(t.LogText(3, "other.cpp", 7, "ready %s text"));
  uint32_t seq = client.SendNumbered("numbered line");
  EXPECT_EQ(seq, 2u);
  EXPECT_EQ(t.WaitForReceipt(seq, 5000), seq);
  uint64_t after = TovikClock::Current().NowSeconds();

  auto logs = Query("logs session=" + std::to_string(id));
  ASSERT_EQ(logs.size(), 3u);
  // id, session, sequence, level, source, line, client time, received, text
  EXPECT_EQ(logs[0][3], "5");
  EXPECT_EQ(logs[0][4], "launcher\\\\main.cpp");  // the control port escapes backslashes
  EXPECT_EQ(logs[0][5], "42");
  EXPECT_EQ(logs[0][8], "disk full at 99%");
  EXPECT_EQ(logs[0][2], "-");  // not numbered
  EXPECT_EQ(logs[1][8], "ready %s text");
  EXPECT_EQ(logs[2][2], "2");
  uint64_t time = std::stoull(logs[0][6]);
  EXPECT_GE(time, before);
  EXPECT_LE(time, after);

  auto sessions = Query("sessions session=" + std::to_string(id));
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(Row(sessions[0].begin() + 1, sessions[0].begin() + 4),
            Row({"TovikTest", "1.2.3", "4"}));
  EXPECT_FALSE(sessions[0][4].empty());  // the host name
  EXPECT_EQ(sessions[0][9], "-");        // not ended yet

  t.Shutdown(2000);
  EXPECT_NE(Query("sessions session=" + std::to_string(id))[0][9], "-");
  EXPECT_FALSE(t.Log(5, "x.cpp", 1, "after the end"));
  EXPECT_EQ(Query("logs session=" + std::to_string(id)).size(), 3u);

  // The next run continues the session it is given.
  Client next;
  next.tovik.StartSession("TovikTest", "2", 0, id);
  EXPECT_EQ(next.tovik.GetSessionId(), id);
  EXPECT_EQ(Query("sessions session=" + std::to_string(id))[0][2], "2");
}

TEST(Tovik, ServiceThatNeverAnswersGivesNoSessionId) {
  NEED_COLLECTOR();
  ServiceBehaviour silent("silent");
  FastClock clock;
  Client client;
  client.tovik.StartSession("TovikTest", "silent", 0, 0);
  uint64_t start = clock.NowMs();
  EXPECT_EQ(client.tovik.GetSessionId(), 0u);
  uint64_t waited = clock.NowMs() - start;
  EXPECT_GE(waited, uint64_t(Tovik::kSessionWaitMs));
  EXPECT_LT(waited, uint64_t(Tovik::kSessionWaitMs) + 1000);
}

// Every way the service can fail a wait ends it; the connection that had to go comes back at
// the next connection step, carrying the session, and the next message gets its receipt.
TEST(Tovik, HostileAnswersEndTheWaitAndTheConnectionComesBack) {
  NEED_COLLECTOR();
  const struct {
    const char* mode;
    bool connectionSurvives;
  } cases[] = {
      {"oversized 2000 times=1 kinds=2", false},  // announced over 1024 bytes
      {"corrupt times=1 kinds=2", true},
      {"cut-answer times=1 kinds=2", false},
      {"restart", false},  // every connection of the service closed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    bool restart = std::string(c.mode) == "restart";
    ServiceBehaviour misbehaving(restart ? "normal" : c.mode);
    Client client;
    Tovik& t = client.tovik;
    t.StartSession("TovikTest", "hostile", 0, 0);
    uint32_t id = t.GetSessionId();
    ASSERT_NE(id, 0u);
    if (restart) {
      Control("close-all");
      EXPECT_EQ(t.WaitForReceipt(2, 2000), 1u);  // sees the connection go
    } else {
      uint32_t seq = client.SendNumbered("first");
      EXPECT_EQ(t.WaitForReceipt(seq, 2000), 1u);
    }
    EXPECT_EQ(t.GetConnection()->IsOpen(), c.connectionSurvives);
    cc::SleepMs(uint32_t(TovikSimpleConnection::kReconnectPauseMs));
    uint32_t next = client.SendNumbered("second");
    EXPECT_EQ(t.WaitForReceipt(next, 3000), next);
    auto logs = Query("logs session=" + std::to_string(id));
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back()[8], "second");  // stored in the session it continues
  }
}

// A service that trickles its answer one byte at a time holds no wait past its time-out;
// one that announces an answer of 4 GiB loses the connection at once.
TEST(Tovik, TricklingAnswersEndAtTheTimeOut) {
  for (bool huge : {false, true}) {
    SCOPED_TRACE(huge ? "4 GiB announced" : "1000 bytes trickled");
    RawListener listener;
    Tovik t;
    auto* connection = new TovikSimpleConnection(Local(listener.port).c_str());
    t.SetConnection(connection, true);
    ASSERT_TRUE(connection->Open(false));
    t.StartSession("TovikTest", "trickle", 0, 0);
    std::atomic<bool> done{false};
    std::thread service([&] {
      sys::Handle peer = listener.Accept(5000);
      const std::string answer = huge ? std::string("\xff\xff\xff\xff", 4) + std::string(60, 'x')
                                      : std::string("\0\0\x03\xe8", 4) + std::string(1000, 'x');
      for (size_t i = 0; i < answer.size() && !done; ++i) {
        sys::Send(peer, answer.data() + i, 1);
        cc::SleepMs(20);
      }
      while (!done)
        cc::SleepMs(5);
      sys::Close(peer);
    });
    const uint64_t start = TovikClock::Current().NowMs();
    EXPECT_EQ(t.WaitForReceipt(1, 300), 0u);
    const uint64_t waited = TovikClock::Current().NowMs() - start;
    EXPECT_LT(waited, huge ? 300u : 800u);
    EXPECT_EQ(connection->IsOpen(), !huge);  // a cut-off answer is finished by the next wait
    done = true;
    service.join();
  }
}

// Streamed or cut off by the service half-way, a crash report goes at once, without a flush.
TEST(Tovik, CrashReportGoesAtOnceWithItsAttachmentStreamed) {
  NEED_COLLECTOR();
  for (bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "cut off" : "received");
    ServiceBehaviour mode(cut ? "cut-request kinds=8" : "detailed");
    Client client;
    Tovik& t = client.tovik;
    t.StartSession("TovikTest", "crash", 0, 0);
    uint32_t id = t.GetSessionId();
    ASSERT_NE(id, 0u);
    std::string report = "<report>" + std::string(3000, 'r') + "</report>";
    // Cut: larger than the socket buffers, so the cut meets the sending, not only the wait.
    std::string dump = gvtest::Pattern(0, cut ? 16 << 20 : 300000);
    BinXML::String reportValue(report.c_str());
    BinXML::Binary dumpValue(dump.data(), uint32_t(dump.size()));
    uint32_t expected = t.GetSequence() + 1;
    t.SetNewSequence();
    bool sent = t.Send(Tovik::CallerValues(), Tovik::kKindCrashReport, false, "crash.cpp", 9,
                       &reportValue, "crash.dmp", &dumpValue);
    auto crashes = Query("crashes session=" + std::to_string(id));
    if (cut) {
      EXPECT_LT(t.GetHighestReceipt(), expected);
      EXPECT_FALSE(t.GetConnection()->IsOpen());
      EXPECT_TRUE(crashes.empty());
      continue;
    }
    ASSERT_TRUE(sent);
    EXPECT_EQ(t.GetHighestReceipt(), expected);
    ASSERT_EQ(crashes.size(), 1u);
    EXPECT_EQ(crashes[0][3], "8");
    EXPECT_EQ(crashes[0][8], std::to_string(report.size()));  // stored as text
    // The detailed receipt names the stored row.
    EXPECT_EQ(t.GetReceiptDetails().identifier, id);
    EXPECT_EQ(t.GetReceiptText(), "stored crash " + crashes[0][0]);
    EXPECT_EQ(t.GetReceiptSecondValue(), uint32_t(std::stoul(crashes[0][0])));
    auto attachments = Query("attachments session=" + std::to_string(id));
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(Row(attachments[0].begin() + 2, attachments[0].begin() + 4),
              Row({"crash.dmp", std::to_string(dump.size())}));
  }
}

TEST(Tovik, InitializeConnectsAndSendsTheSessionStartedBefore) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  std::string publicServer = "localhost:" + gvtest::PeerText("GV_TOVIK_PORT");
  SetTovikPublicServer(publicServer.c_str());
  Tovik t;
  t.StartSession("unused", "7.0", 3, 0, false);
  ASSERT_EQ(t.Initialize("TovikChain", "public"), 0);
  uint32_t id = t.GetSessionId();
  EXPECT_NE(id, 0u);
  EXPECT_STREQ(t.GetConnection()->GetHost(), publicServer.c_str());
  auto sessions = Query("sessions session=" + std::to_string(id));
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(Row(sessions[0].begin() + 1, sessions[0].begin() + 4), Row({"TovikChain", "7.0", "3"}));
  SetTovikPublicServer(nullptr);
}
