#include "libs/ccutility/http/cancel_group.h"

#include <algorithm>

#include "libs/ccutility/http/http_client.h"
#include "libs/ccutility/thread/cc_thread.h"

namespace cc {

namespace {

thread_local CancelGroup* t_currentGroup = nullptr;

// Waits are taken in steps this long, so that a Cancel ends them soon.
constexpr uint32_t kWaitStepMs = 20;

}  // namespace

void CancelGroup::Cancel() {
  MutexLock lock(m_mutex);
  m_cancelled.store(true, std::memory_order_release);
  // Under the lock: a member leaves (and is destroyed) only after this is done with it.
  for (HTTPClient* client : m_members)
    client->Kill();
}

CCString CancelGroup::LastRequest() const {
  MutexLock lock(m_mutex);
  return m_lastRequest;
}

void CancelGroup::Wait(uint32_t ms) const {
  for (uint32_t waited = 0; waited < ms && !IsCancelled(); waited += kWaitStepMs)
    SleepMs(std::min(kWaitStepMs, ms - waited));
}

CancelGroup::Scope::Scope(CancelGroup& group) : m_previous(t_currentGroup) {
  t_currentGroup = &group;
}

CancelGroup::Scope::~Scope() {
  t_currentGroup = m_previous;
}

CancelGroup* CancelGroup::Current() {
  return t_currentGroup;
}

void CancelGroup::WaitOnCurrent(uint32_t ms) {
  if (t_currentGroup)
    t_currentGroup->Wait(ms);
  else
    SleepMs(ms);
}

void CancelGroup::Join(HTTPClient* client) {
  MutexLock lock(m_mutex);
  m_members.push_back(client);
  if (IsCancelled())
    client->Kill();
}

void CancelGroup::Leave(HTTPClient* client) {
  MutexLock lock(m_mutex);
  m_members.erase(std::remove(m_members.begin(), m_members.end(), client), m_members.end());
}

void CancelGroup::NoteRequest(const CCString& url) {
  MutexLock lock(m_mutex);
  // What was in flight at the cut stays named: later requests fail at once anyway.
  if (!IsCancelled())
    m_lastRequest = url;
}

}  // namespace cc
