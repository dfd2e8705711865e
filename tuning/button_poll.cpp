// Button polling: register map of the five board variants and the step taken for each accepted press.
#include "tuning/button_poll.h"

#include <cmath>
#include <cstdio>

#include "hardware/port_library.h"
#include "tuning/activity_log.h"
#include "tuning/clock_client.h"

void(WINAPI* PollSleep)(DWORD milliseconds) = Sleep;

namespace {

const DWORD kStepSizeBit = 0x40;
const double kFineStepMHz = 0.1;
const double kCoarseStepMHz = 1.0;
const double kHzPerMHz = 1000000.0;
const double kHzPerKHz = 1000.0;

const char kStepLogFormat[] = "Now Current CPU Freq is %.3f\n";
const char kUnknownFrequencyLine[] = "Press ignored: CPU Freq unknown!!\n";
const char kOutOfRangeLine[] = "Press ignored: CPU Freq out of range!!\n";

enum PollPattern {
  // One latch byte; "down" wins; at most one step per poll.
  SingleRead,
  // "Down" and "up" in separate bytes; up to two steps per poll, "down" first.
  TwoReads,
  // One latch byte, acted on only when another bit is set with the latch; the
  // clock gets the unchanged frequency again before each step.
  SingleReadFilteredReapply,
};

struct RegisterMap {
  DWORD stepSizePort;
  DWORD downPort;
  DWORD downMask;
  DWORD upPort;
  DWORD upMask;
  PollPattern pattern;
};

// Indexed by variant - 1.
const RegisterMap kRegisterMaps[] = {
    {0x1C0D, 0x1822, 0x10, 0x1822, 0x40, SingleRead},
    {0x1C0D, 0x1822, 0x10, 0x1823, 0x10, TwoReads},
    {0x050D, 0x043A, 0x10, 0x043A, 0x01, SingleReadFilteredReapply},
    {0x1C0D, 0x1822, 0x10, 0x1823, 0x20, TwoReads},
    {0x1C0D, 0x1822, 0x10, 0x1823, 0x20, TwoReads},
};

DWORD ReadPort(DWORD port) { return hx_inp(port) & 0xFF; }

// Exact in double: every kHz limit times 1000 is below 2^53.
double RoundedHz(double mhz) { return std::round(mhz * kHzPerMHz); }

bool NotAboveMaximum(const FrequencyLimits& limits, double mhz) {
  return limits.maxKHz == 0 || RoundedHz(mhz) <= limits.maxKHz * kHzPerKHz;
}

bool NotBelowMinimum(const FrequencyLimits& limits, double mhz) {
  return limits.minKHz == 0 || RoundedHz(mhz) >= limits.minKHz * kHzPerKHz;
}

// What one poll works with besides the register map.
struct PollContext {
  const FrequencyLimits& limits;
  FrequencyTakenFn taken;
};

// One accepted press: acknowledge, move one step, apply, log, pause.
void Step(const RegisterMap& map, const PollContext& context, bool up, double stepMHz, double& frequency) {
  const bool known = frequency > 0.0 || (AccessCpuClock(frequency, ClockRead) && frequency > 0.0);
  if (up) {
    hx_outp(map.upPort, map.upMask);
  } else {
    hx_outp(map.downPort, map.downMask);
  }

  if (!known) {
    AppendLog(kUnknownFrequencyLine);
  } else {
    if (map.pattern == SingleReadFilteredReapply) AccessCpuClock(frequency, ClockApply);
    const double next = up ? frequency + stepMHz : frequency - stepMHz;
    if (FrequencyFitsClock(next) && (up ? NotAboveMaximum(context.limits, next) : NotBelowMinimum(context.limits, next))) {
      frequency = next;
      // The frequency follows the button either way; only a value the
      // controller took is reported.
      if (AccessCpuClock(frequency, ClockApplyChecked) && context.taken != nullptr) context.taken(frequency);
      LogFrequencyStep(frequency);
    } else {
      AppendLog(kOutOfRangeLine);
    }
  }
  PollSleep(kStepPauseMs);
}

}  // namespace

bool FrequencyWithinLimits(const FrequencyLimits& limits, double mhz) {
  return NotBelowMinimum(limits, mhz) && NotAboveMaximum(limits, mhz);
}

void LogFrequencyStep(double frequency) {
  char line[64];
  snprintf(line, sizeof line, kStepLogFormat, frequency);
  AppendLog(line);
}

void PollButtons(BoardVariant variant, const FrequencyLimits& limits, double& frequency, FrequencyTakenFn taken) {
  if (variant < 1 || variant > 5) return;
  const RegisterMap& map = kRegisterMaps[variant - 1];
  const PollContext context = {limits, taken};

  const double stepMHz = (ReadPort(map.stepSizePort) & kStepSizeBit) ? kCoarseStepMHz : kFineStepMHz;

  if (map.pattern == TwoReads) {
    if (ReadPort(map.downPort) & map.downMask) Step(map, context, false, stepMHz, frequency);
    if (ReadPort(map.upPort) & map.upMask) Step(map, context, true, stepMHz, frequency);
    return;
  }

  const DWORD latches = ReadPort(map.downPort);
  // A latch alone in its byte is not acted on by these boards' rules.
  if (map.pattern == SingleReadFilteredReapply && (latches == map.downMask || latches == map.upMask)) return;
  if (latches & map.downMask) {
    Step(map, context, false, stepMHz, frequency);
  } else if (latches & map.upMask) {
    Step(map, context, true, stepMHz, frequency);
  }
}
