// svcprobe: starts, stops and watches a service through the service control manager with precise timing.
#include <windows.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kPollMs = 1;                 // status poll period while waiting
constexpr DWORD kTransitionTimeoutMs = 30000;  // longest wait for a start or a stop
constexpr size_t kMaxStatesShown = 16;       // distinct states kept in the printed sequence

const char* const kUsage =
    "usage: svcprobe COMMAND\n"
    "  stop NAME                    stop control, then wait for STOPPED\n"
    "  halt NAME                    stop if running, wait for STOPPED and for the process to end\n"
    "  start NAME                   start, then wait for RUNNING (or STOPPED)\n"
    "  wait NAME STATE TIMEOUT_MS   wait for STATE (number or name)\n"
    "  state NAME                   the current state\n"
    "  qpc                          QueryPerformanceCounter now\n"
    "prints key=value; times in ms, counters in QueryPerformanceCounter ticks;\n"
    "states= lists each state seen, readings= each distinct STATE/checkpoint/wait hint/controls accepted\n";

struct StateName {
  DWORD state;
  const char* name;
};

constexpr StateName kStateNames[] = {
    {SERVICE_STOPPED, "STOPPED"},
    {SERVICE_START_PENDING, "START_PENDING"},
    {SERVICE_STOP_PENDING, "STOP_PENDING"},
    {SERVICE_RUNNING, "RUNNING"},
    {SERVICE_CONTINUE_PENDING, "CONTINUE_PENDING"},
    {SERVICE_PAUSE_PENDING, "PAUSE_PENDING"},
    {SERVICE_PAUSED, "PAUSED"},
};

const char* NameOfState(DWORD state) {
  for (const StateName& entry : kStateNames) {
    if (entry.state == state) return entry.name;
  }
  return "UNKNOWN";
}

bool ParseState(const char* text, DWORD* state) {
  for (const StateName& entry : kStateNames) {
    if (_stricmp(entry.name, text) == 0) {
      *state = entry.state;
      return true;
    }
  }
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < SERVICE_STOPPED || value > SERVICE_PAUSED) return false;
  *state = static_cast<DWORD>(value);
  return true;
}

bool ParseTimeout(const char* text, DWORD* ms) {
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0') return false;
  *ms = static_cast<DWORD>(value);
  return true;
}

int64_t Qpc() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

double MsBetween(int64_t from, int64_t to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to - from) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The states seen while waiting, each change once: "STOP_PENDING>STOPPED";
// and each distinct reading of state, checkpoint, wait hint and controls
// accepted: "START_PENDING/1/10000/0x0>RUNNING/0/0/0x5".
struct StateTrail {
  std::string text;
  DWORD last = 0;
  size_t count = 0;
  std::string readings;
  SERVICE_STATUS lastReading = {};
  size_t readingCount = 0;
};

bool SameReading(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
  return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint &&
         a.dwControlsAccepted == b.dwControlsAccepted;
}

void NoteReading(StateTrail* trail, const SERVICE_STATUS& status) {
  if (trail->readingCount > 0 && SameReading(trail->lastReading, status)) return;
  if (trail->readingCount == kMaxStatesShown) return;
  char reading[96];
  snprintf(reading, sizeof reading, "%s%s/%lu/%lu/0x%lX", trail->readingCount > 0 ? ">" : "",
           NameOfState(status.dwCurrentState), status.dwCheckPoint, status.dwWaitHint, status.dwControlsAccepted);
  trail->readings += reading;
  trail->lastReading = status;
  ++trail->readingCount;
}

void NoteState(StateTrail* trail, DWORD state) {
  if (trail->count > 0 && trail->last == state) return;
  if (trail->count == kMaxStatesShown) return;
  if (trail->count > 0) trail->text += '>';
  trail->text += NameOfState(state);
  trail->last = state;
  ++trail->count;
}

// Polls until the state is one of want/alsoDone or the timeout passes.
// True when a wanted state was reached; status holds the last reading.
bool WaitForState(SC_HANDLE service, DWORD want, DWORD alsoDone, DWORD timeoutMs, StateTrail* trail,
                  SERVICE_STATUS* status, int64_t* reachedAt) {
  int64_t start = Qpc();
  for (;;) {
    if (!QueryServiceStatus(service, status)) {
      fprintf(stderr, "svcprobe: QueryServiceStatus failed (error %lu)\n", GetLastError());
      return false;
    }
    *reachedAt = Qpc();
    NoteState(trail, status->dwCurrentState);
    NoteReading(trail, *status);
    if (status->dwCurrentState == want || status->dwCurrentState == alsoDone) return true;
    if (MsBetween(start, *reachedAt) >= timeoutMs) return false;
    Sleep(kPollMs);
  }
}

void PrintExitCodes(const SERVICE_STATUS& status) {
  printf("exit=%lu/%lu\n", status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
}

SC_HANDLE OpenNamedService(const char* name, DWORD access, SC_HANDLE* manager) {
  *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!*manager) {
    fprintf(stderr, "svcprobe: OpenSCManager failed (error %lu)\n", GetLastError());
    return nullptr;
  }
  SC_HANDLE service = OpenServiceA(*manager, name, access);
  if (!service) {
    fprintf(stderr, "svcprobe: OpenService %s failed (error %lu)\n", name, GetLastError());
    CloseServiceHandle(*manager);
    *manager = nullptr;
  }
  return service;
}

