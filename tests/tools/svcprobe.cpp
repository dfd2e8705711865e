// svcprobe: starts, stops, queries and waits for a service through the service control manager, with precise timing.
#include <windows.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "command_server.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kTimingPollMs = 1;             // status poll period of the timed start and stop
constexpr DWORD kWaitPollMs = 5;               // status poll period of the other waits
constexpr DWORD kLogPollMs = 5;                // log poll period of wait-log
constexpr DWORD kTransitionTimeoutMs = 30000;  // longest wait for a start or a stop
// Each status poll is a call into the service control manager; the poll
// periods are stretched by PollScale() where Wine runs many times slower.
constexpr size_t kMaxStatesShown = 16;         // distinct states kept in the printed sequence
constexpr DWORD kNoEntry = 0;                  // "state" of a service without an entry (none)

const char* const kUsage =
    "usage: svcprobe COMMAND\n"
    "  stop NAME                    stop control, then wait for STOPPED (timed)\n"
    "  halt NAME                    stop if running, wait for STOPPED and for the process to end\n"
    "  start NAME                   start, then wait for RUNNING (or STOPPED) (timed)\n"
    "  send-start NAME              start, without waiting\n"
    "  send-stop NAME               stop control, without waiting; prints the reply\n"
    "  control NAME CODE            ControlService with CODE; prints error= with its error (0: taken)\n"
    "  wait NAME STATES TIMEOUT_MS  wait for one of STATES (numbers or names, comma-separated;\n"
    "                               none: no entry)\n"
    "  state NAME                   the current state\n"
    "  query NAME                   the status on one line, as sc query names its fields\n"
    "  remove NAME TIMEOUT_MS       stop it if it runs, then delete its entry\n"
    "  wait-log FILE LINES TIMEOUT_MS  wait until FILE (a Windows path) holds at least LINES lines\n"
    "  qpc                          QueryPerformanceCounter now\n"
    "  reg-set KEY NAME dword|sz VALUE  set a value under HKLM\\KEY, creating the key\n"
    "  reg-dword KEY NAME           a REG_DWORD under HKLM\\KEY in decimal, \"-\" when missing or\n"
    "                               of another type\n"
    "  reg-exists KEY               exit code 0 when HKLM\\KEY exists, 1 when it does not\n"
    "  reg-delete KEY               delete HKLM\\KEY with everything under it, if it exists\n"
    "  reg-delete-value KEY NAME    delete one value under HKLM\\KEY\n"
    "  reg-query KEY                HKLM\\KEY's values, then its subkeys, as reg query prints\n"
    "                               them; exit code 1 when it does not exist\n"
    "  reg-query-tree KEY           the same for HKLM\\KEY and every key under it, as reg query /s\n"
    "  serve                        commands from stdin, one a line, words tab-separated\n"
    "prints key=value; times in ms, counters in QueryPerformanceCounter ticks;\n"
    "states= lists each state seen, readings= each distinct STATE/checkpoint/wait hint/controls accepted\n";

struct StateName {
  DWORD state;
  const char* name;
};

