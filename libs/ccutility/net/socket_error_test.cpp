#include "libs/ccutility/net/socket_error.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "libs/ccutility/net/socket_system.h"

namespace {

using cc::SocketError;
using Ex = cc::SocketError::Exception;

struct Thrown {
  const std::type_info* cls;  // the exact class thrown
  std::string description;
  std::string what;
  int32_t category;
};

Thrown ThrowFrom(SocketError error) {
  try {
    error.Throw();
  } catch (const Ex& e) {
    return {&typeid(e), e.GetDescription().c_str(), e.what(), e.GetCategory()};
  }
  ADD_FAILURE() << "Throw returned";
  return {};
}

}  // namespace

TEST(SocketError, EveryNativeCodeThrowsItsCategoryClassAndDetail) {
  struct Row {
    std::vector<int32_t> natives;
    int32_t category;
    const std::type_info& cls;
    const char* message;
  };
  // clang-format off
  const Row rows[] = {
      {{10013}, 1, typeid(Ex), "No Access"},
      {{10035}, 2, typeid(Ex), "Retry - Would block"},
      {{10036}, 2, typeid(Ex), "Retry - In progress"},
      {{10037}, 2, typeid(Ex), "Retry - Already in progress"},
      {{11002}, 2, typeid(Ex), "Retry - Try again"},
      // 10042 lies inside the 10041..10047 range.
      {{10014, 10022, 10038, 10039, 10041, 10042, 10047, 10056, 10058}, 3, typeid(Ex),
       "Logic Error"},
      {{10040}, 4, typeid(Ex), "Message Too Long"},
      {{10048}, 5, typeid(Ex), "Address In Use"},
      {{10049}, 6, typeid(Ex), "Cannot Use Address"},
      {{10050}, 7, typeid(Ex), "Network Down"},
      {{10051}, 8, typeid(Ex), "Unreachable - Network not available"},
      {{10065}, 8, typeid(Ex), "Unreachable - Host not reachable"},
      {{11004}, 8, typeid(Ex), "Unreachable - No data"},
      {{10052}, 9, typeid(Ex), "Network Reset"},
      {{10053}, 10, typeid(Ex::ConnectionClosedError), "Connection Aborted"},
      {{10054}, 11, typeid(Ex::ConnectionClosed), "Reset By Peer"},
      {{10057}, 12, typeid(Ex), "Not Connected"},
      {{10060}, 13, typeid(Ex::Timeout),
       "Connection Timed-out - Destination host failed to respond"},
      {{10064}, 13, typeid(Ex::Timeout), "Connection Timed-out - Destination host is down"},
      {{10061}, 14, typeid(Ex::ConnectionRefused), "Connection Refused"},
      {{10101}, 15, typeid(Ex::ConnectionClosed), "Peer Is Shutting Down"},
      {{11001}, 16, typeid(Ex::ConnectionClosedError), "Host Not Found"},
      {{10024}, 17, typeid(Ex::OutOfResources), "Out Of Resources - Too many open sockets"},
      {{10055}, 17, typeid(Ex::OutOfResources), "Out Of Resources - No socket buffers available"},
      {{10059}, 17, typeid(Ex::OutOfResources),
       "Out Of Resources - Too many references to required kernel resource"},
      {{10100, 10004, -1}, 18, typeid(Ex), "Misc Error"},
  };
  // clang-format on
  for (const Row& row : rows) {
    for (int32_t native : row.natives) {
      SCOPED_TRACE(native);
      SocketError error;
      error.SetNativeError(native);
      Thrown t = ThrowFrom(error);
      EXPECT_TRUE(*t.cls == row.cls) << t.cls->name();
      EXPECT_EQ(t.category, row.category);
      std::string expected =
          std::string("SocketError:") + row.message + " (" + std::to_string(native) + ")";
      EXPECT_EQ(t.description, expected);
      EXPECT_EQ(t.what, expected);  // no peer address known
    }
  }
}

TEST(SocketError, PeerAddressShowsInWhatOnlyAndASetCategoryDropsCodeAndDetail) {
  SocketError error;
  error.SetPeerAddress(0x0A000001);
  error.SetNativeError(10061);
  Thrown t = ThrowFrom(error);
  EXPECT_EQ(t.what, "SocketError:Connection Refused (10061 - 10.0.0.1)");
  EXPECT_EQ(t.description, "SocketError:Connection Refused (10061)");
  // A category set directly drops the native code and its detail, address or not.
  error.SetCategory(SocketError::kTimedOut);
  EXPECT_EQ(error.GetNativeError(), 0);
  t = ThrowFrom(error);
  EXPECT_TRUE(*t.cls == typeid(Ex::Timeout)) << t.cls->name();
  EXPECT_EQ(t.description, "SocketError:Connection Timed-out");
  EXPECT_EQ(t.what, "SocketError:Connection Timed-out");
  SocketError none;
  t = ThrowFrom(none);
  EXPECT_TRUE(*t.cls == typeid(Ex)) << t.cls->name();
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
