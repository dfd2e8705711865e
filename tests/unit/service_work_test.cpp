// The service's work loop against both simulators: start-up, polling, stop between polls, presses from another process.
#include <cstdlib>
#include <cstring>
#include <thread>

#include "hardware/port_library.h"
#include "tuning/activity_log.h"
#include "service/service_worker.h"
#include "test_support.h"
#include "tuning/button_poll.h"

namespace {

class ServiceWorkTest : public SimulatedBoardTest {
 protected:
  void SetUp() override {
    SimulatedBoardTest::SetUp();
    // The work loads and releases the library itself.
    ReleasePortLibrary(library_);
    library_ = nullptr;
    InterlockedExchange(&RunFlag, 1);
  }
  void TearDown() override {
    InterlockedExchange(&RunFlag, 1);
    SimulatedBoardTest::TearDown();
  }

  static bool LibraryReleased() { return GetModuleHandleA("Kpx.dll") == nullptr && hx_inp == nullptr; }

  // Stops the work during the n-th poll-period sleep.
  static void StopDuringPollSleep(int n, std::function<void(int)> eachPollSleep = nullptr) {
    VirtualSleepHook = [n, eachPollSleep, count = 0](DWORD ms) mutable {
      if (ms != kPollPeriodMs) return;
      ++count;
      if (eachPollSleep) eachPollSleep(count);
      if (count == n) InterlockedExchange(&RunFlag, 0);
    };
  }
};

TEST_F(ServiceWorkTest, LogsStartFrequencyPollsAndFinishesThePollAfterAStop) {
  boardsim::SelectVariant(BoardSim(), 2);
  // A press lands in the very sleep during which the stop arrives: the poll
  // after that sleep still runs and handles it.
  StopDuringPollSleep(3, [](int sleep) {
    if (sleep == 1 || sleep == 3) boardsim::Press(BoardSim(), true);
  });
  EXPECT_EQ(RunServiceWork(), WorkStopped);
  EXPECT_EQ(ReadLogBytes(),
            "Current CPU Freq is 100.000\r\nNow Current CPU Freq is 100.100\r\nNow Current CPU Freq is 100.200\r\n");
  EXPECT_EQ(VirtualSleeps, (std::vector<DWORD>{500, 600, 500, 500, 600}));
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{100100000u, 100199999u}));
  EXPECT_EQ(boardsim::PendingLatches(BoardSim()), 0);
  EXPECT_TRUE(LibraryReleased());
}

// The narrowest moment: the stop lands right after a latch is acknowledged.
// The step must still be applied and logged, and the second latch of the
// same poll handled too, before the work ends.
HxOutpFn AcknowledgeOnBoard = nullptr;
void WINAPI AcknowledgeThenStop(DWORD port, DWORD value) {
  AcknowledgeOnBoard(port, value);
  InterlockedExchange(&RunFlag, 0);
}

TEST_F(ServiceWorkTest, StopRightAfterAnAcknowledgementLosesNothing) {
  boardsim::SelectVariant(BoardSim(), 2);
  VirtualSleepHook = [](DWORD ms) {
    if (ms != kPollPeriodMs || hx_outp == AcknowledgeThenStop) return;
    AcknowledgeOnBoard = hx_outp;
    hx_outp = AcknowledgeThenStop;
    boardsim::Press(BoardSim(), false);
    boardsim::Press(BoardSim(), true);
  };
  EXPECT_EQ(RunServiceWork(), WorkStopped);
  EXPECT_EQ(ReadLogBytes(),
            "Current CPU Freq is 100.000\r\nNow Current CPU Freq is 99.900\r\nNow Current CPU Freq is 100.000\r\n");
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
  EXPECT_EQ(BoardSim()->latchesAcked, 2);
  EXPECT_EQ(boardsim::PendingLatches(BoardSim()), 0);
  EXPECT_EQ(VirtualSleeps, (std::vector<DWORD>{500, 600, 600}));
  EXPECT_TRUE(LibraryReleased());
}

TEST_F(ServiceWorkTest, StopBeforeTheLoopSkipsIt) {
  InterlockedExchange(&RunFlag, 0);
  EXPECT_EQ(RunServiceWork(), WorkStopped);
  EXPECT_EQ(ReadLogBytes(), "Current CPU Freq is 100.000\r\n");
  EXPECT_TRUE(VirtualSleeps.empty());
  EXPECT_TRUE(LibraryReleased());
}

