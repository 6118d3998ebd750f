#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

// Intrusive, atomic reference count: the base of every shared object (log sinks, threads,
// sockets, registry key handles). A new object starts at 0; each holder counts it up when it
// stores a pointer and, on dropping it, destroys the object when Release answers true.
class CCSharedPtr_Base {
 public:
  CCSharedPtr_Base() = default;
  CCSharedPtr_Base(const CCSharedPtr_Base&) = delete;
  CCSharedPtr_Base& operator=(const CCSharedPtr_Base&) = delete;
  virtual ~CCSharedPtr_Base() = default;

  virtual void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
  // True exactly when the last reference went; the caller then deletes the object.
  virtual bool Release() { return m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }

 private:
  std::atomic<int32_t> m_refCount{0};
};

// A holder of one reference to a CCSharedPtr_Base object. Copies add a reference; dropping
// the last holder destroys the object through its virtual destructor.
template <class T>
class CCSharedPtr {
 public:
  CCSharedPtr() = default;
  CCSharedPtr(T* object) : m_object(object) {  // NOLINT: implicit by design, like a pointer
    if (m_object)
      m_object->AddRef();
  }
  CCSharedPtr(const CCSharedPtr& other) : CCSharedPtr(other.m_object) {}
  template <class U>
  CCSharedPtr(const CCSharedPtr<U>& other) : CCSharedPtr(other.Get()) {}
  CCSharedPtr(CCSharedPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
  ~CCSharedPtr() { Reset(); }

  CCSharedPtr& operator=(CCSharedPtr other) noexcept {
    std::swap(m_object, other.m_object);
    return *this;
  }

  void Reset() {
    T* old = std::exchange(m_object, nullptr);
    if (old && old->Release())
      delete old;
  }

  T* Get() const { return m_object; }
  T* operator->() const { return m_object; }
  T& operator*() const { return *m_object; }
  explicit operator bool() const { return m_object != nullptr; }
  bool operator==(const CCSharedPtr& other) const { return m_object == other.m_object; }

 private:
  T* m_object = nullptr;
};
