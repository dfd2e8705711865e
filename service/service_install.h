// Service installation and removal: the service's entry in the service control manager's database.
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