TEST_F(ServiceWorkTest, UnidentifiedBoardEndsTheWorkWithoutTouchingPorts) {
  struct Case {
    const char* name;
    void (*arrange)();
  };
  const Case cases[] = {
      {"unknown part number", [] { memcpy(BoardSim()->record + 32, "TQ37mr04", 8); }},
      {"no board data record", [] { BoardSim()->hasRecord = 0; }},
      {"record cannot be mapped", [] { BoardSim()->mapFails = 1; }},
  };
  for (const Case& c : cases) {
    SetUp();
    c.arrange();
    EXPECT_EQ(RunServiceWork(), WorkUnknownBoard) << c.name;
    EXPECT_EQ(ReadLogBytes(), "Part Number Check Error!!\r\n") << c.name;
    EXPECT_TRUE(PortOpsAfter(boardMark_).empty()) << c.name;
    EXPECT_TRUE(ClockCallsAfter(clockMark_).empty()) << c.name;
    EXPECT_EQ(BoardSim()->liveMaps, 0) << c.name;
    EXPECT_TRUE(LibraryReleased()) << c.name;
  }
}

TEST_F(ServiceWorkTest, UnregisteredControllerStartsFromZeroAndStillPolls) {
  ASSERT_TRUE(RegisterClockSimulator(false));
  StopDuringPollSleep(2, [](int sleep) {
    if (sleep == 1) boardsim::Press(BoardSim(), true);
  });
  const WorkOutcome outcome = RunServiceWork();
  ASSERT_TRUE(RegisterClockSimulator(true));
  EXPECT_EQ(outcome, WorkStopped);
  EXPECT_EQ(ReadLogBytes(), "Current CPU Freq is 0.000\r\nPress ignored: CPU Freq unknown!!\r\n");
  EXPECT_EQ(BoardSim()->latchesAcked, 1);
  EXPECT_EQ(VirtualSleeps, (std::vector<DWORD>{500, 600, 500}));
}

// Real sleeps, and presses from the board tool in two other processes while
// the work polls: no press is lost and each acknowledged latch is one step.
TEST_F(ServiceWorkTest, PressesFromAnotherProcessAreNeverLost) {
  const uint32_t upLatchPort = TableRow(2).up.port;  // variant 2: "down" has a port of its own
  ASSERT_NE(upLatchPort, TableRow(2).down.port);
  constexpr double kStartMhz = 100.0;
  constexpr double kFineStepMhz = 0.1;
  boardsim::SelectVariant(BoardSim(), 2);
  PollSleep = Sleep;
  std::thread worker([] { RunServiceWork(); });

  const char* const commands[] = {"boardtool.exe press up 12 170", "boardtool.exe press down 9 230"};
  std::vector<PROCESS_INFORMATION> tools;
  for (const char* command : commands) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = command;
    ASSERT_TRUE(CreateProcessA((ExeDir() + "boardtool.exe").c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               ExeDir().c_str(), &startup, &process));
    tools.push_back(process);
  }
  for (const PROCESS_INFORMATION& process : tools) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  const DWORD kDrainLimitMs = 20000;
  for (DWORD waited = 0; boardsim::PendingLatches(BoardSim()) != 0 && waited < kDrainLimitMs; waited += 100) Sleep(100);
  InterlockedExchange(&RunFlag, 0);
  worker.join();

  const boardsim::State* board = BoardSim();
  EXPECT_EQ(board->pressesUp, 12);
  EXPECT_EQ(board->pressesDown, 9);
  // Every latch a press set was handled: none is left on the board.
  EXPECT_EQ(boardsim::PendingLatches(board), 0);

  // Each acknowledgement the board recorded gave one logged step and one
  // applied value, matching, in the direction of the latch acknowledged.
  std::vector<bool> ackedUp;
  for (const boardsim::Op& op : BoardOpsAfter(boardMark_)) {
    if (op.kind == boardsim::OpOut) ackedUp.push_back(op.port == upLatchPort);
  }
  const std::string log = ReadLogBytes();
  std::vector<double> logged;
  for (size_t at = log.find("Now Current CPU Freq is "); at != std::string::npos;
       at = log.find("Now Current CPU Freq is ", at + 1)) {
    logged.push_back(atof(log.c_str() + at + strlen("Now Current CPU Freq is ")));
  }
  const std::vector<uint32_t> hz = AppliedHzAfter(clockMark_);
  EXPECT_GT(ackedUp.size(), 0u);
  ASSERT_EQ(logged.size(), ackedUp.size());
  ASSERT_EQ(hz.size(), logged.size());
  double previous = kStartMhz;
  for (size_t i = 0; i < hz.size(); ++i) {
    EXPECT_NEAR(hz[i] / 1000000.0, logged[i], 0.0006) << i;
    EXPECT_NEAR(logged[i] - previous, ackedUp[i] ? kFineStepMhz : -kFineStepMhz, 0.0006) << i;
    previous = logged[i];
  }
  EXPECT_TRUE(LibraryReleased());
}

}  // namespace
