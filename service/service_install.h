// Service installation and removal: the service's entry in the service control manager's database.
#pragma once

// Creates the entry: own process, automatic start, local system account, and
// the executable's own full path, quoted. False when the path does not fit,
// the manager cannot be opened, or the entry cannot be created (it exists).
bool InstallService();

// Deletes the entry (a running service is removed once it stops). False when
// the manager or the entry cannot be opened or the deletion fails.
bool RemoveService();
