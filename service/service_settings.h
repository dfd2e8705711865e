// Service settings: the administrator's values under the service's Parameters key, and the frequency remembered there.
#pragma once

#include "tuning/button_poll.h"

// The administrator's values under the Parameters key.
struct ServiceSettings {
  FrequencyLimits limits;
  bool restoreFrequency;
};

// Reads the Parameters key: the frequency limits and whether to restore the
// remembered frequency. A missing value changes nothing; a value that is
// zero, inverted (minimum above maximum), of the wrong type or unknown is
// ignored with one log line. Without the key nothing is logged and there are
// no limits and no restore.
ServiceSettings ReadServiceSettings();

// Stores frequency (MHz), rounded to the nearest kHz, as LastFrequencyKHz.
void RememberFrequency(double frequency);

// Once the start frequency is logged: marks the remembered frequency as in use
// for this run and, with RestoreFrequency on, applies it and logs it as a step,
// or logs why not. Not restored when the previous run left its mark set (it
// ended without a stop), nor when the value is missing, of the wrong type,
// outside the limits or the clock's range, or not taken by the controller.
// True when this run set the mark.
bool StartRememberedFrequency(const ServiceSettings& settings, double& frequency);

// On a clean stop: clears the mark, when this run set it.
void EndRememberedFrequency(bool markedByThisRun);
