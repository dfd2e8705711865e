// Service worker and control handler: the service's run under the service control manager.
#pragma once

#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
extern volatile LONG RunFlag;  // non-zero while the worker is to keep polling

// Status reports go through here, so tests can watch every one. The service
// leaves it at SetServiceStatus.
extern BOOL(WINAPI* SendServiceStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

const char kServiceName[] = "Vexaclkd";
const DWORD kPollPeriodMs = 500;
// Covers the longest poll a stop can land in: two steps with their pauses
// and clock controller calls, after the poll period's sleep.
const DWORD kStopWaitHintMs = 5000;
// Covers the longest start-up step: activating the clock controller (possibly
// an out-of-process server at boot) and reading it.
const DWORD kStartWaitHintMs = 10000;

// Why the service's work ended; reported as the service-specific exit code.
enum WorkOutcome : DWORD {
  WorkStopped = 0,           // stopped on request
  WorkNoPortLibrary = 1,     // Kpx.dll could not be loaded
  WorkNoPortEntryPoints = 2, // hx_inp or hx_outp missing from it
  WorkUnknownBoard = 3,      // board not identified
};

// Start-up steps of the work, in order, each announced once done.
enum StartupStep : DWORD {
  StartupLibraryBound = 1,     // Kpx.dll loaded and its port entry points bound
  StartupBoardIdentified = 2,  // the board variant known
  StartupFrequencyLogged = 3,  // the first frequency read and logged (and restored if so set): polling begins
};
typedef void (*StartupProgressFn)(StartupStep step);

// Runs on its own thread when the service control manager starts the service.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// What ServiceMain does once its control handler is registered: start-pending
// with a checkpoint per start-up step, running (stop, shutdown, power events
// and paramchange accepted) when polling begins, and stopped with the work's
// outcome as the very last report.
void RunRegisteredService();

// Receives controls on the dispatcher's thread and returns at once. Stop and
// shutdown both report stop-pending and end the polling; the worker reports
// stopped. A resume from sleep or hibernation, and paramchange, are only
// noted: the polling thread takes them between two polls.
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The service's work, without the service control manager: reads and
// watches the service's settings, binds the port library, identifies the
// board, logs the starting frequency, restores the remembered one if so set,
// and polls the buttons while RunFlag is set; between two polls it reads
// changed settings again and follows a resume. Releases the library on every
// way out. progress, when given, hears of each start-up step as it is done.
WorkOutcome RunServiceWork(StartupProgressFn progress = nullptr);
