#include "libs/ccutility/net/socket_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/ccutility/net/socket_system.h"

namespace {

using cc::SocketError;
using Ex = cc::SocketError::Exception;

// Which class of the tree an exception is, most derived first.
std::string ClassOf(const Ex& e) {
  if (dynamic_cast<const Ex::ConnectionClosedError*>(&e))
    return "ConnectionClosedError";
  if (dynamic_cast<const Ex::ConnectionClosed*>(&e))
    return "ConnectionClosed";
  if (dynamic_cast<const Ex::ConnectionRefused*>(&e))
    return "ConnectionRefused";
  if (dynamic_cast<const Ex::ConnectionFailed*>(&e))
    return "ConnectionFailed";
  if (dynamic_cast<const Ex::Timeout*>(&e))
    return "Timeout";
  if (dynamic_cast<const Ex::NetworkNotAvailable*>(&e))
    return "NetworkNotAvailable";
  if (dynamic_cast<const Ex::OutOfResources*>(&e))
    return "OutOfResources";
  return "Exception";
}

struct Thrown {
  std::string cls;
  std::string description;
  std::string what;
  int32_t category;
};

Thrown ThrowFrom(SocketError error) {
  try {
    error.Throw();
  } catch (const Ex& e) {
    return {ClassOf(e), e.GetDescription().c_str(), e.what(), e.GetCategory()};
  }
  ADD_FAILURE() << "Throw returned";
  return {};
}

}  // namespace

TEST(SocketError, EveryNativeCodeThrowsItsCategoryClassAndDetail) {
  struct Row {
    std::vector<int32_t> natives;
    int32_t category;
    const char* cls;
    const char* message;
  };
  const Row rows[] = {
      {{10013}, 1, "Exception", "No Access"},
      {{10035}, 2, "Exception", "Retry - Would block"},
      {{10036}, 2, "Exception", "Retry - In progress"},
      {{10037}, 2, "Exception", "Retry - Already in progress"},
      {{11002}, 2, "Exception", "Retry - Try again"},
      // 10042 lies inside the 10041..10047 range.
      {{10014, 10022, 10038, 10039, 10041, 10042, 10047, 10056, 10058}, 3, "Exception",
       "Logic Error"},
      {{10040}, 4, "Exception", "Message Too Long"},
      {{10048}, 5, "Exception", "Address In Use"},
      {{10049}, 6, "Exception", "Cannot Use Address"},
      {{10050}, 7, "Exception", "Network Down"},
      {{10051}, 8, "Exception", "Unreachable - Network not available"},
      {{10065}, 8, "Exception", "Unreachable - Host not reachable"},
      {{11004}, 8, "Exception", "Unreachable - No data"},
      {{10052}, 9, "Exception", "Network Reset"},
      {{10053}, 10, "ConnectionClosedError", "Connection Aborted"},
      {{10054}, 11, "ConnectionClosed", "Reset By Peer"},
      {{10057}, 12, "Exception", "Not Connected"},
      {{10060}, 13, "Timeout", "Connection Timed-out - Destination host failed to respond"},
      {{10064}, 13, "Timeout", "Connection Timed-out - Destination host is down"},
      {{10061}, 14, "ConnectionRefused", "Connection Refused"},
      {{10101}, 15, "ConnectionClosed", "Peer Is Shutting Down"},
      {{11001}, 16, "ConnectionClosedError", "Host Not Found"},
      {{10024}, 17, "OutOfResources", "Out Of Resources - Too many open sockets"},
      {{10055}, 17, "OutOfResources", "Out Of Resources - No socket buffers available"},
      {{10059}, 17, "OutOfResources",
       "Out Of Resources - Too many references to required kernel resource"},
      {{10100, 10004, -1}, 18, "Exception", "Misc Error"},
  };
  for (const Row& row : rows) {
    for (int32_t native : row.natives) {
      SCOPED_TRACE(native);
      SocketError error;
      error.SetNativeError(native);
      EXPECT_EQ(error.GetCategory(), row.category);
      Thrown t = ThrowFrom(error);
      EXPECT_EQ(t.cls, row.cls);
      EXPECT_EQ(t.category, row.category);
      std::string expected =
          std::string("SocketError:") + row.message + " (" + std::to_string(native) + ")";
      EXPECT_EQ(t.description, expected);
      EXPECT_EQ(t.what, expected);  // no peer address known
    }
  }
}

TEST(SocketError, WhatShowsThePeerAddressDescriptionDoesNot) {
  SocketError error;
  error.SetPeerAddress(0x7F000001);
  error.SetNativeError(10061);
  Thrown t = ThrowFrom(error);
  EXPECT_EQ(t.what, "SocketError:Connection Refused (10061 - 127.0.0.1)");
  EXPECT_EQ(t.description, "SocketError:Connection Refused (10061)");

  error.SetPeerAddress(0xC0A8FE0A);
  error.SetNativeError(10035);
  t = ThrowFrom(error);
  EXPECT_EQ(t.what, "SocketError:Retry - Would block (10035 - 192.168.254.10)");
}

TEST(SocketError, SetCategoryGivesTheNameWithoutDetailOrCode) {
  // A category set directly drops the native code and its detail, address or not.
  SocketError error;
  error.SetPeerAddress(0x0A000001);
  error.SetNativeError(10035);
  error.SetCategory(SocketError::kTimedOut);
  EXPECT_EQ(error.GetNativeError(), 0);
  Thrown t = ThrowFrom(error);
  EXPECT_EQ(t.cls, "Timeout");
  EXPECT_EQ(t.description, "SocketError:Connection Timed-out");
  EXPECT_EQ(t.what, "SocketError:Connection Timed-out");
  SocketError none;
  t = ThrowFrom(none);
  EXPECT_EQ(t.cls, "Exception");
  EXPECT_EQ(t.what, "SocketError:");
}

TEST(SocketError, FetchTakesAndClearsTheThreadsLastError) {
  SocketError error;
  cc::SocketSystem::SetLastError(10054);
  EXPECT_EQ(error.FetchLastError(), 10054);
  EXPECT_EQ(cc::SocketSystem::GetLastError(), 0);
  EXPECT_EQ(error.GetCategory(), SocketError::kResetByPeer);
  EXPECT_THROW(error.Throw(), Ex::ConnectionClosed);

  EXPECT_NO_THROW(error.CheckAndThrow());  // nothing pending now
  EXPECT_EQ(error.GetNativeError(), 0);
  cc::SocketSystem::SetLastError(10060);
  EXPECT_THROW(error.CheckAndThrow(), Ex::Timeout);

  cc::SocketSystem::SetLastError(10050);
  error.SetNativeError(10050);
  error.Reset();
  EXPECT_EQ(error.GetNativeError(), 0);
  EXPECT_EQ(error.GetCategory(), 0);
  EXPECT_EQ(cc::SocketSystem::GetLastError(), 0);
}
