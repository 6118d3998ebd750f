#pragma once

// The local peers of a test run as tests/support/peers starts them: their ports and folders
// reach the tests (Windows ones too, through Wine) as environment variables.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace gvtest {

// The variable's text, or "" when it is not set.
inline std::string PeerText(const char* variable) {
  const char* text = std::getenv(variable);
  return text ? text : "";
}

// A peer's port from its variable (GV_HTTP_PORT, GV_PROXY_PORT, GV_FAULT_PORT), 0 when unset.
inline uint16_t PortOf(const char* variable) {
  return uint16_t(std::atoi(PeerText(variable).c_str()));
}

// Bytes of the served test files and of the fault server's generated bodies: byte i is
// (i * 31 + i / 251) mod 256, so any shift or repeat shows.
inline std::string Pattern(size_t first, size_t count) {
  std::string out(count, '\0');
  for (size_t i = 0; i < count; ++i)
    out[i] = char(((first + i) * 31 + (first + i) / 251) & 0xFF);
  return out;
}

// A key for the fault server's counters (and a query for the web server's log) that no other
// case, run or lane uses: the lanes share one set of peers.
inline std::string UniqueKey() {
  std::random_device random;
  return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(random());
}

}  // namespace gvtest

// Skips a case run outside scripts/test, where the peer is not started. (scripts/test counts
// a skipped case as a failure: there every peer runs.)
#define NEED_PEER(variable)               \
  if (gvtest::PeerText(variable).empty()) \
  GTEST_SKIP() << variable " is not set"
