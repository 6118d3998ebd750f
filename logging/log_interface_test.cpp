#include "logging/log_interface.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/multi_logger.h"

namespace {

using Journal = std::vector<std::string>;

// A sink that writes down what happens to it, in a journal shared by several sinks.
class RecordingSink : public LogInterface {
 public:
  RecordingSink(const char* name, int startLevel, Journal* journal, int* destroyed = nullptr)
      : LogInterface(startLevel), m_name(name), m_journal(journal), m_destroyed(destroyed) {}
  ~RecordingSink() override {
    if (m_destroyed)
      ++*m_destroyed;
  }
  void Start() override { Note("start"); }
  void Stop(int32_t code) override {
    Note("stop " + std::to_string(code));
    if (onStop)
      onStop();
  }
  void Write(int messageLevel, int line, const char* file, const char* text) override {
    Note(std::to_string(messageLevel) + " " + text);
    if (onWrite)
      onWrite();
  }
  void WriteFormatted(int messageLevel,
                      int line,
                      const char* file,
                      const char* format,
                      va_list args) override {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    Note(std::to_string(messageLevel) + " " + text);
  }
  void WriteExtra(int messageLevel, int32_t value) override {
    Note("extra " + std::to_string(value));
  }
  void WriteExtra2(int messageLevel, int32_t a, int32_t b) override {
    Note("extra2 " + std::to_string(a) + "," + std::to_string(b));
  }
  bool WantsFilteredNotice() override { return wantsNotice; }
  void OnFiltered() override { Note("filtered"); }

  bool wantsNotice = false;
  std::function<void()> onWrite, onStop;

 private:
  void Note(const std::string& what) { m_journal->push_back(m_name + ": " + what); }
  std::string m_name;
  Journal* m_journal;
  int* m_destroyed;
};

}  // namespace

TEST(ParseLogLevel, NamesInAnyCase) {
  const struct {
    const char* name;
    int expected;
  } cases[] = {
      {"trace", 0}, {"VERBOSE", 1}, {"Normal", 2}, {"mAjOr", 3},  {"warnings", 4}, {"errors", 7},
      {"error", 9}, {"", 9},        {" trace", 9}, {"traces", 9}, {"5", 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseLogLevel(c.name, 9), c.expected);
  }
}

TEST(MultiLogger, TwoThresholdsApplyAndFilteredSinksThatAskAreTold) {
  Journal journal;
  MultiLogger multi;
  multi.Add(new RecordingSink("open", 0, &journal));
  multi.SetLevel(3);
  multi.Log(2, 1, "f", "too low for the main logger");
  EXPECT_TRUE(journal.empty());
  multi.Log(3, 1, "f", "reaches the sink");
  EXPECT_EQ(journal, (Journal{"open: start", "open: 3 reaches the sink"}));

  // A sink that asks is told of each message it did not get, whichever threshold stopped it.
  journal.clear();
  multi.SetLevel(0);
  auto* picky = new RecordingSink("picky", 4, &journal);
  picky->wantsNotice = true;
  multi.Add(picky);
  multi.LogF(3, 1, "f", "n=%d s=%s", 5, "x");  // each sink formats its own copy
  multi.LogF(4, 1, "f", "n=%d", 6);
  multi.SetLevel(5);
  multi.Log(4, 1, "f", "dropped by the main logger");
  EXPECT_EQ(journal, (Journal{"open: 3 n=5 s=x", "picky: filtered", "open: 4 n=6", "picky: start",
                              "picky: 4 n=6", "picky: filtered"}));
}

TEST(MultiLogger, FinishStopsAndTheNextMessageStartsAgain) {
  Journal journal;
  MultiLogger multi;
  multi.Log(7, 1, "f", "accepted with no sinks");
  multi.SetLevel(0);
  multi.Add(new RecordingSink("s", 0, &journal));
  multi.Log(2, 1, "f", "one");
  multi.Finish(100);
  multi.Finish(100);  // stopped already: nothing happens
  multi.Log(2, 1, "f", "two");
  multi.StopIfStarted(7);
  multi.LogExtra(2, 11);
  multi.LogExtra2(1, 12, 13);
  multi.LogExtra(-1, 14);  // below the sink's level
  EXPECT_EQ(journal, (Journal{"s: start", "s: 2 one", "s: stop 100", "s: start", "s: 2 two",
                              "s: stop 7", "s: start", "s: extra 11", "s: extra2 12,13"}));
}

TEST(MultiLogger, AttachedSinkOutlivesItsOtherHolders) {
  Journal journal;
  int destroyed = 0;
  CCSharedPtr<MultiLogger> multi(new MultiLogger);
  {
    CCSharedPtr<LogInterface> sink(new RecordingSink("s", 0, &journal, &destroyed));
    multi->Add(sink);
    multi->Add(nullptr);
  }
  EXPECT_EQ(destroyed, 0);  // the fan-out still holds it
  multi->Log(2, 1, "f", "still here");
  EXPECT_EQ(journal.back(), "s: 2 still here");

  CCSharedPtr<LogInterface> second(new RecordingSink("t", 0, &journal, &destroyed));
  multi->Add(second);
  multi->Add(second);
  multi->Remove(second);
  EXPECT_EQ(multi->SinkCount(), 1u);
  second.Reset();
  EXPECT_EQ(destroyed, 1);
  multi.Reset();  // the last reference to the fan-out releases its sinks
  EXPECT_EQ(destroyed, 2);
}

// While a sink writes or stops, both its lock and the fan-out's are held, so another thread
// can take neither; many threads logging at once lose nothing.
TEST(MultiLogger, LocksFanOutThenSinkAndSerialisesWriters) {
  Journal journal;
  MultiLogger multi;
  multi.SetLevel(0);
  auto* sink = new RecordingSink("s", 0, &journal);
  multi.Add(sink);
  int heldBoth = 0;
  auto probeLocks = [&] {
    std::thread([&] {
      bool multiFree = multi.mutex.TryLock();
      if (multiFree)
        multi.mutex.Unlock();
      bool sinkFree = sink->mutex.TryLock();
      if (sinkFree)
        sink->mutex.Unlock();
      heldBoth += !multiFree && !sinkFree;
    }).join();
  };
  sink->onWrite = probeLocks;
  multi.Log(2, 1, "f", "probe");
  sink->onWrite = nullptr;
  sink->onStop = probeLocks;
  multi.Finish(100);
  sink->onStop = nullptr;
  EXPECT_EQ(heldBoth, 2);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&multi, sink, t] {
      for (int i = 0; i < 500; ++i) {
        if (i % 3 == 0)
          sink->Log(2, 1, "f", "direct");  // the sink's own lock only
        else
          multi.LogF(2, 1, "f", "%d", t);
        if (i % 50 == 0)
          multi.Finish(100);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  size_t writes = 0;
  for (const auto& entry : journal)
    writes += entry.rfind("s: 2 ", 0) == 0;
  EXPECT_EQ(writes, 1u + 4 * 500);
}
