#pragma once

#include <cstdint>

namespace Vorq {

// Capacity of the repro-steps buffer the dialog fills, terminator included.
constexpr uint32_t kReproStepsCapacity = 4096;

// Asks the user, in a modal dialog built in memory, what they were doing when the crash
// occurred, and puts the answer into `buffer` (kReproStepsCapacity bytes). Answers 1 after
// OK, 0 after cancel (the buffer is left as it was), -1 when the dialog could not be built.
int AskReproSteps(char* buffer);

}  // namespace Vorq
