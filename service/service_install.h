// Service installation and removal: the service's entry in the service control manager's database, and the package's steps that keep it and put it back.
#pragma once

#include <windows.h>

// The one-line description the entry carries.
extern const char kServiceDescription[];

// Recovery after a crash (the process ending without reporting stopped):
// restart after a minute on the first and second failure, nothing after,
// failure count reset after a day.
const DWORD kRestartDelayMs = 60 * 1000;
const DWORD kFailureResetPeriodS = 24 * 60 * 60;

// Settings beyond CreateService go through here, so tests can watch and fail
// them. The service leaves it at ChangeServiceConfig2A.
extern BOOL(WINAPI* ChangeServiceConfig2Call)(SC_HANDLE service, DWORD infoLevel, LPVOID info);

// Creates the entry: own process, automatic start, local system account, the
// executable's own full path, quoted, the description and the recovery
// actions. All or nothing: if any part cannot be set the entry is deleted
// again. False when the path does not fit, the manager cannot be opened, or
// the entry cannot be created (it exists) or completed.
bool InstallService();

// Deletes the entry (a running service is removed once it stops). False when
// the manager or the entry cannot be opened or the deletion fails.
bool RemoveService();

// Steps of the Windows Installer package, run by it with the hidden switch
// "--package-STEP" and nowhere else. They keep the entry and its Parameters
// through an upgrade or a repair, and let a failed install, upgrade or
// uninstall put back the entry, its settings and its running state. The state
// before a change is kept under kPackageStateKey (HKLM) until the package
// commits or rolls back. Each returns true on success; the process exits with
// 0 then, else 1.
extern const char kPackageStateKey[];

// save-stop: notes whether the entry exists, its settings and Parameters and
// whether it runs; then stops it and waits for its process to end.
bool SaveAndStopForPackage();
// install: the entry as "-i" makes it; an existing one is brought up to date
// in place, its Parameters untouched.
bool InstallOrUpdateService();
// start: starts the service if it ran before the package stopped it.
bool StartIfItRan();
// rollback-stop: stops the service, as it was before the package started it.
bool StopForRollback();
// rollback-entry: the entry as noted: deleted if there was none, made again
// with its settings and Parameters if it is gone, its settings put back if not.
bool RestoreSavedEntry();
// rollback-start: starts the service if it ran before, then forgets the state.
bool RestartAndForget();
// forget: deletes the state, once the package has committed.
bool ForgetPackageState();

// The step a "--package-STEP" switch names; false when it names none.
bool FindPackageStep(const char* argument, bool (**run)());
