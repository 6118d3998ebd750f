#pragma once

#include "launcher/text/cc_string.h"

// The current local time as the runtime's ctime writes it ("Wed Jun 05 10:00:00 2024" on
// Windows, the day space-padded on the host), without the line feed.
CCString CurrentLocalTimeText();