constexpr StateName kStateNames[] = {
    {kNoEntry, "none"},
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

bool ParseNumber(const char* text, unsigned long* value) {
  char* end = nullptr;
  *value = strtoul(text, &end, 10);
  return *text != '\0' && *end == '\0';
}

bool ParseState(const char* text, DWORD* state) {
  for (const StateName& entry : kStateNames) {
    if (_stricmp(entry.name, text) == 0) {
      *state = entry.state;
      return true;
    }
  }
  unsigned long value = 0;
  if (!ParseNumber(text, &value) || value < SERVICE_STOPPED || value > SERVICE_PAUSED) return false;
  *state = static_cast<DWORD>(value);
  return true;
}

// A comma-separated list of states, as a bit set indexed by state number.
bool ParseStates(const char* text, DWORD* states) {
  std::string list = text;
  *states = 0;
  size_t from = 0;
  for (;;) {
    size_t comma = list.find(',', from);
    std::string one = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    DWORD state = 0;
    if (!ParseState(one.c_str(), &state)) return false;
    *states |= 1u << state;
    if (comma == std::string::npos) return true;
    from = comma + 1;
  }
}

bool ParseTimeout(const char* text, DWORD* ms) {
  unsigned long value = 0;
  if (!ParseNumber(text, &value)) return false;
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

// The service control manager, connected once per process: a serving probe
// answers many requests.
SC_HANDLE Manager() {
  static SC_HANDLE manager = nullptr;
  if (!manager) {
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) fprintf(stderr, "svcprobe: OpenSCManager failed (error %lu)\n", GetLastError());
  }
  return manager;
}

SC_HANDLE OpenNamedService(const char* name, DWORD access) {
  if (!Manager()) return nullptr;
  SC_HANDLE service = OpenServiceA(Manager(), name, access);
  if (!service) fprintf(stderr, "svcprobe: OpenService %s failed (error %lu)\n", name, GetLastError());
  return service;
}

// The service's status, or a zeroed one with state none when it has no entry
// (or one that can no longer be opened). False only when the manager fails.
bool QueryCurrent(const char* name, SERVICE_STATUS* status) {
  *status = SERVICE_STATUS{};
  if (!Manager()) return false;
  SC_HANDLE service = OpenServiceA(Manager(), name, SERVICE_QUERY_STATUS);
  if (!service) return true;
  if (!QueryServiceStatus(service, status)) *status = SERVICE_STATUS{};
  CloseServiceHandle(service);
  return true;
}

// Polls an open service until its state is one of want (a bit set) or the
// timeout passes. True when a wanted state was reached; status holds the last reading.
bool WaitForState(SC_HANDLE service, DWORD want, DWORD timeoutMs, StateTrail* trail, SERVICE_STATUS* status,
                  int64_t* reachedAt) {
  int64_t start = Qpc();
  for (;;) {
    if (!QueryServiceStatus(service, status)) {
      fprintf(stderr, "svcprobe: QueryServiceStatus failed (error %lu)\n", GetLastError());
      return false;
    }
    *reachedAt = Qpc();
    NoteState(trail, status->dwCurrentState);
    NoteReading(trail, *status);
    if (want & (1u << status->dwCurrentState)) return true;
    if (MsBetween(start, *reachedAt) >= timeoutMs) return false;
    Sleep(kTimingPollMs * PollScale());
  }
}

void PrintExitCodes(const SERVICE_STATUS& status) {
  printf("exit=%lu/%lu\n", status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
}

int RunStop(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t controlAt = Qpc();
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    fprintf(stderr, "svcprobe: ControlService failed (error %lu)\n", GetLastError());
    CloseServiceHandle(service);
    return kExitFailed;
  }
  // The handler has run once the reply is here: the stop request is in the service.
  int64_t repliedAt = Qpc();
  DWORD replyHint = status.dwWaitHint;
  NoteState(&trail, status.dwCurrentState);
  NoteReading(&trail, status);
  int64_t stoppedAt = 0;
  bool stopped = WaitForState(service, 1u << SERVICE_STOPPED, kTransitionTimeoutMs, &trail, &status, &stoppedAt);
  CloseServiceHandle(service);
  printf("stop_ms=%.1f states=%s control_qpc=%" PRId64 " replied_qpc=%" PRId64 " stopped_qpc=%" PRId64
         " hint=%lu\n",
         MsBetween(controlAt, stoppedAt), trail.text.c_str(), controlAt, repliedAt, stoppedAt, replyHint);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return stopped ? kExitOk : kExitFailed;
}

// What an installer needs before it replaces the executable: the service
// stopped and its process gone, which can be a moment after STOPPED.
int RunHalt(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
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
    stopped = WaitForState(service, 1u << SERVICE_STOPPED, kTransitionTimeoutMs, &trail, &status, &stoppedAt);
  }
  bool ended = process == nullptr || WaitForSingleObject(process, kTransitionTimeoutMs) == WAIT_OBJECT_0;
  int64_t endedAt = Qpc();
  if (process != nullptr) CloseHandle(process);
  CloseServiceHandle(service);
  printf("stop_ms=%.1f ended_ms=%.1f states=%s ended=%s\n", MsBetween(haltAt, stoppedAt),
         MsBetween(haltAt, endedAt), trail.text.c_str(), ended ? "yes" : "no");
  return stopped && ended ? kExitOk : kExitFailed;
}

int RunStart(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_START | SERVICE_QUERY_STATUS);
  if (!service) return kExitFailed;
  int64_t startAt = Qpc();
  if (!StartServiceA(service, 0, nullptr)) {
    fprintf(stderr, "svcprobe: StartService failed (error %lu)\n", GetLastError());
    CloseServiceHandle(service);
    return kExitFailed;
  }
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t reachedAt = 0;
  bool settled = WaitForState(service, (1u << SERVICE_RUNNING) | (1u << SERVICE_STOPPED), kTransitionTimeoutMs,
                              &trail, &status, &reachedAt);
  CloseServiceHandle(service);
  printf("start_ms=%.1f states=%s start_qpc=%" PRId64 " running_qpc=%" PRId64 "\n", MsBetween(startAt, reachedAt),
         trail.text.c_str(), startAt, reachedAt);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return settled && status.dwCurrentState == SERVICE_RUNNING ? kExitOk : kExitFailed;
}

