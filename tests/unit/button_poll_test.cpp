// Button polling against both simulators, in virtual time: register maps, patterns, steps, refusals.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <objbase.h>

#include "tuning/activity_log.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

using boardsim::BoardRow;
using boardsim::PollRule;

const char* const kNoLog = "";
// A bit of a latch byte that is no latch of variant 3, which acts on its
// latches only with another bit of their byte set.
const uint32_t kOtherBit = 0x80;

std::string StepLine(double mhz) {
  char line[64];
  snprintf(line, sizeof line, "Now Current CPU Freq is %.3f\r\n", mhz);
  return line;
}

uint32_t Hz(double mhz) { return static_cast<uint32_t>(static_cast<int64_t>(mhz * 1000000.0)); }

// What one poll must do, worked out independently of the service's code from
// the boards' register maps in the board table.
struct Outcome {
  std::vector<PortOp> ports;
  std::vector<uint32_t> hz;
  std::string log;
  std::vector<DWORD> sleeps;
  double frequency;
};

Outcome ReferencePoll(int variant, uint32_t stepRegister, uint32_t downByte, uint32_t upByte, double frequency) {
  const BoardRow& b = TableRow(static_cast<uint32_t>(variant));
  Outcome out{{In(b.stepPort, stepRegister)}, {}, "", {}, frequency};
  const double size = (stepRegister & b.stepBit) ? 1.0 : 0.1;
  auto step = [&](bool up) {
    out.ports.push_back(up ? Out(b.up.port, b.up.mask) : Out(b.down.port, b.down.mask));
    if (b.rule == PollRule::FilteredReapply) out.hz.push_back(Hz(out.frequency));
    out.frequency = up ? out.frequency + size : out.frequency - size;
    out.hz.push_back(Hz(out.frequency));
    out.log += StepLine(out.frequency);
    out.sleeps.push_back(600);
  };
  out.ports.push_back(In(b.down.port, downByte));
  if (b.rule == PollRule::TwoReads) {
    if (downByte & b.down.mask) step(false);
    out.ports.push_back(In(b.up.port, upByte));
    if (upByte & b.up.mask) step(true);
  } else if (b.rule == PollRule::FilteredReapply && (downByte == b.down.mask || downByte == b.up.mask)) {
    // a latch alone is left for later
  } else if (downByte & b.down.mask) {
    step(false);
  } else if (downByte & b.up.mask) {
    step(true);
  }
  return out;
}

class ButtonPollTest : public SimulatedBoardTest {
 protected:
  // One poll from frequency, with the board's registers as they are now. Its
  // log lines are not read here: the sweep reads the log once per step size.
  Outcome PollOnce(int variant, double frequency) {
    Outcome got{{}, {}, "", {}, frequency};
    PollButtons(static_cast<BoardVariant>(variant), kNoLimits, got.frequency);
    got.ports = PortOpsAfter(boardMark_);
    got.hz = AppliedHzAfter(clockMark_);
    got.sleeps = VirtualSleeps;
    return got;
  }
};

// All but the log lines, which the sweep checks once per step size.
void ExpectSame(const Outcome& got, const Outcome& want, const std::string& what) {
  EXPECT_EQ(got.ports, want.ports) << what;
  EXPECT_EQ(got.hz, want.hz) << what;
  EXPECT_EQ(got.sleeps, want.sleeps) << what;
  EXPECT_EQ(got.frequency, want.frequency) << what;
}

