#pragma once

#include <windows.h>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"

// A read-only handle on an open registry key, shared by reference counting so that copies of
// a key object close the one handle once, when the last of them goes. No operation throws:
// failures are an empty key, false or an empty string.
class RegistryKey {
 public:
  // The counted owner of one open key handle.
  class RegistryKey_Impl : public CCSharedPtr_Base {
   public:
    RegistryKey_Impl(HKEY rootKey, HKEY openHandle, const CCString& keyPath)
        : root(rootKey), handle(openHandle), path(keyPath) {}
    ~RegistryKey_Impl() override;

    CCSharedPtr<RegistryKey_Impl> parent;  // another key kept alive with this one, if any
    HKEY root;
    HKEY handle;
    CCString path;
  };

  RegistryKey() = default;
  virtual ~RegistryKey() = default;

  // Drops this object's reference; the handle closes with the last one.
  virtual void Close() { m_impl.Reset(); }
  // True when the key is not open, or when it holds no sub-keys and no values.
  virtual bool IsEmpty();
  // The open key handle, or null.
  virtual HKEY GetHandle() { return m_impl ? m_impl->handle : nullptr; }

  // Opens `path` under `root` (closing whatever this object held first). False leaves the
  // key empty.
  bool OpenKey(const CCString& path, HKEY root);
  // A REG_SZ or REG_EXPAND_SZ value as UTF-8 (variables not expanded); empty for any other
  // type, a missing value, an error or a key that is not open.
  CCString ReadString(const CCString& valueName);

 private:
  CCSharedPtr<RegistryKey_Impl> m_impl;
};
