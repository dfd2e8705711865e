// Button polling against both simulators, in virtual time: register maps, patterns, steps, refusals.
#include <cmath>
#include <cstdio>

#include <objbase.h>

#include "service/activity_log.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

const char* const kNoLog = "";

std::string StepLine(double mhz) {
  char line[64];
  snprintf(line, sizeof line, "Now Current CPU Freq is %.3f\r\n", mhz);
  return line;
}

uint32_t Hz(double mhz) { return static_cast<uint32_t>(static_cast<int64_t>(mhz * 1000000.0)); }

// What one poll must do, worked out independently of the service's code from
// the boards' register maps.
struct Outcome {
  std::vector<PortOp> ports;
  std::vector<uint32_t> hz;
  std::string log;
  std::vector<DWORD> sleeps;
  double frequency;
};

struct Board {
  uint32_t stepPort, downPort, downMask, upPort, upMask;
};

Board BoardOf(int variant) {
  switch (variant) {
    case 1: return {0x1C0D, 0x1822, 0x10, 0x1822, 0x40};
    case 2: return {0x1C0D, 0x1822, 0x10, 0x1823, 0x10};
    case 3: return {0x050D, 0x043A, 0x10, 0x043A, 0x01};
    default: return {0x1C0D, 0x1822, 0x10, 0x1823, 0x20};
  }
}

Outcome ReferencePoll(int variant, uint32_t stepRegister, uint32_t downByte, uint32_t upByte, double frequency) {
  const Board b = BoardOf(variant);
  Outcome out{{In(b.stepPort, stepRegister)}, {}, "", {}, frequency};
  const double size = (stepRegister & 0x40) ? 1.0 : 0.1;
  auto step = [&](bool up) {
    out.ports.push_back(up ? Out(b.upPort, b.upMask) : Out(b.downPort, b.downMask));
    if (variant == 3) out.hz.push_back(Hz(out.frequency));
    out.frequency = up ? out.frequency + size : out.frequency - size;
    out.hz.push_back(Hz(out.frequency));
    out.log += StepLine(out.frequency);
    out.sleeps.push_back(600);
  };
  out.ports.push_back(In(b.downPort, downByte));
  if (variant == 2 || variant == 4 || variant == 5) {
    if (downByte & b.downMask) step(false);
    out.ports.push_back(In(b.upPort, upByte));
    if (upByte & b.upMask) step(true);
  } else if (variant == 3 && (downByte == 0x10 || downByte == 0x01)) {
    // a latch alone is left for later
  } else if (downByte & b.downMask) {
    step(false);
  } else if (downByte & b.upMask) {
    step(true);
  }
  return out;
}

class ButtonPollTest : public SimulatedBoardTest {
 protected:
  // One poll from frequency, with the board's registers as they are now.
  Outcome PollOnce(int variant, double frequency) {
    Outcome got{{}, {}, "", {}, frequency};
    PollButtons(static_cast<BoardVariant>(variant), got.frequency);
    got.ports = PortOpsAfter(boardMark_);
    got.hz = AppliedHzAfter(clockMark_);
    got.log = ReadLogBytes();
    got.sleeps = VirtualSleeps;
    return got;
  }
};

void ExpectSame(const Outcome& got, const Outcome& want, const std::string& what) {
  EXPECT_EQ(got.ports, want.ports) << what;
  EXPECT_EQ(got.hz, want.hz) << what;
  EXPECT_EQ(got.log, want.log) << what;
  EXPECT_EQ(got.sleeps, want.sleeps) << what;
  EXPECT_EQ(got.frequency, want.frequency) << what;
}

// Every value of the latch port(s), both step sizes, all five variants.
TEST_F(ButtonPollTest, EveryLatchValueMatchesTheReferenceModel) {
  // Fine steps with every other bit set, coarse steps with no other bit.
  const uint32_t stepRegisters[] = {0xBF, 0x40};
  // The thread's apartment stays open across the thousands of polls, so the
  // clock simulator stays loaded instead of being loaded and freed for every
  // step. Whether a clock call leaves COM as it found it is clock_client_test's.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  for (int variant = 1; variant <= 5; ++variant) {
    const Board b = BoardOf(variant);
    const bool twoReads = b.downPort != b.upPort;
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
      for (const auto& bytes : latchBytes) {
        const std::string what = "variant " + std::to_string(variant) + " step " + std::to_string(stepRegister) +
                                 " down " + std::to_string(bytes.first) + " up " + std::to_string(bytes.second);
        // Thousands of cases: only the marks, the log and virtual time start
        // over; every register the poll reads is set anew.
        clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
        boardMark_ = static_cast<uint32_t>(BoardSim()->opCount);
        VirtualSleeps.clear();
        ResetLog();
        SetPort(b.stepPort, stepRegister);
        SetPort(b.downPort, bytes.first);
        SetPort(b.upPort, twoReads ? bytes.second : bytes.first);
        ExpectSame(PollOnce(variant, 100.0), ReferencePoll(variant, stepRegister, bytes.first, bytes.second, 100.0), what);
        if (HasFailure()) {  // one clear report beats thousands
          CoUninitialize();
          return;
        }
      }
    }
  }
  CoUninitialize();
}

