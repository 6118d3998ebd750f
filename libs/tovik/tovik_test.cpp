// The telemetry client against the collection service on 127.0.0.1 (a peer of the test run,
// queried through its control port), and the decoding of answers against hostile bytes.

#include "libs/tovik/tovik.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/ccutility/binxml/binxml_error.h"
#include "libs/ccutility/binxml/binxml_writer.h"
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

// An answer as the service encodes it: an empty header record and a body.
std::string Answer(uint8_t type, uint32_t id, uint32_t receipt, const char* text) {
  char buffer[256];
  BinXML::Writer w(buffer, sizeof buffer, 0, true);
  w.BeginRecord(1), w.SetToken(2), w.Write(uint8_t(0)), w.EndRecord();
  w.BeginRecord(2);
  w.SetToken(1), w.Write(type);
  w.SetToken(2), w.Write(id);
  w.SetToken(3), w.Write(receipt);
  w.SetToken(4), w.Write(uint32_t(77));
  w.SetToken(6), w.Write(text);
  w.EndRecord();
  return std::string(buffer, w.GetBufferSize());
}

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
    EXPECT_TRUE(tovik.Send(Tovik::CallerValues(), 2, true, "numbered.cpp", 1, &body, nullptr,
                           nullptr));
    return tovik.GetSequence();
  }
};

}  // namespace

TEST(TovikAnswer, DecodesAnswersAndRejectsHostileBytes) {
  const std::string valid = Answer(2, 9, 41, "stored item 3");
  TovikAnswer a = ParseTovikAnswer(valid.data(), uint32_t(valid.size()));
  EXPECT_TRUE(a.hasBody);
  EXPECT_EQ(a.type, 2);
  EXPECT_EQ(a.identifier, 9u);
  EXPECT_EQ(a.receipt, 41u);
  EXPECT_EQ(a.second, 77u);
  EXPECT_STREQ(a.text.c_str(), "stored item 3");

  const struct {
    const char* name;
    std::string bytes;
    bool bad;
    uint32_t receipt;
  } cases[] = {
      {"empty", "", false, 0},
      {"header only", Bytes({1, 2, 2, 0}), false, 0},
      {"unknown tokens skipped", Bytes({9, 1, 0, 2, 7, 200, 2, 'x', 'y', 3, 1, 7}), false, 7},
      {"receipt of five bytes", Bytes({2, 7, 1, 1, 1, 3, 5, 0, 0, 0, 0, 1}), true, 0},
      {"type of two bytes", Bytes({2, 4, 1, 2, 0, 1}), true, 0},
      {"body past the end", Bytes({2, 0x10, 1, 1, 1}), true, 0},
      {"value past its record", Bytes({2, 3, 3, 4, 1, 0, 0, 0}), true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.bad) {
      EXPECT_THROW(ParseTovikAnswer(c.bytes.data(), uint32_t(c.bytes.size())),
                   BinXML::BadStream);
    } else {
      EXPECT_EQ(ParseTovikAnswer(c.bytes.data(), uint32_t(c.bytes.size())).receipt, c.receipt);
    }
  }
  // Every cut of a good answer decodes or fails cleanly; none reads past its bytes.
  for (size_t n = 0; n < valid.size(); ++n) {
    std::vector<char> cut(valid.begin(), valid.begin() + long(n));
    try {
      ParseTovikAnswer(cut.data(), uint32_t(n));
    } catch (const BinXML::BadStream&) {
    }
  }
}

TEST(Tovik, SessionReceiptsAndStoredLogLines) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  Tovik& t = client.tovik;
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
  EXPECT_EQ(sessions[0][1], "TovikTest");
  EXPECT_EQ(sessions[0][2], "1.2.3");
  EXPECT_EQ(sessions[0][3], "4");
  EXPECT_FALSE(sessions[0][4].empty());  // the host name
  EXPECT_EQ(sessions[0][9], "-");        // not ended yet

  t.Shutdown(2000);
  EXPECT_NE(Query("sessions session=" + std::to_string(id))[0][9], "-");
  EXPECT_FALSE(t.Log(5, "x.cpp", 1, "after the end"));
  EXPECT_EQ(Query("logs session=" + std::to_string(id)).size(), 3u);
}

TEST(Tovik, NextSessionContinuesThePreviousOne) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  uint32_t first;
  {
    Client client;
    client.tovik.StartSession("TovikTest", "1", 0, 0);
    first = client.tovik.GetSessionId();
    ASSERT_NE(first, 0u);
  }
  Client client;
  client.tovik.StartSession("TovikTest", "2", 0, first);
  EXPECT_EQ(client.tovik.GetSessionId(), first);
  EXPECT_EQ(Query("sessions session=" + std::to_string(first))[0][2], "2");
}

TEST(Tovik, MessagesWhileConnectingQueueAndAClosedConnectionDrops) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client(false);
  Tovik& t = client.tovik;
  ASSERT_TRUE(t.GetConnection()->IsConnecting());  // no connection step has run yet
  ASSERT_TRUE(t.StartSession("TovikTest", "q", 0, 0));
  EXPECT_TRUE(t.Log(4, "queued.cpp", 1, "while connecting"));
  uint32_t id = t.GetSessionId();
  ASSERT_NE(id, 0u);
  uint32_t seq = client.SendNumbered("flush");
  EXPECT_EQ(t.WaitForReceipt(seq, 5000), seq);
  auto logs = Query("logs session=" + std::to_string(id));
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0][8], "while connecting");

  t.GetConnection()->Close();
  EXPECT_FALSE(t.Log(4, "dropped.cpp", 1, "closed"));
  EXPECT_FALSE(t.GetConnection()->HasPendingOutput());
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

