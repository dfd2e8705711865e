// boardtool: drives the simulated board and reads its shared state from the command line.
#include "board_sim_state.h"
#include "command_server.h"

#include <ctype.h>
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

using boardsim::State;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoState = 2;
constexpr int kExitFailed = 3;

constexpr uint32_t kDefaultPressCount = 1;
constexpr uint32_t kMaxPressCount = 10000000;
constexpr uint32_t kDefaultPressGapMs = 0;
constexpr uint32_t kMaxGapMs = 3600000;
constexpr uint32_t kMaxPort = 0xFFFF;
constexpr uint32_t kMaxByte = 0xFF;
constexpr size_t kPartOffset = 32;
constexpr size_t kPartLength = 8;
constexpr uint32_t kRandomSeedFallback = 0x9E3779B9;  // xorshift must not start at 0
constexpr DWORD kWaitPollMs = 1;                       // counter and op-record poll period while waiting, times PollScale()
constexpr uint32_t kMaxWaitMs = 600000;

const char* const kUsage =
    "usage: boardtool COMMAND\n"
    "  reset | board N | part TEXT8 | part-hex HEX16 | record | norecord | mapfail on|off\n"
    "  loaddelay MS | loadfail on|off   (each load of Kpx.dll waits MS; then fails when on)\n"
    "  press down|up [N] [GAP_MS] | step 0.1|1\n"
    "  set PORT VALUE | setbits PORT MASK | clearbits PORT MASK | get PORT\n"
    "  show | ops [FROM_SEQ] | qpcfreq\n"
    "  random-presses COUNT SEED MIN_GAP_MS MAX_GAP_MS\n"
    "  wait COUNTER >=|<=|== N TIMEOUT_MS    (COUNTER as \"show\" names it)\n"
    "  wait-op in|out|search|map|unmap|press TIMEOUT_MS [FROM_SEQ]\n"
    "  serve    (commands from stdin, one a line, words tab-separated)\n";

