// Service installation and removal through the service control manager.
#include "service/service_install.h"

#include <windows.h>

#include <cstring>

#include "service/service_worker.h"

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

}  // namespace

bool InstallService() {
  char imagePath[kImagePathCapacity];
  if (!QuotedExecutablePath(imagePath)) return false;

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;

  SC_HANDLE service = CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     imagePath, nullptr, nullptr, nullptr, nullptr, nullptr);
  const bool created = service != nullptr;
  if (created) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return created;
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
