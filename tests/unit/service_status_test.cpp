// The service's status reports, each one watched: start-pending steps, running, the stop and shutdown paths, stopped last.
#include <cstring>
#include <functional>
#include <mutex>

#include "hardware/port_library.h"
#include "service/service_worker.h"
#include "test_support.h"

namespace {

const DWORD kAcceptedWhenRunning =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PARAMCHANGE;

// One status report, and what the work had done when it was made.
struct Report {
  DWORD state, accepted, checkPoint, waitHintMs, win32Exit, serviceExit;
  std::string log;     // the activity log's bytes
  size_t sleeps;       // sleeps of the polling thread so far
  size_t clockCalls;   // clock controller calls so far
};

// The state fields of a report, for comparing with an expected trail.
struct Status {
  DWORD state, accepted, checkPoint, waitHintMs, win32Exit, serviceExit;
  bool operator==(const Status& o) const {
    return state == o.state && accepted == o.accepted && checkPoint == o.checkPoint && waitHintMs == o.waitHintMs &&
           win32Exit == o.win32Exit && serviceExit == o.serviceExit;
  }
};
std::ostream& operator<<(std::ostream& out, const Status& s) {
  return out << "{state " << s.state << ", accepts 0x" << std::hex << s.accepted << std::dec << ", checkpoint "
             << s.checkPoint << ", hint " << s.waitHintMs << ", exit " << s.win32Exit << "/" << s.serviceExit << "}";
}

const Status kPendingLibrary = {SERVICE_START_PENDING, 0, 1, kStartWaitHintMs, 0, 0};
const Status kPendingBoard = {SERVICE_START_PENDING, 0, 2, kStartWaitHintMs, 0, 0};
const Status kPendingClock = {SERVICE_START_PENDING, 0, 3, kStartWaitHintMs, 0, 0};
const Status kRunning = {SERVICE_RUNNING, kAcceptedWhenRunning, 0, 0, 0, 0};
const Status kStopPending = {SERVICE_STOP_PENDING, 0, 0, kStopWaitHintMs, 0, 0};
const Status kStoppedCleanly = {SERVICE_STOPPED, 0, 0, 0, NO_ERROR, 0};

std::mutex ReportsLock;
std::vector<Report> Reports;
DWORD ReportedServiceType = 0;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
  std::lock_guard<std::mutex> hold(ReportsLock);
  ReportedServiceType = status->dwServiceType;
  Reports.push_back(Report{status->dwCurrentState, status->dwControlsAccepted, status->dwCheckPoint,
                           status->dwWaitHint, status->dwWin32ExitCode, status->dwServiceSpecificExitCode,
                           ReadLogBytes(), VirtualSleeps.size(), ClockCallsAfter(0).size()});
  return TRUE;
}

std::vector<Status> Trail() {
  std::lock_guard<std::mutex> hold(ReportsLock);
  std::vector<Status> trail;
  for (const Report& r : Reports) {
    trail.push_back(Status{r.state, r.accepted, r.checkPoint, r.waitHintMs, r.win32Exit, r.serviceExit});
  }
  return trail;
}

class ServiceStatusTest : public SimulatedBoardTest {
 protected:
  void SetUp() override {
    SimulatedBoardTest::SetUp();
    ReleasePortLibrary(library_);  // the run loads and releases it itself
    library_ = nullptr;
    boardsim::SelectVariant(BoardSim(), 2);
    Reports.clear();
    SendServiceStatus = RecordStatus;
  }
  void TearDown() override {
    SendServiceStatus = SetServiceStatus;
    InterlockedExchange(&RunFlag, 1);
    SimulatedBoardTest::TearDown();
  }

  // Calls atPollSleep with the number of each poll-period sleep. A run whose
  // stop went unheard is ended after a while, so that it fails, not hangs.
  static void AtPollSleep(std::function<void(int)> atPollSleep) {
    VirtualSleepHook = [atPollSleep, count = 0](DWORD ms) mutable {
      if (ms != kPollPeriodMs) return;
      atPollSleep(++count);
      if (count == kRunawayPollSleeps) InterlockedExchange(&RunFlag, 0);
    };
  }
  static const int kRunawayPollSleeps = 20;

  // Sends control during the n-th poll-period sleep.
  static void ControlDuringPollSleep(int n, DWORD control) {
    AtPollSleep([n, control](int count) {
      if (count == n) SendControl(control);
    });
  }
};

TEST_F(ServiceStatusTest, GoodStartIsPendingUntilPollingBeginsThenStopOrShutdownEndsIt) {
  const DWORD controls[] = {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN};
  for (DWORD control : controls) {
    Restart();
    Reports.clear();
    ControlDuringPollSleep(1, control);
    RunRegisteredService();

    EXPECT_EQ(Trail(), (std::vector<Status>{kPendingLibrary, kPendingBoard, kPendingClock, kRunning, kStopPending,
                                            kStoppedCleanly}))
        << "control " << control;
    EXPECT_EQ(ReportedServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS));
    ASSERT_EQ(Reports.size(), 6u);
    // Checkpoint 3 comes before the clock is read; running once the start
    // frequency is logged and before the first poll's sleep.
    EXPECT_EQ(Reports[2].clockCalls, 0u) << "control " << control;
    EXPECT_EQ(Reports[2].log, "") << "control " << control;
    EXPECT_EQ(Reports[3].log, "Current CPU Freq is 100.000\r\n") << "control " << control;
    EXPECT_EQ(Reports[3].sleeps, 0u) << "control " << control;
    EXPECT_EQ(static_cast<LONG>(RunFlag), 0) << "control " << control;
    EXPECT_EQ(GetModuleHandleA("Kpx.dll"), nullptr) << "control " << control;
  }
}

