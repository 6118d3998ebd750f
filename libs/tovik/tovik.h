#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/tovik/tovik_answer.h"
#include "libs/tovik/tovik_discovery_connection.h"
#include "logging/assert_logger.h"

namespace BinXML {
class Writer;
}

namespace Vorq {

// The client of the telemetry collection service: opens a session for the application,
// sends log lines, crash reports and files as numbered BinXML messages over a connection
// and reads the service's answers (the session identifier and receipts). Reports by return
// values; nothing throws out of it. Used by one thread at a time (the log sink's lock, or
// the crash handler with every other thread suspended).
class Tovik : public Assert::LogDriver {
 public:
  static constexpr uint32_t kTovikTag = 0x6C6F6770;  // the bytes "pgol" in memory order
  static constexpr uint32_t kPrefixSize = 4;         // big-endian length before each message
  static constexpr uint32_t kOutputAreaSize = 5120;
  static constexpr uint32_t kMaxQueuedSize = 4096;  // a queued message, prefix included
  static constexpr uint32_t kAnswerBufferSize = 1024;
  static constexpr uint32_t kSmallAnswerSize = 64;
  static constexpr uint32_t kStreamThreshold = 4096;
  static constexpr uint32_t kLogTextSize = 4096;
  static constexpr uint32_t kHostNameSize = 64;
  static constexpr int32_t kSessionWaitMs = 5000;
  static constexpr int32_t kImmediateWaitMs = 5000;

  // Message kinds (header token 2).
  static constexpr uint8_t kKindSession = 0;  // also the end of a session
  static constexpr uint8_t kKindLowestLog = 1;
  static constexpr uint8_t kKindHighestLog = 7;
  static constexpr uint8_t kKindCrashReport = 8;
  static constexpr uint8_t kKindCrashOther = 9;
  static constexpr uint8_t kKindMinidump = 10;

  // The caller's own header fields of a message.
  struct CallerValues {
    uint32_t value = 0;             // token 8: the session kind on a session message
    const char* text = nullptr;     // token 9: the application name on a session message
    const char* version = nullptr;  // token 10: the version on a session message
    uint32_t value12 = 0;           // token 12: the previous session on a session message
  };

  // The details of the last detailed receipt.
  struct ReceiptDetails {
    uint32_t receipt = 0;
    uint32_t identifier = 0;
    uint32_t further = 0;
  };

  // Starts the socket library (cleaned up by the destructor). The client starts with its
  // embedded discovery-or-public connection, not opened.
  Tovik();
  ~Tovik() override;

  // Assertion messages delivered to the client go out as log lines (errors as kind 5,
  // warnings as 3, others as 1).
  void Output(uint32_t category,
              uint32_t severity,
              uint32_t value,
              uint32_t options,
              const char* message,
              uint32_t length) override;

  // Sends one message: queued on the connection, or, for crash reports (and per the
  // immediacy mode), sent at once with large values streamed, waiting for its receipt.
  // `text` and `attachment` (either may be null) become the body's values. True when the
  // message was queued or sent; false when it was dropped (no connection, too large to
  // queue, a send error).
  virtual bool Send(const CallerValues& values,
                    uint8_t kind,
                    bool numbered,
                    const char* source,
                    uint32_t line,
                    BinXML::Streamable* text,
                    const char* attachmentName,
                    BinXML::Streamable* attachment);
  // Shutdown (1000), a new connection from `configuration` (see CreateTovikConnection), owned
  // by the client, opened, then a session for `applicationName` with the version and kind of
  // the last session. 0, or -1 when the connection could not be opened.
  virtual int Initialize(const char* applicationName, const char* configuration);
  // Not deferred, open and connected after one connection step.
  virtual bool IsConnected();
  // Not deferred, open and still connecting.
  virtual bool IsConnecting();
  // Sends what is queued and reads answers until receipt `sequence` arrived, the connection
  // closed, an answer could not be read, or `timeoutMs` passed (-1: no limit, 0: only what is
  // already there). Ends at its time-out even while answers keep coming; an answer cut off
  // by the time-out is finished by the next call, so the stream keeps its place. An answer
  // announced over 1024 bytes drops the connection (it comes back at the next connection
  // step) and one that does not decode is passed over (both reported through the assertion
  // logger); either ends the wait. Returns the highest receipt.
  virtual uint32_t WaitForReceipt(uint32_t sequence, int32_t timeoutMs);

  // Resets the numbering and sends the session message (kind 0 with host name, `kind`,
  // `applicationName`, `version` and, in token 12, the session this one continues). With
  // `sendNow` false it only remembers them; GetSessionId sends later.
  bool StartSession(const char* applicationName,
                    const char* version,
                    uint32_t kind,
                    uint32_t previousSession,
                    bool sendNow = true);
  // A log line of `kind` (1 to 7): `format` with its arguments, cut to 4096 bytes. Kind 8
  // takes `format` as finished text.
  bool Log(uint8_t kind, const char* source, uint32_t line, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 6)))
#endif
      ;
  bool LogV(uint8_t kind, const char* source, uint32_t line, const char* format, va_list args)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 0)))
