#include <windows.h>

#include "logging/assert_logger.h"

namespace Vorq::Assert {

void SimpleLogger::SendToDebugger(const char* message) {
  OutputDebugStringA(message);
}

}  // namespace Vorq::Assert
