// The service's settings against both simulators, in virtual time: limits, the remembered frequency, its restore and the in-use mark.
#include <cstring>
#include <string>
#include <utility>

#include "hardware/port_library.h"
#include "tuning/activity_log.h"
#include "service/service_settings.h"
#include "service/service_worker.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

const std::string kStart = "Current CPU Freq is 100.000\r\n";
const std::string kRefused = "Press ignored: CPU Freq out of range!!\r\n";

std::string Step(const char* mhz) { return std::string("Now Current CPU Freq is ") + mhz + "\r\n"; }

void SetParameterText(const char* name, const char* text) {
  SetParameter(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

// The value a DWORD parameter holds, or -1 when it is missing or not a DWORD.
long long Parameter(const char* name) {
  DWORD value = 0;
  return ParameterDword(name, value) ? static_cast<long long>(value) : -1;
}

class ServiceSettingsTest : public SimulatedBoardTest {
 protected:
  void SetUp() override {
    SimulatedBoardTest::SetUp();
    // The work loads and releases the library itself.
    ReleasePortLibrary(library_);
    library_ = nullptr;
    Fresh();
  }
  void TearDown() override {
    SendServiceStatus = SetServiceStatus;
    InterlockedExchange(&RunFlag, 1);
    SimulatedBoardTest::TearDown();
  }

  // Fresh simulators (a variant-2 board, the clock at 100 MHz), log, virtual
  // time and no Parameters key, for the next case of a table.
  void Fresh() {
    Restart();
    boardsim::SelectVariant(BoardSim(), 2);
    InterlockedExchange(&RunFlag, 1);
  }

  // Runs the service's work with one press per poll: 'u' and 'd' with the
  // 0.1 MHz step, 'U' and 'D' with the 1 MHz step; stopped after the poll of
  // the last press (after the first poll when there is none). The log.
  static std::string RunWithPresses(const std::string& presses) {
    VirtualSleepHook = [presses, polls = size_t{0}](DWORD ms) mutable {
      if (ms != kPollPeriodMs) return;
      if (polls < presses.size()) {
        const char press = presses[polls];
        SetPort(boardsim::StepPort(2), (press == 'U' || press == 'D') ? 0x40 : 0x00);
        boardsim::Press(BoardSim(), press == 'u' || press == 'U');
      }
      if (++polls >= presses.size()) InterlockedExchange(&RunFlag, 0);
    };
    EXPECT_EQ(RunServiceWork(), WorkStopped);
    return ReadLogBytes();
  }
};

// Limits in kHz against steps in MHz: the step landing exactly on a limit is
// taken (100.0 + 0.1 + 0.1 is 100.19999999999999 in double), the next one is
// refused as an out-of-range step is; ignored settings say why.
TEST_F(ServiceSettingsTest, LimitsTakeTheStepLandingOnThemAndRefuseTheNext) {
  struct Case {
    const char* name;
    void (*arrange)();
    const char* presses;
    std::string log;
    std::vector<uint32_t> hz;
  };
  const Case cases[] = {
      {"maximum alone", [] { SetParameterDword("MaxFrequencyKHz", 100200); }, "uuu",
       kStart + Step("100.100") + Step("100.200") + kRefused, {100100000u, 100199999u}},
      {"minimum alone", [] { SetParameterDword("MinFrequencyKHz", 99800); }, "ddd",
       kStart + Step("99.900") + Step("99.800") + kRefused, {99900000u, 99800000u}},
      {"both, across the range and back",
       [] {
         SetParameterDword("MinFrequencyKHz", 99800);
         SetParameterDword("MaxFrequencyKHz", 100200);
       },
       "uuuddddd",
       kStart + Step("100.100") + Step("100.200") + kRefused + Step("100.100") + Step("100.000") + Step("99.900") +
           Step("99.800") + kRefused,
       {100100000u, 100199999u, 100100000u, 100000000u, 99900000u, 99800000u}},
      // Landing on a limit from the other side: 100.0 up three times and
      // down once is 100.19999999999999, below 100,200,000 Hz...
      {"minimum, landed on after going up", [] { SetParameterDword("MinFrequencyKHz", 100200); }, "uuudd",
       kStart + Step("100.100") + Step("100.200") + Step("100.300") + Step("100.200") + kRefused,
       {100100000u, 100199999u, 100299999u, 100199999u}},
      // ... and 100.0 down three times and up once is 99.80000000000001,
      // above 99,800 kHz.
      {"maximum, landed on after going down", [] { SetParameterDword("MaxFrequencyKHz", 99800); }, "ddduu",
       kStart + Step("99.900") + Step("99.800") + Step("99.700") + Step("99.800") + kRefused,
       {99900000u, 99800000u, 99700000u, 99800000u}},
      {"1 MHz steps", [] { SetParameterDword("MaxFrequencyKHz", 101000); }, "UU", kStart + Step("101.000") + kRefused,
       {101000000u}},
      {"equal limits hold the frequency",
       [] {
         SetParameterDword("MinFrequencyKHz", 100000);
         SetParameterDword("MaxFrequencyKHz", 100000);
       },
       "ud", kStart + kRefused + kRefused, {}},
      {"above the maximum: down taken, up refused", [] { SetParameterDword("MaxFrequencyKHz", 99500); }, "udd",
       kStart + kRefused + Step("99.900") + Step("99.800"), {99900000u, 99800000u}},
      {"below the minimum: up taken, down refused", [] { SetParameterDword("MinFrequencyKHz", 100500); }, "du",
       kStart + kRefused + Step("100.100"), {100100000u}},
      {"a 1 MHz step jumping over the range",
       [] {
         SetParameterDword("MinFrequencyKHz", 99200);
         SetParameterDword("MaxFrequencyKHz", 99500);
       },
       "D", kStart + kRefused, {}},
      {"maximum 0", [] { SetParameterDword("MaxFrequencyKHz", 0); }, "uu",
       std::string("Setting ignored: MaxFrequencyKHz is 0!!\r\n") + kStart + Step("100.100") + Step("100.200"),
       {100100000u, 100199999u}},
      {"minimum 0, maximum kept",
       [] {
         SetParameterDword("MinFrequencyKHz", 0);
         SetParameterDword("MaxFrequencyKHz", 100100);
       },
       "ddu",
       std::string("Setting ignored: MinFrequencyKHz is 0!!\r\n") + kStart + Step("99.900") + Step("99.800") + Step("99.900"),
       {99900000u, 99800000u, 99900000u}},
      {"inverted",
       [] {
         SetParameterDword("MinFrequencyKHz", 100100);
         SetParameterDword("MaxFrequencyKHz", 100000);
       },
       "ud", std::string("Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\r\n") + kStart + Step("100.100") +
                 Step("100.000"),
       {100100000u, 100000000u}},
      {"wrong types",
       [] {
         SetParameterText("MinFrequencyKHz", "99950");
         const DWORD bytes = 100050;  // four bytes, but REG_BINARY
         SetParameter("MaxFrequencyKHz", REG_BINARY, &bytes, sizeof bytes);
       },
       "du",
       "Setting ignored: MinFrequencyKHz is not a REG_DWORD!!\r\nSetting ignored: MaxFrequencyKHz is not a "
       "REG_DWORD!!\r\n" +
           kStart + Step("99.900") + Step("100.000"),
       {99900000u, 100000000u}},
      {"only the service's own values",
       [] {
         SetParameterDword("LastFrequencyKHz", 123456);
         SetParameterDword("LastFrequencyInUse", 0);
       },
       "ud", kStart + Step("100.100") + Step("100.000"), {100100000u, 100000000u}},
  };
  for (const Case& c : cases) {
    Fresh();
    c.arrange();
    EXPECT_EQ(RunWithPresses(c.presses), c.log) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
    EXPECT_EQ(BoardSim()->latchesAcked, static_cast<LONG>(strlen(c.presses))) << c.name << ": every press acknowledged";
    EXPECT_EQ(VirtualSleeps.size(), 2 * strlen(c.presses)) << c.name << ": a pause after every press, refused or not";
  }
}

// Without a Parameters key the work is exactly as before; afterwards the key
// holds only the service's own values, and the next start is the same again.
TEST_F(ServiceSettingsTest, NoParametersKeyRunsAsBeforeAndLeavesOnlyTheServiceValues) {
  const std::string today = kStart + Step("100.100") + Step("100.200") + Step("100.100");
  const std::vector<uint32_t> todayHz = {100100000u, 100199999u, 100100000u};
  EXPECT_EQ(RunWithPresses("uud"), today);
  EXPECT_EQ(AppliedHzAfter(clockMark_), todayHz);
  EXPECT_EQ(Parameter("LastFrequencyKHz"), 100100);
  EXPECT_EQ(Parameter("LastFrequencyInUse"), 0);
  for (const char* setting : {"MinFrequencyKHz", "MaxFrequencyKHz", "RestoreFrequency"}) {
    EXPECT_FALSE(ParameterExists(setting)) << setting;
  }

  clocksim::Reset(ClockSim());
  clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
  ResetLog();
  InterlockedExchange(&RunFlag, 1);
  EXPECT_EQ(RunWithPresses("uud"), today);
  EXPECT_EQ(AppliedHzAfter(clockMark_), todayHz);
}

// Each step the controller takes is remembered at once, rounded to the kHz;
// a step the controller reports an error for is logged but not remembered.
TEST_F(ServiceSettingsTest, EveryStepTheControllerTakesIsRemembered) {
  SetParameterDword("MaxFrequencyKHz", 100200);
  std::vector<long long> remembered;  // read in each step's pause
  const std::string presses = "uuud";
  VirtualSleepHook = [&, polls = size_t{0}](DWORD ms) mutable {
    if (ms == kStepPauseMs) remembered.push_back(Parameter("LastFrequencyKHz"));
    if (ms != kPollPeriodMs) return;
    boardsim::Press(BoardSim(), presses[polls] == 'u');
    if (++polls == presses.size()) InterlockedExchange(&RunFlag, 0);
  };
  EXPECT_EQ(RunServiceWork(), WorkStopped);
  EXPECT_EQ(ReadLogBytes(), kStart + Step("100.100") + Step("100.200") + kRefused + Step("100.100"));
  EXPECT_EQ(remembered, (std::vector<long long>{100100, 100200, 100200, 100100}));

  Fresh();
  SetParameterDword("LastFrequencyKHz", 99000);
  ClockSim()->failOp = clocksim::OpSetClockSettings;
  ClockSim()->failCode = 5;
  EXPECT_EQ(RunWithPresses("u"), kStart + Step("100.100"));
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{100100000u});
  EXPECT_EQ(Parameter("LastFrequencyKHz"), 99000);
}

// With RestoreFrequency on, the remembered frequency is applied after the
// start line and logged as a step, or a line says why not. One "up" press
// afterwards shows which frequency the service went on from.
TEST_F(ServiceSettingsTest, RestoreAppliesTheRememberedFrequencyOrSaysWhyNot) {
  struct Case {
    const char* name;
    void (*arrange)();
    std::string log;
    std::vector<uint32_t> hz;
  };
  const std::string fromStart = Step("100.100");
  const Case cases[] = {
      {"restored",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       kStart + Step("100.500") + Step("100.600"), {100500000u, 100600000u}},
      {"restored onto the maximum",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("MaxFrequencyKHz", 100500);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       kStart + Step("100.500") + kRefused, {100500000u}},
      {"restored onto the minimum",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("MinFrequencyKHz", 100500);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       kStart + Step("100.500") + Step("100.600"), {100500000u, 100600000u}},
      {"restored at the top of the clock's range",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 4294967);
       },
       kStart + Step("4294.967") + kRefused, {4294966999u}},
      {"above the maximum",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("MaxFrequencyKHz", 100499);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       kStart + "Restore skipped: remembered CPU Freq 100.500 outside the limits!!\r\n" + fromStart, {100100000u}},
      {"below the minimum",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("MinFrequencyKHz", 99800);
         SetParameterDword("LastFrequencyKHz", 99799);
       },
       kStart + "Restore skipped: remembered CPU Freq 99.799 outside the limits!!\r\n" + fromStart, {100100000u}},
      {"zero",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 0);
       },
       kStart + "Restore skipped: remembered CPU Freq 0.000 out of the clock's range!!\r\n" + fromStart,
       {100100000u}},
      {"beyond 32-bit Hz",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 4294968);
       },
       kStart + "Restore skipped: remembered CPU Freq 4294.968 out of the clock's range!!\r\n" + fromStart,
       {100100000u}},
      {"none remembered", [] { SetParameterDword("RestoreFrequency", 1); },
       kStart + "Restore skipped: no remembered CPU Freq!!\r\n" + fromStart, {100100000u}},
      {"remembered value of the wrong type",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterText("LastFrequencyKHz", "100500");
       },
       kStart + "Restore skipped: LastFrequencyKHz is not a REG_DWORD!!\r\n" + fromStart, {100100000u}},
      {"controller reports an error",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 100500);
         ClockSim()->failOp = clocksim::OpSetClockSettings;
         ClockSim()->failCode = 7;
       },
       kStart + "Restore skipped: clock controller did not take CPU Freq 100.500!!\r\n" + fromStart,
       {100500000u, 100100000u}},
      {"last run did not end cleanly",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 100500);
         SetParameterDword("LastFrequencyInUse", 1);
       },
       kStart + "Restore skipped: last run did not end cleanly!!\r\n" + fromStart, {100100000u}},
      {"in-use mark of the wrong type",
       [] {
         SetParameterDword("RestoreFrequency", 1);
         SetParameterDword("LastFrequencyKHz", 100500);
         SetParameterText("LastFrequencyInUse", "0");
       },
       kStart + "Restore skipped: last run did not end cleanly!!\r\n" + fromStart, {100100000u}},
      {"restore off (missing)", [] { SetParameterDword("LastFrequencyKHz", 100500); }, kStart + fromStart,
       {100100000u}},
      {"restore off (0)",
       [] {
         SetParameterDword("RestoreFrequency", 0);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       kStart + fromStart, {100100000u}},
      {"restore off, last run did not end cleanly",
       [] {
         SetParameterDword("LastFrequencyKHz", 100500);
         SetParameterDword("LastFrequencyInUse", 1);
       },
       kStart + fromStart, {100100000u}},
      {"restore 2",
       [] {
         SetParameterDword("RestoreFrequency", 2);
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       std::string("Setting ignored: RestoreFrequency is neither 0 nor 1!!\r\n") + kStart + fromStart, {100100000u}},
      {"restore of the wrong type",
       [] {
         SetParameterText("RestoreFrequency", "1");
         SetParameterDword("LastFrequencyKHz", 100500);
       },
       std::string("Setting ignored: RestoreFrequency is not a REG_DWORD!!\r\n") + kStart + fromStart, {100100000u}},
  };
  for (const Case& c : cases) {
    Fresh();
    c.arrange();
    EXPECT_EQ(RunWithPresses("u"), c.log) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
    EXPECT_EQ(Parameter("LastFrequencyInUse"), 0) << c.name << ": cleared by the clean stop";
  }
}

