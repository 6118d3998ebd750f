#include <process.h>
#include <windows.h>

#include "libs/ccutility/thread/cc_thread.h"
#include "libs/ccutility/win/win_handles.h"

namespace cc {

void SleepMs(uint32_t ms) {
  Sleep(ms);
}

namespace Thread {

struct Base::Native {
  win::ScopedHandle handle;
};

namespace {
unsigned __stdcall ThreadMain(void* argument) {
  return unsigned(Base::Entry(static_cast<Base*>(argument)));
}
}  // namespace

bool Base::CreateNative() {
  // The runtime's thread creation, so the C runtime is set up for the new thread.
  uintptr_t handle = _beginthreadex(nullptr, m_stackSize, &ThreadMain, this, 0, nullptr);
  if (!handle)
    return false;
  m_native = new Native{win::ScopedHandle(reinterpret_cast<HANDLE>(handle))};
  return true;
}

bool Base::WaitForEnd(uint32_t timeoutMs) {
  if (!m_native)
    return true;
  return WaitForSingleObject(m_native->handle.Get(), timeoutMs) == WAIT_OBJECT_0;
}

Base::~Base() {
  if (m_native && !m_ownsHandle)
    m_native->handle.Release();
  delete m_native;
}

}  // namespace Thread
}  // namespace cc