TEST_F(ServiceStatusTest, StartupFailureGoesFromPendingToStoppedWithItsCode) {
  struct Case {
    const char* name;
    void (*arrange)();
    std::vector<Status> trail;
  };
  const Status stoppedUnknownBoard = {SERVICE_STOPPED, 0, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, WorkUnknownBoard};
  const Case cases[] = {
      {"unknown part number", [] { memcpy(BoardSim()->record + 32, "TQ37MR0X", 8); },
       {kPendingLibrary, kPendingBoard, stoppedUnknownBoard}},
      {"no board data record", [] { BoardSim()->hasRecord = 0; }, {kPendingLibrary, kPendingBoard, stoppedUnknownBoard}},
  };
  for (const Case& c : cases) {
    Restart();
    Reports.clear();
    c.arrange();
    RunRegisteredService();
    EXPECT_EQ(Trail(), c.trail) << c.name;
    EXPECT_EQ(ReadLogBytes(), "Part Number Check Error!!\r\n") << c.name;
    EXPECT_TRUE(VirtualSleeps.empty()) << c.name;
  }
}

// The narrowest moment: shutdown arrives right after a latch is acknowledged,
// with a second press latched behind it. Stop-pending is reported at once;
// both presses are applied and logged before stopped, and nothing follows.
HxOutpFn AcknowledgeOnBoard = nullptr;
DWORD ControlAfterAcknowledge = 0;
void WINAPI AcknowledgeThenControl(DWORD port, DWORD value) {
  AcknowledgeOnBoard(port, value);
  if (ControlAfterAcknowledge != 0) SendControl(ControlAfterAcknowledge);
  ControlAfterAcknowledge = 0;
}

TEST_F(ServiceStatusTest, ShutdownWithPressesInFlightLosesNothing) {
  ControlAfterAcknowledge = SERVICE_CONTROL_SHUTDOWN;
  AtPollSleep([](int count) {
    if (count != 1) return;
    AcknowledgeOnBoard = hx_outp;
    hx_outp = AcknowledgeThenControl;
    boardsim::Press(BoardSim(), false);
    boardsim::Press(BoardSim(), true);
  });
  RunRegisteredService();

  EXPECT_EQ(Trail(), (std::vector<Status>{kPendingLibrary, kPendingBoard, kPendingClock, kRunning, kStopPending,
                                          kStoppedCleanly}));
  ASSERT_EQ(Reports.size(), 6u);
  // Stop-pending was reported before the first step was logged; stopped after both.
  EXPECT_EQ(Reports[4].log, "Current CPU Freq is 100.000\r\n");
  EXPECT_EQ(Reports[5].log,
            "Current CPU Freq is 100.000\r\nNow Current CPU Freq is 99.900\r\nNow Current CPU Freq is 100.000\r\n");
  EXPECT_EQ(AppliedHzAfter(clockMark_), (std::vector<uint32_t>{99900000u, 100000000u}));
  EXPECT_EQ(BoardSim()->latchesAcked, 2);
  EXPECT_EQ(boardsim::PendingLatches(BoardSim()), 0);
  EXPECT_EQ(GetModuleHandleA("Kpx.dll"), nullptr);
}

TEST_F(ServiceStatusTest, OtherControlsLeaveThePollingRunning) {
  const DWORD controls[] = {SERVICE_CONTROL_PAUSE,       SERVICE_CONTROL_CONTINUE,   SERVICE_CONTROL_INTERROGATE,
                            SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_POWEREVENT, SERVICE_CONTROL_PRESHUTDOWN,
                            128 /* user-defined */};
  for (DWORD control : controls) {
    Restart();
    Reports.clear();
    AtPollSleep([control](int count) {
      if (count == 1) SendControl(control);
      if (count == 3) SendControl(SERVICE_CONTROL_STOP);
    });
    RunRegisteredService();
    EXPECT_EQ(Trail(), (std::vector<Status>{kPendingLibrary, kPendingBoard, kPendingClock, kRunning, kStopPending,
                                            kStoppedCleanly}))
        << "control " << control;
    EXPECT_EQ(VirtualSleeps, (std::vector<DWORD>{500, 500, 500})) << "control " << control;
  }
}

TEST_F(ServiceStatusTest, ASecondStopOrShutdownReportsNothingMore) {
  AtPollSleep([](int count) {
    if (count != 1) return;
    SendControl(SERVICE_CONTROL_STOP);
    SendControl(SERVICE_CONTROL_SHUTDOWN);
    SendControl(SERVICE_CONTROL_STOP);
  });
  RunRegisteredService();
  EXPECT_EQ(Trail(), (std::vector<Status>{kPendingLibrary, kPendingBoard, kPendingClock, kRunning, kStopPending,
                                          kStoppedCleanly}));
  // Nothing after stopped either, even from a late control.
  SendControl(SERVICE_CONTROL_SHUTDOWN);
  EXPECT_EQ(Trail().size(), 6u);
}

}  // namespace
