#include "logging/assert_logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace Vorq::Assert;

namespace {

// Keeps what reaches Output instead of printing it.
class KeepingLogger : public SimpleLogger {
 public:
  void Output(uint32_t category,
              uint32_t severity,
              uint32_t value,
              uint32_t options,
              const char* message,
              uint32_t length) override {
    passedThrough = category * 100 + value;
    lastLength = length;
    lastMessage = message;
  }
  uint32_t passedThrough = 0, lastLength = 0;
  std::string lastMessage;
};

}  // namespace

TEST(SimpleLogger, PrefixesAndStreams) {
  const struct {
    uint32_t severity, options;
    const char* out;
    const char* err;
  } cases[] = {
      {0x80, 0x04, "a(12) : message: text 7", ""},
      {0xC0, 0x84, "a(12) : message: text 7\n", ""},  // the message bit is tested first
      {0x40, 0x05, "", "a(12) : assertion error: text 7"},
      {0x20, 0x04, "", "a(12) : error: text 7"},
      {0x10, 0x05, "", "a(12) : assertion warning: text 7"},
      {0x08, 0x04, "", "a(12) : warning: text 7"},
      {0x04, 0x04, "", "a(12) : trace: text 7"},
      {0x00, 0x04, "", "text 7"},
      {0x40, 0x00, "", "text 7"},
  };
  SimpleLogger logger;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "severity " << c.severity << " options " << c.options);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    logger.Log(1, c.severity, 2, c.options, "a", 12, "text %d", 7);
    std::fflush(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
  }
}

TEST(SimpleLogger, FinishedTextsAndCutLengths) {
  KeepingLogger logger;
  logger.Log(3, 0x80, 9, 0xA0, "f", 1, "100%d %s");  // finished: not formatted
  EXPECT_EQ(logger.lastMessage, "100%d %s\n");
  EXPECT_EQ(logger.lastLength, 10u);
  EXPECT_EQ(logger.passedThrough, 309u);

  std::string text(2000, 'x');
  logger.Log(3, 0x80, 9, 0x20, "f", 1, text.c_str());
  EXPECT_EQ(logger.lastMessage, text.substr(0, 1023));
  EXPECT_EQ(logger.lastLength, 1024u);
  logger.Log(3, 0x80, 9, 0x84, "f", 1, "%s", text.c_str());
  EXPECT_EQ(logger.lastMessage, "f(1) : message: " + text.substr(0, 1022 - 16) + "\n");

  // A location that does not fit fills the room exactly.
  std::string file(1500, 'p');
  logger.Log(3, 0x40, 9, 0x84, file.c_str(), 1, "lost");
  EXPECT_EQ(logger.lastMessage, file.substr(0, 1022) + "\n");
  EXPECT_EQ(logger.lastLength, 1024u);
}

TEST(SimpleLogger, IsTheCurrentLoggerWhileItLives) {
  EXPECT_EQ(CurrentLogger(), nullptr);
  {
    SimpleLogger logger;
    EXPECT_EQ(CurrentLogger(), static_cast<Logger*>(&logger));
  }
  EXPECT_EQ(CurrentLogger(), nullptr);

  struct Owner : LogDriverOwner {
    void DetachDriver(LogDriver* driver) override { detached = driver; }
    LogDriver* detached = nullptr;
  } owner;
  LogDriver* address;
  {
    LogDriver driver;
    driver.owner = &owner;
    address = &driver;
  }
  EXPECT_EQ(owner.detached, address);
}
