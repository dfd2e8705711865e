// Service settings: reads and watches the Parameters key and the policy key, remembers each applied frequency, and guards its restore at start and at resume.
#include "service/service_settings.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "tuning/activity_log.h"
#include "tuning/clock_client.h"

const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd\\Parameters";
LONG(WINAPI* FlushRegistryKey)(HKEY key) = RegFlushKey;

namespace {

const char kLastFrequencyValue[] = "LastFrequencyKHz";
// Non-zero from the start of a run until its clean stop: found set at a
// start, the previous run ended in a crash, a freeze or a power cut.
const char kInUseValue[] = "LastFrequencyInUse";

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd";
// Where Group Policy writes the service's policies, and the key watched for
// them (standard on Windows; made when missing, so that it can be watched).
const char kPolicyKey[] = "SOFTWARE\\Policies\\Vexaclkd";
const char kPoliciesKey[] = "SOFTWARE\\Policies";
// The policy engine is a 64-bit process and writes the 64-bit view; a 32-bit
// service on 64-bit Windows must not be sent to Wow6432Node. Ignored on
// 32-bit Windows, where there is one view.
const REGSAM kPolicyView = KEY_WOW64_64KEY;

enum AdministratorValue { MinimumValue, MaximumValue, RestoreValue };
const char* const kAdministratorValueNames[kAdministratorValueCount] = {"MinFrequencyKHz", "MaxFrequencyKHz",
                                                                         "RestoreFrequency"};

const DWORD kRestoreOn = 1;
const double kKHzPerMHz = 1000.0;
// Values made or changed, and keys made or deleted, anywhere below the watched key.
const DWORD kWatchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

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

FoundDword FindDword(HKEY key, const char* name) {
  FoundDword found = {DwordMissing, 0};
  found.read = ReadDword(key, name, found.value);
  return found;
}

bool SameDword(const FoundDword& a, const FoundDword& b) {
  return a.read == b.read && (a.read != DwordFound || a.value == b.value);
}

bool SameValues(const AdministratorValues& a, const AdministratorValues& b) {
  for (int i = 0; i < kAdministratorValueCount; ++i) {
    if (!SameDword(a.local[i], b.local[i]) || !SameDword(a.policy[i], b.policy[i])) return false;
  }
  return true;
}

// The administrator's values of one key, all missing without the key.
void FindValuesIn(const char* keyName, REGSAM view, FoundDword (&values)[kAdministratorValueCount]) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) key = nullptr;
  for (int i = 0; i < kAdministratorValueCount; ++i) values[i] = FindDword(key, kAdministratorValueNames[i]);
  if (key != nullptr) RegCloseKey(key);
}

// As found, nothing logged.
AdministratorValues FindAdministratorValues() {
  AdministratorValues values = {};
  FindValuesIn(kParametersKey, 0, values.local);
  FindValuesIn(kPolicyKey, kPolicyView, values.policy);
  return values;
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

// Writes the Parameters key to disk now, not at the registry's next lazy save.
bool FlushParameters() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  const bool flushed = FlushRegistryKey(key) == ERROR_SUCCESS;
  RegCloseKey(key);
  return flushed;
}

void LogIgnoredSetting(const char* name, const char* why) {
  char line[96];
  snprintf(line, sizeof line, "Setting ignored: %s %s!!\n", name, why);
  AppendLog(line);
}

// Why a value found cannot be used, or null when it can (or is missing).
const char* FaultOf(AdministratorValue which, const FoundDword& found) {
  if (found.read == DwordWrongType) return "is not a REG_DWORD";
  if (found.read != DwordFound) return nullptr;
  if (which == RestoreValue) return found.value == 0 || found.value == kRestoreOn ? nullptr : "is neither 0 nor 1";
  return found.value == 0 ? "is 0" : nullptr;
}

// One value in force, and where it came from.
struct Chosen {
  bool found;
  bool fromPolicy;
  DWORD value;
};
const Chosen kNotSet = {false, false, 0};

