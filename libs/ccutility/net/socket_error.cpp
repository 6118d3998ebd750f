#include "libs/ccutility/net/socket_error.h"

#include "libs/ccutility/net/socket_system.h"

namespace cc {

namespace {

const char* const kCategoryNames[] = {
    "",                       // 0: nothing recorded
    "No Access",              // 1
    "Retry",                  // 2
    "Logic Error",            // 3
    "Message Too Long",       // 4
    "Address In Use",         // 5
    "Cannot Use Address",     // 6
    "Network Down",           // 7
    "Unreachable",            // 8
    "Network Reset",          // 9
    "Connection Aborted",     // 10
    "Reset By Peer",          // 11
    "Not Connected",          // 12
    "Connection Timed-out",   // 13
    "Connection Refused",     // 14
    "Peer Is Shutting Down",  // 15
    "Host Not Found",         // 16
    "Out Of Resources",       // 17
    "Misc Error",             // 18
};

struct Detail {
  int32_t native;
  const char* text;
};

// The detail appended to a category's name for particular native codes.
const Detail kDetails[] = {
    {10035, " - Would block"},
    {10036, " - In progress"},
    {10037, " - Already in progress"},
    {11002, " - Try again"},
    {10051, " - Network not available"},
    {10065, " - Host not reachable"},
    {11004, " - No data"},
    {10064, " - Destination host is down"},
    {10060, " - Destination host failed to respond"},
    {10024, " - Too many open sockets"},
    {10055, " - No socket buffers available"},
    {10059, " - Too many references to required kernel resource"},
};

}  // namespace

void SocketError::SetNativeError(int32_t code) {
  m_native = code;
  m_category = kNoCategory;
}

void SocketError::SetCategory(int32_t category) {
  m_native = 0;
  m_category = category;
}

void SocketError::ClearError() {
  m_native = 0;
  m_category = kNoCategory;
}

SocketError::~SocketError() = default;

void SocketError::Reset() {
  ClearError();
  SocketSystem::SetLastError(0);
}

int32_t SocketError::FetchLastError() {
  SetNativeError(SocketSystem::GetLastError());
  SocketSystem::SetLastError(0);
  return m_native;
}

void SocketError::Throw() {
  int32_t category = GetCategory();
  CCString message = MessageFor(category, m_native);
  switch (category) {
    case kConnectionAborted:
    case kHostNotFound:
      throw Exception::ConnectionClosedError(*this, message);
    case kResetByPeer:
    case kPeerShuttingDown:
      throw Exception::ConnectionClosed(*this, message);
    case kTimedOut:
      throw Exception::Timeout(*this, message);
    case kConnectionRefused:
      throw Exception::ConnectionRefused(*this, message);
    case kOutOfResources:
      throw Exception::OutOfResources(*this, message);
    default:
      throw Exception(*this, message);
  }
}

void SocketError::CheckAndThrow() {
  if (FetchLastError() != 0)
    Throw();
}

int32_t SocketError::GetNativeError() const {
  return m_native;
}

int32_t SocketError::GetCategory() {
  if (m_category == kNoCategory && m_native != 0)
    m_category = Classify(m_native);
  return m_category;
}

int32_t SocketError::Classify(int32_t native) {
  switch (native) {
    case 10013:
      return kNoAccess;
    case 10035:
    case 10036:
    case 10037:
    case 11002:
      return kRetry;
    case 10014:
    case 10022:
    case 10038:
    case 10039:
    case 10041:
    case 10042:
    case 10043:
    case 10044:
    case 10045:
    case 10046:
    case 10047:
    case 10056:
    case 10058:
      return kLogicError;
    case 10040:
      return kMessageTooLong;
    case 10048:
      return kAddressInUse;
    case 10049:
      return kCannotUseAddress;
    case 10050:
      return kNetworkDown;
    case 10051:
    case 10065:
    case 11004:
      return kUnreachable;
    case 10052:
      return kNetworkReset;
    case 10053:
      return kConnectionAborted;
    case 10054:
      return kResetByPeer;
    case 10057:
      return kNotConnected;
    case 10060:
    case 10064:
      return kTimedOut;
    case 10061:
      return kConnectionRefused;
    case 10101:
      return kPeerShuttingDown;
    case 11001:
      return kHostNotFound;
    case 10024:
    case 10055:
    case 10059:
      return kOutOfResources;
    default:
      return kMiscError;
  }
}

const char* SocketError::CategoryName(int32_t category) {
  if (category < 0 || category > kMiscError)
    return "";
  return kCategoryNames[category];
}

CCString SocketError::MessageFor(int32_t category, int32_t native) {
  CCString message(CategoryName(category));
  if (native == 0)
    return message;
  for (const Detail& detail : kDetails) {
    // A detail belongs to the category its code classifies into.
    if (detail.native == native && Classify(native) == category) {
      message.Append(detail.text);
      break;
    }
  }
  return message;
}

// ---------------------------------------------------------------------------------------

SocketError::Exception::Exception(const SocketError& error, const CCString& message)
    : m_error(error), m_message(message) {}

SocketError::Exception::~Exception() = default;

const char* SocketError::Exception::what() const noexcept {
  EnsureText();
  return m_whatText.c_str();
}

CCString SocketError::Exception::GetDescription() const {
  EnsureText();
  return m_description;
}

int32_t SocketError::Exception::GetCategory() const {
  SocketError copy(m_error);
  return copy.GetCategory();
}

CCString SocketError::Exception::FormatAddress(uint32_t address) {
  CCString text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    text.AppendNumber((address >> shift) & 0xFF);
    if (shift)
      text.Append('.');
  }
  return text;
}

void SocketError::Exception::BuildText(CCString& description, CCString& whatText) const {
  description = "SocketError:";
  description.Append(m_message);
  whatText = description;
  int32_t native = m_error.GetNativeError();
  if (native == 0)
    return;
  CCString code(" (");
  code.AppendNumber(native);
  description.Append(code).Append(")");
  whatText.Append(code);
  if (m_error.GetPeerAddress() != 0)
    whatText.Append(" - ").Append(FormatAddress(m_error.GetPeerAddress()));
  whatText.Append(")");
}

void SocketError::Exception::EnsureText() const {
  if (m_textBuilt)
    return;
  BuildText(m_description, m_whatText);
  m_textBuilt = true;
}

}  // namespace cc