// The mark is set from the start line to the clean stop. A run that ends
// without a stop leaves it set: the next start does not restore, and once
// that run stops cleanly the start after it restores again.
TEST_F(ServiceSettingsTest, InUseMarkKeepsARestoreOutOfACrashLoop) {
  SetParameterDword("RestoreFrequency", 1);
  SetParameterDword("LastFrequencyKHz", 100500);

  // A run that never gets its stop: the work's start, then nothing.
  double frequency = 100.0;
  StartRememberedFrequency(ReadServiceSettings(), frequency);
  EXPECT_EQ(frequency, 100.5);
  EXPECT_EQ(Parameter("LastFrequencyInUse"), 1);
  EXPECT_EQ(ReadLogBytes(), Step("100.500"));

  // The reboot: the controller is back at its default.
  clocksim::Reset(ClockSim());
  clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
  ResetLog();
  std::vector<long long> markWhilePolling;
  VirtualSleepHook = [&](DWORD ms) {
    markWhilePolling.push_back(Parameter("LastFrequencyInUse"));
    if (ms == kPollPeriodMs) InterlockedExchange(&RunFlag, 0);
  };
  EXPECT_EQ(RunServiceWork(), WorkStopped);
  EXPECT_EQ(ReadLogBytes(), kStart + std::string("Restore skipped: last run did not end cleanly!!\r\n"));
  EXPECT_EQ(markWhilePolling, std::vector<long long>{1});
  EXPECT_TRUE(AppliedHzAfter(clockMark_).empty());
  EXPECT_EQ(Parameter("LastFrequencyInUse"), 0);

  ResetLog();
  InterlockedExchange(&RunFlag, 1);
  clocksim::Reset(ClockSim());
  clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
  EXPECT_EQ(RunWithPresses(""), kStart + Step("100.500"));
  EXPECT_EQ(AppliedHzAfter(clockMark_), std::vector<uint32_t>{100500000u});
  EXPECT_EQ(Parameter("LastFrequencyInUse"), 0);
}

