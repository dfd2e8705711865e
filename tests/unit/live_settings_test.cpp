// Live settings, in virtual time: changes under the Parameters key taken between two polls, never inside one; paramchange forcing a read; the service's own writes not taken for a change.
#include <string>
#include <vector>

#include "service/service_worker.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

const std::string kStart = "Current CPU Freq is 100.000\r\n";
const std::string kRefused = "Press ignored: CPU Freq out of range!!\r\n";

std::string Step(const char* mhz) { return std::string("Now Current CPU Freq is ") + mhz + "\r\n"; }

std::string ReadAgain(DWORD minimum, DWORD maximum, int restore) {
  return "Settings read again: MinFrequencyKHz " + std::to_string(minimum) + " MaxFrequencyKHz " +
         std::to_string(maximum) + " RestoreFrequency " + std::to_string(restore) + "\r\n";
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// As installed: the service's key is there, its Parameters key not yet.
class LiveSettingsTest : public ServiceRunTest {
 protected:
  void SetUp() override {
    ServiceRunTest::SetUp();
    CreateServiceKey();
  }
};

// One press up per poll; before it, the administrator's change of that poll.
// Each change is in force for the press of the same poll, with one line.
TEST_F(LiveSettingsTest, ALimitAddedChangedAndRemovedTakesEffectAtTheNextPoll) {
  const std::vector<void (*)()> changes = {
      [] {},
      [] { SetParameterDword("MaxFrequencyKHz", 100100); },  // the key made by this
      [] { SetParameterDword("MaxFrequencyKHz", 100200); },
      [] { DeleteParameter("MaxFrequencyKHz"); },
      [] { SetParameterDword("MinFrequencyKHz", 100300); },
      [] { DeleteParametersKey(); },
  };
  const std::string log = RunPolls(static_cast<int>(changes.size()), [&](int poll) {
    changes[poll - 1]();
    Press(poll == 5 ? 'd' : 'u');
  });
  EXPECT_EQ(log, kStart + Step("100.100") + ReadAgain(0, 100100, 0) + kRefused + ReadAgain(0, 100200, 0) +
                     Step("100.200") + ReadAgain(0, 0, 0) + Step("100.300") + ReadAgain(100300, 0, 0) + kRefused +
                     ReadAgain(0, 0, 0) + Step("100.400"));
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{100100000u, 100199999u, 100299999u, 100399999u}));
}

// A re-read checks as a start does, with the same lines, and never restores.
TEST_F(LiveSettingsTest, AReadAgainGivesTheLinesOfAStartAndNeverRestores) {
  struct Case {
    const char* name;
    void (*change)();
    std::string lines;
  };
  const Case cases[] = {
      {"maximum 0", [] { SetParameterDword("MaxFrequencyKHz", 0); },
       "Setting ignored: MaxFrequencyKHz is 0!!\r\n" + ReadAgain(0, 0, 0)},
      {"minimum of the wrong type", [] { SetParameter("MinFrequencyKHz", REG_SZ, "99", 3); },
       "Setting ignored: MinFrequencyKHz is not a REG_DWORD!!\r\n" + ReadAgain(0, 0, 0)},
      {"inverted",
       [] {
         SetParameterDword("MinFrequencyKHz", 100200);
         SetParameterDword("MaxFrequencyKHz", 100100);
       },
       "Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\r\n" + ReadAgain(0, 0, 0)},
      {"restore 2", [] { SetParameterDword("RestoreFrequency", 2); },
       "Setting ignored: RestoreFrequency is neither 0 nor 1!!\r\n" + ReadAgain(0, 0, 0)},
      {"restore turned on, a frequency remembered", [] { SetParameterDword("RestoreFrequency", 1); },
       ReadAgain(0, 0, 1)},
  };
  for (const Case& c : cases) {
    Fresh();
    CreateServiceKey();
    SetParameterDword("LastFrequencyKHz", 100500);
    const std::string log = RunPolls(1, [&](int) {
      c.change();
      Press('u');
    });
    EXPECT_EQ(log, kStart + c.lines + Step("100.100")) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{100100000u}) << c.name;
  }
}

// A change made while a poll runs (here in the pause after its first step)
// is taken after that poll, so that the poll's second step still follows the
// limits it began with.
TEST_F(LiveSettingsTest, AChangeDuringAPollIsTakenAfterIt) {
  VirtualSleepHook = [count = 0](DWORD ms) mutable {
    if (ms == kStepPauseMs && count == 1) SetParameterDword("MaxFrequencyKHz", 99950);
    if (ms != kPollPeriodMs) return;
    ++count;
    if (count == 1) {
      Press('d');
      Press('u');
    }
    if (count == 2) Press('u');
    if (count == 3) SendControl(SERVICE_CONTROL_STOP);
  };
  RunRegisteredService();
  EXPECT_EQ(ReadLogBytes(), kStart + Step("99.900") + Step("100.000") + ReadAgain(0, 99950, 0) + kRefused);
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
}

