#include <pthread.h>
#include <time.h>

#include "libs/ccutility/thread/cc_thread.h"

namespace cc {

void SleepMs(uint32_t ms) {
  struct timespec t = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

namespace Thread {

struct Base::Native {
  pthread_t thread;
};

namespace {
void* ThreadMain(void* argument) {
  Base::Entry(static_cast<Base*>(argument));
  return nullptr;
}
}  // namespace

bool Base::CreateNative() {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (m_stackSize)
    pthread_attr_setstacksize(&attributes, m_stackSize);
  pthread_t thread;
  int rc = pthread_create(&thread, &attributes, &ThreadMain, this);
  pthread_attr_destroy(&attributes);
  if (rc != 0)
    return false;
  // Nobody joins these threads: the object is their only record.
  pthread_detach(thread);
  m_native = new Native{thread};
  return true;
}

bool Base::WaitForEnd(uint32_t timeoutMs) {
  if (!m_native)
    return true;
  // Detached threads cannot be joined: the body's end is what can be seen.
  for (uint32_t waited = 0; !HasFinished() && waited < timeoutMs; ++waited)
    SleepMs(1);
  return HasFinished();
}

Base::~Base() {
  delete m_native;
}

}  // namespace Thread
}  // namespace cc
