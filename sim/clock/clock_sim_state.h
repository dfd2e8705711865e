// Shared state of the clock controller simulator, kept in a file mapping that
// the simulator DLL, its command-line tool and the tests all open.
#pragma once

#include <windows.h>
#include <stdint.h>

namespace clocksim {

// Lives under the Wine prefix's C: drive, so every prefix has its own board.
constexpr const char* kStatePath = "C:\\ProgramData\\VexaSim\\clock.state";
constexpr uint32_t kMagic = 0x4B4C4353;  // "SCLK"
constexpr uint32_t kVersion = 3;
constexpr int kMaxClocks = 256;          // the clock count is 8-bit
constexpr uint32_t kMaxCalls = 65536;    // call record is a ring of this size
constexpr uint32_t kAnyIndex = 0xFFFFFFFF;

// What a recorded call was. Slot numbers for the interface's operations.
enum Op : uint32_t {
  OpCreate = 1,               // class factory handed out an instance
  OpRelease = 2,              // last reference of an instance released
  OpGetClockCount = 7,
  OpGetClockMask = 8,
  OpGetClockDescriptor = 9,
  OpGetClockSettings = 10,
  OpSetClockSettings = 11,
};

struct Call {
  uint32_t seq;          // 1-based, in call order
  uint32_t op;           // Op
  uint32_t index;        // clock index for slots 9 to 11, else 0
  uint32_t arg;          // the 32-bit value passed to GetClockMask, else 0
  uint32_t settings[4];  // record passed to SetClockSettings, else zeros
  uint32_t error;        // error code the call returned through its out argument
  uint32_t reserved;
  int64_t qpc;           // QueryPerformanceCounter at the call
};

struct State {
  uint32_t magic;
  uint32_t version;
  uint32_t clockCount;                  // GetClockCount reports the low 8 bits
  uint32_t mask;                        // GetClockMask reports this
  uint8_t kind[kMaxClocks];             // descriptor byte at offset 8
  uint32_t settings[kMaxClocks][4];     // word 0 is Hz; SetClockSettings stores here
  uint32_t failOp;                      // slot 7..11 that reports failCode; 0 = none
  uint32_t failCode;
  uint32_t failIndex;                   // slots 9..11: only this clock index fails;
                                        // kAnyIndex: every call of failOp fails
  int32_t createResult;                 // HRESULT of IClassFactory::CreateInstance;
                                        // S_FALSE (1) still hands out an instance
  volatile LONG delayOp;                // slot 7..11 whose next call waits delayMs
                                        // first, once; 0 = none
  uint32_t delayMs;
  volatile LONG liveInstances;
  volatile LONG instancesCreated;
  volatile LONG callCount;              // total calls recorded (ring may have wrapped)
  Call calls[kMaxCalls];                // call n (1-based) at calls[(n - 1) % kMaxCalls]
};

// Maps the shared state, creating it with defaults when new. nullptr on failure.
State* Open();

// Defaults: two clocks, mask 0x3, clock 0 of kind 2 at 33,000,000 Hz, clock 1
// of kind 1 at 100,000,000 Hz with trailing words 0xA1, 0xB2, 0xC3; no fault
// (failIndex kAnyIndex); no delay;
// empty call record; counters at zero.
void Reset(State* state);

// As the clock generator after a sleep or hibernation: the clocks back at
// the defaults above; faults, delays and the call record stay.
void LoseSettings(State* state);

// Appends one call to the ring; thread- and process-safe.
void Record(State* state, const Call& call);

// The recorded call with 1-based sequence number seq, or nullptr if it has
// been overwritten or not yet made.
const Call* CallAt(const State* state, uint32_t seq);

}  // namespace clocksim
