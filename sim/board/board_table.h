// The board variants' test-side table (board_table.txt) for the simulators and the unit tests; never for the service.
#pragma once

#include <stdint.h>

#include "board_table_rows.h"  // made by CMake from board_table.txt

namespace boardsim {

// Latch of a variant: the port that holds it and its bit.
struct Latch {
  uint16_t port;
  uint8_t mask;
};

// How a poll reads a variant's latches (the table's "rule" column).
enum class PollRule {
  SingleRead,       // one byte; "down" wins; at most one step a poll
  TwoReads,         // "down", then "up" in its own byte; up to two steps a poll
  FilteredReapply,  // one byte, taken only with another bit set; the old frequency is applied again first
};

struct BoardRow {
  uint32_t variant;  // 1, 2, ... in table order
  const char* part;  // the 8 characters of the part number
  uint16_t stepPort;
  uint8_t stepBit;  // set: 1 MHz steps
  Latch down;
  Latch up;
  PollRule rule;
};

#define VEXA_BOARD_ROW(variant, part, stepPort, stepBit, downPort, downMask, upPort, upMask, rule) \
  {variant, part, stepPort, stepBit, {downPort, downMask}, {upPort, upMask}, PollRule::rule},
constexpr BoardRow kBoardTable[] = {VEXA_BOARD_ROWS(VEXA_BOARD_ROW)};
#undef VEXA_BOARD_ROW

constexpr uint32_t kBoardCount = sizeof(kBoardTable) / sizeof(kBoardTable[0]);

// The row of a variant, or nullptr for one the table does not have.
constexpr const BoardRow* BoardRowOf(uint32_t variant) {
  return variant >= 1 && variant <= kBoardCount ? &kBoardTable[variant - 1] : nullptr;
}

// True for a port that holds a latch of any variant.
constexpr bool IsLatchPort(uint32_t port) {
  for (const BoardRow& row : kBoardTable) {
    if (row.down.port == port || row.up.port == port) return true;
  }
  return false;
}

}  // namespace boardsim
