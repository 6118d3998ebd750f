#pragma once

// Texts of what the code under test returns or throws, for comparisons in tests.

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "launcher/text/cc_string.h"

namespace gvtest {

// A CCString's bytes (NULs included) as a std::string.
inline std::string Str(const CCString& s) {
  return std::string(s.c_str(), s.Length());
}

// The `what` text of the exception of class E that `call` throws; fails the test when it
// throws none (an exception of another class escapes to the test).
template <class E = std::exception, class F>
std::string WhatOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

}  // namespace gvtest
