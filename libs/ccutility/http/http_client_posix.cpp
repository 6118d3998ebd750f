// The proxy lookup of the host build: there is no per-user proxy setting to read, so the
// client always connects directly.

#include "libs/ccutility/http/http_client.h"

namespace cc {

bool HTTPClient::LookUpProxyServer(CCString& server) {
  server.Clear();
  return false;
}

}  // namespace cc