// A start that fails before the start line touches neither the mark nor the
// clock: a crash it follows is still known at the next start.
TEST_F(ServiceSettingsTest, FailedStartLeavesTheMarkAsItWas) {
  for (long long mark : {-1LL, 1LL}) {
    Fresh();
    SetParameterDword("RestoreFrequency", 1);
    SetParameterDword("LastFrequencyKHz", 100500);
    if (mark >= 0) SetParameterDword("LastFrequencyInUse", static_cast<DWORD>(mark));
    memcpy(BoardSim()->record + 32, "TQ00XX00", 8);
    EXPECT_EQ(RunServiceWork(), WorkUnknownBoard) << mark;
    EXPECT_EQ(ReadLogBytes(), "Part Number Check Error!!\r\n") << mark;
    EXPECT_EQ(Parameter("LastFrequencyInUse"), mark) << mark;
    EXPECT_TRUE(ClockCallsAfter(clockMark_).empty()) << mark;
  }
}

// Without the mark a crash at the restored frequency would restore it again:
// a start that cannot set the mark does not restore. (Under a volatile
// service key the lasting Parameters key cannot be created.)
TEST_F(ServiceSettingsTest, NoRestoreWhenTheMarkCannotBeSet) {
  SetParameterDword("RestoreFrequency", 1);
  SetParameterDword("LastFrequencyKHz", 100500);
  const ServiceSettings settings = ReadServiceSettings();
  RemoveServiceParameters();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd", 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  double frequency = 100.0;
  EndRememberedFrequency(StartRememberedFrequency(settings, frequency));
  EXPECT_EQ(frequency, 100.0);
  EXPECT_EQ(ReadLogBytes(), "Restore skipped: cannot mark CPU Freq in use!!\r\n");
  EXPECT_TRUE(ClockCallsAfter(clockMark_).empty());
  EXPECT_FALSE(ParameterExists("LastFrequencyInUse"));
}

