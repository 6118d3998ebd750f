#pragma once

// Helpers of the telemetry tests: a clock that lets the long waits pass quickly, raw
// listeners on 127.0.0.1, and the collection service's control port (the service runs as a
// peer of the test run: GV_TOVIK_PORT, GV_TOVIK_CONTROL_PORT).

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "libs/ccutility/net/buffered_tcp_socket.h"
#include "libs/ccutility/net/socket_system.h"
#include "libs/ccutility/thread/cc_thread.h"
#include "libs/tovik/tovik_clock.h"
#include "tests/support/peer_env.h"

namespace tovik_test {

namespace sys = cc::SocketSystem;

// A clock that can jump ahead. Skipping sleeps (the default), each sleep really takes 1 ms but
// counts as asked, so use it only where the wait itself is under test; without, only Advance
// jumps.
class FastClock : public Vorq::TovikClock {
 public:
  explicit FastClock(bool skipSleeps = true) : m_real(Current()), m_skipSleeps(skipSleeps) {
    m_previous = Install(this);
  }
  ~FastClock() override { Install(m_previous); }
  uint64_t NowMs() override { return m_real.NowMs() + m_skipped.load(); }
  void SleepMs(uint32_t ms) override {
    if (!m_skipSleeps) {
      m_real.SleepMs(ms);
      return;
    }
    cc::SleepMs(1);
    if (ms > 1)
      m_skipped += ms - 1;
  }
  void Advance(uint64_t ms) { m_skipped += ms; }

 private:
  TovikClock& m_real;
  const bool m_skipSleeps;
  std::atomic<uint64_t> m_skipped{0};
  TovikClock* m_previous;
};

// A listening socket on 127.0.0.1 that accepts nothing by itself.
struct RawListener {
  sys::Handle handle = sys::Create(1);
  uint16_t port = 0;
  explicit RawListener(int backlog = 16) {
    cc::SocketAddressIPv4 address;
    address.SetAddress(0x7F000001);
    EXPECT_EQ(sys::Bind(handle, address), 0);
    EXPECT_EQ(sys::Listen(handle, backlog), 0);
    EXPECT_EQ(sys::LocalAddress(handle, &address), 0);
    port = address.Port();
  }
  ~RawListener() { sys::Close(handle); }
  // An accepted connection within `ms`, or kInvalidHandle.
  sys::Handle Accept(uint32_t ms) {
    bool ready = false, exception = false;
    if (sys::Wait(handle, false, ms, &ready, &exception) != 1 || !ready)
      return sys::kInvalidHandle;
    cc::SocketAddressIPv4 peer;
    return sys::Accept(handle, &peer);
  }
};

// A port on 127.0.0.1 where nothing listens (the listener closes again at once).
inline uint16_t RefusingPort() {
  return RawListener().port;
}

inline std::string Local(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// One command on the collection service's control port: its answer lines ("end N" or the
// single "ok ..." line ends them).
inline std::vector<std::string> Control(const std::string& command) {
  CCSharedPtr<cc::BufferedTCPSocket> s(new cc::BufferedTCPSocket);
  s->Connect("127.0.0.1", gvtest::PortOf("GV_TOVIK_CONTROL_PORT"), 5000);
  s->Send((command + "\n").c_str());
  std::vector<std::string> lines;
  for (;;) {
    std::string line = s->ReadLine(false).c_str();
    lines.push_back(line);
    if (line.rfind("end ", 0) == 0 || line.rfind("ok", 0) == 0 || line.rfind("error", 0) == 0)
      break;
  }
  return lines;
}

// Rows of a stored table (tab-separated fields), without the closing "end N" line.
inline std::vector<std::vector<std::string>> Query(const std::string& what) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : Control("query " + what)) {
    if (line.rfind("end ", 0) == 0 || line.rfind("error", 0) == 0)
      break;
    std::vector<std::string> fields(1);
    for (char c : line) {
      if (c == '\t')
        fields.emplace_back();
      else
        fields.back() += c;
    }
    rows.push_back(fields);
  }
  return rows;
}

// Puts the service back to normal answers and discovery when a case ends.
struct ServiceBehaviour {
  explicit ServiceBehaviour(const std::string& mode = "normal") {
    EXPECT_EQ(Control("mode " + mode).at(0).rfind("ok", 0), 0u);
  }
  ~ServiceBehaviour() {
    Control("mode normal");
    Control("discovery on");
    Control("discovery answer tovikServer");
  }
};

}  // namespace tovik_test

#define NEED_COLLECTOR() NEED_PEER("GV_TOVIK_PORT")
