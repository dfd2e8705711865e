// Shared state of the board simulator (our Kpx.dll), kept in a file mapping
// that the library, its command-line tool and the tests all open.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "board_table.h"

namespace boardsim {

constexpr const char* kStatePath = "C:\\ProgramData\\VexaSim\\board.state";
constexpr uint32_t kMagic = 0x44524F42;  // "BORD"
constexpr uint32_t kVersion = 2;
constexpr uint32_t kMaxOps = 65536;      // op record is a ring of this size
constexpr uint32_t kRecordAddress = 0x000F5A30;  // physical address SearchBDR reports

enum OpKind : uint32_t {
  OpIn = 1,      // hx_inp: port, value returned
  OpOut = 2,     // hx_outp: port, value written
  OpSearch = 3,  // SearchBDR: value = address returned
  OpMap = 4,     // MapMemEx: port = physical address, value = length, hi = cookie (0 if refused)
  OpUnmap = 5,   // UnMapMemEx: value = low half, hi = high half
  OpPress = 6,   // a press from the tool: port, value = latch mask, hi = 1 if it merged
};

struct Op {
  uint32_t seq;   // 1-based
  uint32_t kind;  // OpKind
  uint32_t port;
  uint32_t value;
  uint32_t hi;
  uint32_t reserved;
  int64_t qpc;    // QueryPerformanceCounter at the operation
};

struct State {
  uint32_t magic;
  uint32_t version;
  volatile LONG ports[65536];      // register byte in the low 8 bits
  uint32_t variant;                // a row of the board table: which latches "press" drives and the counters watch
  uint8_t record[48];              // board data record; part number at 32..39
  uint32_t hasRecord;              // SearchBDR reports 0 when clear
  uint32_t mapFails;               // MapMemEx maps nothing when set
  uint32_t loadDelayMs;            // each load of the library takes this long
  uint32_t loadFails;              // the library refuses to load (after the delay) when set
  volatile LONG pressesDown;       // press events from the tool
  volatile LONG pressesUp;
  volatile LONG latchesSet;        // presses that found their latch clear
  volatile LONG pressesMerged;     // presses on a latch already set
  volatile LONG latchesAcked;      // latch bits of the variant cleared by a write
  volatile LONG maps;              // successful MapMemEx
  volatile LONG unmaps;            // UnMapMemEx matching an open mapping
  volatile LONG badUnmaps;         // UnMapMemEx with a value no mapping returned
  volatile LONG liveMaps;
  volatile LONG mapSeq;
  volatile LONG opCount;
  Op ops[kMaxOps];                 // op n (1-based) at ops[(n - 1) % kMaxOps]
};

// Register map of the board variants, as board_table.txt gives it. False for an unknown variant.
bool DownLatch(uint32_t variant, Latch* latch);
bool UpLatch(uint32_t variant, Latch* latch);
uint16_t StepPort(uint32_t variant);  // register whose step bit selects 1 MHz steps

// Part number that identifies a variant (the 8 characters the board data record holds), or nullptr.
const char* PartNumberOf(uint32_t variant);

State* Open();

// Defaults: variant 1 with its part number, record present, all ports 0,
// no fault or delay, counters and op record cleared.
void Reset(State* state);

// Sets the variant and writes its part number into the record.
void SelectVariant(State* state, uint32_t variant);

// One press of the variant's "down" or "up" button: sets the latch bit
// atomically (a press on a set latch merges with it) and counts it.
void Press(State* state, bool up);

// Latches of the current variant that are set right now (0, 1 or 2).
int PendingLatches(const State* state);

void Record(State* state, const Op& op);
const Op* OpAt(const State* state, uint32_t seq);

}  // namespace boardsim
