#include "libs/ccutility/registry/registry_key.h"

#include <gtest/gtest.h>

namespace {

const char kTestKey[] = "Software\\GalvorandTest\\RegistryKey";

// Writes the values the tests read, in a key of their own under the current user.
class RegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &m_key, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(m_key);
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
  }
  void SetString(const wchar_t* name, DWORD type, const wchar_t* value, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(m_key, name, 0, type, reinterpret_cast<const BYTE*>(value), bytes),
              ERROR_SUCCESS);
  }
  HKEY m_key = nullptr;
};

}  // namespace

TEST_F(RegistryKeyTest, ReadsStringsAsUTF8AndNothingElse) {
  const wchar_t expand[] = L"%APPDATA%\\Oxtellion";
  SetString(L"Folder", REG_EXPAND_SZ, expand, sizeof expand);
  const wchar_t accented[] = L"caf\u00e9";
  SetString(L"Accented", REG_SZ, accented, sizeof accented);
  const wchar_t unterminated[] = {L'a', L'b'};
  SetString(L"NoNul", REG_SZ, unterminated, sizeof unterminated);
  DWORD one = 1;
  ASSERT_EQ(RegSetValueExA(m_key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                           sizeof one),
            ERROR_SUCCESS);
  SetString(L"Empty", REG_SZ, L"", 0);

  RegistryKey key;
  ASSERT_TRUE(key.OpenKey(kTestKey, HKEY_CURRENT_USER));
  EXPECT_FALSE(key.IsEmpty());
  EXPECT_STREQ(key.ReadString("Folder").c_str(), "%APPDATA%\\Oxtellion");  // not expanded
  EXPECT_STREQ(key.ReadString("Accented").c_str(), "caf\xC3\xA9");
  EXPECT_STREQ(key.ReadString("NoNul").c_str(), "ab");
  EXPECT_TRUE(key.ReadString("ProxyEnable").IsEmpty());  // a DWORD is no string
  EXPECT_TRUE(key.ReadString("Empty").IsEmpty());
  EXPECT_TRUE(key.ReadString("Missing").IsEmpty());
}

TEST_F(RegistryKeyTest, MissingKeyLeavesTheObjectEmpty) {
  RegistryKey key;
  ASSERT_TRUE(key.OpenKey(kTestKey, HKEY_CURRENT_USER));
  EXPECT_TRUE(key.IsEmpty());  // open, but no values and no sub-keys
  EXPECT_FALSE(key.OpenKey("Software\\GalvorandTest\\DoesNotExist", HKEY_CURRENT_USER));
  EXPECT_TRUE(key.IsEmpty());
  EXPECT_EQ(key.GetHandle(), nullptr);
  EXPECT_TRUE(key.ReadString("anything").IsEmpty());
}

TEST_F(RegistryKeyTest, CopiesShareOneHandleClosedByTheLast) {
  const wchar_t value[] = L"v";
  SetString(L"Name", REG_SZ, value, sizeof value);
  RegistryKey first;
  ASSERT_TRUE(first.OpenKey(kTestKey, HKEY_CURRENT_USER));
  HKEY handle = first.GetHandle();
  {
    RegistryKey second(first);
    EXPECT_EQ(second.GetHandle(), handle);
    first.Close();
    EXPECT_EQ(first.GetHandle(), nullptr);
    // The copy still reads through the shared handle.
    EXPECT_STREQ(second.ReadString("Name").c_str(), "v");
  }
  // With both gone the handle is closed: querying it now fails.
  DWORD values = 0;
  EXPECT_NE(RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
}
