#include "libs/tovik/tovik_logger.h"

#include <gtest/gtest.h>

#include <string>

#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_test_support.h"

using tovik_test::Local;
using tovik_test::Query;
using tovik_test::ServiceBehaviour;

TEST(TovikLogger, LevelsReachTheServiceAsTheirKinds) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  CCSharedPtr<TovikLogger> sink(
      new TovikLogger("1.0.0.7", Local(gvtest::PortOf("GV_TOVIK_PORT")).c_str(), 0, 0));
  struct Case {
    int level;
    const char* kind;
  } cases[] = {{0, "2"}, {1, "1"}, {3, "1"}, {4, "3"},  {5, "3"}, {6, "4"},
               {7, "5"}, {8, "5"}, {9, "6"}, {10, "7"}, {12, "2"}};
  for (const Case& c : cases)
    sink->LogF(c.level, 30 + c.level, "sink.cpp", "level %d", c.level);
  sink->Log(7, 99, "sink.cpp", "ready 100% text");  // not a format
  sink->Finish(2000);                               // flushes what the client queued
  uint32_t id = sink->Client().GetSessionId();
  ASSERT_NE(id, 0u);

  EXPECT_EQ(Query("sessions session=" + std::to_string(id)).at(0)[1], "Galvorand");
  // Sent is not yet stored: the sink asks for no receipts, so wait for the rows.
  std::vector<std::vector<std::string>> logs;
  for (int i = 0; i < 500 && logs.size() < std::size(cases) + 1; ++i) {
    cc::SleepMs(10);
    logs = Query("logs session=" + std::to_string(id));
  }
  ASSERT_EQ(logs.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].level);
    EXPECT_EQ(logs[i][3], cases[i].kind);
    EXPECT_EQ(logs[i][5], std::to_string(30 + cases[i].level));
    EXPECT_EQ(logs[i][8], "level " + std::to_string(cases[i].level));
  }
  EXPECT_EQ(logs.back()[8], "ready 100% text");
}

TEST(TovikLogger, ExchangedSinkContinuesTheSession) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  std::string server = Local(gvtest::PortOf("GV_TOVIK_PORT"));
  CCSharedPtr<TovikLogger> first(new TovikLogger("4.0.0.320", server.c_str(), 0, 0));
  uint32_t id = first->Client().GetSessionId();
  ASSERT_NE(id, 0u);

  // As the start-up sequence does once the application DLL's version is known.
  first.Reset();
  CCSharedPtr<TovikLogger> second(new TovikLogger("1.2.3.200", server.c_str(), 0, id));
  EXPECT_EQ(second->Client().GetSessionId(), id);
  EXPECT_EQ(Query("sessions session=" + std::to_string(id))[0][2], "1.2.3.200");
}

TEST(TovikLogger, UnreachableServiceDropsMessages) {
  CCSharedPtr<TovikLogger> sink(
      new TovikLogger("4.0.0.320", Local(tovik_test::RefusingPort()).c_str(), 0, 0));
  sink->Log(7, 1, "sink.cpp", "nobody hears this");
  sink->Finish(100);
  EXPECT_EQ(sink->Client().GetSessionId(false), 0u);
}