void CloseHandles(SC_HANDLE service, SC_HANDLE manager) {
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

int RunStop(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t controlAt = Qpc();
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    fprintf(stderr, "svcprobe: ControlService failed (error %lu)\n", GetLastError());
    CloseHandles(service, manager);
    return kExitFailed;
  }
  NoteState(&trail, status.dwCurrentState);
  NoteReading(&trail, status);
  int64_t stoppedAt = 0;
  bool stopped = WaitForState(service, SERVICE_STOPPED, SERVICE_STOPPED, kTransitionTimeoutMs, &trail,
                              &status, &stoppedAt);
  CloseHandles(service, manager);
  printf("stop_ms=%.1f states=%s control_qpc=%" PRId64 " stopped_qpc=%" PRId64 "\n",
         MsBetween(controlAt, stoppedAt), trail.text.c_str(), controlAt, stoppedAt);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return stopped ? kExitOk : kExitFailed;
}

// What an installer needs before it replaces the executable: the service
// stopped and its process gone, which can be a moment after STOPPED.
int RunHalt(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager);
  if (!service) return kExitFailed;
  SERVICE_STATUS_PROCESS running = {};
  DWORD needed = 0;
  HANDLE process = nullptr;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running), sizeof running,
                           &needed) &&
      running.dwProcessId != 0) {
    process = OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId);
  }
  int64_t haltAt = Qpc();
  SERVICE_STATUS status = {};
  StateTrail trail;
  bool stopped = running.dwCurrentState == SERVICE_STOPPED ||
                 ControlService(service, SERVICE_CONTROL_STOP, &status) ||
                 GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
  int64_t stoppedAt = haltAt;
  if (stopped) {
    stopped = WaitForState(service, SERVICE_STOPPED, SERVICE_STOPPED, kTransitionTimeoutMs, &trail, &status,
                           &stoppedAt);
  }
  bool ended = process == nullptr || WaitForSingleObject(process, kTransitionTimeoutMs) == WAIT_OBJECT_0;
  int64_t endedAt = Qpc();
  if (process != nullptr) CloseHandle(process);
  CloseHandles(service, manager);
  printf("stop_ms=%.1f ended_ms=%.1f states=%s ended=%s\n", MsBetween(haltAt, stoppedAt),
         MsBetween(haltAt, endedAt), trail.text.c_str(), ended ? "yes" : "no");
  return stopped && ended ? kExitOk : kExitFailed;
}

int RunStart(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = OpenNamedService(name, SERVICE_START | SERVICE_QUERY_STATUS, &manager);
  if (!service) return kExitFailed;
  int64_t startAt = Qpc();
  if (!StartServiceA(service, 0, nullptr)) {
    fprintf(stderr, "svcprobe: StartService failed (error %lu)\n", GetLastError());
    CloseHandles(service, manager);
    return kExitFailed;
  }
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t reachedAt = 0;
  bool settled = WaitForState(service, SERVICE_RUNNING, SERVICE_STOPPED, kTransitionTimeoutMs, &trail,
                              &status, &reachedAt);
  CloseHandles(service, manager);
  printf("start_ms=%.1f states=%s start_qpc=%" PRId64 " running_qpc=%" PRId64 "\n",
         MsBetween(startAt, reachedAt), trail.text.c_str(), startAt, reachedAt);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return settled && status.dwCurrentState == SERVICE_RUNNING ? kExitOk : kExitFailed;
}

int RunWait(const char* name, const char* stateText, const char* timeoutText) {
  DWORD want = 0;
  DWORD timeoutMs = 0;
  if (!ParseState(stateText, &want) || !ParseTimeout(timeoutText, &timeoutMs)) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t reachedAt = 0;
  bool reached = WaitForState(service, want, want, timeoutMs, &trail, &status, &reachedAt);
  CloseHandles(service, manager);
  printf("state=%s states=%s qpc=%" PRId64 "\n", NameOfState(status.dwCurrentState), trail.text.c_str(),
         reachedAt);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return reached ? kExitOk : kExitFailed;
}

int RunState(const char* name) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  bool queried = QueryServiceStatus(service, &status) != FALSE;
  CloseHandles(service, manager);
  if (!queried) return kExitFailed;
  printf("state=%s\n", NameOfState(status.dwCurrentState));
  PrintExitCodes(status);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  int result = kExitUsage;
  if (argc == 2 && strcmp(argv[1], "qpc") == 0) {
    printf("%" PRId64 "\n", Qpc());
    result = kExitOk;
  } else if (argc == 3 && strcmp(argv[1], "stop") == 0) {
    result = RunStop(argv[2]);
  } else if (argc == 3 && strcmp(argv[1], "halt") == 0) {
    result = RunHalt(argv[2]);
  } else if (argc == 3 && strcmp(argv[1], "start") == 0) {
    result = RunStart(argv[2]);
  } else if (argc == 5 && strcmp(argv[1], "wait") == 0) {
    result = RunWait(argv[2], argv[3], argv[4]);
  } else if (argc == 3 && strcmp(argv[1], "state") == 0) {
    result = RunState(argv[2]);
  } else {
    fputs(kUsage, stderr);
  }
  fflush(stdout);
  return result;
}
