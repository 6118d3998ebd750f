#pragma once

// Small helpers shared by the tests of the cc network code.

#include <gtest/gtest.h>

#include <string>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/net/socket_error.h"

namespace cc {

// A CCString's bytes (NULs included) as a std::string, for comparisons in tests.
inline std::string Str(const CCString& s) {
  return std::string(s.c_str(), s.Length());
}

// The `what` text of the network exception `call` throws; fails the test when it throws none.
template <class F>
std::string WhatOf(F&& call) {
  try {
    call();
  } catch (const SocketError::Exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

}  // namespace cc
