#include "logging/notifier.h"

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/read_whole_file.h"

Notifier::Notifier(const CCString& markerPath, const CCString& recordPath)
    : notifyPath(markerPath), notifiedPath(recordPath) {}

int Notifier::Run() {
  if (m_stopping.load(std::memory_order_acquire))
    return 0;
  // The whole file, unchanged, is the address.
  CCString address = PathUtil::ReadWholeFile(notifyPath);
  cc::HTTPClient::FetchError error;
  m_client.FetchIfModified(address, nullptr, kRetries, &error);
  // Any failed attempt, even one followed by success, leaves the marker for the next start
  // (a stop that cut the answer short is such a failure).
  if (error.description.IsEmpty())
    PathUtil::RenamePath(notifyPath, notifiedPath);
  return 0;
}

void Notifier::Stop() {
  m_stopping.store(true, std::memory_order_release);
  m_client.Kill();
}
