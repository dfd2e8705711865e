// Clock controller client against the clock controller simulator: conversions, clock choice, failures.
#include <objbase.h>

#include <cmath>
#include <limits>

#include "test_support.h"
#include "tuning/clock_client.h"

namespace {

class ClockClientTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ClockSim(), nullptr);
    clocksim::Reset(ClockSim());
    mark_ = static_cast<uint32_t>(ClockSim()->callCount);
  }

  // Clocks 0..count-1 of the given kinds, all masked in, each at its own Hz.
  static void SetClocks(const std::vector<uint8_t>& kinds) {
    clocksim::State* sim = ClockSim();
    sim->clockCount = static_cast<uint32_t>(kinds.size());
    sim->mask = kinds.size() >= 32 ? 0xFFFFFFFFu : (1u << kinds.size()) - 1;
    for (size_t i = 0; i < kinds.size(); ++i) {
      sim->kind[i] = kinds[i];
      sim->settings[i][0] = static_cast<uint32_t>(1000000 * (i + 1));
    }
  }

  std::vector<uint32_t> DescribedIndices() const {
    std::vector<uint32_t> indices;
    for (const clocksim::Call& call : ClockCallsAfter(mark_)) {
      if (call.op == clocksim::OpGetClockDescriptor) indices.push_back(call.index);
    }
    return indices;
  }

  uint32_t SettingsIndexRead() const {
    for (const clocksim::Call& call : ClockCallsAfter(mark_)) {
      if (call.op == clocksim::OpGetClockSettings) return call.index;
    }
    return 0xFFFFFFFFu;
  }

  // True when the calling thread's COM was left uninitialised.
  static bool ComReleased() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr == S_OK;
  }

  uint32_t mark_ = 0;
};

TEST_F(ClockClientTest, ReadConvertsUnsignedHzToMHz) {
  struct Case {
    uint32_t hz;
    double mhz;
  };
  const Case cases[] = {
      {100000000u, 100.0},
      {3000000000u, 3000.0},  // above 2^31: stays positive
      {4294967295u, 4294.967295},
      {1u, 0.000001},
  };
  for (const Case& c : cases) {
    ClockSim()->settings[1][0] = c.hz;
    double frequency = -7.0;
    EXPECT_TRUE(AccessCpuClock(frequency, ClockRead)) << c.hz;
    EXPECT_DOUBLE_EQ(frequency, c.mhz) << c.hz;
  }
  EXPECT_TRUE(AppliedHzAfter(mark_).empty()) << "a read never sends settings";
  EXPECT_EQ(ClockSim()->liveInstances, 0);
}

TEST_F(ClockClientTest, ApplyTruncatesToHzAndKeepsTrailingWords) {
  struct Case {
    double mhz;
    uint32_t hz;
  };
  const Case cases[] = {
      {100.1, 100100000u},
      {100.0 + 0.1 + 0.1, 100199999u},  // 100.19999999999999: truncated, not rounded
      {3000.0, 3000000000u},
      {99.9, 99900000u},
      {4294.967295, 4294967295u},
  };
  for (const Case& c : cases) {
    const uint32_t before = static_cast<uint32_t>(ClockSim()->callCount);
    double frequency = c.mhz;
    EXPECT_TRUE(AccessCpuClock(frequency, ClockApply)) << c.mhz;
    EXPECT_EQ(frequency, c.mhz) << "apply leaves the caller's value alone";
    std::vector<clocksim::Call> sets;
    for (const clocksim::Call& call : ClockCallsAfter(before)) {
      if (call.op == clocksim::OpSetClockSettings) sets.push_back(call);
    }
    ASSERT_EQ(sets.size(), 1u) << c.mhz;
    const clocksim::Call& set = sets[0];
    EXPECT_EQ(set.index, 1u);
    EXPECT_EQ(set.settings[0], c.hz) << c.mhz;
    EXPECT_EQ(set.settings[1], 0xA1u);
    EXPECT_EQ(set.settings[2], 0xB2u);
    EXPECT_EQ(set.settings[3], 0xC3u);
  }
  EXPECT_EQ(ClockSim()->liveInstances, 0);
}