// Every value of the latch port(s), both step sizes, every variant of the board table.
TEST_F(ButtonPollTest, EveryLatchValueMatchesTheReferenceModel) {
  // The thread's apartment stays open across the thousands of polls, so the
  // clock simulator stays loaded instead of being loaded and freed for every
  // step. Whether a clock call leaves COM as it found it is clock_client_test's.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  for (const BoardRow& b : boardsim::kBoardTable) {
    const int variant = static_cast<int>(b.variant);
    const bool twoReads = b.down.port != b.up.port;
    // Fine steps with every other bit set, coarse steps with no other bit.
    const uint32_t stepRegisters[] = {0xFFu & ~uint32_t{b.stepBit}, b.stepBit};
    std::vector<std::pair<uint32_t, uint32_t>> latchBytes;
    for (uint32_t value = 0; value < 256; ++value) {
      latchBytes.push_back({value, 0x00});
      if (twoReads) {
        latchBytes.push_back({value, 0xFF});
        latchBytes.push_back({0x00, value});
        latchBytes.push_back({0xFF, value});
      }
    }
    for (uint32_t stepRegister : stepRegisters) {
      // The log is read back once per step size, not after every poll: each
      // poll's lines are checked by length at once, and by content here, where
      // a difference names the first poll whose lines differ. (Under emulation
      // the file calls of a read cost about as much as the poll.)
      ResetLog();
      std::string wantLog;
      std::vector<std::pair<size_t, std::string>> logEnds;  // (length of the log after the poll, the poll)
      for (const auto& bytes : latchBytes) {
        const std::string what = "variant " + std::to_string(variant) + " step " + std::to_string(stepRegister) +
                                 " down " + std::to_string(bytes.first) + " up " + std::to_string(bytes.second);
        // Thousands of cases: only the marks and virtual time start over;
        // every register the poll reads is set anew.
        clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
        boardMark_ = static_cast<uint32_t>(BoardSim()->opCount);
        VirtualSleeps.clear();
        SetPort(b.stepPort, stepRegister);
        SetPort(b.down.port, bytes.first);
        SetPort(b.up.port, twoReads ? bytes.second : bytes.first);
        const Outcome want = ReferencePoll(variant, stepRegister, bytes.first, bytes.second, 100.0);
        wantLog += want.log;
        logEnds.push_back({wantLog.size(), what});
        ExpectSame(PollOnce(variant, 100.0), want, what);
        EXPECT_EQ(LogFileSize(), wantLog.size()) << what << ": bytes in the log after this poll";
        if (HasFailure()) {  // one clear report beats thousands
          CoUninitialize();
          return;
        }
      }
      const std::string gotLog = ReadLogBytes();
      if (gotLog != wantLog) {
        bool named = false;
        size_t begin = 0;
        for (const auto& end : logEnds) {
          const size_t length = end.first - begin;
          if (gotLog.size() < end.first || gotLog.compare(begin, length, wantLog, begin, length) != 0) {
            ADD_FAILURE() << end.second << ": logged \"" << gotLog.substr(std::min(begin, gotLog.size()), length)
                          << "\", want \"" << wantLog.substr(begin, length) << "\"";
            named = true;
            break;
          }
          begin = end.first;
        }
        // Bytes beyond the last poll's lines: no poll to name.
        if (!named) ADD_FAILURE() << "log read back: " << gotLog.size() << " bytes, want " << wantLog.size();
        CoUninitialize();
        return;
      }
    }
  }
  CoUninitialize();
}

TEST_F(ButtonPollTest, AcknowledgingClearsOnlyTheHandledLatch) {
  // Variant 1 reading both its latches in its one byte: down wins, up waits for the next poll.
  const BoardRow& v1 = TableRow(1);
  ASSERT_EQ(v1.down.port, v1.up.port);
  const uint32_t port = v1.down.port;
  const uint32_t both = v1.down.mask | v1.up.mask;
  SetPort(port, both);
  double frequency = 100.0;
  PollButtons(1, kNoLimits, frequency);
  EXPECT_EQ(PortOpsAfter(boardMark_),
            (std::vector<PortOp>{In(v1.stepPort, 0), In(port, both), Out(port, v1.down.mask)}));
  EXPECT_EQ(BoardSim()->ports[port], v1.up.mask);
  EXPECT_DOUBLE_EQ(frequency, 99.9);

  const uint32_t mark = static_cast<uint32_t>(BoardSim()->opCount);
  PollButtons(1, kNoLimits, frequency);
  EXPECT_EQ(PortOpsAfter(mark),
            (std::vector<PortOp>{In(v1.stepPort, 0), In(port, v1.up.mask), Out(port, v1.up.mask)}));
  EXPECT_EQ(BoardSim()->ports[port], 0);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
}

TEST_F(ButtonPollTest, CoarseStepWhenTheStepBitIsSet) {
  const BoardRow& v1 = TableRow(1);
  SetPort(v1.stepPort, v1.stepBit);
  SetPort(v1.up.port, v1.up.mask);
  double frequency = 100.0;
  PollButtons(1, kNoLimits, frequency);
  EXPECT_EQ(frequency, 101.0);
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{101000000u});
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 101.000\r\n");
}

