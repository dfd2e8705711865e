// Installation under Wine's service control manager: the description and recovery actions "-i" sets, all or nothing; the package's steps that keep and put back the entry.
#include <cstring>
#include <string>
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
    ForgetPackageState();
  }
};

// The entry's settings that the package's steps note and put back.
struct Config {
  bool exists;
  std::string imagePath;
  DWORD startType;
  std::string displayName;
  std::string description;
};

Config ReadConfig() {
  Config config{false, "", 0, "", ""};
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return config;
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    union {
      QUERY_SERVICE_CONFIGA info;
      char bytes[8192];
    } buffer = {};
    DWORD needed = 0;
    if (QueryServiceConfigA(service, &buffer.info, sizeof buffer, &needed)) {
      config.exists = true;
      config.imagePath = buffer.info.lpBinaryPathName;
      config.startType = buffer.info.dwStartType;
      config.displayName = buffer.info.lpDisplayName;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  config.description = ReadEntry().description;
  return config;
}

// An entry as someone else made it: another path, demand start, another
// description.
const char kOtherPath[] = "\"C:\\elsewhere\\Vexaclkd.exe\"";
const char kOtherDescription[] = "made by hand";

bool MakeOtherEntry() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = CreateServiceA(manager, kServiceName, "Vexa Tapclock service", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     kOtherPath, nullptr, nullptr, nullptr, nullptr, nullptr);
  char description[sizeof kOtherDescription];
  memcpy(description, kOtherDescription, sizeof description);
  SERVICE_DESCRIPTIONA info = {description};
  const bool made = service != nullptr && ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return made;
}

bool PackageStateExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPackageStateKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string OwnQuotedPath() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string("\"") + path + "\"";
}

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

// An install or repair over an existing entry (a hand-made one, or the one an
// upgrade keeps) brings its settings up to date and leaves its Parameters.
TEST_F(ServiceInstallTest, PackageInstallUpdatesAnExistingEntryInPlaceKeepingItsParameters) {
  ASSERT_TRUE(MakeOtherEntry());
  SetParameterDword("MaxFrequencyKHz", 100300);
  SetParameterDword("LastFrequencyKHz", 100200);
  ASSERT_FALSE(InstallService()) << "-i refuses an existing entry";

  ASSERT_TRUE(InstallOrUpdateService());
  const Config config = ReadConfig();
  EXPECT_EQ(config.imagePath, OwnQuotedPath());
  EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config.description, kServiceDescription);
  EXPECT_EQ(Actions.size(), 3u) << "the recovery actions set";
  DWORD value = 0;
  EXPECT_TRUE(ParameterDword("MaxFrequencyKHz", value) && value == 100300);
  EXPECT_TRUE(ParameterDword("LastFrequencyKHz", value) && value == 100200);
}

// What a rollback puts back after each change the package makes to the entry,
// from the state noted before it; and nothing without a noted state.
TEST_F(ServiceInstallTest, RollbackPutsTheNotedEntryBackAfterEachChange) {
  struct Case {
    const char* name;
    bool entryBefore;                // a hand-made entry with Parameters before the package
    bool noteFirst;                  // the package noted the state before its change
    bool (*change)();                // what the package did to the entry then
  };
  const Case cases[] = {
      {"deleted by the uninstall's -d", true, true, RemoveService},
      {"updated in place by an install", true, true, InstallOrUpdateService},
      {"made by an install", false, true, InstallService},
      {"nothing noted: left as it is", true, false, InstallOrUpdateService},
  };
  for (const Case& c : cases) {
    RemoveService();
    ForgetPackageState();
    if (c.entryBefore) {
      ASSERT_TRUE(MakeOtherEntry()) << c.name;
      SetParameterDword("MinFrequencyKHz", 99800);
    }
    if (c.noteFirst) {
      ASSERT_TRUE(SaveAndStopForPackage()) << c.name;
    }
    ASSERT_TRUE(c.change()) << c.name;
    const Config changed = ReadConfig();

    EXPECT_TRUE(StopForRollback()) << c.name;
    EXPECT_TRUE(RestoreSavedEntry()) << c.name;
    EXPECT_TRUE(RestartAndForget()) << c.name;

    const Config config = ReadConfig();
    EXPECT_FALSE(PackageStateExists()) << c.name;
    if (!c.noteFirst) {
      EXPECT_EQ(config.imagePath, changed.imagePath) << c.name;
      continue;
    }
    EXPECT_EQ(config.exists, c.entryBefore) << c.name;
    if (!c.entryBefore) continue;
    EXPECT_EQ(config.imagePath, kOtherPath) << c.name;
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START)) << c.name;
    EXPECT_EQ(config.displayName, "Vexa Tapclock service") << c.name;
    EXPECT_EQ(config.description, kOtherDescription) << c.name;
    DWORD value = 0;
    EXPECT_TRUE(ParameterDword("MinFrequencyKHz", value) && value == 99800) << c.name;
  }
}

}  // namespace
