#include "logging/assert_logger.h"

namespace Vorq::Assert {

// No debugger channel on the host: the standard streams carry the message alone.
void SimpleLogger::SendToDebugger(const char* message) {}

}  // namespace Vorq::Assert
