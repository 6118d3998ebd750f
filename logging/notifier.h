#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/http/http_client.h"
#include "libs/ccutility/thread/cc_thread.h"

// The one-time notification of the start-up sequence: on a thread of its own, calls the
// address kept in the ".notify" marker file once over HTTP and, when that went through
// without a single failure, renames the marker to ".notified" so that it never runs again.
// Reference-counted: the running thread holds its own reference, so the creator may let go
// as soon as the thread has started.
class Notifier : public cc::Thread::Base {
 public:
  // Retries after the first attempt (at most six attempts in all).
  static constexpr int32_t kRetries = 5;

  Notifier(const CCString& notifyPath, const CCString& notifiedPath);

  // The thread body: fetches the address that is the whole content of notifyPath (body
  // discarded) and renames notifyPath to notifiedPath when no attempt failed; a failed
  // rename is ignored. Returns 0. Throws cc::File::Exception ("Cannot open file - " and the
  // path) when notifyPath cannot be read; the thread entry catches it.
  int Run() override;

  // Ends a notification still under way as soon as it can: its connection is cut and no
  // further attempt is made, so the marker stays for the next start. Any thread may call
  // it, any number of times; it does not wait.
  void Stop();

  const CCString notifyPath;
  const CCString notifiedPath;

 private:
  cc::HTTPClient m_client;  // used by the thread; only Kill comes from elsewhere
  std::atomic<bool> m_stopping{false};
};