int RunSendStart(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_START);
  if (!service) return kExitFailed;
  bool started = StartServiceA(service, 0, nullptr) != FALSE;
  if (!started) fprintf(stderr, "svcprobe: StartService failed (error %lu)\n", GetLastError());
  CloseServiceHandle(service);
  return started ? kExitOk : kExitFailed;
}

// The reply to a stop control: the state and wait hint the handler reported.
int RunSendStop(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_STOP);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  bool sent = ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
  if (!sent) fprintf(stderr, "svcprobe: ControlService failed (error %lu)\n", GetLastError());
  CloseServiceHandle(service);
  if (!sent) return kExitFailed;
  printf("STATE=%lu WAIT_HINT=0x%lx\n", status.dwCurrentState, status.dwWaitHint);
  return kExitOk;
}

// Any control, as "sc control" sends it: what the service control manager
// answered is the result, printed; only a service that cannot be opened fails.
int RunControl(const char* name, const char* codeText) {
  unsigned long code = 0;
  if (!ParseNumber(codeText, &code) || code > 255) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  SC_HANDLE service = OpenNamedService(
      name, SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  const DWORD error = ControlService(service, static_cast<DWORD>(code), &status) ? ERROR_SUCCESS : GetLastError();
  CloseServiceHandle(service);
  printf("error=%lu\n", error);
  return kExitOk;
}

// Waits by name rather than by handle, so that "none" (the entry gone) can be waited for.
int RunWait(const char* name, const char* statesText, const char* timeoutText) {
  DWORD want = 0;
  DWORD timeoutMs = 0;
  if (!ParseStates(statesText, &want) || !ParseTimeout(timeoutText, &timeoutMs)) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t start = Qpc();
  int64_t reachedAt = start;
  bool reached = false;
  for (;;) {
    if (!QueryCurrent(name, &status)) return kExitFailed;
    reachedAt = Qpc();
    NoteState(&trail, status.dwCurrentState);
    NoteReading(&trail, status);
    reached = (want & (1u << status.dwCurrentState)) != 0;
    if (reached || MsBetween(start, reachedAt) >= timeoutMs) break;
    Sleep(kWaitPollMs * PollScale());
  }
  printf("state=%s states=%s qpc=%" PRId64 "\n", NameOfState(status.dwCurrentState), trail.text.c_str(), reachedAt);
  printf("readings=%s\n", trail.readings.c_str());
  PrintExitCodes(status);
  return reached ? kExitOk : kExitFailed;
}

int RunState(const char* name) {
  SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service) return kExitFailed;
  SERVICE_STATUS status = {};
  bool queried = QueryServiceStatus(service, &status) != FALSE;
  CloseServiceHandle(service);
  if (!queried) return kExitFailed;
  printf("state=%s\n", NameOfState(status.dwCurrentState));
  PrintExitCodes(status);
  return kExitOk;
}

// Everything a check of the service's status needs, on one line, the fields
// named and written as "sc query" shows them.
int RunQuery(const char* name) {
  SERVICE_STATUS status = {};
  if (!QueryCurrent(name, &status)) return kExitFailed;
  if (status.dwCurrentState == kNoEntry) {
    printf("STATE=none\n");
  } else {
    printf("STATE=%lu TYPE=%lu WIN32_EXIT_CODE=%lu SERVICE_EXIT_CODE=%lu CHECKPOINT=0x%lx WAIT_HINT=0x%lx\n",
           status.dwCurrentState, status.dwServiceType, status.dwWin32ExitCode, status.dwServiceSpecificExitCode,
           status.dwCheckPoint, status.dwWaitHint);
  }
  return kExitOk;
}

