// clocktool: sets up and reads the clock controller simulator's shared state from the shell.
#include <windows.h>
#include <stdint.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "clock_sim_state.h"
#include "command_server.h"

namespace {

constexpr DWORD kWaitPollMs = 1;  // call-record poll period while waiting, times PollScale()
// A call whose sequence number is claimed but whose record is still being written.
constexpr DWORD kInFlightWaitMs = 1000;
constexpr DWORD kInFlightPollMs = 1;
constexpr uint32_t kShowMaxClocks = 8;

void PrintUsage() {
  fputs(
      "usage: clocktool COMMAND\n"
      "  reset | show | qpcfreq\n"
      "  count N | mask HEX | kind I K | hz I HZ | settings I HZ W1 W2 W3\n"
      "  fail OP CODE [INDEX] | fail none  (OP: 7..11 or count/mask/descriptor/getsettings/setsettings;\n"
      "                                 INDEX: only that clock, for 9..11)\n"
      "  create HRESULT\n"
      "  delay OP MS | delay none         (the next call of OP waits MS first, once)\n"
      "  register DLL | unregister DLL\n"
      "  calls [FROM_SEQ] | applied [FROM_SEQ] | wait-calls N TIMEOUT_MS\n"
      "  wait-applied N TIMEOUT_MS   (N SetClockSettings calls recorded)\n"
      "  serve    (commands from stdin, one a line, words tab-separated)\n"
      "numbers are decimal or 0x hex; HEX is hex with or without 0x\n",
      stderr);
}

bool ParseInBase(const char* text, int base, uint32_t* out) {
  if (!text || !*text || *text == '-' || *text == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, base);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool HasHexPrefix(const char* text) {
  return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Decimal, or hex with a 0x prefix (a leading 0 alone does not mean octal).
bool ParseNumber(const char* text, uint32_t* out) {
  if (HasHexPrefix(text)) return text[2] != '\0' && ParseInBase(text + 2, 16, out);
  return ParseInBase(text, 10, out);
}

bool ParseHex(const char* text, uint32_t* out) {
  if (HasHexPrefix(text)) text += 2;
  return ParseInBase(text, 16, out);
}

// An HRESULT: as ParseNumber, or a negative decimal.
bool ParseHresult(const char* text, int32_t* out) {
  uint32_t magnitude = 0;
  if (text[0] == '-') {
    if (!ParseInBase(text + 1, 10, &magnitude) || magnitude > 0x80000000u) return false;
    *out = static_cast<int32_t>(0u - magnitude);
    return true;
  }
  if (!ParseNumber(text, &magnitude)) return false;
  *out = static_cast<int32_t>(magnitude);
  return true;
}

bool ParseClockIndex(const char* text, uint32_t* out) {
  return ParseNumber(text, out) && *out < static_cast<uint32_t>(clocksim::kMaxClocks);
}

bool ParseOp(const char* text, uint32_t* out) {
  struct Name {
    const char* name;
    uint32_t op;
  };
  static const Name kNames[] = {
      {"count", clocksim::OpGetClockCount},          {"mask", clocksim::OpGetClockMask},
      {"descriptor", clocksim::OpGetClockDescriptor}, {"getsettings", clocksim::OpGetClockSettings},
      {"setsettings", clocksim::OpSetClockSettings},
  };
  for (const Name& entry : kNames) {
    if (strcmp(text, entry.name) == 0) {
      *out = entry.op;
      return true;
    }
  }
  return ParseNumber(text, out) && *out >= clocksim::OpGetClockCount &&
         *out <= clocksim::OpSetClockSettings;
}

// Lets shell tests pass a Linux path; Wine maps drive Z: to the Linux root.
std::string ToWindowsPath(const char* path) {
  std::string result = path;
  if (result.empty() || result[0] != '/') return result;
  for (char& c : result) {
    if (c == '/') c = '\\';
  }
  return "Z:" + result;
}

// --- commands ----------------------------------------------------------------

bool CmdCount(clocksim::State* state, int argc, char** argv) {
  uint32_t count = 0;
  if (argc != 1 || !ParseNumber(argv[0], &count)) return false;
  state->clockCount = count;
  return true;
}

bool CmdMask(clocksim::State* state, int argc, char** argv) {
  uint32_t mask = 0;
  if (argc != 1 || !ParseHex(argv[0], &mask)) return false;
  state->mask = mask;
  return true;
}

bool CmdKind(clocksim::State* state, int argc, char** argv) {
  uint32_t index = 0;
  uint32_t kind = 0;
  if (argc != 2 || !ParseClockIndex(argv[0], &index) || !ParseNumber(argv[1], &kind) || kind > 0xFF)
    return false;
  state->kind[index] = static_cast<uint8_t>(kind);
  return true;
}

bool CmdHz(clocksim::State* state, int argc, char** argv) {
  uint32_t index = 0;
  uint32_t hz = 0;
  if (argc != 2 || !ParseClockIndex(argv[0], &index) || !ParseNumber(argv[1], &hz)) return false;
  state->settings[index][0] = hz;
  return true;
}

bool CmdSettings(clocksim::State* state, int argc, char** argv) {
  uint32_t index = 0;
  uint32_t words[4] = {};
  if (argc != 5 || !ParseClockIndex(argv[0], &index)) return false;
  for (int i = 0; i < 4; ++i) {
    if (!ParseNumber(argv[1 + i], &words[i])) return false;
  }
  memcpy(state->settings[index], words, sizeof(words));
  return true;
}

bool CmdFail(clocksim::State* state, int argc, char** argv) {
  if (argc == 1 && strcmp(argv[0], "none") == 0) {
    state->failOp = 0;
    state->failCode = 0;
    state->failIndex = clocksim::kAnyIndex;
    return true;
  }
  uint32_t op = 0;
  uint32_t code = 0;
  uint32_t index = clocksim::kAnyIndex;
  if ((argc != 2 && argc != 3) || !ParseOp(argv[0], &op) || !ParseNumber(argv[1], &code)) return false;
  if (argc == 3 && !ParseNumber(argv[2], &index)) return false;
  // Code first, so a running client never sees the new op with the old code.
  state->failCode = code;
  state->failIndex = index;
  MemoryBarrier();
  state->failOp = op;
  return true;
}

bool CmdDelay(clocksim::State* state, int argc, char** argv) {
  if (argc == 1 && strcmp(argv[0], "none") == 0) {
    InterlockedExchange(&state->delayOp, 0);
    return true;
  }
  uint32_t op = 0;
  uint32_t ms = 0;
  if (argc != 2 || !ParseOp(argv[0], &op) || !ParseNumber(argv[1], &ms)) return false;
  // Length first, so a running client never waits the old length.
  state->delayMs = ms;
  MemoryBarrier();
  InterlockedExchange(&state->delayOp, static_cast<LONG>(op));
  return true;
}

bool CmdCreate(clocksim::State* state, int argc, char** argv) {
  int32_t result = 0;
  if (argc != 1 || !ParseHresult(argv[0], &result)) return false;
  state->createResult = result;
  return true;
}

void CmdShow(const clocksim::State* state) {
  printf("clockCount=%u\n", state->clockCount);
  printf("mask=0x%X\n", state->mask);
  printf("failOp=%u\n", state->failOp);
  printf("failCode=%u\n", state->failCode);
  printf("failIndex=%d\n", static_cast<int>(state->failIndex));
  printf("createResult=0x%08X\n", static_cast<uint32_t>(state->createResult));
  printf("delayOp=%ld\n", static_cast<long>(state->delayOp));
  printf("delayMs=%u\n", state->delayMs);
  printf("liveInstances=%ld\n", static_cast<long>(state->liveInstances));
  printf("instancesCreated=%ld\n", static_cast<long>(state->instancesCreated));
  printf("callCount=%ld\n", static_cast<long>(state->callCount));
  uint32_t shown = state->clockCount < kShowMaxClocks ? state->clockCount : kShowMaxClocks;
  for (uint32_t i = 0; i < shown; ++i) {
    const uint32_t* s = state->settings[i];
    printf("clock%u=%u,%u,%u,%u,%u\n", i, state->kind[i], s[0], s[1], s[2], s[3]);
  }
}

// The record of seq, waiting briefly if another process is still writing it.
const clocksim::Call* WaitForCall(const clocksim::State* state, uint32_t seq) {
  const clocksim::Call* call = clocksim::CallAt(state, seq);
  for (DWORD waited = 0; !call && waited < kInFlightWaitMs; waited += kInFlightPollMs * PollScale()) {
    uint32_t count = static_cast<uint32_t>(state->callCount);
    if (count - seq >= clocksim::kMaxCalls) return nullptr;  // overwritten
    Sleep(kInFlightPollMs * PollScale());
    call = clocksim::CallAt(state, seq);
  }
  return call;
}

// First sequence number at or after from that the ring still holds.
uint32_t FirstHeldSeq(const clocksim::State* state, uint32_t from) {
  uint32_t count = static_cast<uint32_t>(state->callCount);
  uint32_t oldest = count > clocksim::kMaxCalls ? count - clocksim::kMaxCalls + 1 : 1;
  if (from < oldest) return oldest;
  return from;
}

bool ParseFromSeq(int argc, char** argv, uint32_t* from) {
  *from = 1;
  if (argc == 0) return true;
  return argc == 1 && ParseNumber(argv[0], from);
}

bool CmdCalls(const clocksim::State* state, int argc, char** argv, bool onlyApplied) {
  uint32_t from = 1;
  if (!ParseFromSeq(argc, argv, &from)) return false;
  uint32_t count = static_cast<uint32_t>(state->callCount);
  for (uint32_t seq = FirstHeldSeq(state, from); seq != 0 && seq <= count; ++seq) {
    const clocksim::Call* call = WaitForCall(state, seq);
    if (!call) {
      fprintf(stderr, "clocktool: call %u not readable\n", seq);
      continue;
    }
    if (onlyApplied) {
      if (call->op == clocksim::OpSetClockSettings) printf("%u\n", call->settings[0]);
      continue;
    }
    printf("%u %u %u %u %u %u %u %u %u %lld\n", call->seq, call->op, call->index, call->arg,
           call->settings[0], call->settings[1], call->settings[2], call->settings[3], call->error,
           static_cast<long long>(call->qpc));
  }
  return true;
}

void CmdQpcFreq() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  printf("%lld\n", static_cast<long long>(frequency.QuadPart));
}

uint32_t AppliedCount(const clocksim::State* state) {
  uint32_t applied = 0;
  uint32_t count = static_cast<uint32_t>(state->callCount);
  for (uint32_t seq = FirstHeldSeq(state, 1); seq != 0 && seq <= count; ++seq) {
    const clocksim::Call* call = WaitForCall(state, seq);
    if (call && call->op == clocksim::OpSetClockSettings) ++applied;
  }
  return applied;
}

uint32_t CallCount(const clocksim::State* state) { return static_cast<uint32_t>(state->callCount); }

// Waits inside this process until count(state) reaches target. Returns the
// exit code: 0 when it did, 1 on timeout or bad usage.
int WaitForCount(const clocksim::State* state, int argc, char** argv, uint32_t (*count)(const clocksim::State*),
                 const char* what) {
  uint32_t target = 0;
  uint32_t timeoutMs = 0;
  if (argc != 2 || !ParseNumber(argv[0], &target) || !ParseNumber(argv[1], &timeoutMs)) {
    PrintUsage();
    return 1;
  }
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  uint32_t reached = 0;
  while ((reached = count(state)) < target) {
    if (GetTickCount64() >= deadline) {
      fprintf(stderr, "clocktool: timeout, %s=%u, waited for %u\n", what, reached, target);
      return 1;
    }
    Sleep(kWaitPollMs * PollScale());
  }
  return 0;
}

typedef HRESULT(STDAPICALLTYPE* RegistrationEntry)();

// Loads the DLL and calls one of its self-registration exports; exit code.
int CmdRegistration(int argc, char** argv, const char* entryName) {
  if (argc != 1) {
    PrintUsage();
    return 1;
  }
  std::string path = ToWindowsPath(argv[0]);
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    fprintf(stderr, "clocktool: cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    return 1;
  }
  RegistrationEntry entry =
      reinterpret_cast<RegistrationEntry>(reinterpret_cast<void*>(GetProcAddress(module, entryName)));
  HRESULT result = entry ? entry() : E_NOTIMPL;
  FreeLibrary(module);
  if (FAILED(result)) {
    fprintf(stderr, "clocktool: %s failed: 0x%08lX\n", entryName, static_cast<unsigned long>(result));
    return 1;
  }
  return 0;
}

// Commands that change or read the state; exit code.
int RunStateCommand(clocksim::State* state, const char* command, int argc, char** argv) {
  bool ok = true;
  if (strcmp(command, "reset") == 0 && argc == 0) {
    clocksim::Reset(state);
  } else if (strcmp(command, "show") == 0 && argc == 0) {
    CmdShow(state);
  } else if (strcmp(command, "count") == 0) {
    ok = CmdCount(state, argc, argv);
  } else if (strcmp(command, "mask") == 0) {
    ok = CmdMask(state, argc, argv);
  } else if (strcmp(command, "kind") == 0) {
    ok = CmdKind(state, argc, argv);
  } else if (strcmp(command, "hz") == 0) {
    ok = CmdHz(state, argc, argv);
  } else if (strcmp(command, "settings") == 0) {
    ok = CmdSettings(state, argc, argv);
  } else if (strcmp(command, "fail") == 0) {
    ok = CmdFail(state, argc, argv);
  } else if (strcmp(command, "create") == 0) {
    ok = CmdCreate(state, argc, argv);
  } else if (strcmp(command, "delay") == 0) {
    ok = CmdDelay(state, argc, argv);
  } else if (strcmp(command, "calls") == 0) {
    ok = CmdCalls(state, argc, argv, false);
  } else if (strcmp(command, "applied") == 0) {
    ok = CmdCalls(state, argc, argv, true);
  } else if (strcmp(command, "wait-calls") == 0) {
    return WaitForCount(state, argc, argv, CallCount, "callCount");
  } else if (strcmp(command, "wait-applied") == 0) {
    return WaitForCount(state, argc, argv, AppliedCount, "applied");
  } else {
    ok = false;
  }
  if (!ok) {
    fprintf(stderr, "clocktool: bad command or arguments: %s\n", command);
    PrintUsage();
    return 1;
  }
  return 0;
}

// One command: argv[0] is its name. Returns the exit code.
int RunCommand(int argc, char** argv) {
  const char* command = argv[0];
  int restCount = argc - 1;
  char** rest = argv + 1;
  if (strcmp(command, "register") == 0) return CmdRegistration(restCount, rest, "DllRegisterServer");
  if (strcmp(command, "unregister") == 0) return CmdRegistration(restCount, rest, "DllUnregisterServer");
  if (strcmp(command, "qpcfreq") == 0 && restCount == 0) {
    CmdQpcFreq();
    return 0;
  }
  clocksim::State* state = clocksim::Open();
  if (!state) {
    fprintf(stderr, "clocktool: cannot open %s (error %lu)\n", clocksim::kStatePath, GetLastError());
    return 1;
  }
  int code = RunStateCommand(state, command, restCount, rest);
  fflush(stdout);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  if (argc == 2 && strcmp(argv[1], "serve") == 0) return ServeCommands(RunCommand);
  return RunCommand(argc - 1, argv + 1);
}
