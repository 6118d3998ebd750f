#include "libs/tovik/tovik_logger.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "libs/ccutility/thread/cc_mutex.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_clock.h"
#include "libs/tovik/tovik_connection.h"

namespace {

constexpr char kApplicationName[] = "Galvorand";
constexpr char kSource[] = "tovik_logger";
constexpr uint32_t kSessionKind = 0;
constexpr int32_t kResetWaitMs = 1000;
constexpr int32_t kShutdownWaitMs = 100;
constexpr uint32_t kPollMs = 10;
// Room a queued line needs in the connection's output beyond its text (header and framing).
constexpr uint32_t kLineOverhead = 512;
// A session message and the end of a session carry no more than this.
constexpr uint32_t kWaitAnyReceipt = 0xFFFFFFFFu;

// Telemetry threads still at work, sinks let go included.
std::atomic<int> g_liveThreads{0};
// The program's start is not over yet: no socket.
std::atomic<bool> g_networkHeld{false};

struct QueuedLine {
  uint8_t kind;
  uint32_t line;
  std::string source;
  std::string text;
};

}  // namespace

// What the telemetry thread owns, shared with the sink until the sink is let go: the queue
// of lines, the client and its connection, and the crash reporter's client.
class TovikLogger::Impl : public cc::Thread::Base {
 public:
  Impl(const char* version,
       const char* server,
       uint32_t previousSession,
       CCSharedPtr<Impl> predecessor)
      : m_version(version ? version : ""),
        m_previousSession(previousSession),
        m_predecessor(std::move(predecessor)),
        m_connection(server, Vorq::kTovikDefaultPort),
        m_crashConnection(server, Vorq::kTovikDefaultPort) {
    m_crashSession.store(previousSession);
    // The crash connection is left to the crash handler, which makes it when a report goes:
    // no socket call here, and the telemetry thread never touches it.
    m_crashClient.SetConnection(&m_crashConnection, false);
    m_crashClient.StartSession(kApplicationName, m_version.c_str(), kSessionKind, previousSession,
                               false);
    m_crashClient.SetSessionSource(&m_crashSession);
  }

  // Queues one line, or counts it as lost.
  void Queue(uint8_t kind, const char* source, uint32_t line, const char* text) {
    size_t sourceLength = source ? strlen(source) : 0;
    size_t textLength = text ? strlen(text) : 0;
    cc::MutexLock lock(m_mutex);
    if (m_closing.load() || m_lines.size() >= kMaxQueuedLines ||
        m_queuedBytes + sourceLength + textLength > kMaxQueuedBytes) {
      ++m_lost;
      m_lostTotal.fetch_add(1);
      return;
    }
    m_lines.push_back({kind, line, std::string(source ? source : "", sourceLength),
                       std::string(text ? text : "", textLength)});
    m_queuedBytes += uint32_t(sourceLength + textLength);
  }

  void RequestClose() { m_closing.store(true); }

  // Marks the session question settled without an answer (no thread could be made) and
  // answers the successor handed on meanwhile, which must now start a thread of its own.
  CCSharedPtr<Impl> GiveUp() {
    m_settled.store(true);
    m_done.store(true);
    m_workOver.store(true);
    g_liveThreads.fetch_sub(1);
    return TakeSuccessor();
  }

  // Lets `successor` run on this sink's thread once this sink's work is over. False when
  // that thread has ended (or never will run): the successor needs one of its own.
  bool HandOnTo(const CCSharedPtr<Impl>& successor) {
    cc::MutexLock lock(m_chainMutex);
    if (m_threadOver)
      return false;
    m_successor = successor;
    return true;
  }

  int Run() override {
    try {
      Work();
    } catch (...) {
      // Nothing leaves the thread body; the sink goes quiet.
    }
    m_settled.store(true);
    m_done.store(true);
    m_workOver.store(true);
    g_liveThreads.fetch_sub(1);
    // The successor's work goes on here: its session follows this one's end anyway.
    if (CCSharedPtr<Impl> next = TakeSuccessor())
      next->Run();
    return 0;
  }

  // Waits at most `timeoutMs` for this sink's work to be over, on whichever thread it runs.
  bool WaitForWork(uint32_t timeoutMs) {
    Vorq::TovikClock& clock = Vorq::TovikClock::Current();
    const uint64_t start = clock.NowMs();
    while (!m_workOver.load() && clock.NowMs() - start < timeoutMs)
      clock.SleepMs(1);
    return m_workOver.load();
  }

  uint32_t SessionId() const { return m_sessionId.load(); }
  bool IsSettledAndDone() const { return m_settled.load() && (!m_closing.load() || m_done.load()); }
  uint32_t LostLines() const { return m_lostTotal.load(); }
  Vorq::Tovik& CrashClient() { return m_crashClient; }

