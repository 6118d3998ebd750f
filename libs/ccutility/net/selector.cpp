#include "libs/ccutility/net/selector.h"

namespace cc {
namespace Selector {

Item::~Item() = default;

void Item::OnReadable() {}

void Item::OnWritable() {}

void Item::OnException() {}

bool Item::IsValid() const {
  return !(m_handle == 0xFFFFFFFFu && m_handleHigh == 0xFFFFFFFFu);
}

int32_t Item::Invalidate() {
  m_handle = 0xFFFFFFFFu;
  m_handleHigh = 0xFFFFFFFFu;
  return -1;
}

int64_t Item::GetHandle() const {
  if (!IsValid())
    return -1;
  return int64_t(uint64_t(m_handleHigh) << 32 | m_handle);
}

void Item::SetHandle(int64_t handle) {
  m_handle = uint32_t(uint64_t(handle));
  m_handleHigh = uint32_t(uint64_t(handle) >> 32);
}

}  // namespace Selector
}  // namespace cc
