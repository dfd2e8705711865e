// Installation under Wine's service control manager: the description and recovery actions "-i" sets, all or nothing.
#include <vector>

#include "service/service_install.h"
#include "service/service_worker.h"
#include "test_support.h"

namespace {

// Every ChangeServiceConfig2 call, passed on to the real one unless its level
// is the one to fail. Wine accepts failure actions but keeps none, so the
// actions are checked as the service hands them over.
std::vector<DWORD> Levels;
DWORD FailingLevel = 0;
SERVICE_FAILURE_ACTIONSA FailureActions = {};
std::vector<SC_ACTION> Actions;

BOOL WINAPI WatchChangeServiceConfig2(SC_HANDLE service, DWORD level, LPVOID info) {
  Levels.push_back(level);
  if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    FailureActions = *static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    Actions.assign(FailureActions.lpsaActions, FailureActions.lpsaActions + FailureActions.cActions);
  }
  if (level == FailingLevel) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return ChangeServiceConfig2A(service, level, info);
}

// What the service control manager holds for the entry: whether it exists and
// its description.
struct Entry {
  bool exists;
  std::string description;
};

Entry ReadEntry() {
  Entry entry{false, ""};
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return entry;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    entry.exists = true;
    union {
      SERVICE_DESCRIPTIONA info;
      char bytes[4096];
    } buffer = {};
    DWORD needed = 0;
    if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(&buffer), sizeof buffer,
                             &needed) &&
        buffer.info.lpDescription != nullptr) {
      entry.description = buffer.info.lpDescription;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return entry;
}

class ServiceInstallTest : public testing::Test {
 protected:
  // This prefix's service database must never keep an entry that starts
  // this test program at the next session.
  void SetUp() override {
    RemoveService();
    ASSERT_FALSE(ReadEntry().exists);
    ChangeServiceConfig2Call = WatchChangeServiceConfig2;
  }
  void TearDown() override {
    ChangeServiceConfig2Call = ChangeServiceConfig2A;
    FailingLevel = 0;
    RemoveService();
  }
};

TEST_F(ServiceInstallTest, AnyPartFailingLeavesNoEntryAndTheNextInstallWorks) {
  struct Case {
    const char* name;
    DWORD failingLevel;
    bool installed;
    std::vector<DWORD> levels;  // calls made, in order
  };
  const Case cases[] = {
      {"description refused", SERVICE_CONFIG_DESCRIPTION, false, {SERVICE_CONFIG_DESCRIPTION}},
      {"failure actions refused", SERVICE_CONFIG_FAILURE_ACTIONS, false,
       {SERVICE_CONFIG_DESCRIPTION, SERVICE_CONFIG_FAILURE_ACTIONS}},
      // Straight after a failed install: the deleted entry is really gone.
      {"nothing refused", 0, true, {SERVICE_CONFIG_DESCRIPTION, SERVICE_CONFIG_FAILURE_ACTIONS}},
  };
  for (const Case& c : cases) {
    Levels.clear();
    FailingLevel = c.failingLevel;
    EXPECT_EQ(InstallService(), c.installed) << c.name;
    EXPECT_EQ(Levels, c.levels) << c.name;
    const Entry entry = ReadEntry();
    EXPECT_EQ(entry.exists, c.installed) << c.name;
    EXPECT_EQ(entry.description, c.installed ? kServiceDescription : "") << c.name;
  }
}

TEST_F(ServiceInstallTest, RecoveryRestartsTwiceAfterAMinuteThenNothingAndResetsAfterADay) {
  ASSERT_TRUE(InstallService());
  EXPECT_EQ(FailureActions.dwResetPeriod, 86400u);
  EXPECT_EQ(FailureActions.lpRebootMsg, nullptr);
  EXPECT_EQ(FailureActions.lpCommand, nullptr);
  ASSERT_EQ(Actions.size(), 3u);
  const SC_ACTION expected[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
  for (size_t i = 0; i < Actions.size(); ++i) {
    EXPECT_EQ(Actions[i].Type, expected[i].Type) << "action " << i;
    EXPECT_EQ(Actions[i].Delay, expected[i].Delay) << "action " << i;
  }
}

}  // namespace