// Leaves no entry of the service: stopped first if it runs, then deleted.
int RunRemove(const char* name, const char* timeoutText) {
  DWORD timeoutMs = 0;
  if (!ParseTimeout(timeoutText, &timeoutMs)) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (!Manager()) return kExitFailed;
  SC_HANDLE service = OpenServiceA(Manager(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) {
    printf("removed=none\n");
    return kExitOk;
  }
  SERVICE_STATUS status = {};
  StateTrail trail;
  int64_t reachedAt = 0;
  bool stopped = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
  if (!stopped) {
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    stopped = WaitForState(service, 1u << SERVICE_STOPPED, timeoutMs, &trail, &status, &reachedAt);
  }
  bool deleted = DeleteService(service) != FALSE || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
  if (!deleted) fprintf(stderr, "svcprobe: DeleteService failed (error %lu)\n", GetLastError());
  CloseServiceHandle(service);
  printf("removed=%s stopped=%s\n", deleted ? "yes" : "no", stopped ? "yes" : "no");
  return deleted && stopped ? kExitOk : kExitFailed;
}

// Lines in the file as the shell counts them (a last line without its line
// feed counts); 0 when it cannot be read. Opened for a moment only, and
// shared every way, so that the service can write or delete it meanwhile.
unsigned long CountLines(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  unsigned long lines = 0;
  char last = '\n';
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (buffer[i] == '\n') ++lines;
    }
    last = buffer[got - 1];
  }
  CloseHandle(file);
  return last == '\n' ? lines : lines + 1;
}

int RunWaitLog(const char* pathText, const char* linesText, const char* timeoutText) {
  unsigned long want = 0;
  DWORD timeoutMs = 0;
  if (!ParseNumber(linesText, &want) || !ParseTimeout(timeoutText, &timeoutMs)) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  std::string path = pathText;
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  unsigned long lines = 0;
  while ((lines = CountLines(path)) < want) {
    if (GetTickCount64() >= deadline) {
      fprintf(stderr, "svcprobe: timeout: %lu of %lu lines in %s\n", lines, want, path.c_str());
      return kExitFailed;
    }
    Sleep(kLogPollMs * PollScale());
  }
  return kExitOk;
}

// One command: argv[0] is its name.
// The registry as the service sees it: the same view of HKEY_LOCAL_MACHINE,
// without a Wine launch of reg.exe per value.
int RunRegSet(const char* key, const char* name, const char* type, const char* value) {
  HKEY handle = nullptr;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "svcprobe: cannot open or create HKLM\\%s (error %ld)\n", key, status);
    return kExitFailed;
  }
  unsigned long number = 0;
  if (strcmp(type, "dword") == 0 && ParseNumber(value, &number)) {
    const DWORD dword = static_cast<DWORD>(number);
    status = RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof dword);
  } else if (strcmp(type, "sz") == 0) {
    status = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>(strlen(value) + 1));
  } else {
    RegCloseKey(handle);
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "svcprobe: cannot set %s under HKLM\\%s (error %ld)\n", name, key, status);
    return kExitFailed;
  }
  return kExitOk;
}

int RunRegDword(const char* key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  const LONG status = RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  if (status == ERROR_SUCCESS) {
    printf("%lu\n", static_cast<unsigned long>(value));
  } else {
    printf("-\n");
  }
  return kExitOk;
}

int RunRegExists(const char* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return kExitFailed;
  RegCloseKey(handle);
  return kExitOk;
}

int RunRegDelete(const char* key) {
  LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
  if (status == ERROR_SUCCESS) status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    fprintf(stderr, "svcprobe: cannot delete HKLM\\%s (error %ld)\n", key, status);
    return kExitFailed;
  }
  return kExitOk;
}

int RunRegDeleteValue(const char* key, const char* name) {
  const LONG status = RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key, name);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "svcprobe: cannot delete %s under HKLM\\%s (error %ld)\n", name, key, status);
    return kExitFailed;
  }
  return kExitOk;
}

// One value's data: strings and DWORDs as reg.exe prints them, any other type
// (the tests read none) as its bytes in hex.
std::string RegData(DWORD type, const BYTE* data, DWORD size) {
  char number[32];
  std::string text;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      text.assign(reinterpret_cast<const char*>(data), size);
      while (!text.empty() && text.back() == '\0') text.pop_back();
      break;
    case REG_MULTI_SZ:
      text.assign(reinterpret_cast<const char*>(data), size);
      while (!text.empty() && text.back() == '\0') text.pop_back();
      for (size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at + 2)) {
        text.replace(at, 1, "\\0");
      }
      break;
    case REG_DWORD:
      if (size == sizeof(DWORD)) {
        DWORD value = 0;
        memcpy(&value, data, sizeof value);
        snprintf(number, sizeof number, "0x%lx", static_cast<unsigned long>(value));
        text = number;
        break;
      }
      [[fallthrough]];
    default:
      for (DWORD i = 0; i < size; ++i) {
        snprintf(number, sizeof number, "%02X", data[i]);
        text += number;
      }
  }
  return text;
}

const char* RegTypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    case REG_NONE: return "REG_NONE";
    default: return "REG_UNKNOWN";
  }
}

