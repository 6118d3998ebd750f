#include "logging/notifier.h"

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/http/http_client.h"

Notifier::Notifier(const CCString& notifyPath, const CCString& notifiedPath)
    : notifyPath(notifyPath), notifiedPath(notifiedPath) {}

int Notifier::Run() {
  // The whole file, unchanged, is the address.
  CCString address = PathUtil::ReadWholeFile(notifyPath);
  cc::HTTPClient client;
  cc::HTTPClient::FetchError error;
  client.FetchIfModified(address, nullptr, kRetries, &error);
  // Any failed attempt, even one followed by success, leaves the marker for the next start.
  if (error.description.IsEmpty())
    PathUtil::RenamePath(notifyPath, notifiedPath);
  return 0;
}
