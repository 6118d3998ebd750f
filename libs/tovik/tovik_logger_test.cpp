#include "libs/tovik/tovik_logger.h"

#include <gtest/gtest.h>

#include <string>

#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_test_support.h"

using tovik_test::FastClock;
using tovik_test::Local;
using tovik_test::Query;
using tovik_test::ServiceBehaviour;

namespace {

std::string Collector() {
  return Local(gvtest::PortOf("GV_TOVIK_PORT"));
}

// Sent is not yet stored: the sink asks for no receipts, so wait for the rows.
std::vector<std::vector<std::string>> Logs(uint32_t session, size_t expected) {
  std::vector<std::vector<std::string>> logs;
  for (int i = 0; i < 500 && logs.size() < expected; ++i) {
    logs = Query("logs session=" + std::to_string(session));
    if (logs.size() < expected)
      cc::SleepMs(10);
  }
  return logs;
}

}  // namespace

TEST(TovikLogger, LevelsReachTheServiceAsTheirKinds) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  CCSharedPtr<TovikLogger> sink(new TovikLogger("1.0.0.7", Collector().c_str(), 0, 0));
  struct Case {
    int level;
    const char* kind;
  } cases[] = {{0, "2"}, {1, "1"}, {3, "1"}, {4, "3"},  {5, "3"}, {6, "4"},
               {7, "5"}, {8, "5"}, {9, "6"}, {10, "7"}, {12, "2"}};
  for (const Case& c : cases)
    sink->LogF(c.level, 30 + c.level, "sink.cpp", "level %d", c.level);
  sink->Log(7, 99, "sink.cpp", "ready 100% text");  // not a format
  ASSERT_TRUE(sink->Close(5000));                   // sends what is queued, ends the session
  uint32_t id = sink->SessionId();
  ASSERT_NE(id, 0u);

  EXPECT_EQ(Query("sessions session=" + std::to_string(id)).at(0)[1], "Galvorand");
  auto logs = Logs(id, std::size(cases) + 1);
  ASSERT_EQ(logs.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].level);
    EXPECT_EQ(logs[i][3], cases[i].kind);
    EXPECT_EQ(logs[i][5], std::to_string(30 + cases[i].level));
    EXPECT_EQ(logs[i][8], "level " + std::to_string(cases[i].level));
  }
  EXPECT_EQ(logs.back()[8], "ready 100% text");
  sink->Log(7, 1, "sink.cpp", "after the close");
  EXPECT_EQ(sink->LostLines(), 1u);
}

// As the start-up exchanges the sink once the application DLL's version is known: the caller
// never waits, and a service that answers late still sees one session, continued. A run that
// ends at once still delivers both session messages. The successor runs on the first sink's
// thread, also when that thread starts only after the exchange (as the launcher starts it),
// or on its own when the first sink's thread is already over.
TEST(TovikLogger, ExchangedSinkContinuesTheSessionWithoutWaiting) {
  NEED_COLLECTOR();
  enum Order { kThreadAtOnce, kThreadAfterTheExchange, kFirstOverBeforeTheExchange };
  for (int delayMs : {300, 0}) {
    SCOPED_TRACE(delayMs);
    ServiceBehaviour delayed(delayMs ? "delay " + std::to_string(delayMs) : "normal");
    for (int run = 0; run < (delayMs ? 1 : 21); ++run) {
      const Order order = delayMs ? kThreadAfterTheExchange : Order(run % 3);
      SCOPED_TRACE(int(order));
      const uint64_t start = Vorq::TovikClock::Current().NowMs();
      CCSharedPtr<TovikLogger> first(new TovikLogger("4.0.0.320", Collector().c_str(), 0, 0,
                                                     order != kThreadAfterTheExchange));
      first->Log(5, 1, "sink.cpp", "under the launcher's version");
      if (order == kFirstOverBeforeTheExchange) {
        ASSERT_TRUE(first->Close(8000));
      }
      CCSharedPtr<TovikLogger> second(new TovikLogger("1.2.3.200", Collector().c_str(), 0, *first));
      if (order == kThreadAfterTheExchange)
        first->StartThread();
      first.Reset();
      second->Log(5, 2, "sink.cpp", "under the DLL's version");
      if (delayMs) {
        EXPECT_LT(Vorq::TovikClock::Current().NowMs() - start, uint64_t(delayMs));
      }
      ASSERT_TRUE(second->Close(8000));
      ASSERT_TRUE(TovikLogger::WaitForThreads(8000));
      uint32_t id = second->SessionId();
      ASSERT_NE(id, 0u);
      auto sessions = Query("sessions session=" + std::to_string(id));
      ASSERT_EQ(sessions.size(), 1u);
      EXPECT_EQ(sessions[0][2], "1.2.3.200");  // the first session, continued
      auto logs = Logs(id, 2);
      ASSERT_EQ(logs.size(), 2u);
      EXPECT_EQ(logs[0][8], "under the launcher's version");
      EXPECT_EQ(logs[1][8], "under the DLL's version");
    }
  }
}

// Lines past the queue's bounds are counted while the service is out of reach (here: while
// the sink waits for a predecessor whose service refuses), and the count follows the lines.
TEST(TovikLogger, LinesPastTheQueueBoundsAreCountedAndReported) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  CCSharedPtr<TovikLogger> first(
      new TovikLogger("4.0.0.320", Local(tovik_test::RefusingPort()).c_str(), 0, 0));
  CCSharedPtr<TovikLogger> second(new TovikLogger("1.2.3.200", Collector().c_str(), 0, *first));
  const std::string big(TovikLogger::kMaxQueuedBytes, 'b');
  second->Log(5, 0, "sink.cpp", big.c_str());  // past the byte bound alone
  const int lines = int(TovikLogger::kMaxQueuedLines) + 44;
  for (int i = 0; i < lines; ++i)
    second->LogF(5, i, "sink.cpp", "line %d", i);
  EXPECT_EQ(second->LostLines(), 45u);
  EXPECT_EQ(first->SessionId(), 0u);
  first.Reset();  // gives up its session question at once: its service cannot be reached

  ASSERT_TRUE(second->Close(8000));
  uint32_t id = second->SessionId();
  ASSERT_NE(id, 0u);
  auto logs = Logs(id, TovikLogger::kMaxQueuedLines + 1);
  ASSERT_EQ(logs.size(), TovikLogger::kMaxQueuedLines + 1);
  EXPECT_EQ(logs[0][8], "45 log lines lost while the service was out of reach");
  EXPECT_EQ(logs[1][8], "line 0");
  EXPECT_EQ(logs.back()[8], "line 255");
}
