// Service worker and control handler: status reports here, the polling work in RunServiceWork.
#include "service/service_worker.h"

#include <cstdio>

#include "hardware/board_id.h"
#include "hardware/port_library.h"
#include "tuning/activity_log.h"
#include "service/service_settings.h"
#include "tuning/button_poll.h"
#include "tuning/clock_client.h"

SERVICE_STATUS ServiceStatus = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
volatile LONG RunFlag = 1;
BOOL(WINAPI* SendServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) = SetServiceStatus;

namespace {

const DWORD kRunningControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PARAMCHANGE;

// Noted by the control handler, taken by the polling thread between two polls.
volatile LONG ResumePending = 0;
volatile LONG SettingsReadRequested = 0;

// The resume event of this wake that came first, until the next suspend;
// only the control handler's thread touches it.
DWORD FirstResumeOfWake = 0;

const DWORD kServiceTypeBits = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;
const DWORD kFirstStartCheckPoint = 1;  // reported before the first start-up step

// The worker and the control handler both report. Once stop-pending is
// reported only stopped may follow, and nothing may follow stopped.
SRWLOCK StatusLock = SRWLOCK_INIT;
bool StoppedReported = false;

bool MayReport(DWORD state) {
  if (StoppedReported) return false;
  return ServiceStatus.dwCurrentState != SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

// Reports one state. False when the state may no longer be reported.
bool ReportServiceStatus(DWORD state, DWORD controlsAccepted, DWORD checkPoint, DWORD waitHintMs,
                         DWORD serviceExitCode) {
  AcquireSRWLockExclusive(&StatusLock);
  const bool allowed = MayReport(state);
  if (allowed) {
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwControlsAccepted = controlsAccepted;
    ServiceStatus.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    ServiceStatus.dwServiceSpecificExitCode = serviceExitCode;
    ServiceStatus.dwCheckPoint = checkPoint;
    ServiceStatus.dwWaitHint = waitHintMs;
    StoppedReported = state == SERVICE_STOPPED;
    SendServiceStatus(ServiceStatusHandle, &ServiceStatus);
  }
  ReleaseSRWLockExclusive(&StatusLock);
  return allowed;
}

// Start values of a run; nothing reported yet.
void ResetServiceStatus() {
  AcquireSRWLockExclusive(&StatusLock);
  ServiceStatus.dwServiceType = kServiceTypeBits;
  ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
  ServiceStatus.dwControlsAccepted = 0;
  ServiceStatus.dwWin32ExitCode = NO_ERROR;
  ServiceStatus.dwServiceSpecificExitCode = 0;
  ServiceStatus.dwCheckPoint = 0;
  ServiceStatus.dwWaitHint = 0;
  StoppedReported = false;
  ReleaseSRWLockExclusive(&StatusLock);
}

// Each step done moves the start-pending checkpoint on; the last one means
// polling begins, and only then does the service count as running.
void ReportStartupProgress(StartupStep step) {
  if (step == StartupFrequencyLogged) {
    ReportServiceStatus(SERVICE_RUNNING, kRunningControls, 0, 0, 0);
  } else {
    ReportServiceStatus(SERVICE_START_PENDING, 0, kFirstStartCheckPoint + step, kStartWaitHintMs, 0);
  }
}

void LogStartFrequency(double frequency) {
  char line[64];
  snprintf(line, sizeof line, "Current CPU Freq is %.3f\n", frequency);
  AppendLog(line);
}

// Windows sends PBT_APMRESUMEAUTOMATIC at every wake, and PBT_APMRESUMESUSPEND
// as well when a user woke the machine: the second event of a pair is the
// same wake. The same event twice is two wakes, even if the suspend between
// them was not heard.
void NotePowerEvent(DWORD eventType) {
  if (eventType == PBT_APMSUSPEND) {
    FirstResumeOfWake = 0;
    return;
  }
  if (eventType != PBT_APMRESUMEAUTOMATIC && eventType != PBT_APMRESUMESUSPEND) return;
  if (FirstResumeOfWake != 0 && FirstResumeOfWake != eventType) {
    FirstResumeOfWake = 0;  // the pair is complete
    return;
  }
  FirstResumeOfWake = eventType;
  InterlockedExchange(&ResumePending, 1);
}

// Settings first, so that a resume's restore is checked against the limits
// now in force.
void TakeNotices(SettingsWatch& watch, ServiceSettings& settings, double& frequency) {
  const bool forced = InterlockedExchange(&SettingsReadRequested, 0) != 0;
  RereadChangedSettings(watch, forced, settings);
  if (InterlockedExchange(&ResumePending, 0) != 0) ResumeFrequency(settings, frequency);
}

// RunFlag is tested before the first sleep and after every poll, never
// during one, so a poll in progress always completes. What the control
// handler and the registry noted is taken after the sleep, before the poll,
// and not at all once a stop has come.
void PollUntilStopped(BoardVariant variant, SettingsWatch& watch, ServiceSettings& settings, double& frequency) {
  while (RunFlag != 0) {
    PollSleep(kPollPeriodMs);
    if (RunFlag != 0) TakeNotices(watch, settings, frequency);
    PollButtons(variant, settings.limits, frequency, RememberFrequency);
  }
}

void Announce(StartupProgressFn progress, StartupStep step) {
  if (progress != nullptr) progress(step);
}

// The work between loading the library and releasing it.
WorkOutcome WorkWithLibrary(HMODULE library, SettingsWatch& watch, ServiceSettings& settings,
                            StartupProgressFn progress) {
  if (!BindPortLibrary(library)) {
    AppendLog("Load kpx function failure!!\n");
    return WorkNoPortEntryPoints;
  }
  Announce(progress, StartupLibraryBound);

  BoardVariant variant = 0;
  if (!IdentifyBoard(variant)) {
    AppendLog("Part Number Check Error!!\n");
    return WorkUnknownBoard;
  }
  Announce(progress, StartupBoardIdentified);

  double frequency = 0.0;
  AccessCpuClock(frequency, ClockRead);  // on failure the frequency stays unknown (0.0)
  LogStartFrequency(frequency);
  const bool marked = StartRememberedFrequency(settings, frequency);
  Announce(progress, StartupFrequencyLogged);

  PollUntilStopped(variant, watch, settings, frequency);
  EndRememberedFrequency(marked);  // reached only after a stop or shutdown request: a clean end
  return WorkStopped;
}

}  // namespace

WorkOutcome RunServiceWork(StartupProgressFn progress) {
  SettingsWatch watch = {};
  ServiceSettings settings = StartSettingsWatch(watch);
  WorkOutcome outcome = WorkNoPortLibrary;
  const HMODULE library = LoadPortLibrary();
  if (library == nullptr) {
    AppendLog("Load kpx.dll failure!!\n");
  } else {
    outcome = WorkWithLibrary(library, watch, settings, progress);
    ReleasePortLibrary(library);
  }
  EndSettingsWatch(watch);
  return outcome;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  ServiceStatusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ServiceCtrlHandlerEx, nullptr);
  if (ServiceStatusHandle == nullptr) return;
  RunRegisteredService();
}

void RunRegisteredService() {
  ResetServiceStatus();
  InterlockedExchange(&RunFlag, 1);
  InterlockedExchange(&ResumePending, 0);
  InterlockedExchange(&SettingsReadRequested, 0);
  FirstResumeOfWake = 0;
  // No control is accepted before running, so a stop cannot overtake start-up.
  ReportServiceStatus(SERVICE_START_PENDING, 0, kFirstStartCheckPoint, kStartWaitHintMs, 0);

  const WorkOutcome outcome = RunServiceWork(ReportStartupProgress);
  // Last of all: once stopped is reported the process may end at any moment.
  ReportServiceStatus(SERVICE_STOPPED, 0, 0, 0, outcome);
}

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  switch (control) {
    // At system shutdown the service control manager sends shutdown instead
    // of stop; both let the poll in progress finish so no acknowledged press
    // is lost. Stop-pending first, then the worker reports stopped.
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, kStopWaitHintMs, 0)) InterlockedExchange(&RunFlag, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      NotePowerEvent(eventType);
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      InterlockedExchange(&SettingsReadRequested, 1);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}