TEST_F(ClockClientTest, CallsTheControllerInContractOrder) {
  double frequency = 250.5;
  ASSERT_TRUE(AccessCpuClock(frequency, ClockApply));
  std::vector<uint32_t> ops;
  for (const clocksim::Call& call : ClockCallsAfter(mark_)) {
    ops.push_back(call.op);
    if (call.op == clocksim::OpGetClockMask) {
      EXPECT_EQ(call.arg, 0u);
    }
  }
  const std::vector<uint32_t> expected = {
      clocksim::OpCreate,           clocksim::OpGetClockCount,    clocksim::OpGetClockMask,
      clocksim::OpGetClockDescriptor, clocksim::OpGetClockDescriptor, clocksim::OpGetClockSettings,
      clocksim::OpSetClockSettings, clocksim::OpRelease};
  EXPECT_EQ(ops, expected);
}

TEST_F(ClockClientTest, ChoosesLowestMaskedClockOfKindOne) {
  struct Case {
    const char* name;
    std::vector<uint8_t> kinds;
    uint32_t mask;
    uint32_t failingDescriptor;  // clock index whose descriptor reports an error
    bool found;
    uint32_t chosen;
    std::vector<uint32_t> described;
  };
  const Case cases[] = {
      {"two of kind 1: lower wins", {2, 1, 1}, 0x7, clocksim::kAnyIndex, true, 1, {0, 1}},
      {"unmasked kind 1 skipped", {1, 3, 1}, 0x6, clocksim::kAnyIndex, true, 2, {1, 2}},
      {"descriptor error moves on", {2, 1, 0, 1}, 0xF, 1, true, 3, {0, 1, 2, 3}},
      {"descriptor error on the only kind 1", {1, 2}, 0x3, 0, false, 0, {0, 1}},
      {"mask bits at or above the count unexamined", {2, 2}, 0xC, clocksim::kAnyIndex, false, 0, {}},
      {"no kind 1 among masked", {2, 3, 0}, 0x7, clocksim::kAnyIndex, false, 0, {0, 1, 2}},
      {"count 0: no descriptor asked", {}, 0xFFFFFFFF, clocksim::kAnyIndex, false, 0, {}},
  };
  for (const Case& c : cases) {
    SetUp();
    SetClocks(c.kinds);
    ClockSim()->mask = c.mask;
    if (c.failingDescriptor != clocksim::kAnyIndex) {
      ClockSim()->failOp = clocksim::OpGetClockDescriptor;
      ClockSim()->failCode = 4;
      ClockSim()->failIndex = c.failingDescriptor;
    }
    double frequency = 0.0;
    EXPECT_EQ(AccessCpuClock(frequency, ClockRead), c.found) << c.name;
    EXPECT_EQ(DescribedIndices(), c.described) << c.name;
    if (c.found) {
      EXPECT_EQ(SettingsIndexRead(), c.chosen) << c.name;
      EXPECT_DOUBLE_EQ(frequency, static_cast<double>(c.chosen + 1)) << c.name;
    }
    EXPECT_EQ(ClockSim()->liveInstances, 0) << c.name;
  }
}

TEST_F(ClockClientTest, IndicesWithoutMaskBitAreNeverExamined) {
  std::vector<uint8_t> kinds(40, 2);
  kinds[35] = 1;  // only beyond the 32-bit mask
  SetClocks(kinds);
  double frequency = 0.0;
  EXPECT_FALSE(AccessCpuClock(frequency, ClockRead));
  const std::vector<uint32_t> described = DescribedIndices();
  ASSERT_EQ(described.size(), 32u);
  EXPECT_EQ(described.back(), 31u);

  kinds[31] = 1;
  SetClocks(kinds);
  EXPECT_TRUE(AccessCpuClock(frequency, ClockRead));
  EXPECT_DOUBLE_EQ(frequency, 32.0);
}

