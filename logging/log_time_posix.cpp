#include <time.h>

#include "logging/log_time.h"

CCString CurrentLocalTimeText() {
  time_t now = time(nullptr);
  char text[26] = {};
  if (!ctime_r(&now, text))
    return CCString();
  return CCString(text).Trim();
}
