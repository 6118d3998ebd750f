#pragma once

#include <cstdint>

namespace Vorq {

// Capacity of the repro-steps buffer the dialog fills, terminator included.
constexpr uint32_t kReproStepsCapacity = 4096;

// Control ids of the crash dialog: the prompt, the answer's text field and OK (the system's
// IDOK, so the dialog manager treats it as the default button).
constexpr uint32_t kReproPromptId = 150;
constexpr uint32_t kReproTextId = 200;
constexpr uint32_t kReproOkId = 1;

// Size in bytes of the crash dialog's in-memory template.
uint32_t ReproDialogTemplateSize();

// Writes the crash dialog's extended dialog template (what DialogBoxIndirectParamA reads)
// into `buffer`, which must be DWORD-aligned. Answers the number of bytes written, or 0 when
// `capacity` is too small (then nothing is written). No allocation, no locks: usable while
// the process is crashing.
uint32_t BuildReproDialogTemplate(void* buffer, uint32_t capacity);

// Asks the user, in a modal dialog built in memory, what they were doing when the crash
// occurred, and puts the answer into `buffer` (kReproStepsCapacity bytes; longer answers are
// cut). Answers 1 after OK, 0 after cancel or Escape (the buffer is left as it was), -1 when
// the dialog could not be built or shown (no buffer, no memory block, no user32, no display).
// user32 is loaded on first use; the process does not import it. One dialog at a time per process.
int AskReproSteps(char* buffer);

}  // namespace Vorq
