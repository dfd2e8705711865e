// Service installation and removal through the service control manager, and the steps the package runs.
#include "service/service_install.h"

#include <windows.h>

#include <cstring>

#include "service/service_settings.h"
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

// --- the package's steps -------------------------------------------------------

const char kPackageStateKey[] = "SOFTWARE\\Vexaclkd\\PackageState";

namespace {

const char kPackageStateParentKey[] = "SOFTWARE\\Vexaclkd";
const char kSavedParametersKey[] = "SOFTWARE\\Vexaclkd\\PackageState\\Parameters";
// As long as Windows Installer waits for a service to stop.
const DWORD kPackageStopTimeoutMs = 30 * 1000;
const DWORD kPackageStatusPollMs = 50;
const DWORD kServiceConfigCapacity = 8192;

// The noted state's values.
const char kEntryValue[] = "Entry";
const char kRunningValue[] = "Running";
const char kImagePathValue[] = "ImagePath";
const char kDisplayNameValue[] = "DisplayName";
const char kTypeValue[] = "Type";
const char kStartValue[] = "Start";
const char kErrorControlValue[] = "ErrorControl";
const char kDescriptionValue[] = "Description";

bool SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

bool SetText(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

bool GetDword(HKEY key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegGetValueA(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

bool GetText(HKEY key, const char* name, char* text, DWORD capacity) {
  DWORD size = capacity;
  return RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS;
}

// Deletes a key with everything under it; true when it is gone.
bool DeleteKeyTree(const char* path) {
  LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
  if (status == ERROR_SUCCESS) status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// Copies the key at HKLM\from, with everything under it, into HKLM\to (made
// if missing). True also when there is nothing to copy.
bool CopyKeyTree(const char* from, const char* to) {
  HKEY source = nullptr;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, from, 0, KEY_READ, &source);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  HKEY target = nullptr;
  bool copied = RegCreateKeyExA(HKEY_LOCAL_MACHINE, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) ==
                ERROR_SUCCESS;
  if (copied) {
    copied = RegCopyTreeA(source, nullptr, target) == ERROR_SUCCESS;
    RegCloseKey(target);
  }
  RegCloseKey(source);
  return copied;
}

// The noted state, or null when nothing is noted.
HKEY OpenPackageState() {
  HKEY state = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPackageStateKey, 0, KEY_READ, &state) != ERROR_SUCCESS) return nullptr;
  return state;
}

bool NotedRunning() {
  HKEY state = OpenPackageState();
  if (state == nullptr) return false;
  DWORD running = 0;
  const bool noted = GetDword(state, kRunningValue, &running) && running == 1;
  RegCloseKey(state);
  return noted;
}

bool IsActive(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  return QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// Stops the service if it is not stopped and waits, within the package's
// bound, until it is and its process has ended (until then its executable is
// still in use). A service still starting cannot take the stop control yet:
// it is sent again until it is taken.
bool StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS running = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running), sizeof running,
                            &needed)) {
    return false;
  }
  if (running.dwCurrentState == SERVICE_STOPPED) return true;
  HANDLE process = running.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId) : nullptr;
  const ULONGLONG deadline = GetTickCount64() + kPackageStopTimeoutMs;
  bool stopSent = false;
  bool stopped = false;
  for (;;) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) break;
    stopped = status.dwCurrentState == SERVICE_STOPPED;
    if (stopped || GetTickCount64() >= deadline) break;
    if (!stopSent && status.dwCurrentState != SERVICE_STOP_PENDING) {
      stopSent = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
      const DWORD error = stopSent ? ERROR_SUCCESS : GetLastError();
      if (!stopSent && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) break;
    }
    Sleep(kPackageStatusPollMs);
  }
  bool ended = true;
  if (process != nullptr) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    ended = WaitForSingleObject(process, left) == WAIT_OBJECT_0;
    CloseHandle(process);
  }
  return stopped && ended;
}

bool StartEntry(SC_HANDLE service) {
  return StartServiceA(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

bool SetDescription(SC_HANDLE service, const char* text) {
  char description[kServiceConfigCapacity];
  strncpy(description, text, sizeof description - 1);
  description[sizeof description - 1] = '\0';
  SERVICE_DESCRIPTIONA info = {description};
  return ChangeServiceConfig2Call(service, SERVICE_CONFIG_DESCRIPTION, &info) != 0;
}

// Notes the entry's settings and whether it runs.
bool NoteEntry(SC_HANDLE service, HKEY state) {
  union {
    QUERY_SERVICE_CONFIGA config;
    char bytes[kServiceConfigCapacity];
  } config = {};
  union {
    SERVICE_DESCRIPTIONA info;
    char bytes[kServiceConfigCapacity];
  } description = {};
  DWORD needed = 0;
  if (!QueryServiceConfigA(service, &config.config, sizeof config, &needed)) return false;
  const char* text = "";
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(&description),
                           sizeof description, &needed) &&
      description.info.lpDescription != nullptr) {
    text = description.info.lpDescription;
  }
  const QUERY_SERVICE_CONFIGA& c = config.config;
  return SetText(state, kImagePathValue, c.lpBinaryPathName ? c.lpBinaryPathName : "") &&
         SetText(state, kDisplayNameValue, c.lpDisplayName ? c.lpDisplayName : "") &&
         SetDword(state, kTypeValue, c.dwServiceType) && SetDword(state, kStartValue, c.dwStartType) &&
         SetDword(state, kErrorControlValue, c.dwErrorControl) && SetText(state, kDescriptionValue, text) &&
         SetDword(state, kRunningValue, IsActive(service) ? 1 : 0) && SetDword(state, kEntryValue, 1);
}

