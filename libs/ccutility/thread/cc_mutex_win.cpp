#include <windows.h>

#include <new>

#include "libs/ccutility/thread/cc_mutex.h"

namespace cc {

struct Mutex::Impl {
  CRITICAL_SECTION section;
};

Mutex::Mutex() : m_impl(new (std::nothrow) Impl) {
  if (!m_impl)
    throw ThreadException();
  InitializeCriticalSection(&m_impl->section);
}

Mutex::~Mutex() {
  DeleteCriticalSection(&m_impl->section);
  delete m_impl;
}

void Mutex::Lock() {
  EnterCriticalSection(&m_impl->section);
}

bool Mutex::TryLock() {
  return TryEnterCriticalSection(&m_impl->section) != 0;
}

void Mutex::Unlock() {
  LeaveCriticalSection(&m_impl->section);
}

}  // namespace cc