#endif
      ;
  // A log line of finished text (no formatting).
  bool LogText(uint8_t kind, const char* source, uint32_t line, const char* text);
  // The session identifier; when there is none yet, asks for it and waits up to 5000 ms
  // (with `wait`). 0 when the service did not answer.
  uint32_t GetSessionId(bool wait = true);
  // Ends the session when connected (an end-of-session message, flushed and confirmed within
  // `timeoutMs`), closes the connection, deletes it if owned and goes back to the embedded
  // one.
  void Shutdown(int32_t timeoutMs);

  // When set, a session message sent while the client has no previous session of its own
  // continues the one `source` holds then (0: none). The value may change from any thread.
  void SetSessionSource(const std::atomic<uint32_t>* source) {
    m_sessionSource = source;
  }

  // Every wait of the client (connecting, sending what is queued, session answer, receipts)
  // ends `limitMs` from now at the latest, whatever its own time-out; -1 lifts the limit.
  // A crash report's delivery has a fixed time from the fault.
  void SetTimeLimit(int32_t limitMs);

  // Uses `connection` from now on; the client deletes it when `owned`.
  void SetConnection(ITovikConnection* connection, bool owned);
  ITovikConnection* GetConnection() {
    return m_connection;
  }

  uint32_t GetSequence() const {
    return m_sequence;
  }
  // The next message starts a new numbered sequence (it takes the next number).
  void SetNewSequence() {
    m_newSequence = true;
  }
  uint32_t GetHighestReceipt() const {
    return m_highestReceipt;
  }
  uint32_t GetReceiptSecondValue() const {
    return m_receiptSecond;
  }
  const ReceiptDetails& GetReceiptDetails() const {
    return m_details;
  }
  // The text of the last detailed receipt ("" when it had none).
  const char* GetReceiptText() const {
    return m_answer;
  }
  const char* GetApplicationName() const {
    return m_applicationName.c_str();
  }
  const char* GetVersion() const {
    return m_version.c_str();
  }
  uint32_t GetSessionKind() const {
    return m_sessionKind;
  }
  // Source names beginning with `prefix` lose it (null: none). The text must outlive the
  // client.
  void SetSourcePrefix(const char* prefix);

 private:
  // Encodes the message into `writer` (omit-defaults).
  void Encode(BinXML::Writer& writer,
              const CallerValues& values,
              uint8_t kind,
              bool numbered,
              uint32_t sequence,
              const char* source,
              uint32_t line,
              BinXML::Streamable* text,
              const char* attachmentName,
              BinXML::Streamable* attachment,
              bool withHostName);
  bool SendQueued(const CallerValues& values,
                  uint8_t kind,
                  bool numbered,
                  uint32_t sequence,
                  const char* source,
                  uint32_t line,
                  BinXML::Streamable* text,
                  const char* attachmentName,
                  BinXML::Streamable* attachment,
                  bool withHostName);
  bool SendImmediately(const CallerValues& values,
                       uint8_t kind,
                       bool numbered,
                       uint32_t sequence,
                       const char* source,
                       uint32_t line,
                       BinXML::Streamable* text,
                       const char* attachmentName,
                       BinXML::Streamable* attachment);
  bool SendSessionMessage();
  bool SendInternal(const CallerValues& values,
                    uint8_t kind,
                    bool numbered,
                    const char* source,
                    uint32_t line,
                    BinXML::Streamable* text,
                    const char* attachmentName,
                    BinXML::Streamable* attachment,
                    bool withHostName);
  bool IsImmediate(uint8_t kind) const;
  enum class Reading { kApplied, kNothingYet, kEnd };
  // Reads what has arrived of the current answer and applies it once whole. kEnd when the
  // wait must end (error, closed, oversized, undecodable).
  Reading ReadAnswer();
  // Forgets an answer read in part (its connection is gone).
  void ForgetPartialAnswer() {
    m_answerHave = 0;
  }
  void Apply(const TovikAnswer& answer);
  // After the session is identified: the session message that continues it becomes the
  // connection's greeting, so a connection made again carries the session.
  void SetContinuingGreeting();
  const char* ShortenSource(const char* source) const;
  // `timeoutMs` cut to what the time limit leaves (-1, no limit, becomes that rest too).
  int32_t Bounded(int32_t timeoutMs) const;

  char m_output[kOutputAreaSize];
  char m_answer[kAnswerBufferSize] = {};
  // The answer being read: its 4-byte length, then its bytes; m_answerHave counts both.
  char m_answerIn[kPrefixSize + kAnswerBufferSize];
  uint32_t m_answerHave = 0;
  const std::atomic<uint32_t>* m_sessionSource = nullptr;
  bool m_newSequence = false;
  bool m_sessionRequested = false;
  bool m_sendingImmediately = false;
  // What goes at once: 0 only crash reports (the launcher never changes it); 1 also kinds 5
  // and 6; 2 also kinds 3 and 4.
  uint8_t m_immediacy = 0;
  uint32_t m_sessionKind = 0;
  uint32_t m_previousSession = 0;
  uint32_t m_sessionId = 0;
  uint32_t m_sequence = 1;
  uint32_t m_highestReceipt = 0;
  ReceiptDetails m_details;
  uint32_t m_receiptSecond = 0;
  CCString m_applicationName;
  CCString m_version;
  const char* m_sourcePrefix = nullptr;
  uint16_t m_sourcePrefixLength = 0;
  bool m_sendTime = true;     // every message carries the time
  uint64_t m_limitEndMs = 0;  // 0: no time limit
  ITovikConnection* m_connection;
  bool m_ownsConnection = false;
  TovikAutoDiscoveryOrPublicConnection m_defaultConnection;
};

}  // namespace Vorq
