#pragma once

#include <cstdint>

namespace cc {
namespace Selector {

// An object that owns a pollable system handle, kept as two 32-bit words (the handle and
// its high word), both all ones when there is none. The three hooks report readiness and
// errors to the owner; they do nothing here.
class Item {
 public:
  Item() = default;
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  virtual ~Item();

  virtual void OnReadable();
  virtual void OnWritable();
  // The handle showed up in an exception set: the owner takes its pending error.
  virtual void OnException();
  // True unless both words are all ones.
  virtual bool IsValid() const;
  // Forgets the handle (without closing it); returns -1.
  virtual int32_t Invalidate();

  // The handle widened to 64 bits; -1 when there is none.
  int64_t GetHandle() const;

 protected:
  void SetHandle(int64_t handle);

 private:
  uint32_t m_handle = 0xFFFFFFFFu;
  uint32_t m_handleHigh = 0xFFFFFFFFu;
};

}  // namespace Selector
}  // namespace cc
