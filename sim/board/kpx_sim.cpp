// Our Kpx.dll: simulates one board's I/O ports and data record on the shared simulator state.
// Which entry points a build exports is decided by its .def file (see CMakeLists.txt).
#include "board_sim_state.h"

#include <stddef.h>

namespace {

using boardsim::State;

constexpr uint16_t kPortMask = 0xFFFF;
constexpr DWORD kByteMask = 0xFF;
constexpr DWORD kCookieBase = 0x4B500000;
constexpr int kMaxOpenMappings = 64;
// Where a view of the record may be placed: below 4 GB, on allocation boundaries.
constexpr uintptr_t kLowViewFirstBase = 0x10000000;
constexpr uintptr_t kLowViewLastBase = 0xFFF00000;
constexpr uintptr_t kAllocationGranularity = 0x10000;

// Cookies of this process's open mappings; 0 marks a free slot.
volatile LONG g_openCookies[kMaxOpenMappings];

// This library's view of the shared state, mapped on first use and dropped
// when the library is unloaded, so that loading it again and again (as the
// tests do) does not use up the process's address space.
State* g_state = nullptr;

State* SharedState() {
  if (g_state == nullptr) g_state = boardsim::Open();
  return g_state;
}

// The record as MapMemEx hands it out: a second view of the shared state,
// placed below 4 GB, because the service takes the record's address from the
// low 32 bits of the mapping value (all a 32-bit process has). The same path
// in both builds; the view is live, like mapped physical memory.
uint8_t* g_lowView = nullptr;
uint8_t* g_lowRecord = nullptr;

uint8_t* MapRecordBelow4GB() {
  HANDLE file = CreateFileA(boardsim::kStatePath, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  CloseHandle(file);
  if (mapping == nullptr) return nullptr;
  const size_t recordOffset = offsetof(State, record);
  const size_t viewOffset = recordOffset & ~(kAllocationGranularity - 1);
  const size_t viewBytes = recordOffset - viewOffset + sizeof(State::record);
  for (uintptr_t base = kLowViewFirstBase; base <= kLowViewLastBase && g_lowView == nullptr;
       base += kAllocationGranularity) {
    g_lowView = static_cast<uint8_t*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, static_cast<DWORD>(viewOffset),
                                                      viewBytes, reinterpret_cast<void*>(base)));
  }
  CloseHandle(mapping);  // the view keeps the mapping alive
  return g_lowView == nullptr ? nullptr : g_lowView + (recordOffset - viewOffset);
}

uint8_t* LowRecord() {
  if (g_lowRecord == nullptr) g_lowRecord = MapRecordBelow4GB();
  return g_lowRecord;
}

void RecordOp(State* state, uint32_t kind, uint32_t port, uint32_t value, uint32_t hi) {
  boardsim::Op op = {};
  op.kind = kind;
  op.port = port;
  op.value = value;
  op.hi = hi;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  op.qpc = counter.QuadPart;
  boardsim::Record(state, op);
}

// Bits of the variant's two latches that live in this port.
LONG VariantLatchBits(uint32_t variant, uint16_t port) {
  boardsim::Latch down;
  boardsim::Latch up;
  if (!boardsim::DownLatch(variant, &down) || !boardsim::UpLatch(variant, &up)) return 0;
  LONG bits = 0;
  if (down.port == port) bits |= down.mask;
  if (up.port == port) bits |= up.mask;
  return bits;
}

LONG BitCount(LONG bits) {
  LONG count = 0;
  for (; bits != 0; bits &= bits - 1) ++count;
  return count;
}

// Write-one-to-clear; counts the variant's latches that this write acknowledged.
void ClearLatchBits(State* state, uint16_t port, LONG bits) {
  LONG before = InterlockedAnd(&state->ports[port], ~bits);
  LONG acked = BitCount(before & bits & VariantLatchBits(state->variant, port));
  if (acked != 0) InterlockedExchangeAdd(&state->latchesAcked, acked);
}

bool MapAllowed(const State* state, DWORD physicalAddress, DWORD length) {
  return !state->mapFails && state->hasRecord && physicalAddress == boardsim::kRecordAddress &&
         length != 0 && length <= sizeof(state->record);
}

