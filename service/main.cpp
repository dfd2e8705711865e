// Process entry: runs as the service, or creates or deletes its service entry with "-i" or "-d"; the package's steps.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tuning/activity_log.h"
#include "service/service_install.h"
#include "service/service_worker.h"

int main(int argc, char* argv[]) {
  ResetLog();

  if (argc < 2) {
    char serviceName[sizeof kServiceName];
    strcpy(serviceName, kServiceName);
    const SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {serviceName, ServiceMain},
        {nullptr, nullptr},
    };
    StartServiceCtrlDispatcherA(dispatchTable);
    return 0;
  }

  // The package's own steps: no console text; the exit code tells the outcome.
  bool (*packageStep)() = nullptr;
  if (FindPackageStep(argv[1], &packageStep)) return packageStep() ? 0 : 1;

  if (strcmp(argv[1], "-i") == 0) {
    printf(InstallService() ? "\n\nService Installed Sucessfully\n" : "\n\nError Installing Service\n");
  }
  if (strcmp(argv[1], "-d") == 0) {
    printf(RemoveService() ? "\n\nService UnInstalled Sucessfully\n" : "\n\nError UnInstalling Service\n");
  }
  return 0;
}
