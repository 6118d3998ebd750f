// The proxy lookup on Windows: the current user's Internet Settings in the registry.

#include <windows.h>

#include "libs/ccutility/http/http_client.h"
#include "libs/ccutility/registry/registry_key.h"

namespace cc {

namespace {

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace

bool HTTPClient::LookUpProxyServer(CCString& proxyServer) {
  proxyServer.Clear();
  RegistryKey key;
  if (!key.OpenKey(kInternetSettings, HKEY_CURRENT_USER))
    return false;
  // "ProxyEnable" is a DWORD switch; "ProxyServer" the "host[:port]" text it turns on.
  DWORD enabled = 0;
  DWORD size = sizeof enabled;
  DWORD type = 0;
  LONG result = RegQueryValueExA(key.GetHandle(), "ProxyEnable", nullptr, &type,
                                 reinterpret_cast<BYTE*>(&enabled), &size);
  if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof enabled || enabled == 0)
    return false;
  proxyServer = key.ReadString("ProxyServer");
  return !proxyServer.IsEmpty();
}

}  // namespace cc
