#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/thread/cc_mutex.h"

namespace cc {

class HTTPClient;

// Lets one thread cut a whole piece of network work that another thread is doing: every
// HTTPClient created on a thread while a group is that thread's current one (Scope) belongs
// to it, and Cancel kills them all, and every one that joins afterwards, so that each wait
// of theirs ends at once and each later request fails with ConnectionKilled. The group must
// outlive its Scope and its clients. Cancel, IsCancelled and LastRequest may be called from
// any thread.
class CancelGroup {
 public:
  CancelGroup() = default;
  CancelGroup(const CancelGroup&) = delete;
  CancelGroup& operator=(const CancelGroup&) = delete;

  // Kills every member; clients that join later are killed as they join.
  void Cancel();
  bool IsCancelled() const { return m_cancelled.load(std::memory_order_acquire); }
  // The address of the last request a member sent before the group was cancelled; empty
  // when none was sent.
  CCString LastRequest() const;
  // Waits `ms` milliseconds, less once the group is cancelled.
  void Wait(uint32_t ms) const;

  // Makes a group the calling thread's current one for the life of the scope (the previous
  // one comes back after it).
  class Scope {
   public:
    explicit Scope(CancelGroup& group);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CancelGroup* m_previous;
  };

  // The calling thread's current group, or null.
  static CancelGroup* Current();
  // Waits `ms` on the calling thread's current group (less once it is cancelled), or sleeps
  // the whole time when there is none.
  static void WaitOnCurrent(uint32_t ms);

 private:
  friend class HTTPClient;
  void Join(HTTPClient* client);
  void Leave(HTTPClient* client);
  void NoteRequest(const CCString& url);

  mutable Mutex m_mutex;
  std::vector<HTTPClient*> m_members;
  CCString m_lastRequest;
  std::atomic<bool> m_cancelled{false};
};

}  // namespace cc
