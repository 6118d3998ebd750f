// The texts of the HTTP exceptions (declared in http.h beside the class they belong to).

#include "libs/ccutility/http/http.h"

namespace cc {

HTTP::Exception::Exception(const SocketError& error, const CCString& message)
    : SocketError::Exception(error, message) {}

HTTP::Exception::~Exception() = default;

void HTTP::Exception::BuildText(CCString& description, CCString& whatText) const {
  description = "HTTP::Exception: ";
  description.Append(GetMessage());
  whatText = description;
  uint32_t peer = GetError().GetPeerAddress();
  if (peer != 0)
    whatText.Append(" (").Append(FormatAddress(peer)).Append(")");
}

HTTP::Exception::UnhandledResponse::UnhandledResponse(const SocketError& error,
                                                      const CCString& message,
                                                      int32_t statusCode)
    : HTTP::Exception(error, message), m_statusCode(statusCode) {}

void HTTP::Exception::UnhandledResponse::BuildText(CCString& description,
                                                   CCString& whatText) const {
  description = "HTTP::Exception::UnhandledResponse: ";
  description.Append(GetMessage());
  whatText = description;
  if (m_statusCode == 0)
    return;
  whatText.Append(" (").AppendNumber(m_statusCode);
  uint32_t peer = GetError().GetPeerAddress();
  if (peer != 0)
    whatText.Append(" - ").Append(FormatAddress(peer));
  whatText.Append(")");
}

}  // namespace cc