 private:
  void Work() {
    Vorq::TovikClock& clock = Vorq::TovikClock::Current();
    const uint64_t started = clock.NowMs();
    while (g_networkHeld.load() && clock.NowMs() - started < kNetworkHoldMs)
      clock.SleepMs(kPollMs);
    uint32_t previous = m_previousSession;
    if (m_predecessor) {
      // The predecessor's session is what this one continues: wait for its answer, and for
      // a predecessor let go, for the end of its session to go ahead of the continuation.
      const uint64_t start = clock.NowMs();
      while (!m_predecessor->IsSettledAndDone() && clock.NowMs() - start < kSessionWaitMs)
        clock.SleepMs(kPollMs);
      previous = m_predecessor->m_sessionId.load();
      m_predecessor.Reset();
      m_crashSession.store(previous);
    }
    m_client.Shutdown(kResetWaitMs);  // no session yet: only resets the client
    m_client.SetConnection(&m_connection, false);
    // Deferred: queued here, the session message makes the TCP connection.
    if (!m_connection.Open(true) ||
        !m_client.StartSession(kApplicationName, m_version.c_str(), kSessionKind, previous, true)) {
      m_settled.store(true);
    }
    const uint64_t sessionSent = clock.NowMs();
    uint64_t closeBy = 0;
    for (;;) {
      const bool connected = m_client.IsConnected();
      if (connected)
        SendLines();
      m_client.WaitForReceipt(kWaitAnyReceipt, 0);  // sends, reads answers, sees a close
      if (uint32_t id = m_client.GetSessionId(false)) {
        m_sessionId.store(id);
        m_crashSession.store(id);
        m_settled.store(true);
      } else if (clock.NowMs() - sessionSent >= uint64_t(kSessionWaitMs)) {
        m_settled.store(true);
      }
      if (m_closing.load()) {
        const uint64_t now = clock.NowMs();
        if (closeBy == 0)
          closeBy = now + kSessionWaitMs;
        // Out of reach right now: nothing more can be delivered or answered.
        if (!m_connection.IsOpen() && !m_connection.IsBlocking())
          break;
        if ((m_settled.load() && IsQueueEmpty() && !m_connection.HasPendingOutput()) ||
            now >= closeBy)
          break;
      }
      clock.SleepMs(kPollMs);
    }
    m_client.Shutdown(kShutdownWaitMs);
  }

  CCSharedPtr<Impl> TakeSuccessor() {
    cc::MutexLock lock(m_chainMutex);
    m_threadOver = true;
    CCSharedPtr<Impl> next = m_successor;
    m_successor.Reset();
    return next;
  }

  bool IsQueueEmpty() {
    cc::MutexLock lock(m_mutex);
    return m_lines.empty() && m_lost == 0;
  }

  // Hands the queued lines to the client while the connection takes them, the count of
  // lost lines first.
  void SendLines() {
    for (;;) {
      QueuedLine next;
      uint32_t lost;
      {
        cc::MutexLock lock(m_mutex);
        lost = m_lost;
        if (!lost && m_lines.empty())
          return;
        if (!lost)
          next = std::move(m_lines.front());
      }
      const uint32_t room = Vorq::TovikSimpleConnection::kOutputSize - m_connection.PendingOutput();
      const size_t need =
          lost ? kLineOverhead : next.source.size() + next.text.size() + kLineOverhead;
      if (need > room) {
        m_connection.Flush(0, nullptr);
        if (!m_client.IsConnected() ||
            need > Vorq::TovikSimpleConnection::kOutputSize - m_connection.PendingOutput()) {
          if (!lost)
            PutBack(std::move(next));
          return;
        }
      }
      if (lost) {
        char text[96];
        snprintf(text, sizeof text, "%u log lines lost while the service was out of reach",
                 unsigned(lost));
        if (!m_client.LogText(3, kSource, __LINE__, text))
          return;
        cc::MutexLock lock(m_mutex);
        m_lost -= lost;
        continue;
      }
      {
        cc::MutexLock lock(m_mutex);
        m_queuedBytes -= uint32_t(next.source.size() + next.text.size());
        m_lines.pop_front();
      }
      // A line too large to queue is lost (and reported through the assertion logger).
      m_client.LogText(next.kind, next.source.c_str(), next.line, next.text.c_str());
      if (!m_client.IsConnected())
        return;
    }
  }

  void PutBack(QueuedLine&& line) {
    cc::MutexLock lock(m_mutex);
    m_lines.front() = std::move(line);
  }