TEST(Tovik, HostileAnswersEndTheWaitWithoutLosingTheStream) {
  NEED_COLLECTOR();
  const struct {
    const char* mode;
    bool connectionSurvives;
  } cases[] = {
      {"oversized 2000 times=1 kinds=2", true},
      {"corrupt times=1 kinds=2", true},
      {"cut-answer times=1 kinds=2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ServiceBehaviour misbehaving(c.mode);
    Client client;
    Tovik& t = client.tovik;
    t.StartSession("TovikTest", "hostile", 0, 0);
    ASSERT_NE(t.GetSessionId(), 0u);
    uint32_t seq = client.SendNumbered("first");
    // The bad answer may already have been read (and passed over) while sending, so this
    // wait can run to its end; either way no receipt comes.
    EXPECT_EQ(t.WaitForReceipt(seq, 2000), 1u);
    EXPECT_EQ(t.GetConnection()->IsOpen(), c.connectionSurvives);
    if (c.connectionSurvives) {
      uint32_t next = client.SendNumbered("second");
      EXPECT_EQ(t.WaitForReceipt(next, 3000), next);
    }
  }
}

TEST(Tovik, DetailedReceiptKeepsItsText) {
  NEED_COLLECTOR();
  ServiceBehaviour detailed("detailed");
  Client client;
  Tovik& t = client.tovik;
  t.StartSession("TovikTest", "detailed", 0, 0);
  uint32_t id = t.GetSessionId();
  uint32_t seq = client.SendNumbered("line");
  EXPECT_EQ(t.WaitForReceipt(seq, 3000), seq);
  EXPECT_EQ(t.GetReceiptDetails().receipt, seq);
  EXPECT_EQ(t.GetReceiptDetails().identifier, id);
  std::string row = Query("logs session=" + std::to_string(id)).at(0).at(0);
  EXPECT_EQ(t.GetReceiptText(), "stored item " + row);
  EXPECT_EQ(t.GetReceiptSecondValue(), uint32_t(std::stoul(row)));
}

TEST(Tovik, CrashReportGoesAtOnceWithItsAttachmentStreamed) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  Tovik& t = client.tovik;
  t.StartSession("TovikTest", "crash", 0, 0);
  std::string report = "<report>" + std::string(3000, 'r') + "</report>";
  std::string dump(300000, '\0');
  for (size_t i = 0; i < dump.size(); ++i)
    dump[i] = char(i * 7 + i / 256);
  BinXML::String reportValue(report.c_str());
  BinXML::Binary dumpValue(dump.data(), uint32_t(dump.size()));
  uint32_t expected = t.GetSequence() + 1;
  t.SetNewSequence();
  ASSERT_TRUE(t.Send(Tovik::CallerValues(), Tovik::kKindCrashReport, false, "crash.cpp", 9,
                     &reportValue, "crash.dmp", &dumpValue));
  // Sent at once and confirmed, without any further flush.
  EXPECT_EQ(t.GetHighestReceipt(), expected);
  uint32_t id = t.GetSessionId(false);
  ASSERT_NE(id, 0u);
  auto crashes = Query("crashes session=" + std::to_string(id));
  ASSERT_EQ(crashes.size(), 1u);
  EXPECT_EQ(crashes[0][3], "8");
  EXPECT_EQ(crashes[0][8], std::to_string(report.size()));  // stored as text
  auto attachments = Query("attachments session=" + std::to_string(id));
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0][2], "crash.dmp");
  EXPECT_EQ(attachments[0][3], std::to_string(dump.size()));
}

TEST(Tovik, CrashReportCutOffByTheServiceEndsWithoutReceipt) {
  NEED_COLLECTOR();
  ServiceBehaviour cut("cut-request kinds=8,10");
  Client client;
  Tovik& t = client.tovik;
  t.StartSession("TovikTest", "cut", 0, 0);
  uint32_t id = t.GetSessionId();
  ASSERT_NE(id, 0u);
  // Larger than the socket buffers, so the cut meets the sending, not only the wait.
  std::string dump(16 << 20, 'd');
  BinXML::Binary dumpValue(dump.data(), uint32_t(dump.size()));
  uint32_t expected = t.GetSequence() + 1;
  t.SetNewSequence();
  t.Send(Tovik::CallerValues(), Tovik::kKindMinidump, false, "crash.cpp", 9, nullptr,
         "cut.dmp", &dumpValue);
  EXPECT_LT(t.GetHighestReceipt(), expected);
  EXPECT_FALSE(t.GetConnection()->IsOpen());
  EXPECT_TRUE(Query("crashes session=" + std::to_string(id)).empty());
}

TEST(Tovik, InitializeFollowsTheFallbackChainToThePublicServer) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Control("discovery off");
  std::string publicServer = "localhost:" + gvtest::PeerText("GV_TOVIK_PORT");
  SetTovikPublicServer(publicServer.c_str());
  Tovik t;
  t.StartSession("unused", "7.0", 3, 0, false);
  std::string configuration = Local(RefusingPort()) + "; auto";
  ASSERT_EQ(t.Initialize("TovikChain", configuration.c_str()), 0);
  uint32_t id = t.GetSessionId();
  EXPECT_NE(id, 0u);
  EXPECT_STREQ(t.GetConnection()->GetHost(), publicServer.c_str());
  auto sessions = Query("sessions session=" + std::to_string(id));
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0][1], "TovikChain");
  EXPECT_EQ(sessions[0][2], "7.0");
  EXPECT_EQ(sessions[0][3], "3");
  SetTovikPublicServer(nullptr);
}
