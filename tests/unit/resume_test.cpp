// Resume from sleep or hibernation, driven through the control handler in virtual time: the clock back at its default, the frequency restored or read again, one action per wake.
#include <string>
#include <vector>

#include "service/service_worker.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

const std::string kStart = "Current CPU Freq is 100.000\r\n";

std::string Step(const char* mhz) { return std::string("Now Current CPU Freq is ") + mhz + "\r\n"; }
std::string Resumed(const char* mhz) { return std::string("Resumed: Current CPU Freq is ") + mhz + "\r\n"; }

// The wake: the clock generator is back at its power-on frequency (100 MHz)
// and Windows sends the resume event.
void Wake(DWORD event = PBT_APMRESUMEAUTOMATIC) {
  clocksim::LoseSettings(ClockSim());
  EXPECT_EQ(SendControl(SERVICE_CONTROL_POWEREVENT, event), static_cast<DWORD>(NO_ERROR));
}

class ResumeTest : public ServiceRunTest {};

// Two presses up (100.2 MHz), a sleep that loses the clock's setting, a press
// latched during the sleep, taken after the wake. Without a resume event (as
// before the service heard of resumes) that press jumps the clock from its
// default to 100.3 at once; with one, the service first puts 100.2 back
// (restore on) or goes on from the 100.0 it reads (restore off).
TEST_F(ResumeTest, AWakePutsTheFrequencyBackOrReadsTheClockBeforeThePressLatchedAcrossIt) {
  struct Case {
    const char* name;
    bool restore;
    bool resumeHeard;
    std::string afterWake;
    std::vector<uint32_t> hz;
  };
  const Case cases[] = {
      {"no resume heard: the press jumps from the default", false, false, Step("100.300"),
       {100100000u, 100199999u, 100299999u}},
      {"restore on: the frequency in use put back, then the press", true, true,
       Resumed("100.000") + Step("100.200") + Step("100.300"), {100100000u, 100199999u, 100199999u, 100299999u}},
      {"restore off: the press steps from what the clock runs at", false, true,
       Resumed("100.000") + Step("100.100"), {100100000u, 100199999u, 100100000u}},
  };
  for (const Case& c : cases) {
    Fresh();
    if (c.restore) SetParameterDword("RestoreFrequency", 1);
    const std::string log = RunPolls(3, [&](int poll) {
      Press('u');
      if (poll == 3) {
        if (c.resumeHeard) {
          Wake();
        } else {
          clocksim::LoseSettings(ClockSim());
        }
      }
    });
    const std::string restoreSkipped = c.restore ? "Restore skipped: no remembered CPU Freq!!\r\n" : "";
    EXPECT_EQ(log, kStart + restoreSkipped + Step("100.100") + Step("100.200") + c.afterWake) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
    EXPECT_EQ(boardsim::PendingLatches(BoardSim()), 0) << c.name << ": every press taken";
  }
}

// Windows sends PBT_APMRESUMEAUTOMATIC at every wake and PBT_APMRESUMESUSPEND
// too when a user woke the machine: one action per wake, whether the worker
// acts between the two events or not; the same event twice is two wakes.
TEST_F(ResumeTest, OneActionPerWakeWhenBothResumeEventsArrive) {
  const DWORD kSuspend = PBT_APMSUSPEND;
  const DWORD kAuto = PBT_APMRESUMEAUTOMATIC;
  const DWORD kUser = PBT_APMRESUMESUSPEND;
  struct Case {
    const char* name;
    std::vector<std::vector<DWORD>> eventsBeforePoll;  // events sent in the sleep before polls 1, 2, ...
    size_t actions;
  };
  const Case cases[] = {
      {"automatic alone", {{kSuspend, kAuto}}, 1},
      {"suspend-resume alone", {{kSuspend, kUser}}, 1},
      {"both, before one poll", {{kSuspend, kAuto, kUser}}, 1},
      {"both, in the other order", {{kSuspend, kUser, kAuto}}, 1},
      {"both, a poll between them", {{kSuspend, kAuto}, {kUser}}, 1},
      {"two wakes", {{kSuspend, kAuto, kUser}, {kSuspend, kAuto}}, 2},
      {"two wakes, the suspend between them unheard", {{kAuto}, {kAuto}}, 2},
      {"a wake after a pair, no suspend heard", {{kAuto, kUser}, {kAuto}}, 2},
      {"a suspend alone", {{kSuspend}}, 0},
      {"other power events", {{PBT_APMPOWERSTATUSCHANGE, PBT_POWERSETTINGCHANGE}}, 0},
  };
  for (const Case& c : cases) {
    Fresh();
    const std::string log = RunPolls(static_cast<int>(c.eventsBeforePoll.size()), [&](int poll) {
      for (DWORD event : c.eventsBeforePoll[poll - 1]) {
        EXPECT_EQ(SendControl(SERVICE_CONTROL_POWEREVENT, event), static_cast<DWORD>(NO_ERROR)) << c.name;
      }
    });
    std::string want = kStart;
    for (size_t i = 0; i < c.actions; ++i) want += Resumed("100.000");
    EXPECT_EQ(log, want) << c.name;
  }
}

