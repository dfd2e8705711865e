// Service worker and control handler: status reports here, the polling work in RunServiceWork.
#include "service/service_worker.h"

#include <cstdio>

#include "hardware/board_id.h"
#include "hardware/port_library.h"
#include "service/activity_log.h"
#include "tuning/button_poll.h"
#include "tuning/clock_client.h"

SERVICE_STATUS ServiceStatus = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
volatile LONG RunFlag = 1;

namespace {

const DWORD kServiceTypeBits = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;

// The worker and the control handler both report; once stopped is reported
// nothing may follow it.
SRWLOCK StatusLock = SRWLOCK_INIT;
bool StoppedReported = false;

// Reports one state. False when stopped was already reported.
bool ReportServiceStatus(DWORD state, DWORD controlsAccepted, DWORD waitHintMs, DWORD serviceExitCode) {
  AcquireSRWLockExclusive(&StatusLock);
  const bool allowed = !StoppedReported;
  if (allowed) {
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwControlsAccepted = controlsAccepted;
    ServiceStatus.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    ServiceStatus.dwServiceSpecificExitCode = serviceExitCode;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = waitHintMs;
    StoppedReported = state == SERVICE_STOPPED;
    SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
  }
  ReleaseSRWLockExclusive(&StatusLock);
  return allowed;
}

void LogStartFrequency(double frequency) {
  char line[64];
  snprintf(line, sizeof line, "Current CPU Freq is %.3f\n", frequency);
  AppendLog(line);
}

// RunFlag is tested before the first sleep and after every poll, never
// during one, so a poll in progress always completes.
void PollUntilStopped(BoardVariant variant, double& frequency) {
  while (RunFlag != 0) {
    PollSleep(kPollPeriodMs);
    PollButtons(variant, frequency);
  }
}

}  // namespace

WorkOutcome RunServiceWork() {
  const HMODULE library = LoadPortLibrary();
  if (library == nullptr) {
    AppendLog("Load kpx.dll failure!!\n");
    return WorkNoPortLibrary;
  }

  WorkOutcome outcome = WorkStopped;
  BoardVariant variant = 0;
  if (!BindPortLibrary(library)) {
    AppendLog("Load kpx function failure!!\n");
    outcome = WorkNoPortEntryPoints;
  } else if (!IdentifyBoard(variant)) {
    AppendLog("Part Number Check Error!!\n");
    outcome = WorkUnknownBoard;
  } else {
    double frequency = 0.0;
    AccessCpuClock(frequency, ClockRead);  // on failure the frequency stays unknown (0.0)
    LogStartFrequency(frequency);
    PollUntilStopped(variant, frequency);
  }

  ReleasePortLibrary(library);
  return outcome;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  ServiceStatus.dwServiceType = kServiceTypeBits;
  ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
  ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  ServiceStatus.dwWin32ExitCode = NO_ERROR;
  ServiceStatus.dwServiceSpecificExitCode = 0;
  ServiceStatus.dwCheckPoint = 0;
  ServiceStatus.dwWaitHint = 0;

  ServiceStatusHandle = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
  if (ServiceStatusHandle == nullptr) return;

  InterlockedExchange(&RunFlag, 1);
  ReportServiceStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);

  const WorkOutcome outcome = RunServiceWork();
  // Last of all: once stopped is reported the process may end at any moment.
  ReportServiceStatus(SERVICE_STOPPED, 0, 0, outcome);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  // Stop-pending first, then let the worker finish its poll and report stopped.
  if (ReportServiceStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs, 0)) InterlockedExchange(&RunFlag, 0);
}
