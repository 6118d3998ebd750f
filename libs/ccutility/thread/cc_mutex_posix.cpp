#include <pthread.h>

#include <new>

#include "libs/ccutility/thread/cc_mutex.h"

namespace cc {

struct Mutex::Impl {
  pthread_mutex_t mutex;
};

Mutex::Mutex() : m_impl(new (std::nothrow) Impl) {
  if (!m_impl)
    throw ThreadException();
  // Recursive, as a Windows critical section is.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(&m_impl->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    delete m_impl;
    throw ThreadException();
  }
}

Mutex::~Mutex() {
  pthread_mutex_destroy(&m_impl->mutex);
  delete m_impl;
}

void Mutex::Lock() {
  pthread_mutex_lock(&m_impl->mutex);
}

bool Mutex::TryLock() {
  return pthread_mutex_trylock(&m_impl->mutex) == 0;
}

void Mutex::Unlock() {
  pthread_mutex_unlock(&m_impl->mutex);
}

}  // namespace cc