// The policy's value when it is set and usable, else the local one when that
// is; a value that cannot be used is ignored with its line.
Chosen ChooseValue(AdministratorValue which, const AdministratorValues& values) {
  const char* name = kAdministratorValueNames[which];
  const FoundDword& policy = values.policy[which];
  if (const char* fault = FaultOf(which, policy)) {
    LogIgnoredSetting(name, fault);
  } else if (policy.read == DwordFound) {
    return Chosen{true, true, policy.value};
  }
  const FoundDword& local = values.local[which];
  if (const char* fault = FaultOf(which, local)) {
    LogIgnoredSetting(name, fault);
    return kNotSet;
  }
  return local.read == DwordFound ? Chosen{true, false, local.value} : kNotSet;
}

// Which of the two is wrong cannot be told when both come from one key:
// neither limits. Otherwise the policy wins.
void DropInvertedLimits(Chosen& minimum, Chosen& maximum) {
  if (!minimum.found || !maximum.found || minimum.value <= maximum.value) return;
  if (minimum.fromPolicy == maximum.fromPolicy) {
    AppendLog("Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\n");
    minimum = kNotSet;
    maximum = kNotSet;
  } else if (maximum.fromPolicy) {
    AppendLog("Setting ignored: MinFrequencyKHz above the policy's MaxFrequencyKHz!!\n");
    minimum = kNotSet;
  } else {
    AppendLog("Setting ignored: MaxFrequencyKHz below the policy's MinFrequencyKHz!!\n");
    maximum = kNotSet;
  }
}

void LogValuesFromPolicy(const Chosen (&chosen)[kAdministratorValueCount]) {
  char line[128] = "Settings from policy:";
  bool any = false;
  for (int i = 0; i < kAdministratorValueCount; ++i) {
    if (!chosen[i].fromPolicy) continue;
    strcat(line, " ");  // fits: the three names and the words around them are under 80 bytes
    strcat(line, kAdministratorValueNames[i]);
    any = true;
  }
  strcat(line, "\n");
  if (any) AppendLog(line);
}

ServiceSettings CheckSettings(const AdministratorValues& values) {
  Chosen chosen[kAdministratorValueCount] = {ChooseValue(MinimumValue, values), ChooseValue(MaximumValue, values),
                                             kNotSet};
  DropInvertedLimits(chosen[MinimumValue], chosen[MaximumValue]);
  chosen[RestoreValue] = ChooseValue(RestoreValue, values);
  LogValuesFromPolicy(chosen);
  ServiceSettings settings = {{chosen[MinimumValue].value, chosen[MaximumValue].value}, false};
  settings.restoreFrequency = chosen[RestoreValue].found && chosen[RestoreValue].value == kRestoreOn;
  return settings;
}

void LogSettingsReadAgain(const ServiceSettings& settings) {
  char line[128];
  snprintf(line, sizeof line, "Settings read again: MinFrequencyKHz %lu MaxFrequencyKHz %lu RestoreFrequency %d\n",
           static_cast<unsigned long>(settings.limits.minKHz), static_cast<unsigned long>(settings.limits.maxKHz),
           settings.restoreFrequency ? 1 : 0);
  AppendLog(line);
}

// Asks the registry to signal the watch's event at the next change. False
// when the key is gone (the service's entry deleted while it runs).
bool ArmWatch(HKEY key, HANDLE changed) {
  return RegNotifyChangeKeyValue(key, TRUE, kWatchedChanges, changed, TRUE) == ERROR_SUCCESS;
}

// A key that cannot be armed (gone) is watched no more.
void ArmWatches(SettingsWatch& watch) {
  for (HKEY& key : watch.keys) {
    if (key != nullptr && !ArmWatch(key, watch.changed)) {
      RegCloseKey(key);
      key = nullptr;
    }
  }
}

void CloseWatch(SettingsWatch& watch) {
  for (HKEY& key : watch.keys) {
    if (key != nullptr) RegCloseKey(key);
    key = nullptr;
  }
  if (watch.changed != nullptr) CloseHandle(watch.changed);
  watch.changed = nullptr;
}

// The lines of a refused restore, with %.3f for the frequency.
struct RestoreRefusalLines {
  const char* outOfClockRange;
  const char* outsideLimits;
  const char* notTaken;
};

const RestoreRefusalLines kStartRefusals = {
    "Restore skipped: remembered CPU Freq %.3f out of the clock's range!!\n",
    "Restore skipped: remembered CPU Freq %.3f outside the limits!!\n",
    "Restore skipped: clock controller did not take CPU Freq %.3f!!\n",
};