TEST_F(ButtonPollTest, AcknowledgingClearsOnlyTheHandledLatch) {
  // Variant 1 reading 0x50: down wins, up waits for the next poll.
  SetPort(0x1822, 0x50);
  double frequency = 100.0;
  PollButtons(1, frequency);
  EXPECT_EQ(PortOpsAfter(boardMark_), (std::vector<PortOp>{In(0x1C0D, 0), In(0x1822, 0x50), Out(0x1822, 0x10)}));
  EXPECT_EQ(BoardSim()->ports[0x1822], 0x40);
  EXPECT_DOUBLE_EQ(frequency, 99.9);

  const uint32_t mark = static_cast<uint32_t>(BoardSim()->opCount);
  PollButtons(1, frequency);
  EXPECT_EQ(PortOpsAfter(mark), (std::vector<PortOp>{In(0x1C0D, 0), In(0x1822, 0x40), Out(0x1822, 0x40)}));
  EXPECT_EQ(BoardSim()->ports[0x1822], 0);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
}

TEST_F(ButtonPollTest, CoarseStepWhenBitSixIsSet) {
  SetPort(0x1C0D, 0x40);
  SetPort(0x1822, 0x40);
  double frequency = 100.0;
  PollButtons(1, frequency);
  EXPECT_EQ(frequency, 101.0);
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{101000000u});
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 101.000\r\n");
}

TEST_F(ButtonPollTest, TwoReadsHandleDownThenUpWithAPauseBetween) {
  SetPort(0x1822, 0x10);
  SetPort(0x1823, 0x10);
  std::vector<std::pair<DWORD, uint32_t>> pauses;  // (ms, board ops made before it)
  VirtualSleepHook = [&](DWORD ms) { pauses.push_back({ms, static_cast<uint32_t>(BoardSim()->opCount)}); };
  double frequency = 100.0;
  PollButtons(2, frequency);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 99.900\r\nNow Current CPU Freq is 100.000\r\n");
  const std::vector<PortOp> ports = PortOpsAfter(boardMark_);
  ASSERT_EQ(ports, (std::vector<PortOp>{In(0x1C0D, 0), In(0x1822, 0x10), Out(0x1822, 0x10), In(0x1823, 0x10),
                                        Out(0x1823, 0x10)}));
  ASSERT_EQ(pauses.size(), 2u);
  EXPECT_EQ(pauses[0].first, 600u);
  // The up latch is read only after the first step's pause.
  EXPECT_EQ(pauses[0].second - boardMark_, 3u);
}

TEST_F(ButtonPollTest, VariantsFourAndFiveIgnoreTheOtherUpBit) {
  for (int variant : {4, 5}) {
    Restart();
    SetPort(0x1823, 0x10);
    double frequency = 100.0;
    PollButtons(static_cast<BoardVariant>(variant), frequency);
    EXPECT_EQ(PortOpsAfter(boardMark_), (std::vector<PortOp>{In(0x1C0D, 0), In(0x1822, 0), In(0x1823, 0x10)}));
    EXPECT_EQ(frequency, 100.0);
    EXPECT_EQ(ReadLogBytes(), kNoLog);
  }
}

TEST_F(ButtonPollTest, VariantThreeActsOnlyWithAnotherBitSet) {
  for (uint32_t alone : {0x10u, 0x01u}) {
    Restart();
    SetPort(0x043A, alone);
    double frequency = 100.0;
    PollButtons(3, frequency);
    EXPECT_EQ(PortOpsAfter(boardMark_), (std::vector<PortOp>{In(0x050D, 0), In(0x043A, alone)})) << alone;
    EXPECT_EQ(BoardSim()->ports[0x043A], static_cast<LONG>(alone)) << "latch stays set";
    EXPECT_TRUE(ClockCallsAfter(clockMark_).empty());
  }

  Restart();
  SetPort(0x043A, 0x11);
  double frequency = 100.0;
  PollButtons(3, frequency);
  EXPECT_EQ(PortOpsAfter(boardMark_), (std::vector<PortOp>{In(0x050D, 0), In(0x043A, 0x11), Out(0x043A, 0x10)}));
  EXPECT_DOUBLE_EQ(frequency, 99.9);
  const uint32_t mark = static_cast<uint32_t>(BoardSim()->opCount);
  PollButtons(3, frequency);  // now reads 0x01 alone: nothing
  EXPECT_EQ(PortOpsAfter(mark), (std::vector<PortOp>{In(0x050D, 0), In(0x043A, 0x01)}));

  Restart();
  SetPort(0x043A, 0x81);
  frequency = 100.0;
  PollButtons(3, frequency);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{100000000u, 100100000u})) << "old, then new";
  EXPECT_EQ(BoardSim()->ports[0x043A], 0x80);
}