  const CCString m_version;
  const uint32_t m_previousSession;
  CCSharedPtr<Impl> m_predecessor;  // until its session is settled

  cc::Mutex m_mutex;  // guards the queue and the lost count
  std::deque<QueuedLine> m_lines;
  uint32_t m_queuedBytes = 0;
  uint32_t m_lost = 0;
  std::atomic<uint32_t> m_lostTotal{0};
  std::atomic<bool> m_closing{false};

  std::atomic<uint32_t> m_sessionId{0};
  // The session is known, or will not be: a successor may send its session message.
  std::atomic<bool> m_settled{false};
  std::atomic<bool> m_done{false};      // the session has ended, the thread with it
  std::atomic<bool> m_workOver{false};  // this sink's work is over
  cc::Mutex m_chainMutex;               // guards the two below
  CCSharedPtr<Impl> m_successor;        // runs on this thread next
  bool m_threadOver = false;            // this thread takes no successor any more

  Vorq::Tovik m_client;  // the telemetry thread's
  Vorq::TovikSimpleConnection m_connection;

  // The session a crash report continues.
  std::atomic<uint32_t> m_crashSession{0};
  Vorq::Tovik m_crashClient;  // the crash handler's
  Vorq::TovikSimpleConnection m_crashConnection;
};

TovikLogger::TovikLogger(const char* version,
                         const char* server,
                         int startLevel,
                         uint32_t previousSession,
                         bool startThread)
    : LogInterface(startLevel), m_impl(new Impl(version, server, previousSession, nullptr)) {
  g_liveThreads.fetch_add(1);
  if (startThread)
    Begin(m_impl);
}

TovikLogger::TovikLogger(const char* version,
                         const char* server,
                         int startLevel,
                         const TovikLogger& predecessor)
    : LogInterface(startLevel), m_impl(new Impl(version, server, 0, predecessor.m_impl)) {
  g_liveThreads.fetch_add(1);
  if (!predecessor.m_impl->HandOnTo(m_impl))
    Begin(m_impl);
}

void TovikLogger::StartThread() {
  Begin(m_impl);
}

void TovikLogger::Begin(const CCSharedPtr<Impl>& impl) {
  CCSharedPtr<Impl> next = impl;
  while (next) {
    try {
      // The running thread holds a reference of its own.
      cc::Thread::Holder holder(next.Get());
      return;
    } catch (const cc::ThreadException&) {
      // Without its thread the sink drops every line; a successor does not wait for it, and
      // one handed on to it meanwhile tries a thread of its own.
      next->RequestClose();
      next = next->GiveUp();
    }
  }
}

TovikLogger::~TovikLogger() {
  m_impl->RequestClose();
}

void TovikLogger::Stop(int32_t) {}

void TovikLogger::Write(int messageLevel, int line, const char* file, const char* text) {
  m_impl->Queue(KindOfLevel(messageLevel), file, uint32_t(line), text);
}

void TovikLogger::WriteFormatted(int messageLevel,
                                 int line,
                                 const char* file,
                                 const char* format,
                                 va_list args) {
  char text[Vorq::Tovik::kLogTextSize];
  if (!format || vsnprintf(text, sizeof text, format, args) < 0)
    text[0] = '\0';
  m_impl->Queue(KindOfLevel(messageLevel), file, uint32_t(line), text);
}

uint32_t TovikLogger::SessionId() const {
  return m_impl->SessionId();
}

bool TovikLogger::Close(int32_t timeoutMs) {
  m_impl->RequestClose();
  return m_impl->WaitForWork(uint32_t(timeoutMs < 0 ? 0 : timeoutMs));
}

uint32_t TovikLogger::LostLines() const {
  return m_impl->LostLines();
}

Vorq::Tovik& TovikLogger::CrashClient() {
  return m_impl->CrashClient();
}

bool TovikLogger::WaitForThreads(int32_t timeoutMs) {
  Vorq::TovikClock& clock = Vorq::TovikClock::Current();
  const uint64_t start = clock.NowMs();
  while (g_liveThreads.load() > 0 && clock.NowMs() - start < uint64_t(timeoutMs))
    clock.SleepMs(1);
  return g_liveThreads.load() == 0;
}

void TovikLogger::HoldNetwork() {
  g_networkHeld.store(true);
}

void TovikLogger::ReleaseNetwork() {
  g_networkHeld.store(false);
}

uint8_t TovikLogger::KindOfLevel(int level) {
  // Levels past the table go, like level 0, as kind 2.
  static constexpr uint8_t kKinds[] = {2, 1, 1, 1, 3, 3, 4, 5, 5, 6, 7};
  if (level < 0 || level >= int(sizeof kKinds))
    return 2;
  return kKinds[level];
}
