#include <time.h>

#include "logging/log_time.h"

CCString CurrentLocalTimeText() {
  __time64_t now = _time64(nullptr);
  char text[26] = {};
  if (_ctime64_s(text, sizeof text, &now) != 0)
    return CCString();
  return CCString(text).Trim();
}