TEST_F(ButtonPollTest, TwoReadsHandleDownThenUpWithAPauseBetween) {
  const BoardRow& v2 = TableRow(2);
  SetPort(v2.down.port, v2.down.mask);
  SetPort(v2.up.port, v2.up.mask);
  std::vector<std::pair<DWORD, uint32_t>> pauses;  // (ms, board ops made before it)
  VirtualSleepHook = [&](DWORD ms) { pauses.push_back({ms, static_cast<uint32_t>(BoardSim()->opCount)}); };
  double frequency = 100.0;
  PollButtons(2, kNoLimits, frequency);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 99.900\r\nNow Current CPU Freq is 100.000\r\n");
  const std::vector<PortOp> ports = PortOpsAfter(boardMark_);
  ASSERT_EQ(ports, (std::vector<PortOp>{In(v2.stepPort, 0), In(v2.down.port, v2.down.mask),
                                        Out(v2.down.port, v2.down.mask), In(v2.up.port, v2.up.mask),
                                        Out(v2.up.port, v2.up.mask)}));
  ASSERT_EQ(pauses.size(), 2u);
  EXPECT_EQ(pauses[0].first, 600u);
  // The up latch is read only after the first step's pause.
  EXPECT_EQ(pauses[0].second - boardMark_, 3u);
}

TEST_F(ButtonPollTest, VariantsFourAndFiveIgnoreTheOtherUpBit) {
  // Variant 2's "up" latch shares its port with theirs.
  const boardsim::Latch other = TableRow(2).up;
  for (int variant : {4, 5}) {
    const BoardRow& row = TableRow(static_cast<uint32_t>(variant));
    ASSERT_EQ(row.up.port, other.port) << variant;
    ASSERT_NE(row.up.mask, other.mask) << variant;
    Restart();
    SetPort(other.port, other.mask);
    double frequency = 100.0;
    PollButtons(static_cast<BoardVariant>(variant), kNoLimits, frequency);
    EXPECT_EQ(PortOpsAfter(boardMark_),
              (std::vector<PortOp>{In(row.stepPort, 0), In(row.down.port, 0), In(row.up.port, other.mask)}));
    EXPECT_EQ(frequency, 100.0);
    EXPECT_EQ(ReadLogBytes(), kNoLog);
  }
}

TEST_F(ButtonPollTest, VariantThreeActsOnlyWithAnotherBitSet) {
  const BoardRow& v3 = TableRow(3);
  ASSERT_EQ(v3.down.port, v3.up.port);
  ASSERT_EQ(kOtherBit & (v3.down.mask | v3.up.mask), 0u);
  const uint32_t port = v3.down.port;
  for (uint32_t alone : {uint32_t{v3.down.mask}, uint32_t{v3.up.mask}}) {
    Restart();
    SetPort(port, alone);
    double frequency = 100.0;
    PollButtons(3, kNoLimits, frequency);
    EXPECT_EQ(PortOpsAfter(boardMark_), (std::vector<PortOp>{In(v3.stepPort, 0), In(port, alone)})) << alone;
    EXPECT_EQ(BoardSim()->ports[port], static_cast<LONG>(alone)) << "latch stays set";
    EXPECT_TRUE(ClockCallsAfter(clockMark_).empty());
  }

  Restart();
  const uint32_t both = v3.down.mask | v3.up.mask;
  SetPort(port, both);
  double frequency = 100.0;
  PollButtons(3, kNoLimits, frequency);
  EXPECT_EQ(PortOpsAfter(boardMark_),
            (std::vector<PortOp>{In(v3.stepPort, 0), In(port, both), Out(port, v3.down.mask)}));
  EXPECT_DOUBLE_EQ(frequency, 99.9);
  const uint32_t mark = static_cast<uint32_t>(BoardSim()->opCount);
  PollButtons(3, kNoLimits, frequency);  // now reads the "up" latch alone: nothing
  EXPECT_EQ(PortOpsAfter(mark), (std::vector<PortOp>{In(v3.stepPort, 0), In(port, v3.up.mask)}));

  Restart();
  SetPort(port, kOtherBit | v3.up.mask);
  frequency = 100.0;
  PollButtons(3, kNoLimits, frequency);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{100000000u, 100100000u})) << "old, then new";
  EXPECT_EQ(BoardSim()->ports[port], static_cast<LONG>(kOtherBit));
}