// Hex with 0x, or decimal; the whole text must be a number no greater than max.
bool ParseNumber(const char* text, uint32_t max, uint32_t* out) {
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text += 2;
  if (text[0] == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    int digit = static_cast<unsigned char>(*c);
    if (hex ? !isxdigit(digit) : !isdigit(digit)) return false;
  }
  errno = 0;
  unsigned long long value = strtoull(text, nullptr, hex ? 16 : 10);
  if (errno == ERANGE || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseButton(const char* text, bool* up) {
  if (strcmp(text, "up") == 0) {
    *up = true;
    return true;
  }
  if (strcmp(text, "down") == 0) {
    *up = false;
    return true;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int64_t Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

const char* KindName(uint32_t kind) {
  switch (kind) {
    case boardsim::OpIn: return "in";
    case boardsim::OpOut: return "out";
    case boardsim::OpSearch: return "search";
    case boardsim::OpMap: return "map";
    case boardsim::OpUnmap: return "unmap";
    case boardsim::OpPress: return "press";
    default: return "unknown";
  }
}

uint32_t NextRandom(uint32_t* seed) {
  uint32_t x = *seed;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *seed = x;
  return x;
}

uint8_t PortByte(const State* state, uint32_t port) {
  return static_cast<uint8_t>(state->ports[port] & 0xFF);
}

// Commands: each gets the arguments after its name and returns false on bad usage.

bool RunReset(State* state, int, char**) {
  boardsim::Reset(state);
  return true;
}

bool RunBoard(State* state, int, char** argv) {
  uint32_t variant = 0;
  if (!ParseNumber(argv[0], kMaxByte, &variant) || !boardsim::PartNumberOf(variant)) return false;
  boardsim::SelectVariant(state, variant);
  state->hasRecord = 1;
  return true;
}

bool RunPart(State* state, int, char** argv) {
  if (strlen(argv[0]) != kPartLength) return false;
  memcpy(state->record + kPartOffset, argv[0], kPartLength);
  return true;
}

bool RunPartHex(State* state, int, char** argv) {
  const char* hex = argv[0];
  if (strlen(hex) != 2 * kPartLength) return false;
  uint8_t bytes[kPartLength];
  for (size_t i = 0; i < kPartLength; ++i) {
    int high = HexDigit(hex[2 * i]);
    int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  memcpy(state->record + kPartOffset, bytes, kPartLength);
  return true;
}

bool RunRecord(State* state, int, char**) {
  state->hasRecord = 1;
  return true;
}

bool RunNoRecord(State* state, int, char**) {
  state->hasRecord = 0;
  return true;
}

bool RunMapFail(State* state, int, char** argv) {
  if (strcmp(argv[0], "on") == 0) {
    state->mapFails = 1;
  } else if (strcmp(argv[0], "off") == 0) {
    state->mapFails = 0;
  } else {
    return false;
  }
  return true;
}

bool RunLoadDelay(State* state, int, char** argv) {
  return ParseNumber(argv[0], 0xFFFFFFFFu, &state->loadDelayMs);
}

bool RunLoadFail(State* state, int, char** argv) {
  if (strcmp(argv[0], "on") == 0) {
    state->loadFails = 1;
  } else if (strcmp(argv[0], "off") == 0) {
    state->loadFails = 0;
  } else {
    return false;
  }
  return true;
}

bool RunPress(State* state, int argc, char** argv) {
  bool up = false;
  uint32_t count = kDefaultPressCount;
  uint32_t gapMs = kDefaultPressGapMs;
  if (!ParseButton(argv[0], &up)) return false;
  if (argc > 1 && !ParseNumber(argv[1], kMaxPressCount, &count)) return false;
  if (argc > 2 && !ParseNumber(argv[2], kMaxGapMs, &gapMs)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0 && gapMs > 0) Sleep(gapMs);
    boardsim::Press(state, up);
  }
  return true;
}

bool RunStep(State* state, int, char** argv) {
  const boardsim::BoardRow* row = boardsim::BoardRowOf(state->variant);
  if (!row) {
    fprintf(stderr, "boardtool: the state holds no valid variant\n");
    return false;
  }
  const LONG oneMhzBit = row->stepBit;
  if (strcmp(argv[0], "1") == 0) {
    InterlockedOr(&state->ports[row->stepPort], oneMhzBit);
  } else if (strcmp(argv[0], "0.1") == 0) {
    InterlockedAnd(&state->ports[row->stepPort], ~oneMhzBit);
  } else {
    return false;
  }
  return true;
}

bool ParsePortAndByte(char** argv, uint32_t* port, uint32_t* byte) {
  return ParseNumber(argv[0], kMaxPort, port) && ParseNumber(argv[1], kMaxByte, byte);
}

bool RunSet(State* state, int, char** argv) {
  uint32_t port = 0;
  uint32_t value = 0;
  if (!ParsePortAndByte(argv, &port, &value)) return false;
  InterlockedExchange(&state->ports[port], static_cast<LONG>(value));
  return true;
}

bool RunSetBits(State* state, int, char** argv) {
  uint32_t port = 0;
  uint32_t mask = 0;
  if (!ParsePortAndByte(argv, &port, &mask)) return false;
  InterlockedOr(&state->ports[port], static_cast<LONG>(mask));
  return true;
}

bool RunClearBits(State* state, int, char** argv) {
  uint32_t port = 0;
  uint32_t mask = 0;
  if (!ParsePortAndByte(argv, &port, &mask)) return false;
  InterlockedAnd(&state->ports[port], ~static_cast<LONG>(mask));
  return true;
}

bool RunGet(State* state, int, char** argv) {
  uint32_t port = 0;
  if (!ParseNumber(argv[0], kMaxPort, &port)) return false;
  printf("0x%02X\n", PortByte(state, port));
  return true;
}

void PrintPart(const State* state) {
  char part[kPartLength + 1];
  for (size_t i = 0; i < kPartLength; ++i) {
    uint8_t c = state->record[kPartOffset + i];
    part[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  part[kPartLength] = '\0';
  printf("part=%s\n", part);
}

// The board's counters by the names "show" prints and "wait" takes.
struct Counter {
  const char* name;
  long (*read)(const State* state);
};

constexpr Counter kCounters[] = {
    {"pressesDown", [](const State* s) -> long { return s->pressesDown; }},
    {"pressesUp", [](const State* s) -> long { return s->pressesUp; }},
    {"latchesSet", [](const State* s) -> long { return s->latchesSet; }},
    {"pressesMerged", [](const State* s) -> long { return s->pressesMerged; }},
    {"latchesAcked", [](const State* s) -> long { return s->latchesAcked; }},
    {"pending", [](const State* s) -> long { return boardsim::PendingLatches(s); }},
    {"maps", [](const State* s) -> long { return s->maps; }},
    {"unmaps", [](const State* s) -> long { return s->unmaps; }},
    {"badUnmaps", [](const State* s) -> long { return s->badUnmaps; }},
    {"liveMaps", [](const State* s) -> long { return s->liveMaps; }},
    {"opCount", [](const State* s) -> long { return s->opCount; }},
};

const Counter* FindCounter(const char* name) {
  for (const Counter& counter : kCounters) {
    if (strcmp(counter.name, name) == 0) return &counter;
  }
  return nullptr;
}

// Every latch port of the board table, then every step-size port, each once, in table order.
void PrintBoardPorts(const State* state) {
  uint16_t shown[2 * boardsim::kBoardCount + boardsim::kBoardCount];
  size_t count = 0;
  auto show = [&](uint16_t port) {
    for (size_t i = 0; i < count; ++i) {
      if (shown[i] == port) return;
    }
    shown[count++] = port;
    printf("port_%04x=0x%02X\n", port, PortByte(state, port));
  };
  for (const boardsim::BoardRow& row : boardsim::kBoardTable) {
    show(row.down.port);
    show(row.up.port);
  }
  for (const boardsim::BoardRow& row : boardsim::kBoardTable) show(row.stepPort);
}

bool RunShow(State* state, int, char**) {
  printf("variant=%u\n", state->variant);
  PrintPart(state);
  printf("hasRecord=%u\n", state->hasRecord);
  printf("mapFails=%u\n", state->mapFails);
  printf("loadDelayMs=%u\n", state->loadDelayMs);
  printf("loadFails=%u\n", state->loadFails);
  for (const Counter& counter : kCounters) printf("%s=%ld\n", counter.name, counter.read(state));
  PrintBoardPorts(state);
  return true;
}

bool Compare(long value, const char* relation, long target) {
  if (strcmp(relation, ">=") == 0) return value >= target;
  if (strcmp(relation, "<=") == 0) return value <= target;
  return value == target;
}

// Waits inside this process until the counter stands in the relation to N;
// false (and the last value on stderr) at the timeout.
bool WaitForCounter(const State* state, const Counter& counter, const char* relation, long target,
                    DWORD timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    long value = counter.read(state);
    if (Compare(value, relation, target)) return true;
    if (GetTickCount64() >= deadline) {
      fprintf(stderr, "boardtool: timeout: %s=%ld, waited for %s %ld\n", counter.name, value, relation, target);
      return false;
    }
    Sleep(kWaitPollMs * PollScale());
  }
}

// Commands return false for bad usage only; a wait that timed out says so here,
// and the command fails without the usage text.
bool g_timedOut = false;

bool RunWait(State* state, int, char** argv) {
  const Counter* counter = FindCounter(argv[0]);
  uint32_t target = 0;
  uint32_t timeoutMs = 0;
  bool relationKnown = strcmp(argv[1], ">=") == 0 || strcmp(argv[1], "<=") == 0 || strcmp(argv[1], "==") == 0;
  if (!counter || !relationKnown || !ParseNumber(argv[2], UINT32_MAX, &target) ||
      !ParseNumber(argv[3], kMaxWaitMs, &timeoutMs)) {
    return false;
  }
  if (!WaitForCounter(state, *counter, argv[1], static_cast<long>(target), timeoutMs)) g_timedOut = true;
  return true;
}

bool ParseKind(const char* text, uint32_t* kind) {
  for (uint32_t k = boardsim::OpIn; k <= boardsim::OpPress; ++k) {
    if (strcmp(KindName(k), text) == 0) {
      *kind = k;
      return true;
    }
  }
  return false;
}

// True once an op of kind with a sequence number from "from" on is recorded.
bool HasOpSince(const State* state, uint32_t kind, uint32_t from) {
  uint32_t count = static_cast<uint32_t>(state->opCount);
  for (uint32_t seq = from == 0 ? 1 : from; seq <= count; ++seq) {
    const boardsim::Op* op = boardsim::OpAt(state, seq);
    if (op && op->kind == kind) return true;
  }
  return false;
}

bool RunWaitOp(State* state, int argc, char** argv) {
  uint32_t kind = 0;
  uint32_t timeoutMs = 0;
  uint32_t from = 1;
  if (!ParseKind(argv[0], &kind) || !ParseNumber(argv[1], kMaxWaitMs, &timeoutMs)) return false;
  if (argc > 2 && !ParseNumber(argv[2], UINT32_MAX, &from)) return false;
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!HasOpSince(state, kind, from)) {
    if (GetTickCount64() >= deadline) {
      fprintf(stderr, "boardtool: timeout: no \"%s\" op from %u on\n", argv[0], from);
      g_timedOut = true;
      return true;
    }
    Sleep(kWaitPollMs * PollScale());
  }
  return true;
}

bool RunOps(State* state, int argc, char** argv) {
  uint32_t from = 1;
  if (argc > 0 && !ParseNumber(argv[0], UINT32_MAX, &from)) return false;
  uint32_t count = static_cast<uint32_t>(state->opCount);
  if (count > boardsim::kMaxOps && from <= count - boardsim::kMaxOps) {
    from = count - boardsim::kMaxOps + 1;  // older ops have been overwritten
  }
  for (uint32_t seq = from == 0 ? 1 : from; seq <= count; ++seq) {
    const boardsim::Op* op = boardsim::OpAt(state, seq);
    if (!op) continue;
    printf("%u %s 0x%04X 0x%02X 0x%08X %" PRId64 "\n", op->seq, KindName(op->kind), op->port,
           op->value, op->hi, op->qpc);
  }
  return true;
}

bool RunQpcFreq(State*, int, char**) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  printf("%" PRId64 "\n", static_cast<int64_t>(frequency.QuadPart));
  return true;
}

bool RunRandomPresses(State* state, int, char** argv) {
  uint32_t count = 0;
  uint32_t seed = 0;
  uint32_t minGapMs = 0;
  uint32_t maxGapMs = 0;
  if (!ParseNumber(argv[0], kMaxPressCount, &count) || !ParseNumber(argv[1], UINT32_MAX, &seed) ||
      !ParseNumber(argv[2], kMaxGapMs, &minGapMs) || !ParseNumber(argv[3], kMaxGapMs, &maxGapMs) ||
      minGapMs > maxGapMs) {
    return false;
  }
  if (seed == 0) seed = kRandomSeedFallback;
  for (uint32_t i = 0; i < count; ++i) {
    bool up = (NextRandom(&seed) & 1) != 0;
    uint32_t gapMs = minGapMs + NextRandom(&seed) % (maxGapMs - minGapMs + 1);
    if (i > 0 && gapMs > 0) Sleep(gapMs);
    int64_t pressedAt = Now();  // taken before the latch is set, so never after it
    boardsim::Press(state, up);
    printf("press %s %" PRId64 "\n", up ? "up" : "down", pressedAt);
    fflush(stdout);
  }
  return true;
}

struct Command {
  const char* name;
  int minArgs;
  int maxArgs;
  bool (*run)(State* state, int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"reset", 0, 0, RunReset},
    {"board", 1, 1, RunBoard},
    {"part", 1, 1, RunPart},
    {"part-hex", 1, 1, RunPartHex},
    {"record", 0, 0, RunRecord},
    {"norecord", 0, 0, RunNoRecord},
    {"mapfail", 1, 1, RunMapFail},
    {"loaddelay", 1, 1, RunLoadDelay},
    {"loadfail", 1, 1, RunLoadFail},
    {"press", 1, 3, RunPress},
    {"step", 1, 1, RunStep},
    {"set", 2, 2, RunSet},
    {"setbits", 2, 2, RunSetBits},
    {"clearbits", 2, 2, RunClearBits},
    {"get", 1, 1, RunGet},
    {"show", 0, 0, RunShow},
    {"ops", 0, 1, RunOps},
    {"qpcfreq", 0, 0, RunQpcFreq},
    {"random-presses", 4, 4, RunRandomPresses},
    {"wait", 4, 4, RunWait},
    {"wait-op", 2, 3, RunWaitOp},
};

const Command* FindCommand(const char* name) {
  for (const Command& command : kCommands) {
    if (strcmp(command.name, name) == 0) return &command;
  }
  return nullptr;
}

int UsageError() {
  fputs(kUsage, stderr);
  return kExitUsage;
}

// The state is mapped once per process: a serving tool runs many commands.
State* SharedState() {
  static State* state = boardsim::Open();
  return state;
}

// One command: argv[0] is its name.
int RunCommand(int argc, char** argv) {
  const Command* command = FindCommand(argv[0]);
  int commandArgs = argc - 1;
  if (!command || commandArgs < command->minArgs || commandArgs > command->maxArgs) {
    return UsageError();
  }
  State* state = SharedState();
  if (!state) {
    fprintf(stderr, "boardtool: cannot open %s (error %lu)\n", boardsim::kStatePath, GetLastError());
    return kExitNoState;
  }
  g_timedOut = false;
  if (!command->run(state, commandArgs, argv + 1)) return UsageError();
  fflush(stdout);
  return g_timedOut ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError();
  if (argc == 2 && strcmp(argv[1], "serve") == 0) return ServeCommands(RunCommand);
  return RunCommand(argc - 1, argv + 1);
}
