// Shared state of the clock controller simulator: mapping, defaults and the call record.
#include "clock_sim_state.h"

#include <string.h>

namespace clocksim {

namespace {

constexpr const char* kStateDir = "C:\\ProgramData\\VexaSim";
// Serialises "is it initialised yet?" between processes opening a new file.
constexpr const char* kInitMutexName = "VexaSimClockStateInit";
constexpr DWORD kInitMutexWaitMs = 5000;

// One mapping per process (per load of the module that links this library).
State* volatile g_state = nullptr;

bool EnsureStateDir() {
  CreateDirectoryA("C:\\ProgramData", nullptr);
  if (CreateDirectoryA(kStateDir, nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS;
}

State* MapStateFile() {
  HANDLE file = CreateFileA(kStatePath, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // Sizing the mapping grows a new (empty) file to sizeof(State), zero-filled.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(sizeof(State)), nullptr);
  CloseHandle(file);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(State));
  CloseHandle(mapping);  // the view keeps the mapping alive
  return static_cast<State*>(view);
}

bool IsInitialised(const State* state) {
  return state->magic == kMagic && state->version == kVersion;
}

// Held while a state is checked or reset, so that two processes opening a new
// file (or a reset racing an open) never interleave. Win32 mutexes are
// re-entrant, so Reset may take it again inside InitialiseIfNew.
HANDLE LockInit() {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInitMutexName);
  if (!mutex) return nullptr;
  DWORD wait = WaitForSingleObject(mutex, kInitMutexWaitMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return nullptr;  // go on unlocked rather than hang
  }
  return mutex;
}

void UnlockInit(HANDLE mutex) {
  if (!mutex) return;
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

void InitialiseIfNew(State* state) {
  HANDLE lock = LockInit();
  if (!IsInitialised(state)) Reset(state);
  UnlockInit(lock);
}

void SetDefaultClocks(State* state) {
  state->clockCount = 2;
  state->mask = 0x3;
  state->kind[0] = 2;
  state->settings[0][0] = 33000000;
  state->kind[1] = 1;
  state->settings[1][0] = 100000000;
  state->settings[1][1] = 0xA1;
  state->settings[1][2] = 0xB2;
  state->settings[1][3] = 0xC3;
}

}  // namespace

State* Open() {
  State* cached = g_state;
  if (cached) return cached;
  if (!EnsureStateDir()) return nullptr;
  State* state = MapStateFile();
  if (!state) return nullptr;
  InitialiseIfNew(state);
  void* previous = InterlockedCompareExchangePointer(
      reinterpret_cast<void* volatile*>(&g_state), state, nullptr);
  if (previous) {  // another thread of this process mapped it first
    UnmapViewOfFile(state);
    return static_cast<State*>(previous);
  }
  return state;
}

void Reset(State* state) {
  HANDLE lock = LockInit();
  // Invalidate first, so an opener never takes a half-reset state as initialised.
  state->magic = 0;
  MemoryBarrier();
  memset(reinterpret_cast<char*>(state) + sizeof(state->magic), 0,
         sizeof(State) - sizeof(state->magic));
  SetDefaultClocks(state);
  state->failIndex = kAnyIndex;
  state->version = kVersion;
  MemoryBarrier();
  state->magic = kMagic;
  UnlockInit(lock);
}

void LoseSettings(State* state) {
  memset(state->settings, 0, sizeof state->settings);
  SetDefaultClocks(state);
}

void Record(State* state, const Call& call) {
  uint32_t seq = static_cast<uint32_t>(InterlockedIncrement(&state->callCount));
  Call* slot = &state->calls[(seq - 1) % kMaxCalls];
  // Mark the slot as in progress, fill it, then publish it by its sequence number.
  slot->seq = 0;
  MemoryBarrier();
  slot->op = call.op;
  slot->index = call.index;
  slot->arg = call.arg;
  memcpy(slot->settings, call.settings, sizeof(slot->settings));
  slot->error = call.error;
  slot->reserved = 0;
  slot->qpc = call.qpc;
  MemoryBarrier();
  slot->seq = seq;
}

const Call* CallAt(const State* state, uint32_t seq) {
  uint32_t count = static_cast<uint32_t>(state->callCount);
  if (seq == 0 || seq > count) return nullptr;
  if (count - seq >= kMaxCalls) return nullptr;  // overwritten by a later call
  const Call* slot = &state->calls[(seq - 1) % kMaxCalls];
  MemoryBarrier();
  // Still being written, or overwritten since callCount was read.
  if (slot->seq != seq) return nullptr;
  return slot;
}

}  // namespace clocksim