TEST_F(ButtonPollTest, TwoUpStepsFromOneHundred) {
  // The Hz sent: 100.2 MHz lands 1 Hz under; a board that applies the old
  // frequency again sends it before each step.
  const std::vector<uint32_t> plain = {100100000u, 100199999u};
  const std::vector<uint32_t> reapplied = {100000000u, 100100000u, 100100000u, 100199999u};
  for (const BoardRow& row : boardsim::kBoardTable) {
    const bool filtered = row.rule == PollRule::FilteredReapply;
    Restart();
    double frequency = 100.0;
    for (int press = 0; press < 2; ++press) {
      SetPort(row.up.port, row.up.mask | (filtered ? kOtherBit : 0u));
      PollButtons(static_cast<BoardVariant>(row.variant), kNoLimits, frequency);
    }
    EXPECT_EQ(AppliedHzAfter(clockMark_), filtered ? reapplied : plain) << "variant " << row.variant;
    EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 100.100\r\nNow Current CPU Freq is 100.200\r\n")
        << "variant " << row.variant;
  }
}

TEST_F(ButtonPollTest, FailingControllerStillStepsAndLogs) {
  const std::vector<uint32_t> failOps = {clocksim::OpGetClockCount, clocksim::OpGetClockSettings,
                                         clocksim::OpSetClockSettings};
  for (uint32_t failOp : failOps) {
    Restart();
    ClockSim()->failOp = failOp;
    ClockSim()->failCode = 3;
    SetPort(TableRow(1).up.port, TableRow(1).up.mask);
    double frequency = 100.0;
    PollButtons(1, kNoLimits, frequency);
    EXPECT_DOUBLE_EQ(frequency, 100.1) << failOp;
    EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 100.100\r\n") << failOp;
    EXPECT_EQ(VirtualSleeps, std::vector<DWORD>{600}) << failOp;
  }
}

TEST_F(ButtonPollTest, UnknownFrequencyIsReadBeforeTheFirstStep) {
  ClockSim()->settings[1][0] = 250000000u;
  SetPort(TableRow(1).up.port, TableRow(1).up.mask);
  double frequency = 0.0;
  PollButtons(1, kNoLimits, frequency);
  EXPECT_DOUBLE_EQ(frequency, 250.1);
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{250100000u});
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 250.100\r\n");
}

TEST_F(ButtonPollTest, RefusedPressesAreAcknowledgedLoggedAndPaused) {
  struct Case {
    const char* name;
    double frequency;
    bool coarse;  // the step bit set
    bool up;      // variant 2's "up" latch, else its "down" latch
    bool clockReadFails;
    const char* line;
  };
  const Case cases[] = {
      {"unknown and unreadable", 0.0, false, true, true, "Press ignored: CPU Freq unknown!!\r\n"},
      {"unknown, negative", -3.0, false, false, true, "Press ignored: CPU Freq unknown!!\r\n"},
      {"down to zero", 0.1, false, false, false, "Press ignored: CPU Freq out of range!!\r\n"},
      {"down below zero", 0.5, true, false, false, "Press ignored: CPU Freq out of range!!\r\n"},
      {"up past 32-bit Hz", 4294.5, true, true, false, "Press ignored: CPU Freq out of range!!\r\n"},
  };
  const BoardRow& v2 = TableRow(2);
  for (const Case& c : cases) {
    Restart();
    if (c.clockReadFails) ClockSim()->failOp = clocksim::OpGetClockSettings;
    ClockSim()->failCode = 1;
    const boardsim::Latch latch = c.up ? v2.up : v2.down;
    SetPort(v2.stepPort, c.coarse ? v2.stepBit : 0u);
    SetPort(latch.port, latch.mask);
    double frequency = c.frequency;
    PollButtons(2, kNoLimits, frequency);
    EXPECT_EQ(frequency, c.frequency) << c.name;
    EXPECT_EQ(BoardSim()->ports[latch.port], 0) << c.name << ": acknowledged";
    EXPECT_TRUE(AppliedHzAfter(clockMark_).empty()) << c.name;
    EXPECT_EQ(ReadLogBytes(), c.line) << c.name;
    EXPECT_EQ(VirtualSleeps, std::vector<DWORD>{600}) << c.name;
  }
}

TEST_F(ButtonPollTest, UnknownVariantTouchesNothing) {
  for (const BoardRow& row : boardsim::kBoardTable) {
    SetPort(row.down.port, 0xFF);
    SetPort(row.up.port, 0xFF);
  }
  for (int variant : {0, static_cast<int>(boardsim::kBoardCount) + 1, 255}) {
    double frequency = 100.0;
    PollButtons(static_cast<BoardVariant>(variant), kNoLimits, frequency);
    EXPECT_EQ(frequency, 100.0);
  }
  EXPECT_TRUE(BoardOpsAfter(boardMark_).empty());
  EXPECT_TRUE(ClockCallsAfter(clockMark_).empty());
}

}  // namespace
