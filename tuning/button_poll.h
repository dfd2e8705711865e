// Button polling: one poll of the board's "down" and "up" latches, stepping the CPU clock for each accepted press.
#pragma once

#include <windows.h>

#include "hardware/board_id.h"

// Sleeps of the polling thread go through here, so tests can run polls in
// virtual time. The service leaves it at Sleep.
extern void(WINAPI* PollSleep)(DWORD milliseconds);

// Pause after every step, so one press is never taken for two.
const DWORD kStepPauseMs = 600;

// The administrator's limits in kHz; 0: no limit on that side. An up step
// may not end above the maximum, nor a down step below the minimum, so a
// clock that starts outside the range can still be stepped back toward it.
struct FrequencyLimits {
  DWORD minKHz;
  DWORD maxKHz;
};
const FrequencyLimits kNoLimits = {0, 0};

// True when mhz, rounded to the nearest Hz, lies within both limits. The
// rounding absorbs the binary error of 0.1 MHz steps: 100.0 + 0.1 + 0.1 is
// 100.19999999999999 and lands on a limit of 100200 kHz.
bool FrequencyWithinLimits(const FrequencyLimits& limits, double mhz);

// Hears of every frequency (MHz) the clock controller took without an error.
typedef void (*FrequencyTakenFn)(double frequency);

// Appends "Now Current CPU Freq is %.3f\n" with frequency (MHz) to the log.
void LogFrequencyStep(double frequency);

// One poll: reads the step-size register and the variant's latches, and for
// each press the variant accepts acknowledges the latch, moves frequency (MHz)
// one step, applies and logs it, and pauses. A variant outside 1..5 does
// nothing. A frequency of 0 or below is unknown and is read from the clock
// first; a step that would leave the clock's range or the limits is refused.
// taken, when given, hears of every step the controller took, at once.
void PollButtons(BoardVariant variant, const FrequencyLimits& limits, double& frequency,
                 FrequencyTakenFn taken = nullptr);
