#include "libs/ccutility/thread/cc_thread.h"

namespace cc {
namespace Thread {

int Base::Entry(Base* self) {
  // The running thread's own reference was taken by Start before the thread existed, so a
  // holder dropped right after Start cannot destroy the object under the new thread.
  self->m_pendingStart = false;
  self->m_started.store(true, std::memory_order_release);
  int code;
  try {
    code = self->Run();
  } catch (...) {
    // Nothing may leave a thread body.
    code = -1;
  }
  self->m_finished.store(true, std::memory_order_release);
  if (self->Release())
    delete self;
  return code;
}

void Holder::Start(Base* thread) {
  m_thread = CCSharedPtr<Base>(thread);
  if (!thread || thread->m_native)
    return;
  thread->m_ownsHandle = true;
  thread->m_pendingStart = true;
  thread->AddRef();  // handed to the new thread
  if (!thread->CreateNative()) {
    thread->Release();  // the holder still has its own
    throw ThreadException();
  }
}

void Holder::Detach() {
  if (!m_thread)
    return;
  while (!m_thread->HasStarted())
    SleepMs(1);
  m_thread.Reset();
}

}  // namespace Thread
}  // namespace cc
