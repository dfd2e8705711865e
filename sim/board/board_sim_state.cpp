// Shared state of the board simulator: register map (from the board table), file mapping, presses and the op record.
#include "board_sim_state.h"

#include <string.h>

namespace boardsim {
namespace {

constexpr const char* kProgramDataDir = "C:\\ProgramData";
constexpr const char* kStateDir = "C:\\ProgramData\\VexaSim";
// Serialises the first-time initialisation of the state between processes.
constexpr const char* kOpenMutexName = "VexaBoardSimOpen";
constexpr DWORD kOpenMutexWaitMs = 10000;

constexpr size_t kPartOffset = 32;
constexpr size_t kPartLength = 8;
constexpr uint8_t kFillerBase = 0xC0;  // non-zero, non-ASCII filler outside the part number

int64_t Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

bool LatchIsSet(const State* state, const Latch& latch) {
  return (state->ports[latch.port] & latch.mask) != 0;
}

void FillRecord(State* state) {
  for (size_t i = 0; i < sizeof(state->record); ++i) {
    state->record[i] = static_cast<uint8_t>(kFillerBase + i);
  }
}

// Resets a state that no process has set up yet; the mutex keeps two first
// openers from resetting it under each other.
void InitialiseOnce(State* state) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kOpenMutexName);
  bool locked = mutex && WaitForSingleObject(mutex, kOpenMutexWaitMs) != WAIT_TIMEOUT;
  if (state->magic != kMagic || state->version != kVersion) Reset(state);
  if (locked) ReleaseMutex(mutex);
  if (mutex) CloseHandle(mutex);
}

}  // namespace

bool DownLatch(uint32_t variant, Latch* latch) {
  const BoardRow* row = BoardRowOf(variant);
  if (!row) return false;
  *latch = row->down;
  return true;
}

bool UpLatch(uint32_t variant, Latch* latch) {
  const BoardRow* row = BoardRowOf(variant);
  if (!row) return false;
  *latch = row->up;
  return true;
}

uint16_t StepPort(uint32_t variant) {
  const BoardRow* row = BoardRowOf(variant);
  return row ? row->stepPort : 0;
}

const char* PartNumberOf(uint32_t variant) {
  const BoardRow* row = BoardRowOf(variant);
  return row ? row->part : nullptr;
}

State* Open() {
  CreateDirectoryA(kProgramDataDir, nullptr);  // fails harmlessly when present
  CreateDirectoryA(kStateDir, nullptr);
  HANDLE file = CreateFileA(kStatePath, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // Sizing the mapping grows a new file to the whole state, zero-filled.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, sizeof(State), nullptr);
  CloseHandle(file);
  if (!mapping) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(State));
  CloseHandle(mapping);  // the view keeps the mapping alive
  if (!view) return nullptr;
  State* state = static_cast<State*>(view);
  InitialiseOnce(state);
  return state;
}

void Reset(State* state) {
  // Other processes treat a state without magic as not set up.
  state->magic = 0;
  MemoryBarrier();
  memset(reinterpret_cast<uint8_t*>(state) + sizeof(state->magic), 0,
         sizeof(State) - sizeof(state->magic));
  FillRecord(state);
  SelectVariant(state, 1);
  state->hasRecord = 1;
  state->version = kVersion;
  MemoryBarrier();
  state->magic = kMagic;
}

void SelectVariant(State* state, uint32_t variant) {
  const char* part = PartNumberOf(variant);
  if (!part) return;
  state->variant = variant;
  memcpy(state->record + kPartOffset, part, kPartLength);
}

void Press(State* state, bool up) {
  uint32_t variant = state->variant;
  Latch latch;
  if (!(up ? UpLatch(variant, &latch) : DownLatch(variant, &latch))) return;
  LONG before = InterlockedOr(&state->ports[latch.port], latch.mask);
  bool merged = (before & latch.mask) != 0;
  InterlockedIncrement(merged ? &state->pressesMerged : &state->latchesSet);
  InterlockedIncrement(up ? &state->pressesUp : &state->pressesDown);
  Op op = {};
  op.kind = OpPress;
  op.port = latch.port;
  op.value = latch.mask;
  op.hi = merged ? 1 : 0;
  op.qpc = Now();
  Record(state, op);
}

int PendingLatches(const State* state) {
  Latch down;
  Latch up;
  if (!DownLatch(state->variant, &down) || !UpLatch(state->variant, &up)) return 0;
  return (LatchIsSet(state, down) ? 1 : 0) + (LatchIsSet(state, up) ? 1 : 0);
}

void Record(State* state, const Op& op) {
  uint32_t seq = static_cast<uint32_t>(InterlockedIncrement(&state->opCount));
  Op* slot = &state->ops[(seq - 1) % kMaxOps];
  // seq 0 marks the slot as being written, so OpAt never hands out a half-written op.
  slot->seq = 0;
  MemoryBarrier();
  slot->kind = op.kind;
  slot->port = op.port;
  slot->value = op.value;
  slot->hi = op.hi;
  slot->reserved = op.reserved;
  slot->qpc = op.qpc;
  MemoryBarrier();
  slot->seq = seq;
}

const Op* OpAt(const State* state, uint32_t seq) {
  uint32_t count = static_cast<uint32_t>(state->opCount);
  if (seq == 0 || seq > count || count - seq >= kMaxOps) return nullptr;
  const Op* slot = &state->ops[(seq - 1) % kMaxOps];
  return slot->seq == seq ? slot : nullptr;
}

}  // namespace boardsim
