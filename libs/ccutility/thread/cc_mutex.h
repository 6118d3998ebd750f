#pragma once

#include <exception>

namespace cc {

// Raised when a thread or a mutex cannot be created.
class ThreadException : public std::exception {
 public:
  const char* what() const noexcept override { return "thread resource error"; }
};

class Mutex_Base {
 public:
  virtual void Lock() = 0;
  virtual bool TryLock() = 0;
  virtual void Unlock() = 0;
  virtual ~Mutex_Base() = default;
};

// A recursive lock for its owner thread (a critical section on Windows). Every log sink owns
// one; the trusted-host check holds a process-wide one.
class Mutex : public Mutex_Base {
 public:
  // Throws ThreadException when the lock cannot be allocated.
  Mutex();
  ~Mutex() override;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() override;
  // Answers at once whether the lock was taken (true again for the owning thread).
  bool TryLock() override;
  void Unlock() override;

 private:
  struct Impl;
  Impl* m_impl;
};

// Holds a mutex for one scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex_Base& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~MutexLock() { m_mutex.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex_Base& m_mutex;
};

}  // namespace cc
