// Button polling: one poll of the board's "down" and "up" latches, stepping the CPU clock for each accepted press.
#pragma once

#include <windows.h>

#include "hardware/board_id.h"

// Sleeps of the polling thread go through here, so tests can run polls in
// virtual time. The service leaves it at Sleep.
extern void(WINAPI* PollSleep)(DWORD milliseconds);

// Pause after every step, so one press is never taken for two.
const DWORD kStepPauseMs = 600;

// One poll: reads the step-size register and the variant's latches, and for
// each press the variant accepts acknowledges the latch, moves frequency (MHz)
// one step, applies and logs it, and pauses. A variant outside 1..5 does
// nothing. A frequency of 0 or below is unknown and is read from the clock
// first; a step that would leave the clock's range is refused.
void PollButtons(BoardVariant variant, double& frequency);
