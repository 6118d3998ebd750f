// cc::HTTPClient's proxy read from the current user's Internet Settings, written by the test
// itself (and put back as it was afterwards), with the test run's proxy (GV_PROXY_PORT) in
// front of its web server (GV_HTTP_PORT).

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/ccutility/http/http_client.h"
#include "tests/support/peer_env.h"

namespace {

const wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The two proxy values of the current user, restored (or removed) when the object goes.
class UserProxySetting {
 public:
  UserProxySetting() {
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &m_key, nullptr),
              ERROR_SUCCESS);
    for (Saved& saved : m_saved) {
      DWORD size = 0;
      saved.existed = RegQueryValueExW(m_key, saved.name, nullptr, &saved.type, nullptr, &size) ==
                      ERROR_SUCCESS;
      saved.data.resize(size);
      if (saved.existed && size)
        RegQueryValueExW(m_key, saved.name, nullptr, &saved.type, saved.data.data(), &size);
    }
  }
  ~UserProxySetting() {
    for (const Saved& saved : m_saved) {
      if (saved.existed)
        RegSetValueExW(m_key, saved.name, 0, saved.type, saved.data.data(),
                       DWORD(saved.data.size()));
      else
        RegDeleteValueW(m_key, saved.name);
    }
    RegCloseKey(m_key);
  }

  void Set(const wchar_t* name, DWORD enable) { Set(name, REG_DWORD, &enable, sizeof enable); }
  void Set(const wchar_t* name, const std::wstring& text) {
    Set(name, REG_SZ, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
  }

 private:
  struct Saved {
    explicit Saved(const wchar_t* valueName) : name(valueName) {}
    const wchar_t* name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;
  };

  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }

  HKEY m_key = nullptr;
  Saved m_saved[2] = {Saved(L"ProxyEnable"), Saved(L"ProxyServer")};
};

}  // namespace

TEST(HTTPClientUserProxy, RegistrySettingChoosesTheConnection) {
  NEED_PEER("GV_PROXY_PORT");
  NEED_PEER("GV_HTTP_PORT");
  const uint16_t proxyPort = gvtest::PortOf("GV_PROXY_PORT");
  const uint16_t webPort = gvtest::PortOf("GV_HTTP_PORT");
  const CCString url(("http://127.0.0.1:" + std::to_string(webPort) + "/small.txt").c_str());
  UserProxySetting setting;

  // Enabled with "host:port": the connection goes to the proxy. Switched off, or switched on
  // by a value of the wrong type: a direct connection.
  setting.Set(L"ProxyServer", L"127.0.0.1:" + std::to_wstring(proxyPort));
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    if (step == 0)
      setting.Set(L"ProxyEnable", 1);
    else if (step == 1)
      setting.Set(L"ProxyEnable", 0);
    else
      setting.Set(L"ProxyEnable", L"1");
    cc::HTTPClient c;
    c.SendRequest("GET", url);
    EXPECT_EQ(std::string(c.Body().c_str()), "hello from the publisher\n");
    EXPECT_EQ(c.useProxy, step == 0);
    EXPECT_EQ(c.connPort, step == 0 ? proxyPort : webPort);
  }
}