const RestoreRefusalLines kResumeRefusals = {
    "Resume restore skipped: CPU Freq %.3f out of the clock's range!!\n",
    "Resume restore skipped: CPU Freq %.3f outside the limits!!\n",
    "Resume restore skipped: clock controller did not take CPU Freq %.3f!!\n",
};

void LogRestoreSkipped(const char* format, double frequency) {
  char line[96];
  snprintf(line, sizeof line, format, frequency);
  AppendLog(line);
}

// Applies wanted when it fits the clock and the limits and the controller
// takes it, and logs it as a step; otherwise logs why not. True when applied.
bool ApplyRestore(const FrequencyLimits& limits, double wanted, const RestoreRefusalLines& lines) {
  if (!FrequencyFitsClock(wanted)) {
    LogRestoreSkipped(lines.outOfClockRange, wanted);
  } else if (!FrequencyWithinLimits(limits, wanted)) {
    LogRestoreSkipped(lines.outsideLimits, wanted);
  } else if (!AccessCpuClock(wanted, ClockApplyChecked)) {
    LogRestoreSkipped(lines.notTaken, wanted);
  } else {
    LogFrequencyStep(wanted);
    return true;
  }
  return false;
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
  const double remembered = rememberedKHz / kKHzPerMHz;
  if (ApplyRestore(limits, remembered, kStartRefusals)) frequency = remembered;
}

}  // namespace

ServiceSettings ReadServiceSettings() { return CheckSettings(FindAdministratorValues()); }

ServiceSettings StartSettingsWatch(SettingsWatch& watch) {
  for (HKEY& key : watch.keys) key = nullptr;
  watch.changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (watch.changed != nullptr) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_NOTIFY, &watch.keys[0]) != ERROR_SUCCESS) {
      watch.keys[0] = nullptr;
    }
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPoliciesKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_NOTIFY | kPolicyView,
                        nullptr, &watch.keys[1], nullptr) != ERROR_SUCCESS) {
      watch.keys[1] = nullptr;
    }
    ArmWatches(watch);
  }
  watch.seen = FindAdministratorValues();
  return CheckSettings(watch.seen);
}

bool RereadChangedSettings(SettingsWatch& watch, bool forced, ServiceSettings& settings) {
  const bool signalled = watch.changed != nullptr && WaitForSingleObject(watch.changed, 0) == WAIT_OBJECT_0;
  if (signalled) ArmWatches(watch);
  if (!signalled && !forced) return false;

  const AdministratorValues found = FindAdministratorValues();
  if (!forced && SameValues(found, watch.seen)) return false;
  watch.seen = found;
  settings = CheckSettings(found);
  LogSettingsReadAgain(settings);
  return true;
}

void EndSettingsWatch(SettingsWatch& watch) { CloseWatch(watch); }

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
  // A freeze at the restored frequency must find the mark after the reboot.
  const bool markOnDisk = settings.restoreFrequency && marked && FlushParameters();

  if (!settings.restoreFrequency) return marked;
  if (lastRunUnclean) {
    AppendLog("Restore skipped: last run did not end cleanly!!\n");
  } else if (!markOnDisk) {
    // Without the mark a crash at the restored frequency would restore it again.
    AppendLog("Restore skipped: cannot mark CPU Freq in use!!\n");
  } else {
    RestoreFrequency(settings.limits, rememberedRead, rememberedKHz, frequency);
  }
  return marked;
}

void ResumeFrequency(const ServiceSettings& settings, double& frequency) {
  const double inUse = frequency;
  double read = 0.0;
  AccessCpuClock(read, ClockRead);  // on failure the frequency is unknown (0.0)
  char line[64];
  snprintf(line, sizeof line, "Resumed: Current CPU Freq is %.3f\n", read);
  AppendLog(line);
  frequency = read;

  if (!settings.restoreFrequency) return;
  if (inUse <= 0.0) {
    AppendLog("Resume restore skipped: CPU Freq unknown!!\n");
  } else if (ApplyRestore(settings.limits, inUse, kResumeRefusals)) {
    frequency = inUse;
  }
}

void EndRememberedFrequency(bool markedByThisRun) {
  if (markedByThisRun) WriteDword(kInUseValue, 0);
}
