// Service settings: reads the Parameters key at start, remembers each applied frequency there, and guards its restore.
#include "service/service_settings.h"

#include <windows.h>

#include <cmath>
#include <cstdio>

#include "tuning/activity_log.h"
#include "tuning/clock_client.h"

namespace {

const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd\\Parameters";
const char kMinFrequencyValue[] = "MinFrequencyKHz";
const char kMaxFrequencyValue[] = "MaxFrequencyKHz";
const char kRestoreValue[] = "RestoreFrequency";
const char kLastFrequencyValue[] = "LastFrequencyKHz";
// Non-zero from the start of a run until its clean stop: found set at a
// start, the previous run ended in a crash, a freeze or a power cut.
const char kInUseValue[] = "LastFrequencyInUse";

const DWORD kRestoreOn = 1;
const double kKHzPerMHz = 1000.0;

enum DwordRead { DwordMissing, DwordFound, DwordWrongType };

// A key that could not be opened (null) holds no values.
DwordRead ReadDword(HKEY key, const char* name, DWORD& value) {
  if (key == nullptr) return DwordMissing;
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof data;
  const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (result == ERROR_FILE_NOT_FOUND) return DwordMissing;
  if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) return DwordWrongType;
  value = data;
  return DwordFound;
}

// Opens and closes the key for every write, creating it when missing.
bool WriteDword(const char* name, DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool written =
      RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
  RegCloseKey(key);
  return written;
}

void LogIgnoredSetting(const char* name, const char* why) {
  char line[96];
  snprintf(line, sizeof line, "Setting ignored: %s %s!!\n", name, why);
  AppendLog(line);
}

// A limit in kHz, or 0 for none.
DWORD ReadLimit(HKEY key, const char* name) {
  DWORD value = 0;
  const DwordRead read = ReadDword(key, name, value);
  if (read == DwordWrongType) LogIgnoredSetting(name, "is not a REG_DWORD");
  if (read == DwordFound && value == 0) LogIgnoredSetting(name, "is 0");
  return read == DwordFound ? value : 0;
}

bool ReadRestoreSwitch(HKEY key) {
  DWORD value = 0;
  const DwordRead read = ReadDword(key, kRestoreValue, value);
  if (read == DwordWrongType) LogIgnoredSetting(kRestoreValue, "is not a REG_DWORD");
  if (read == DwordFound && value != 0 && value != kRestoreOn) LogIgnoredSetting(kRestoreValue, "is neither 0 nor 1");
  return read == DwordFound && value == kRestoreOn;
}

void LogRestoreSkipped(const char* format, double frequency) {
  char line[96];
  snprintf(line, sizeof line, format, frequency);
  AppendLog(line);
}

// Applies the remembered value, or logs why not. The mark is already set.
void RestoreFrequency(const FrequencyLimits& limits, DwordRead read, DWORD rememberedKHz, double& frequency) {
  if (read == DwordMissing) {
    AppendLog("Restore skipped: no remembered CPU Freq!!\n");
    return;
  }
  if (read == DwordWrongType) {
    AppendLog("Restore skipped: LastFrequencyKHz is not a REG_DWORD!!\n");
    return;
  }
  double remembered = rememberedKHz / kKHzPerMHz;
  if (!FrequencyFitsClock(remembered)) {
    LogRestoreSkipped("Restore skipped: remembered CPU Freq %.3f out of the clock's range!!\n", remembered);
  } else if (!FrequencyWithinLimits(limits, remembered)) {
    LogRestoreSkipped("Restore skipped: remembered CPU Freq %.3f outside the limits!!\n", remembered);
  } else if (!AccessCpuClock(remembered, ClockApplyChecked)) {
    LogRestoreSkipped("Restore skipped: clock controller did not take CPU Freq %.3f!!\n", remembered);
  } else {
    frequency = remembered;
    LogFrequencyStep(frequency);
  }
}

}  // namespace

ServiceSettings ReadServiceSettings() {
  ServiceSettings settings = {kNoLimits, false};
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return settings;

  DWORD minimum = ReadLimit(key, kMinFrequencyValue);
  DWORD maximum = ReadLimit(key, kMaxFrequencyValue);
  if (minimum != 0 && maximum != 0 && minimum > maximum) {
    // Which of the two is wrong cannot be told: neither limits.
    AppendLog("Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\n");
    minimum = 0;
    maximum = 0;
  }
  settings.limits = {minimum, maximum};
  settings.restoreFrequency = ReadRestoreSwitch(key);
  RegCloseKey(key);
  return settings;
}

void RememberFrequency(double frequency) {
  WriteDword(kLastFrequencyValue, static_cast<DWORD>(std::llround(frequency * kKHzPerMHz)));
}

bool StartRememberedFrequency(const ServiceSettings& settings, double& frequency) {
  DWORD inUse = 0;
  DWORD rememberedKHz = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) key = nullptr;
  // A mark of any other type counts as set: when in doubt, do not restore.
  const DwordRead markRead = ReadDword(key, kInUseValue, inUse);
  const bool lastRunUnclean = markRead == DwordWrongType || (markRead == DwordFound && inUse != 0);
  const DwordRead rememberedRead = ReadDword(key, kLastFrequencyValue, rememberedKHz);
  if (key != nullptr) RegCloseKey(key);

  // Marked on every start, restore on or off, so that a crash is still known
  // if restore is turned on before the next start.
  const bool marked = WriteDword(kInUseValue, 1);

  if (!settings.restoreFrequency) return marked;
  if (lastRunUnclean) {
    AppendLog("Restore skipped: last run did not end cleanly!!\n");
  } else if (!marked) {
    // Without the mark a crash at the restored frequency would restore it again.
    AppendLog("Restore skipped: cannot mark CPU Freq in use!!\n");
  } else {
    RestoreFrequency(settings.limits, rememberedRead, rememberedKHz, frequency);
  }
  return marked;
}

void EndRememberedFrequency(bool markedByThisRun) {
  if (markedByThisRun) WriteDword(kInUseValue, 0);
}