TEST_F(ClockClientTest, EveryFailureReturnsFalseAndReleasesEverything) {
  struct Case {
    const char* name;
    uint32_t failOp;
    int32_t createResult;
    std::vector<uint8_t> kinds;
  };
  const Case cases[] = {
      {"clock count fails", clocksim::OpGetClockCount, S_OK, {2, 1}},
      {"clock mask fails", clocksim::OpGetClockMask, S_OK, {2, 1}},
      {"every descriptor fails", clocksim::OpGetClockDescriptor, S_OK, {2, 1}},
      {"settings read fails", clocksim::OpGetClockSettings, S_OK, {2, 1}},
      {"creation fails", 0, static_cast<int32_t>(E_FAIL), {2, 1}},
      {"creation refused", 0, static_cast<int32_t>(CLASS_E_CLASSNOTAVAILABLE), {2, 1}},
      {"no clock of kind 1", 0, S_OK, {2, 3}},
      {"no clocks", 0, S_OK, {}},
  };
  for (const Case& c : cases) {
    for (ClockMode mode : {ClockRead, ClockApply, ClockApplyChecked}) {
      SetUp();
      SetClocks(c.kinds);
      ClockSim()->failOp = c.failOp;
      ClockSim()->failCode = 0x57;
      ClockSim()->createResult = c.createResult;
      double frequency = 123.25;
      EXPECT_FALSE(AccessCpuClock(frequency, mode)) << c.name << " mode " << mode;
      EXPECT_EQ(frequency, 123.25) << c.name;
      EXPECT_TRUE(AppliedHzAfter(mark_).empty()) << c.name;
      EXPECT_EQ(ClockSim()->liveInstances, 0) << c.name;
      EXPECT_TRUE(ComReleased()) << c.name;
    }
  }
}

TEST_F(ClockClientTest, SetSettingsErrorIsNotAFailure) {
  ClockSim()->failOp = clocksim::OpSetClockSettings;
  ClockSim()->failCode = 9;
  double frequency = 200.0;
  EXPECT_TRUE(AccessCpuClock(frequency, ClockApply));
  EXPECT_EQ(AppliedHzAfter(mark_), std::vector<uint32_t>{200000000u});
  EXPECT_EQ(ClockSim()->liveInstances, 0);
}

// The checked apply sends the same value in the same calls, and fails only
// on the controller's error for the new settings.
TEST_F(ClockClientTest, CheckedApplyFailsOnlyOnASetSettingsError) {
  for (uint32_t failCode : {0u, 9u}) {
    SetUp();
    ClockSim()->failOp = clocksim::OpSetClockSettings;
    ClockSim()->failCode = failCode;
    double frequency = 200.1;
    EXPECT_EQ(AccessCpuClock(frequency, ClockApplyChecked), failCode == 0) << failCode;
    EXPECT_EQ(frequency, 200.1) << failCode;
    EXPECT_EQ(AppliedHzAfter(mark_), std::vector<uint32_t>{200100000u}) << failCode;
    EXPECT_EQ(ClockSim()->settings[1][1], 0xA1u) << failCode;
    EXPECT_EQ(ClockSim()->liveInstances, 0) << failCode;
    EXPECT_TRUE(ComReleased()) << failCode;
  }
}

TEST_F(ClockClientTest, UnregisteredControllerFails) {
  ASSERT_TRUE(RegisterClockSimulator(false));
  double frequency = 55.0;
  const bool read = AccessCpuClock(frequency, ClockRead);
  const bool applied = AccessCpuClock(frequency, ClockApply);
  ASSERT_TRUE(RegisterClockSimulator(true));
  EXPECT_FALSE(read);
  EXPECT_FALSE(applied);
  EXPECT_EQ(frequency, 55.0);
  EXPECT_EQ(static_cast<uint32_t>(ClockSim()->callCount), mark_) << "no instance was made";
  EXPECT_TRUE(ComReleased());
}

TEST_F(ClockClientTest, ApplyNeverSendsAValueOutsideTheControllersRange) {
  const double refused[] = {
      0.0, -0.1, 0.0000009, 4294.967296, 5000.0,
      std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity()};
  for (double mhz : refused) {
    double frequency = mhz;
    EXPECT_FALSE(AccessCpuClock(frequency, ClockApply)) << mhz;
    EXPECT_FALSE(AccessCpuClock(frequency, ClockApplyChecked)) << mhz;
    EXPECT_FALSE(FrequencyFitsClock(mhz)) << mhz;
  }
  EXPECT_EQ(static_cast<uint32_t>(ClockSim()->callCount), mark_) << "nothing reached the controller";
  EXPECT_TRUE(FrequencyFitsClock(0.000001));
  EXPECT_TRUE(FrequencyFitsClock(4294.967295));
}

}  // namespace
