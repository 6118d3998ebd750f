#pragma once

#include <cstddef>
#include <cstdint>

// Assertion and diagnostics output of the crash and telemetry library: a Logger formats a
// message, a LogDriver delivers it. SimpleLogger is both and writes to the debugger output
// and the standard streams.
namespace Vorq::Assert {

// Severity flags of a message.
constexpr uint32_t kSeverityMessage = 0x80;
constexpr uint32_t kSeverityError = 0x40;  // 0x20 also means an error
constexpr uint32_t kSeverityErrorMask = 0x60;
constexpr uint32_t kSeverityWarning = 0x10;  // 0x08 also means a warning
constexpr uint32_t kSeverityWarningMask = 0x18;
constexpr uint32_t kSeverityTrace = 0x04;

// Option flags of a message.
constexpr uint32_t kOptionAssertion = 0x01;     // raised by an assertion
constexpr uint32_t kOptionLocation = 0x04;      // prefix "file(line) : kind: "
constexpr uint32_t kOptionFinishedText = 0x20;  // the text is not a printf format
constexpr uint32_t kOptionNewLine = 0x80;       // end with a line feed

class Logger {
 public:
  virtual ~Logger() = default;
  // `category` and `value` travel unchanged to the driver's Output. `format` is a finished
  // text when `options` has kOptionFinishedText, so the compiler cannot check it.
  virtual void Log(uint32_t category,
                   uint32_t severity,
                   uint32_t value,
                   uint32_t options,
                   const char* file,
                   int32_t line,
                   const char* format,
                   ...) = 0;
  // Extension points of the interface; nothing here overrides them.
  virtual void Hook1() {}
  virtual void Hook2() {}
  virtual void Hook3() {}
  virtual void Hook4(uint32_t value) {}
  virtual void Hook5(uint32_t value) {}
};

class LogDriver;

// Whatever a driver is registered with; told when the driver goes away.
class LogDriverOwner {
 public:
  virtual void DetachDriver(LogDriver* driver) = 0;

 protected:
  ~LogDriverOwner() = default;
};

class LogDriver {
 public:
  static constexpr uint32_t kTag = 0x74636F6E;  // the bytes "noct" in memory order

  LogDriver() = default;
  // Asks the owner, if any, to detach this driver.
  virtual ~LogDriver();
  LogDriver(const LogDriver&) = delete;
  LogDriver& operator=(const LogDriver&) = delete;

  // Delivers one finished message; `length` counts its terminating NUL.
  virtual void Output(uint32_t category,
                      uint32_t severity,
                      uint32_t value,
                      uint32_t options,
                      const char* message,
                      uint32_t length) {}
  // Extension point of the interface; nothing here overrides it.
  virtual void OutputHook(uint32_t a,
                          uint32_t b,
                          uint32_t c,
                          uint32_t d,
                          uint32_t e,
                          uint32_t f,
                          uint32_t g,
                          uint32_t h) {}

  uint32_t tag = kTag;
  LogDriverOwner* owner = nullptr;
};

// Formats into 1024 bytes (longer messages are cut) and sends the result to the debugger
// output, then to standard output (severity kSeverityMessage) or standard error. Keeps no
// state and takes no lock. While it lives it is the current assertion logger.
class SimpleLogger : public Logger, public LogDriver {
 public:
  static constexpr size_t kBufferSize = 1024;

  SimpleLogger();
  ~SimpleLogger() override;

  void Log(uint32_t category,
           uint32_t severity,
           uint32_t value,
           uint32_t options,
           const char* file,
           int32_t line,
           const char* format,
           ...) override;
  void Output(uint32_t category,
              uint32_t severity,
              uint32_t value,
              uint32_t options,
              const char* message,
              uint32_t length) override;

 private:
  // OutputDebugStringA on Windows; the host has no debugger channel.
  static void SendToDebugger(const char* message);
};

// The SimpleLogger alive now, or null.
Logger* CurrentLogger();

}  // namespace Vorq::Assert
