// Test support: the two simulators' state, a virtual-time sleep, and the activity log's bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board_sim_state.h"
#include "clock_sim_state.h"

// Folder of the running test program, with a trailing backslash.
std::string ExeDir();

// DllRegisterServer / DllUnregisterServer of the clock simulator beside the test.
bool RegisterClockSimulator(bool registered);

clocksim::State* ClockSim();
boardsim::State* BoardSim();

// The board table's row of variant (its ports, masks and part number are the
// tests' inputs). A variant the table lacks fails the test and gives row 1.
const boardsim::BoardRow& TableRow(uint32_t variant);

// Calls of the clock simulator after the given call count.
std::vector<clocksim::Call> ClockCallsAfter(uint32_t mark);
// Hz values sent with SetClockSettings after the given call count.
std::vector<uint32_t> AppliedHzAfter(uint32_t mark);

struct PortOp {
  uint32_t kind;  // boardsim::OpIn or boardsim::OpOut
  uint32_t port;
  uint32_t value;
  bool operator==(const PortOp& other) const {
    return kind == other.kind && port == other.port && value == other.value;
  }
};
std::ostream& operator<<(std::ostream& out, const PortOp& op);
PortOp In(uint32_t port, uint32_t value);
PortOp Out(uint32_t port, uint32_t value);

// Port reads and writes of the board simulator after the given op count.
std::vector<PortOp> PortOpsAfter(uint32_t mark);
// Every op kind of the board simulator after the given op count.
std::vector<boardsim::Op> BoardOpsAfter(uint32_t mark);

// The activity log's bytes; "" when there is no log file.
std::string ReadLogBytes();
bool LogFileExists();
// The activity log's length in bytes; 0 when there is no log file.
uint64_t LogFileSize();

// The service's Parameters key in this prefix's registry, where the service
// reads its settings and remembers its frequency.
void SetParameter(const char* name, DWORD type, const void* data, DWORD size);
void SetParameterDword(const char* name, DWORD value);
// True, with the value, when name is there as a REG_DWORD.
bool ParameterDword(const char* name, DWORD& value);
bool ParameterExists(const char* name);
// Deletes the Parameters key, and the service's key when that is left empty.
void RemoveServiceParameters();
// The service's key without a Parameters key, as the service finds it when
// installed and never set up.
void CreateServiceKey();
// The service's policy key (HKLM\SOFTWARE\Policies\Vexaclkd), in the 64-bit
// view where the policy engine writes it.
void SetPolicy(const char* name, DWORD type, const void* data, DWORD size);
void SetPolicyDword(const char* name, DWORD value);
// Deletes the policy key, if there is one.
void RemovePolicyKey();
// Deletes the Parameters key alone.
void DeleteParametersKey();
// Deletes one value of the Parameters key.
void DeleteParameter(const char* name);

// Virtual time for the polling thread: records each requested sleep and runs
// an optional hook instead of sleeping.
extern std::vector<DWORD> VirtualSleeps;
extern std::function<void(DWORD)> VirtualSleepHook;
void WINAPI VirtualSleep(DWORD milliseconds);

// Fresh simulators, the port library bound from beside the test program,
// polling in virtual time, a fresh log, no service Parameters key.
class SimulatedBoardTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fresh simulators, log, virtual time and Parameters, for the next case of a table.
  void Restart();

  // Puts the board's register byte at port.
  static void SetPort(uint32_t port, uint32_t value);

  HMODULE library_ = nullptr;
  uint32_t clockMark_ = 0;
  uint32_t boardMark_ = 0;
};

// A control as the dispatcher delivers it: on a thread of its own. What the
// handler answered.
DWORD SendControl(DWORD control, DWORD eventType = 0);

// The registered service's run in virtual time, with a variant-2 board and
// the clock at 100 MHz; status reports are taken and dropped.
class ServiceRunTest : public SimulatedBoardTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fresh simulators, log, virtual time and Parameters, for the next case of a table.
  void Fresh();

  // Runs the service: beforePoll(n) runs in the sleep before the n-th poll,
  // for n from 1 to polls; then a stop comes in the next sleep, after which
  // one last poll runs. The log.
  static std::string RunPolls(int polls, const std::function<void(int)>& beforePoll);

  // Latches a press of the variant-2 board: 'u' or 'd' with the 0.1 MHz
  // step, 'U' or 'D' with the 1 MHz step.
  static void Press(char press);
};
