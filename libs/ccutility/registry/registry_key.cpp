#include "libs/ccutility/registry/registry_key.h"

#include <vector>

#include "launcher/text/text_helpers.h"
#include "libs/ccutility/win/win_handles.h"

RegistryKey::RegistryKey_Impl::~RegistryKey_Impl() {
  cc::win::ScopedKey closing(handle);
}

bool RegistryKey::OpenKey(const CCString& path, HKEY root) {
  Close();
  cc::win::ScopedKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS) {
    key.Release();  // what a failed call leaves there is no key
    return false;
  }
  m_impl = new RegistryKey_Impl(root, key.Get(), path);
  key.Release();  // now the counted owner's
  return true;
}

bool RegistryKey::IsEmpty() {
  if (!m_impl)
    return true;
  DWORD subKeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyA(m_impl->handle, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                       &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return true;
  }
  return subKeys == 0 && values == 0;
}

CCString RegistryKey::ReadString(const CCString& valueName) {
  if (!m_impl)
    return CCString();
  CCWideString name = ToWide(valueName);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(m_impl->handle, name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) {
    return CCString();
  }
  // One spare character: a stored value need not end in a NUL.
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = size;
  if (RegQueryValueExW(m_impl->handle, name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return CCString();
  }
  size_t chars = got / sizeof(wchar_t);
  while (chars > 0 && text[chars - 1] == L'\0')
    --chars;
  return ToUTF8(text.data(), int(chars));
}