// The settings noted, put on the service (made again first when it is gone,
// with the noted Parameters and the recovery actions "-i" sets).
bool PutBackEntry(SC_HANDLE manager, HKEY state) {
  char imagePath[kServiceConfigCapacity];
  char displayName[kServiceConfigCapacity];
  char description[kServiceConfigCapacity];
  DWORD type = 0;
  DWORD start = 0;
  DWORD errorControl = 0;
  if (!GetText(state, kImagePathValue, imagePath, sizeof imagePath) ||
      !GetText(state, kDisplayNameValue, displayName, sizeof displayName) ||
      !GetText(state, kDescriptionValue, description, sizeof description) || !GetDword(state, kTypeValue, &type) ||
      !GetDword(state, kStartValue, &start) || !GetDword(state, kErrorControlValue, &errorControl)) {
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
  bool restored = false;
  if (service == nullptr) {
    service = CreateServiceA(manager, kServiceName, displayName, SERVICE_ALL_ACCESS, type, start, errorControl,
                             imagePath, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) return false;
    restored = CompleteEntry(service) &&
               CopyKeyTree(kSavedParametersKey, kParametersKey);
  } else {
    restored = ChangeServiceConfigA(service, type, start, errorControl, imagePath, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, displayName) != 0;
  }
  restored = SetDescription(service, description) && restored;
  CloseServiceHandle(service);
  return restored;
}

}  // namespace

bool SaveAndStopForPackage() {
  if (!DeleteKeyTree(kPackageStateKey)) return false;
  HKEY state = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPackageStateKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &state,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool done = false;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager != nullptr) {
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
      done = SetDword(state, kEntryValue, 0);
    } else {
      // Parameters once stopped: a clean stop clears the service's in-use
      // mark, and an entry made again must not look as if it had crashed.
      done = NoteEntry(service, state) && StopAndWait(service) &&
             CopyKeyTree(kParametersKey, kSavedParametersKey);
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
  }
  RegCloseKey(state);
  return done;
}

bool InstallOrUpdateService() {
  char imagePath[kImagePathCapacity];
  if (!QuotedExecutablePath(imagePath)) return false;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    CloseServiceHandle(manager);
    return InstallService();
  }
  const bool updated = ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                            SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, kDisplayName) != 0 &&
                       CompleteEntry(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return updated;
}

bool StartIfItRan() {
  if (!NotedRunning()) return true;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_START);
  const bool started = service != nullptr && StartEntry(service);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return started;
}

bool StopForRollback() {
  HKEY state = OpenPackageState();
  if (state == nullptr) return true;
  RegCloseKey(state);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
  const bool stopped = service == nullptr || StopAndWait(service);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return stopped;
}

bool RestoreSavedEntry() {
  HKEY state = OpenPackageState();
  if (state == nullptr) return true;
  DWORD entry = 0;
  bool restored = false;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager != nullptr && GetDword(state, kEntryValue, &entry)) {
    if (entry == 1) {
      restored = PutBackEntry(manager, state);
    } else {
      SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
      restored = service == nullptr || DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
      if (service != nullptr) CloseServiceHandle(service);
    }
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  RegCloseKey(state);
  return restored;
}

bool RestartAndForget() {
  const bool started = StartIfItRan();
  return ForgetPackageState() && started;
}

bool ForgetPackageState() {
  if (!DeleteKeyTree(kPackageStateKey)) return false;
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPackageStateParentKey);  // only when nothing else is under it
  return true;
}

bool FindPackageStep(const char* argument, bool (**run)()) {
  struct Step {
    const char* name;
    bool (*run)();
  };
  static const Step kSteps[] = {
      {"--package-save-stop", SaveAndStopForPackage}, {"--package-install", InstallOrUpdateService},
      {"--package-start", StartIfItRan},               {"--package-rollback-stop", StopForRollback},
      {"--package-rollback-entry", RestoreSavedEntry}, {"--package-rollback-start", RestartAndForget},
      {"--package-forget", ForgetPackageState},
  };
  for (const Step& step : kSteps) {
    if (strcmp(argument, step.name) == 0) {
      *run = step.run;
      return true;
    }
  }
  return false;
}