// Each status report of a run, with the in-use mark as it was then.
std::vector<std::pair<DWORD, long long>> MarkAtReports;
std::string LogAtRunning;
BOOL WINAPI WatchReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
  MarkAtReports.push_back({status->dwCurrentState, Parameter("LastFrequencyInUse")});
  if (status->dwCurrentState == SERVICE_RUNNING) LogAtRunning = ReadLogBytes();
  return TRUE;
}

// The restore is part of the start (done before running is reported), and
// stop and shutdown both clear the mark before stopped is reported: after
// that the process may end at any moment.
TEST_F(ServiceSettingsTest, StopAndShutdownClearTheMarkBeforeStoppedIsReported) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    Fresh();
    SetParameterDword("RestoreFrequency", 1);
    SetParameterDword("LastFrequencyKHz", 100500);
    MarkAtReports.clear();
    LogAtRunning.clear();
    SendServiceStatus = WatchReport;
    VirtualSleepHook = [control](DWORD ms) {
      if (ms != kPollPeriodMs) return;
      SendControl(control);
    };
    RunRegisteredService();
    SendServiceStatus = SetServiceStatus;

    const std::vector<std::pair<DWORD, long long>> want = {
        {SERVICE_START_PENDING, -1}, {SERVICE_START_PENDING, -1}, {SERVICE_START_PENDING, -1},
        {SERVICE_RUNNING, 1},        {SERVICE_STOP_PENDING, 1},   {SERVICE_STOPPED, 0}};
    EXPECT_EQ(MarkAtReports, want) << "control " << control;
    EXPECT_EQ(LogAtRunning, kStart + Step("100.500")) << "control " << control;
  }
}

}  // namespace