// Prints HKLM\key as reg query does: a header line, each value indented, then
// each subkey's full name; with tree, each subkey listed the same way instead.
bool PrintRegKey(const std::string& key, bool tree) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
  bool ok = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values,
                             &longestName, &longestData, nullptr, nullptr) == ERROR_SUCCESS;
  std::vector<std::string> children;
  if (ok) {
    printf("HKEY_LOCAL_MACHINE\\%s\n", key.c_str());
    std::string name(longestName + 1, '\0');
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; ok && i < values; ++i) {
      DWORD nameSize = static_cast<DWORD>(name.size());
      DWORD dataSize = static_cast<DWORD>(data.size());
      DWORD type = 0;
      ok = RegEnumValueA(handle, i, &name[0], &nameSize, nullptr, &type, data.data(), &dataSize) == ERROR_SUCCESS;
      if (ok) {
        printf("    %s    %s    %s\n", nameSize == 0 ? "(Default)" : name.c_str(), RegTypeName(type),
               RegData(type, data.data(), dataSize).c_str());
      }
    }
    std::string child(longestSubkey + 1, '\0');
    for (DWORD i = 0; ok && i < subkeys; ++i) {
      DWORD childSize = static_cast<DWORD>(child.size());
      ok = RegEnumKeyExA(handle, i, &child[0], &childSize, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
      if (ok) children.push_back(key + "\\" + child.substr(0, childSize));
    }
  }
  RegCloseKey(handle);
  if (!ok) {
    fprintf(stderr, "svcprobe: cannot read HKLM\\%s\n", key.c_str());
    return false;
  }
  printf("\n");
  for (const std::string& name : children) {
    if (tree) {
      if (!PrintRegKey(name, true)) return false;
    } else {
      printf("HKEY_LOCAL_MACHINE\\%s\n", name.c_str());
    }
  }
  return true;
}

int RunRegQuery(const char* key, bool tree) { return PrintRegKey(key, tree) ? kExitOk : kExitFailed; }

int RunCommand(int argc, char** argv) {
  int result = kExitUsage;
  const char* command = argv[0];
  if (argc == 1 && strcmp(command, "qpc") == 0) {
    printf("%" PRId64 "\n", Qpc());
    result = kExitOk;
  } else if (argc == 2 && strcmp(command, "stop") == 0) {
    result = RunStop(argv[1]);
  } else if (argc == 2 && strcmp(command, "halt") == 0) {
    result = RunHalt(argv[1]);
  } else if (argc == 2 && strcmp(command, "start") == 0) {
    result = RunStart(argv[1]);
  } else if (argc == 2 && strcmp(command, "send-start") == 0) {
    result = RunSendStart(argv[1]);
  } else if (argc == 2 && strcmp(command, "send-stop") == 0) {
    result = RunSendStop(argv[1]);
  } else if (argc == 4 && strcmp(command, "wait") == 0) {
    result = RunWait(argv[1], argv[2], argv[3]);
  } else if (argc == 2 && strcmp(command, "state") == 0) {
    result = RunState(argv[1]);
  } else if (argc == 2 && strcmp(command, "query") == 0) {
    result = RunQuery(argv[1]);
  } else if (argc == 3 && strcmp(command, "remove") == 0) {
    result = RunRemove(argv[1], argv[2]);
  } else if (argc == 4 && strcmp(command, "wait-log") == 0) {
    result = RunWaitLog(argv[1], argv[2], argv[3]);
  } else if (argc == 5 && strcmp(command, "reg-set") == 0) {
    result = RunRegSet(argv[1], argv[2], argv[3], argv[4]);
  } else if (argc == 3 && strcmp(command, "reg-dword") == 0) {
    result = RunRegDword(argv[1], argv[2]);
  } else if (argc == 2 && strcmp(command, "reg-exists") == 0) {
    result = RunRegExists(argv[1]);
  } else if (argc == 2 && strcmp(command, "reg-delete") == 0) {
    result = RunRegDelete(argv[1]);
  } else if (argc == 3 && strcmp(command, "reg-delete-value") == 0) {
    result = RunRegDeleteValue(argv[1], argv[2]);
  } else if (argc == 2 && strcmp(command, "reg-query") == 0) {
    result = RunRegQuery(argv[1], false);
  } else if (argc == 2 && strcmp(command, "reg-query-tree") == 0) {
    result = RunRegQuery(argv[1], true);
  } else if (argc == 3 && strcmp(command, "control") == 0) {
    result = RunControl(argv[1], argv[2]);
  } else {
    fputs(kUsage, stderr);
  }
  fflush(stdout);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "serve") == 0) return ServeCommands(RunCommand);
  if (argc < 2) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  return RunCommand(argc - 1, argv + 1);
}
