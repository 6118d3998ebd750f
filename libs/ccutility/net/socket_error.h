#pragma once

#include <cstdint>
#include <exception>

#include "launcher/text/cc_string.h"

namespace cc {

// The error record of one socket: a WinSock error number, the category it falls into and
// the IPv4 address of the host the socket last resolved. Turns the record into the matching
// exception of the tree below. Every socket carries one; exceptions carry a copy.
// The numbers are WinSock's on every platform: the host build translates its own codes.
class SocketError {
 public:
  class Exception;

  // Categories of errors; each has a fixed English name (CategoryName).
  enum Category : int32_t {
    kNoCategory = 0,
    kNoAccess = 1,
    kRetry = 2,
    kLogicError = 3,
    kMessageTooLong = 4,
    kAddressInUse = 5,
    kCannotUseAddress = 6,
    kNetworkDown = 7,
    kUnreachable = 8,
    kNetworkReset = 9,
    kConnectionAborted = 10,
    kResetByPeer = 11,
    kNotConnected = 12,
    kTimedOut = 13,
    kConnectionRefused = 14,
    kPeerShuttingDown = 15,
    kHostNotFound = 16,
    kOutOfResources = 17,
    kMiscError = 18,
  };

  // WinSock error numbers the socket code and its callers test for.
  static constexpr int32_t kWouldBlock = 10035;           // WSAEWOULDBLOCK
  static constexpr int32_t kInProgress = 10036;           // WSAEINPROGRESS
  static constexpr int32_t kAlready = 10037;              // WSAEALREADY
  static constexpr int32_t kInvalid = 10022;              // WSAEINVAL
  static constexpr int32_t kNoBuffers = 10055;            // WSAENOBUFS
  static constexpr int32_t kIsConnected = 10056;          // WSAEISCONN
  static constexpr int32_t kTimedOutCode = 10060;         // WSAETIMEDOUT
  static constexpr int32_t kHostNotFoundCode = 11001;     // WSAHOST_NOT_FOUND
  static constexpr int32_t kVersionNotSupported = 10092;  // WSAVERNOTSUPPORTED

  SocketError() = default;
  SocketError(const SocketError&) = default;
  SocketError& operator=(const SocketError&) = default;

  // native = code, category = 0 (classified on the next GetCategory).
  virtual void SetNativeError(int32_t code);
  // native = 0, category = category: the exception text gets the name without a detail.
  virtual void SetCategory(int32_t category);
  virtual void ClearError();
  virtual ~SocketError();
  // ClearError, and clears the thread's last socket error so no later fetch sees it.
  virtual void Reset();
  // Takes the thread's last socket error into this record and clears it; returns it.
  virtual int32_t FetchLastError();
  // Throws the exception class of the current category with its name and detail.
  [[noreturn]] virtual void Throw();
  // FetchLastError, then Throw when an error was pending.
  virtual void CheckAndThrow();
  virtual int32_t GetNativeError() const;
  // Classifies the native code on first use (category 0 with a native code) and keeps it.
  virtual int32_t GetCategory();

  // IPv4 address (host byte order) shown in exception texts; 0 = unknown.
  uint32_t GetPeerAddress() const { return m_peerAddress; }
  void SetPeerAddress(uint32_t address) { m_peerAddress = address; }

  // The category of a WinSock error number (18 for numbers not in the table).
  static int32_t Classify(int32_t native);
  // "Connection Refused", ...; empty for 0 and for numbers outside 1..18.
  static const char* CategoryName(int32_t category);
  // The name followed by the detail the native code selects (" - Would block", ...).
  static CCString MessageFor(int32_t category, int32_t native);

 private:
  int32_t m_native = 0;
  int32_t m_category = 0;
  uint32_t m_peerAddress = 0;
};

// The root of every exception the network code throws; HTTP exceptions derive from it too.
// Carries a copy of the socket's error record and a message; the full text is built once,
// on first use, by BuildText, which derived classes replace to word their own texts.
class SocketError::Exception : public std::exception {
 public:
  class Timeout;
  class ConnectionClosed;
  class ConnectionClosedError;
  class ConnectionFailed;
  class ConnectionRefused;
  class NetworkNotAvailable;
  class OutOfResources;

  Exception(const SocketError& error, const CCString& message);
  ~Exception() override;

  // The full text with the peer address inside the parenthesis when it is known:
  // "SocketError:Connection Refused (10061 - 127.0.0.1)".
  const char* what() const noexcept override;
  // The full text without the peer address: "SocketError:Connection Refused (10061)".
  virtual CCString GetDescription() const;

  const SocketError& GetError() const { return m_error; }
  const CCString& GetMessage() const { return m_message; }
  int32_t GetNativeError() const { return m_error.GetNativeError(); }
  // The category of the carried record (classified when the record was not).
  int32_t GetCategory() const;

  // Dotted IPv4 text of an address in host byte order ("127.0.0.1").
  static CCString FormatAddress(uint32_t address);

 protected:
  // Writes the two texts of this exception: the description and the what text. Called once,
  // on the first what or GetDescription.
  virtual void BuildText(CCString& description, CCString& whatText) const;

 private:
  void EnsureText() const;

  SocketError m_error;
  CCString m_message;
  mutable CCString m_description;
  mutable CCString m_whatText;
  mutable bool m_textBuilt = false;
};

class SocketError::Exception::Timeout : public SocketError::Exception {
 public:
  using Exception::Exception;
};

class SocketError::Exception::ConnectionClosed : public SocketError::Exception {
 public:
  using Exception::Exception;
};

class SocketError::Exception::ConnectionClosedError
    : public SocketError::Exception::ConnectionClosed {
 public:
  using ConnectionClosed::ConnectionClosed;
};

class SocketError::Exception::ConnectionFailed : public SocketError::Exception {
 public:
  using Exception::Exception;
};

class SocketError::Exception::ConnectionRefused : public SocketError::Exception::ConnectionFailed {
 public:
  using ConnectionFailed::ConnectionFailed;
};

class SocketError::Exception::NetworkNotAvailable : public SocketError::Exception {
 public:
  using Exception::Exception;
};

class SocketError::Exception::OutOfResources : public SocketError::Exception {
 public:
  using Exception::Exception;
};

}  // namespace cc
