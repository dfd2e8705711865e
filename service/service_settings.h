// Service settings: the administrator's values under the service's Parameters key and the policy key, watched while the service runs, and the frequency remembered there.
#pragma once

#include <windows.h>

#include "tuning/button_poll.h"

// Where the service keeps its settings, under HKLM.
extern const char kParametersKey[];

// The administrator's values under the Parameters key.
struct ServiceSettings {
  FrequencyLimits limits;
  bool restoreFrequency;
};

// How one REG_DWORD value was found.
enum DwordRead { DwordMissing, DwordFound, DwordWrongType };
struct FoundDword {
  DwordRead read;
  DWORD value;  // meaningful when found
};

// MinFrequencyKHz, MaxFrequencyKHz and RestoreFrequency, in that order.
const int kAdministratorValueCount = 3;

// The administrator's values as found, before they are checked: what tells
// their change from the service's own writes beside them.
struct AdministratorValues {
  FoundDword local[kAdministratorValueCount];   // under Parameters
  FoundDword policy[kAdministratorValueCount];  // under the policy key
};

// Reads the settings: the frequency limits and whether to restore the
// remembered frequency, each from the policy key (HKLM, SOFTWARE\Policies\Vexaclkd,
// where Group Policy writes them) when set there, else from the
// Parameters key. A missing value changes nothing; a value that is zero, of
// the wrong type or unknown is ignored with one log line (a policy's, so that
// the local value applies); a minimum above the maximum is ignored with one
// line: both when they come from the same key, else the local one. When any
// value in force comes from the policy key, one line names them. Without
// either key nothing is logged and there are no limits and no restore.
ServiceSettings ReadServiceSettings();

// Watches the service's key and the policies' key, each with everything
// below it, so that a Parameters or policy key made or deleted while the
// service runs is seen as well as a value changed in it. The registry
// signals changed; the polling thread checks it between two polls.
const int kWatchedKeyCount = 2;
struct SettingsWatch {
  HKEY keys[kWatchedKeyCount];  // null where a key could not be watched
  HANDLE changed;               // auto-reset event, signalled for either key
  AdministratorValues seen;     // as last read
};

// Arms the watch first, so that no change after the read is missed, then
// reads the settings as ReadServiceSettings does. A key that cannot be
// watched is not; only a forced read sees its changes.
ServiceSettings StartSettingsWatch(SettingsWatch& watch);

// Between two polls: when the key was changed since the last read, re-arms
// the watch and reads the administrator's values; when they differ from the
// last read, or when forced (a paramchange control), reads the settings
// again with the lines of a start and "Settings read again: ..." with what is
// now in force. The service's own values (the remembered frequency, the
// in-use mark) set the watch off but are never taken for a change. True when
// settings was read again.
bool RereadChangedSettings(SettingsWatch& watch, bool forced, ServiceSettings& settings);

void EndSettingsWatch(SettingsWatch& watch);

// Flushes of the Parameters key go through here, so tests can see when they
// happen and fail them. The service leaves it at RegFlushKey.
extern LONG(WINAPI* FlushRegistryKey)(HKEY key);

// Stores frequency (MHz), rounded to the nearest kHz, as LastFrequencyKHz.
void RememberFrequency(double frequency);

// Once the start frequency is logged: marks the remembered frequency as in use
// for this run and, with RestoreFrequency on, flushes the mark to disk and
// applies the remembered frequency and logs it as a step, or logs why not.
// Not restored when the previous run left its mark set (it ended without a
// stop), nor when the mark cannot be set and flushed, nor when the value is missing, of the wrong type, outside the limits or the
// clock's range, or not taken by the controller. True when this run set the
// mark.
bool StartRememberedFrequency(const ServiceSettings& settings, double& frequency);

// After a resume from sleep or hibernation, when the clock may be back at its
// power-on default: reads the clock and logs "Resumed: Current CPU Freq is
// %.3f" (0.000, unknown, when the read fails), and goes on from what it read.
// With RestoreFrequency on, then applies frequency (the one in use before)
// again, checked as a restore at start is, and logs it as a step, or logs why
// not.
void ResumeFrequency(const ServiceSettings& settings, double& frequency);

// On a clean stop: clears the mark, when this run set it.
void EndRememberedFrequency(bool markedByThisRun);