// One read each time the key is found changed: a burst within one sleep is
// one read; a change and its undo within one sleep leave nothing to read.
TEST_F(LiveSettingsTest, ABurstOfChangesIsOneRead) {
  struct Case {
    const char* name;
    std::vector<void (*)()> changesBeforePoll;  // before polls 1, 2, ...
    std::string lines;
  };
  const Case cases[] = {
      {"a burst before one poll",
       {[] {
         for (DWORD maximum = 100900; maximum >= 100500; maximum -= 100) SetParameterDword("MaxFrequencyKHz", maximum);
         SetParameterDword("MinFrequencyKHz", 99000);
         SetParameterDword("RestoreFrequency", 0);
       }},
       ReadAgain(99000, 100500, 0)},
      {"one change before each of three polls",
       {[] { SetParameterDword("MaxFrequencyKHz", 100900); }, [] { SetParameterDword("MaxFrequencyKHz", 100800); },
        [] { SetParameterDword("MaxFrequencyKHz", 100700); }},
       ReadAgain(0, 100900, 0) + ReadAgain(0, 100800, 0) + ReadAgain(0, 100700, 0)},
      {"a change undone before the poll",
       {[] {
         SetParameterDword("MaxFrequencyKHz", 100900);
         DeleteParametersKey();
       }},
       ""},
      {"the same value written again", {[] { SetParameterDword("MaxFrequencyKHz", 100900); }, [] {
         SetParameterDword("MaxFrequencyKHz", 100900);
       }},
       ReadAgain(0, 100900, 0)},
  };
  for (const Case& c : cases) {
    Fresh();
    CreateServiceKey();
    const std::string log =
        RunPolls(static_cast<int>(c.changesBeforePoll.size()), [&](int poll) { c.changesBeforePoll[poll - 1](); });
    EXPECT_EQ(log, kStart + c.lines) << c.name;
  }
}

// Every step writes the remembered frequency, and start and stop the in-use
// mark: none of it is taken for a change, and the watch still sees the
// administrator's next one.
TEST_F(LiveSettingsTest, TheServicesOwnWritesAreNotTakenForAChange) {
  SetParameterDword("MaxFrequencyKHz", 101000);
  const int presses = 12;
  const std::string log = RunPolls(presses + 1, [&](int poll) {
    if (poll <= presses) Press(poll % 3 == 0 ? 'd' : 'u');
    if (poll == presses + 1) SetParameterDword("MinFrequencyKHz", 99000);
  });
  EXPECT_EQ(Count(log, "Now Current CPU Freq is "), static_cast<size_t>(presses));
  EXPECT_EQ(Count(log, "Settings read again"), 1u) << log;
  EXPECT_NE(log.find(ReadAgain(99000, 101000, 0)), std::string::npos) << log;
  DWORD remembered = 0;
  EXPECT_TRUE(ParameterDword("LastFrequencyKHz", remembered));
  EXPECT_EQ(remembered, 100400u);
}

// paramchange reads the settings whether or not anything changed, and also
// where nothing could be watched (the service's key missing at start).
TEST_F(LiveSettingsTest, ParamchangeForcesARead) {
  struct Case {
    const char* name;
    bool serviceKeyAtStart;
    void (*beforeStart)();
    void (*change)();
    std::string log;
  };
  const Case cases[] = {
      {"nothing changed", true, [] { SetParameterDword("MaxFrequencyKHz", 0); }, [] {},
       "Setting ignored: MaxFrequencyKHz is 0!!\r\n" + kStart + "Setting ignored: MaxFrequencyKHz is 0!!\r\n" +
           ReadAgain(0, 0, 0) + Step("100.100") + Step("100.200")},
      {"nothing watched", false, [] {}, [] { SetParameterDword("MaxFrequencyKHz", 100050); },
       kStart + Step("100.100") + ReadAgain(0, 100050, 0) + kRefused},
  };
  for (const Case& c : cases) {
    Fresh();
    if (!c.serviceKeyAtStart) RemoveServiceParameters();
    c.beforeStart();
    const bool watched = c.serviceKeyAtStart;
    const std::string log = RunPolls(2, [&](int poll) {
      if (poll == 1) {
        c.change();
        if (watched) {
          EXPECT_EQ(SendControl(SERVICE_CONTROL_PARAMCHANGE), static_cast<DWORD>(NO_ERROR)) << c.name;
        }
      }
      if (poll == 2 && !watched) {
        EXPECT_EQ(SendControl(SERVICE_CONTROL_PARAMCHANGE), static_cast<DWORD>(NO_ERROR)) << c.name;
      }
      Press('u');
    });
    EXPECT_EQ(log, c.log) << c.name;
  }
}

}  // namespace