// A stop wins over a wake noted in the same sleep, whichever came first: no
// clock call for the resume, the latched press still taken by the last poll.
TEST_F(ResumeTest, AStopWinsOverAPendingResume) {
  for (bool resumeFirst : {true, false}) {
    Fresh();
    SetParameterDword("RestoreFrequency", 1);
    SetParameterDword("LastFrequencyKHz", 100500);
    VirtualSleepHook = [resumeFirst, count = 0](DWORD ms) mutable {
      if (ms != kPollPeriodMs || ++count != 1) return;
      Press('u');
      if (resumeFirst) Wake();
      SendControl(SERVICE_CONTROL_STOP);
      if (!resumeFirst) Wake();
    };
    RunRegisteredService();
    EXPECT_EQ(ReadLogBytes(), kStart + Step("100.500") + Step("100.600")) << resumeFirst;
    EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{100500000u, 100600000u})) << resumeFirst;
    EXPECT_EQ(VirtualSleeps, std::vector<DWORD>({kPollPeriodMs, kStepPauseMs})) << resumeFirst;
  }
}

// The edges of a wake: the frequency unknown before it, the clock unreadable
// after it, the controller refusing the frequency, limits changed since the
// frequency was chosen. One press afterwards shows where the service went on
// from; an unknown frequency is read at the press, as at start.
TEST_F(ResumeTest, WhatAWakeDoesWhenTheFrequencyCannotBePutBack) {
  struct Case {
    const char* name;
    bool restore;
    void (*beforeStart)();
    void (*atWake)();
    std::string log;
    std::vector<uint32_t> hz;
  };
  const auto readFails = [] {
    ClockSim()->failOp = clocksim::OpGetClockSettings;
    ClockSim()->failCode = 5;
  };
  const auto readWorks = [] { ClockSim()->failOp = 0; };
  const std::string unknownStart = "Current CPU Freq is 0.000\r\n";
  const Case cases[] = {
      {"unknown before, restore on: read at the wake", true, readFails, readWorks,
       unknownStart + Resumed("100.000") + "Resume restore skipped: CPU Freq unknown!!\r\n" + Step("100.100"),
       {100100000u}},
      {"unknown before, restore off: read at the wake", false, readFails, readWorks,
       unknownStart + Resumed("100.000") + Step("100.100"), {100100000u}},
      {"unreadable after, restore off: unknown until a press reads it", false, [] {}, readFails,
       kStart + Step("100.100") + Resumed("0.000") + "Press ignored: CPU Freq unknown!!\r\n", {100100000u}},
      {"controller refuses, restore on: on from what it runs at", true, [] {},
       [] {
         ClockSim()->failOp = clocksim::OpSetClockSettings;
         ClockSim()->failCode = 7;
       },
       kStart + Step("100.100") + Resumed("100.000") +
           "Resume restore skipped: clock controller did not take CPU Freq 100.100!!\r\n" + Step("100.100"),
       {100100000u, 100100000u, 100100000u}},
      {"outside a limit set since, restore on: on from what it runs at", true, [] {},
       [] { SetParameterDword("MaxFrequencyKHz", 100050); },
       kStart + Step("100.100") + "Settings read again: MinFrequencyKHz 0 MaxFrequencyKHz 100050 RestoreFrequency 1\r\n" +
           Resumed("100.000") + "Resume restore skipped: CPU Freq 100.100 outside the limits!!\r\n" +
           "Press ignored: CPU Freq out of range!!\r\n",
       {100100000u}},
  };
  for (const Case& c : cases) {
    Fresh();
    CreateServiceKey();
    if (c.restore) {
      SetParameterDword("RestoreFrequency", 1);
      SetParameterDword("LastFrequencyKHz", 99000);
      SetParameterDword("LastFrequencyInUse", 1);  // no restore at start
    }
    c.beforeStart();
    const std::string log = RunPolls(3, [&](int poll) {
      if (poll == 1 && ClockSim()->failOp == 0) Press('u');
      if (poll == 2) {
        c.atWake();
        Wake();
      }
      if (poll == 3) Press('u');
    });
    const std::string skipped = c.restore ? "Restore skipped: last run did not end cleanly!!\r\n" : "";
    std::string want = c.log;
    want.insert(want.find("\r\n") + 2, skipped);  // after the start line
    EXPECT_EQ(log, want) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
  }
}

}  // namespace
