// Service worker and control handler: the service's run under the service control manager.
#pragma once

#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
extern volatile LONG RunFlag;  // non-zero while the worker is to keep polling

const char kServiceName[] = "Vexaclkd";
const DWORD kPollPeriodMs = 500;
// Covers the longest poll a stop can land in: two steps with their pauses
// and clock controller calls, after the poll period's sleep.
const DWORD kStopWaitHintMs = 5000;

// Why the service's work ended; reported as the service-specific exit code.
enum WorkOutcome : DWORD {
  WorkStopped = 0,           // stopped on request
  WorkNoPortLibrary = 1,     // Kpx.dll could not be loaded
  WorkNoPortEntryPoints = 2, // hx_inp or hx_outp missing from it
  WorkUnknownBoard = 3,      // board not identified
};

// Runs on its own thread when the service control manager starts the service.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// Receives controls on the dispatcher's thread.
void WINAPI ServiceCtrlHandler(DWORD control);

// The service's work, without the service control manager: binds the port
// library, identifies the board, logs the starting frequency and polls the
// buttons while RunFlag is set; releases the library on every way out.
WorkOutcome RunServiceWork();
