// Test support: simulator state access, virtual-time sleep and log reading shared by the unit tests.
#include "test_support.h"

#include <cstdio>
#include <ostream>
#include <thread>

#include "hardware/port_library.h"
#include "service/service_worker.h"
#include "tuning/activity_log.h"
#include "tuning/button_poll.h"

std::string ExeDir() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of('\\') + 1);
}

bool RegisterClockSimulator(bool registered) {
  const HMODULE dll = LoadLibraryA((ExeDir() + "clocksim.dll").c_str());
  if (dll == nullptr) return false;
  typedef HRESULT(STDAPICALLTYPE * RegisterFn)();
  const auto entry = reinterpret_cast<RegisterFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, registered ? "DllRegisterServer" : "DllUnregisterServer")));
  const bool done = entry != nullptr && SUCCEEDED(entry());
  FreeLibrary(dll);
  return done;
}

clocksim::State* ClockSim() {
  static clocksim::State* state = clocksim::Open();
  return state;
}

boardsim::State* BoardSim() {
  static boardsim::State* state = boardsim::Open();
  return state;
}

const boardsim::BoardRow& TableRow(uint32_t variant) {
  const boardsim::BoardRow* row = boardsim::BoardRowOf(variant);
  if (row == nullptr) {
    ADD_FAILURE() << "the board table has no variant " << variant;
    return boardsim::kBoardTable[0];
  }
  return *row;
}

std::vector<clocksim::Call> ClockCallsAfter(uint32_t mark) {
  std::vector<clocksim::Call> calls;
  const uint32_t last = static_cast<uint32_t>(ClockSim()->callCount);
  for (uint32_t seq = mark + 1; seq <= last; ++seq) {
    const clocksim::Call* call = clocksim::CallAt(ClockSim(), seq);
    if (call != nullptr) calls.push_back(*call);
  }
  return calls;
}

std::vector<uint32_t> AppliedHzAfter(uint32_t mark) {
  std::vector<uint32_t> hz;
  for (const clocksim::Call& call : ClockCallsAfter(mark)) {
    if (call.op == clocksim::OpSetClockSettings) hz.push_back(call.settings[0]);
  }
  return hz;
}

std::ostream& operator<<(std::ostream& out, const PortOp& op) {
  char text[48];
  snprintf(text, sizeof text, "%s(0x%04X, 0x%02X)", op.kind == boardsim::OpIn ? "In" : "Out", op.port, op.value);
  return out << text;
}

PortOp In(uint32_t port, uint32_t value) { return PortOp{boardsim::OpIn, port, value}; }
PortOp Out(uint32_t port, uint32_t value) { return PortOp{boardsim::OpOut, port, value}; }

std::vector<boardsim::Op> BoardOpsAfter(uint32_t mark) {
  std::vector<boardsim::Op> ops;
  const uint32_t last = static_cast<uint32_t>(BoardSim()->opCount);
  for (uint32_t seq = mark + 1; seq <= last; ++seq) {
    const boardsim::Op* op = boardsim::OpAt(BoardSim(), seq);
    if (op != nullptr) ops.push_back(*op);
  }
  return ops;
}

std::vector<PortOp> PortOpsAfter(uint32_t mark) {
  std::vector<PortOp> ports;
  for (const boardsim::Op& op : BoardOpsAfter(mark)) {
    if (op.kind == boardsim::OpIn || op.kind == boardsim::OpOut) ports.push_back(PortOp{op.kind, op.port, op.value});
  }
  return ports;
}

std::string ReadLogBytes() {
  FILE* file = fopen(LogPath(), "rb");
  if (file == nullptr) return "";
  std::string bytes;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  fclose(file);
  return bytes;
}

bool LogFileExists() { return GetFileAttributesA(LogPath()) != INVALID_FILE_ATTRIBUTES; }

