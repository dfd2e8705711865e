// Process entry: runs as the service, or creates or deletes its service entry with "-i" or "-d".
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

  if (strcmp(argv[1], "-i") == 0) {
    printf(InstallService() ? "\n\nService Installed Sucessfully\n" : "\n\nError Installing Service\n");
  }
  if (strcmp(argv[1], "-d") == 0) {
    printf(RemoveService() ? "\n\nService UnInstalled Sucessfully\n" : "\n\nError UnInstalling Service\n");
  }
  return 0;
}