namespace {

// Each flush of a key, with the in-use mark read through the flushed key's
// own handle and the clock calls made before it.
struct Flush {
  long long mark;
  size_t clockCallsBefore;
};
std::vector<Flush> Flushes;
uint32_t FlushClockMark = 0;
LONG FlushAnswer = ERROR_SUCCESS;

LONG WINAPI RecordFlush(HKEY key) {
  DWORD type = REG_NONE;
  DWORD mark = 0;
  DWORD size = sizeof mark;
  const bool read = RegQueryValueExA(key, "LastFrequencyInUse", nullptr, &type, reinterpret_cast<BYTE*>(&mark),
                                     &size) == ERROR_SUCCESS && type == REG_DWORD;
  Flushes.push_back(Flush{read ? static_cast<long long>(mark) : -1, ClockCallsAfter(FlushClockMark).size()});
  return FlushAnswer == ERROR_SUCCESS ? RegFlushKey(key) : FlushAnswer;
}

// A freeze at the restored frequency must find the mark after the reboot: the
// Parameters key holding it is flushed to disk before any clock call of the
// restore. A flush that fails is a mark that may not be on disk: no restore,
// and the mark is still cleared at the clean stop. Without restore nothing
// is flushed. (Wine's registry ignores the flush itself and writes its file
// at its own pace, so its effect on disk cannot be seen here.)
TEST_F(ServiceSettingsTest, TheMarkIsFlushedToDiskBeforeTheRestoredFrequencyIsApplied) {
  struct Case {
    const char* name;
    DWORD restore;
    LONG flushAnswer;
    std::vector<std::pair<long long, size_t>> flushes;  // mark, clock calls before
    std::string log;
    std::vector<uint32_t> hz;
  };
  const Case cases[] = {
      {"restored", 1, ERROR_SUCCESS, {{1, 0}}, Step("100.500"), {100500000u}},
      {"flush fails", 1, ERROR_ACCESS_DENIED, {{1, 0}}, "Restore skipped: cannot mark CPU Freq in use!!\r\n", {}},
      {"restore off", 0, ERROR_SUCCESS, {}, "", {}},
  };
  for (const Case& c : cases) {
    Fresh();
    SetParameterDword("RestoreFrequency", c.restore);
    SetParameterDword("LastFrequencyKHz", 100500);
    Flushes.clear();
    FlushClockMark = clockMark_;
    FlushAnswer = c.flushAnswer;
    FlushRegistryKey = RecordFlush;
    double frequency = 100.0;
    const bool marked = StartRememberedFrequency(ReadServiceSettings(), frequency);
    FlushRegistryKey = RegFlushKey;
    EXPECT_TRUE(marked) << c.name;
    std::vector<std::pair<long long, size_t>> flushes;
    for (const Flush& f : Flushes) flushes.push_back({f.mark, f.clockCallsBefore});
    EXPECT_EQ(flushes, c.flushes) << c.name;
    EXPECT_EQ(ReadLogBytes(), c.log) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
    EndRememberedFrequency(marked);
    EXPECT_EQ(Parameter("LastFrequencyInUse"), 0) << c.name;
  }
}

}  // namespace