uint64_t LogFileSize() {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(LogPath(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

namespace {
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Vexaclkd\\Parameters";
const char kPolicyKey[] = "SOFTWARE\\Policies\\Vexaclkd";
}  // namespace

void SetParameter(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
  RegCloseKey(key);
}

void SetParameterDword(const char* name, DWORD value) { SetParameter(name, REG_DWORD, &value, sizeof value); }

bool ParameterDword(const char* name, DWORD& value) {
  DWORD type = REG_NONE;
  DWORD size = sizeof value;
  return RegGetValueA(HKEY_LOCAL_MACHINE, kParametersKey, name, RRF_RT_ANY, &type, &value, &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof value;
}

bool ParameterExists(const char* name) {
  return RegGetValueA(HKEY_LOCAL_MACHINE, kParametersKey, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

void RemoveServiceParameters() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kParametersKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParametersKey);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1;
  DWORD values = 1;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                   nullptr);
  RegCloseKey(key);
  // Made only by the service's writes: no service of that name is installed here.
  if (subkeys == 0 && values == 0) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kServiceKey);
}

void CreateServiceKey() {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetPolicy(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
  RegCloseKey(key);
}

void SetPolicyDword(const char* name, DWORD value) { SetPolicy(name, REG_DWORD, &value, sizeof value); }

void RemovePolicyKey() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_WOW64_64KEY, 0); }

void DeleteParametersKey() { EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, kParametersKey), ERROR_SUCCESS); }

void DeleteParameter(const char* name) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS) << name;
  RegCloseKey(key);
}

std::vector<DWORD> VirtualSleeps;
std::function<void(DWORD)> VirtualSleepHook;

void WINAPI VirtualSleep(DWORD milliseconds) {
  VirtualSleeps.push_back(milliseconds);
  if (VirtualSleepHook) VirtualSleepHook(milliseconds);
}

void SimulatedBoardTest::SetUp() {
  ASSERT_NE(ClockSim(), nullptr);
  ASSERT_NE(BoardSim(), nullptr);
  library_ = LoadPortLibrary();
  ASSERT_NE(library_, nullptr) << "Kpx.dll simulator beside the test program";
  ASSERT_TRUE(BindPortLibrary(library_));
  PollSleep = VirtualSleep;
  Restart();
}

void SimulatedBoardTest::Restart() {
  clocksim::Reset(ClockSim());
  boardsim::Reset(BoardSim());
  VirtualSleeps.clear();
  VirtualSleepHook = nullptr;
  ResetLog();
  RemoveServiceParameters();
  RemovePolicyKey();
  clockMark_ = static_cast<uint32_t>(ClockSim()->callCount);
  boardMark_ = static_cast<uint32_t>(BoardSim()->opCount);
}

void SimulatedBoardTest::TearDown() {
  RemoveServiceParameters();
  RemovePolicyKey();
  PollSleep = Sleep;
  VirtualSleepHook = nullptr;
  ReleasePortLibrary(library_);
  library_ = nullptr;
}

void SimulatedBoardTest::SetPort(uint32_t port, uint32_t value) {
  InterlockedExchange(&BoardSim()->ports[port & 0xFFFF], static_cast<LONG>(value & 0xFF));
}

DWORD SendControl(DWORD control, DWORD eventType) {
  DWORD answer = 0;
  std::thread dispatcher([&] { answer = ServiceCtrlHandlerEx(control, eventType, nullptr, nullptr); });
  dispatcher.join();
  return answer;
}

namespace {
BOOL WINAPI DropStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return TRUE; }
}  // namespace

void ServiceRunTest::SetUp() {
  SimulatedBoardTest::SetUp();
  // The run loads and releases the library itself.
  ReleasePortLibrary(library_);
  library_ = nullptr;
  SendServiceStatus = DropStatus;
  Fresh();
}

void ServiceRunTest::TearDown() {
  SendServiceStatus = SetServiceStatus;
  InterlockedExchange(&RunFlag, 1);
  SimulatedBoardTest::TearDown();
}

void ServiceRunTest::Fresh() {
  Restart();
  boardsim::SelectVariant(BoardSim(), 2);
}

std::string ServiceRunTest::RunPolls(int polls, const std::function<void(int)>& beforePoll) {
  // A run whose stop went unheard is ended after a while, so that it fails, not hangs.
  const int runaway = polls + 20;
  VirtualSleepHook = [&, count = 0](DWORD ms) mutable {
    if (ms != kPollPeriodMs) return;
    ++count;
    if (count <= polls) beforePoll(count);
    if (count == polls + 1) SendControl(SERVICE_CONTROL_STOP);
    if (count == runaway) InterlockedExchange(&RunFlag, 0);
  };
  RunRegisteredService();
  VirtualSleepHook = nullptr;
  return ReadLogBytes();
}

void ServiceRunTest::Press(char press) {
  SetPort(boardsim::StepPort(2), (press == 'U' || press == 'D') ? 0x40 : 0x00);
  boardsim::Press(BoardSim(), press == 'u' || press == 'U');
}