bool RememberCookie(DWORD cookie) {
  for (volatile LONG& slot : g_openCookies) {
    if (InterlockedCompareExchange(&slot, static_cast<LONG>(cookie), 0) == 0) return true;
  }
  return false;
}

// True when the cookie belonged to an open mapping, which it then no longer does.
bool ForgetCookie(DWORD cookie) {
  if (cookie == 0) return false;
  for (volatile LONG& slot : g_openCookies) {
    if (InterlockedCompareExchange(&slot, 0, static_cast<LONG>(cookie)) == static_cast<LONG>(cookie)) {
      return true;
    }
  }
  return false;
}

// 0 when the record cannot be shown below 4 GB.
DWORD RecordAddressInProcess() {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(LowRecord()));
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    // A slow or failing library, as the state asks: lets tests watch the
    // service's start-up while it waits for the library, and a load failure.
    State* state = SharedState();
    if (state != nullptr && state->loadDelayMs != 0) Sleep(state->loadDelayMs);
    if (state != nullptr && state->loadFails != 0) {
      UnmapViewOfFile(g_state);
      g_state = nullptr;
      return FALSE;
    }
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    if (g_lowView != nullptr) UnmapViewOfFile(g_lowView);
    g_lowView = nullptr;
    g_lowRecord = nullptr;
    if (g_state != nullptr) UnmapViewOfFile(g_state);
    g_state = nullptr;
  }
  return TRUE;
}

DWORD WINAPI hx_inp(DWORD port) {
  State* state = SharedState();
  if (!state) return 0;
  DWORD value = static_cast<DWORD>(state->ports[port & kPortMask]) & kByteMask;
  RecordOp(state, boardsim::OpIn, port, value, 0);
  return value;
}

void WINAPI hx_outp(DWORD port, DWORD value) {
  State* state = SharedState();
  if (!state) return;
  uint16_t reg = static_cast<uint16_t>(port & kPortMask);
  LONG byte = static_cast<LONG>(value & kByteMask);
  if (boardsim::IsLatchPort(reg)) {
    ClearLatchBits(state, reg, byte);
  } else {
    InterlockedExchange(&state->ports[reg], byte);
  }
  RecordOp(state, boardsim::OpOut, port, value, 0);
}

ULONGLONG WINAPI MapMemEx(DWORD physicalAddress, DWORD /*zero*/, DWORD length) {
  State* state = SharedState();
  if (!state) return 0;
  DWORD address = 0;
  DWORD cookie = 0;
  const DWORD record = RecordAddressInProcess();
  if (MapAllowed(state, physicalAddress, length) && record != 0) {
    cookie = kCookieBase | static_cast<DWORD>(InterlockedIncrement(&state->mapSeq));
    if (RememberCookie(cookie)) {
      address = record;
      InterlockedIncrement(&state->maps);
      InterlockedIncrement(&state->liveMaps);
    } else {
      cookie = 0;  // too many open mappings in this process
    }
  }
  RecordOp(state, boardsim::OpMap, physicalAddress, length, cookie);
  return (static_cast<ULONGLONG>(cookie) << 32) | address;
}

void WINAPI UnMapMemEx(ULONGLONG mapping) {
  State* state = SharedState();
  if (!state) return;
  DWORD address = static_cast<DWORD>(mapping);
  DWORD cookie = static_cast<DWORD>(mapping >> 32);
  // The address is checked first so that a wrong one does not use up the cookie.
  if (address != 0 && address == RecordAddressInProcess() && ForgetCookie(cookie)) {
    InterlockedIncrement(&state->unmaps);
    InterlockedDecrement(&state->liveMaps);
  } else {
    InterlockedIncrement(&state->badUnmaps);
  }
  RecordOp(state, boardsim::OpUnmap, 0, address, cookie);
}

DWORD WINAPI SearchBDR(void) {
  State* state = SharedState();
  if (!state) return 0;
  DWORD address = state->hasRecord ? boardsim::kRecordAddress : 0;
  RecordOp(state, boardsim::OpSearch, 0, address, 0);
  return address;
}

}  // extern "C"
