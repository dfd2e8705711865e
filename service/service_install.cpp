// Service installation and removal through the service control manager.
#include "service/service_install.h"

#include <windows.h>

#include <cstring>

#include "service/service_worker.h"

const char kServiceDescription[] =
    "Steps the CPU clock up or down when the board's tuning buttons are pressed, and logs each frequency.";

BOOL(WINAPI* ChangeServiceConfig2Call)(SC_HANDLE, DWORD, LPVOID) = ChangeServiceConfig2A;

namespace {

const char kDisplayName[] = "Vexa Tapclock service";
const DWORD kImagePathCapacity = 1024;

// The executable's full path in double quotes, so that a folder with spaces
// can never be read as a shorter program name. False when it does not fit.
bool QuotedExecutablePath(char (&quoted)[kImagePathCapacity]) {
  char path[kImagePathCapacity];
  const DWORD length = GetModuleFileNameA(nullptr, path, kImagePathCapacity);
  if (length == 0 || length >= kImagePathCapacity) return false;
  if (length + 3 > kImagePathCapacity) return false;  // two quotes and the terminator
  quoted[0] = '"';
  memcpy(quoted + 1, path, length);
  quoted[length + 1] = '"';
  quoted[length + 2] = '\0';
  return true;
}

// The description and the recovery actions. The failure-actions flag is left
// at its default (off) on purpose: the actions then follow only a crash, and a
// start-up failure, which reports stopped with its exit code, is never
// restarted, since a restart cannot bring a missing library or an unknown
// board.
bool CompleteEntry(SC_HANDLE service) {
  char description[sizeof kServiceDescription];
  memcpy(description, kServiceDescription, sizeof description);
  SERVICE_DESCRIPTIONA descriptionInfo = {description};
  if (!ChangeServiceConfig2Call(service, SERVICE_CONFIG_DESCRIPTION, &descriptionInfo)) return false;

  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, kRestartDelayMs},
      {SC_ACTION_RESTART, kRestartDelayMs},
      {SC_ACTION_NONE, 0},  // the last action holds for every later failure
  };
  SERVICE_FAILURE_ACTIONSA failureActions = {};
  failureActions.dwResetPeriod = kFailureResetPeriodS;
  failureActions.cActions = sizeof actions / sizeof actions[0];
  failureActions.lpsaActions = actions;
  return ChangeServiceConfig2Call(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions) != 0;
}

}  // namespace

bool InstallService() {
  char imagePath[kImagePathCapacity];
  if (!QuotedExecutablePath(imagePath)) return false;

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;

  SC_HANDLE service = CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     imagePath, nullptr, nullptr, nullptr, nullptr, nullptr);
  bool installed = false;
  if (service != nullptr) {
    installed = CompleteEntry(service);
    if (!installed) DeleteService(service);  // gone once its handle is closed
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return installed;
}

bool RemoveService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;

  bool removed = false;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (service != nullptr) {
    const bool deleted = DeleteService(service) != 0;
    removed = CloseServiceHandle(service) != 0 && deleted;
  }
  CloseServiceHandle(manager);
  return removed;
}