TEST_F(ButtonPollTest, TwoUpStepsFromOneHundred) {
  struct Case {
    int variant;
    uint32_t latchPort;
    uint32_t latchByte;
    std::vector<uint32_t> hz;
  };
  const Case cases[] = {
      {1, 0x1822, 0x40, {100100000u, 100199999u}},
      {2, 0x1823, 0x10, {100100000u, 100199999u}},
      {3, 0x043A, 0x81, {100000000u, 100100000u, 100100000u, 100199999u}},
      {4, 0x1823, 0x20, {100100000u, 100199999u}},
      {5, 0x1823, 0x20, {100100000u, 100199999u}},
  };
  for (const Case& c : cases) {
    Restart();
    double frequency = 100.0;
    for (int press = 0; press < 2; ++press) {
      SetPort(c.latchPort, c.latchByte);
      PollButtons(static_cast<BoardVariant>(c.variant), frequency);
    }
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << "variant " << c.variant;
    EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 100.100\r\nNow Current CPU Freq is 100.200\r\n")
        << "variant " << c.variant;
  }
}

TEST_F(ButtonPollTest, FailingControllerStillStepsAndLogs) {
  const std::vector<uint32_t> failOps = {clocksim::OpGetClockCount, clocksim::OpGetClockSettings,
                                         clocksim::OpSetClockSettings};
  for (uint32_t failOp : failOps) {
    Restart();
    ClockSim()->failOp = failOp;
    ClockSim()->failCode = 3;
    SetPort(0x1822, 0x40);
    double frequency = 100.0;
    PollButtons(1, frequency);
    EXPECT_DOUBLE_EQ(frequency, 100.1) << failOp;
    EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 100.100\r\n") << failOp;
    EXPECT_EQ(VirtualSleeps, std::vector<DWORD>{600}) << failOp;
  }
}

TEST_F(ButtonPollTest, UnknownFrequencyIsReadBeforeTheFirstStep) {
  ClockSim()->settings[1][0] = 250000000u;
  SetPort(0x1822, 0x40);
  double frequency = 0.0;
  PollButtons(1, frequency);
  EXPECT_DOUBLE_EQ(frequency, 250.1);
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{250100000u});
  EXPECT_EQ(ReadLogBytes(), "Now Current CPU Freq is 250.100\r\n");
}

TEST_F(ButtonPollTest, RefusedPressesAreAcknowledgedLoggedAndPaused) {
  struct Case {
    const char* name;
    double frequency;
    uint32_t stepRegister;
    uint32_t latchByte;  // variant 2, port 0x1822 (down) or 0x1823 (up)
    bool up;
    bool clockReadFails;
    const char* line;
  };
  const Case cases[] = {
      {"unknown and unreadable", 0.0, 0x00, 0x10, true, true, "Press ignored: CPU Freq unknown!!\r\n"},
      {"unknown, negative", -3.0, 0x00, 0x10, false, true, "Press ignored: CPU Freq unknown!!\r\n"},
      {"down to zero", 0.1, 0x00, 0x10, false, false, "Press ignored: CPU Freq out of range!!\r\n"},
      {"down below zero", 0.5, 0x40, 0x10, false, false, "Press ignored: CPU Freq out of range!!\r\n"},
      {"up past 32-bit Hz", 4294.5, 0x40, 0x10, true, false, "Press ignored: CPU Freq out of range!!\r\n"},
  };
  for (const Case& c : cases) {
    Restart();
    if (c.clockReadFails) ClockSim()->failOp = clocksim::OpGetClockSettings;
    ClockSim()->failCode = 1;
    const uint32_t latchPort = c.up ? 0x1823 : 0x1822;
    SetPort(0x1C0D, c.stepRegister);
    SetPort(latchPort, c.latchByte);
    double frequency = c.frequency;
    PollButtons(2, frequency);
    EXPECT_EQ(frequency, c.frequency) << c.name;
    EXPECT_EQ(BoardSim()->ports[latchPort], 0) << c.name << ": acknowledged";
    EXPECT_TRUE(AppliedHzAfter(clockMark_).empty()) << c.name;
    EXPECT_EQ(ReadLogBytes(), c.line) << c.name;
    EXPECT_EQ(VirtualSleeps, std::vector<DWORD>{600}) << c.name;
  }
}

TEST_F(ButtonPollTest, UnknownVariantTouchesNothing) {
  SetPort(0x1822, 0xFF);
  SetPort(0x1823, 0xFF);
  SetPort(0x043A, 0xFF);
  for (int variant : {0, 6, 255}) {
    double frequency = 100.0;
    PollButtons(static_cast<BoardVariant>(variant), frequency);
    EXPECT_EQ(frequency, 100.0);
  }
  EXPECT_TRUE(BoardOpsAfter(boardMark_).empty());
  EXPECT_TRUE(ClockCallsAfter(clockMark_).empty());
}

}  // namespace
