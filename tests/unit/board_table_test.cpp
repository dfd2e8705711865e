// The service's own copies of the board data (board_id's part numbers, button_poll's register maps) held against the test-side board table.
#include <cstring>
#include <string>
#include <vector>

#include "hardware/board_id.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

using boardsim::BoardRow;
using boardsim::Latch;
using boardsim::PollRule;

// The highest bit of a latch byte that holds neither of the row's latches: a
// board of the filtered rule takes a latch only with another bit set.
uint32_t OtherBit(const BoardRow& row) {
  for (uint32_t bit = 0x80; bit != 0; bit >>= 1) {
    if ((bit & (row.down.mask | row.up.mask)) == 0) return bit;
  }
  return 0;
}

std::vector<PortOp> Outs(const std::vector<PortOp>& ops) {
  std::vector<PortOp> outs;
  for (const PortOp& op : ops) {
    if (op.kind == boardsim::OpOut) outs.push_back(op);
  }
  return outs;
}

class BoardTableTest : public SimulatedBoardTest {
 protected:
  // One poll of the row's variant from 100 MHz, with 1 MHz steps selected and
  // the latches set on the board, each with otherBits in its byte: the
  // frequency after it.
  double Poll(const BoardRow& row, const std::vector<Latch>& latches, uint32_t otherBits) {
    Restart();
    SetPort(row.stepPort, row.stepBit);
    for (const Latch& latch : latches) {
      SetPort(latch.port, static_cast<uint32_t>(BoardSim()->ports[latch.port]) | latch.mask | otherBits);
    }
    double frequency = 100.0;
    PollButtons(static_cast<BoardVariant>(row.variant), kNoLimits, frequency);
    return frequency;
  }
};

TEST_F(BoardTableTest, EveryPartNumberIdentifiesItsVariant) {
  for (const BoardRow& row : boardsim::kBoardTable) {
    Restart();
    memcpy(BoardSim()->record + 32, row.part, 8);
    BoardVariant variant = 0;
    EXPECT_TRUE(IdentifyBoard(variant)) << row.part;
    EXPECT_EQ(variant, row.variant) << row.part;
  }
}

// Each latch pressed alone is read, acknowledged and stepped at the table's
// registers: the step-size register read first, its bit giving 1 MHz steps,
// the latch's own port and mask, the button's direction.
TEST_F(BoardTableTest, EachLatchIsTakenAtTheTablesRegisters) {
  for (const BoardRow& row : boardsim::kBoardTable) {
    const bool filtered = row.rule == PollRule::FilteredReapply;
    ASSERT_NE(OtherBit(row), 0u) << row.variant;
    for (const bool up : {false, true}) {
      const Latch latch = up ? row.up : row.down;
      const std::string what = "variant " + std::to_string(row.variant) + (up ? " up" : " down");
      const double frequency = Poll(row, {latch}, filtered ? OtherBit(row) : 0);
      const std::vector<PortOp> ops = PortOpsAfter(boardMark_);
      ASSERT_FALSE(ops.empty()) << what;
      EXPECT_EQ(ops.front(), In(row.stepPort, row.stepBit)) << what;
      EXPECT_EQ(Outs(ops), std::vector<PortOp>{Out(latch.port, latch.mask)}) << what;
      EXPECT_EQ(frequency, up ? 101.0 : 99.0) << what;
      // A board of the filtered rule applies the old frequency again first.
      const uint32_t stepped = up ? 101000000u : 99000000u;
      const std::vector<uint32_t> applied =
          filtered ? std::vector<uint32_t>{100000000u, stepped} : std::vector<uint32_t>{stepped};
      EXPECT_EQ(AppliedHzAfter(clockMark_), applied) << what;
    }
  }
}

// Both latches pressed at once, and a latch alone in its byte: the table's
// rule says how many steps one poll takes.
TEST_F(BoardTableTest, EachVariantPollsByTheTablesRule) {
  for (const BoardRow& row : boardsim::kBoardTable) {
    const std::string what = "variant " + std::to_string(row.variant);
    const bool filtered = row.rule == PollRule::FilteredReapply;
    const double frequency = Poll(row, {row.down, row.up}, filtered ? OtherBit(row) : 0);
    const std::vector<PortOp> outs = Outs(PortOpsAfter(boardMark_));
    if (row.rule == PollRule::TwoReads) {
      EXPECT_EQ(outs, (std::vector<PortOp>{Out(row.down.port, row.down.mask), Out(row.up.port, row.up.mask)}))
          << what << ": both in one poll, down first";
      EXPECT_EQ(frequency, 100.0) << what;
    } else {
      EXPECT_EQ(outs, std::vector<PortOp>{Out(row.down.port, row.down.mask)}) << what << ": down wins";
      EXPECT_EQ(frequency, 99.0) << what;
    }

    Poll(row, {row.down}, 0);
    EXPECT_EQ(Outs(PortOpsAfter(boardMark_)).size(), filtered ? 0u : 1u) << what << ": a latch alone";
  }
}

}  // namespace
