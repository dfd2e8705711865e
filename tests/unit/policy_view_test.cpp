// Which registry view the service reads its policy key from: the 64-bit one, where the policy engine writes, also when the service is a 32-bit process on 64-bit Windows.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "service/service_settings.h"
#include "tuning/activity_log.h"

namespace {

const char kPolicyKey[] = "SOFTWARE\\Policies\\Vexaclkd";
// A key of no one's under SOFTWARE, which 64-bit Windows redirects for 32-bit
// processes: tells whether this process has two views at all.
const char kControlKey[] = "SOFTWARE\\VexaclkdViewProbe";
const char kValue[] = "MaxFrequencyKHz";

void WriteIn(REGSAM view, DWORD value, const char* path = kPolicyKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

DWORD ReadIn(REGSAM view, const char* path = kPolicyKey) {
  HKEY key = nullptr;
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  RegCloseKey(key);
  return value;
}

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The 64-bit view gets one maximum, the 32-bit view another; where the two
// views are one key (a 32-bit system, or a key the system shares between
// them) the second write wins in both. The service must take what the 64-bit
// view holds. The line printed says which case this process is in: only with
// two keys does the check tell a redirected read from a right one.
TEST(PolicyViewTest, ThePolicyIsReadFromThe64BitView) {
  ResetLog();
  WriteIn(KEY_WOW64_64KEY, 100100);
  WriteIn(KEY_WOW64_32KEY, 100300);
  const DWORD in64 = ReadIn(KEY_WOW64_64KEY);
  const DWORD in32 = ReadIn(KEY_WOW64_32KEY);
  WriteIn(KEY_WOW64_64KEY, 1, kControlKey);
  WriteIn(KEY_WOW64_32KEY, 2, kControlKey);
  const bool twoViews = ReadIn(KEY_WOW64_64KEY, kControlKey) != ReadIn(KEY_WOW64_32KEY, kControlKey);
  printf("process: %s; SOFTWARE is %s; the policy key in the 64-bit view: %lu, in the 32-bit view: %lu (%s)\n",
         RunsUnderWow64() ? "32-bit on 64-bit Windows" : (sizeof(void*) == 8 ? "64-bit" : "32-bit on 32-bit Windows"),
         twoViews ? "two views" : "one view", static_cast<unsigned long>(in64), static_cast<unsigned long>(in32),
         in64 == in32 ? "one key: shared" : "two keys: redirected");

  const ServiceSettings settings = ReadServiceSettings();
  EXPECT_EQ(settings.limits.maxKHz, in64);

  for (const char* path : {kPolicyKey, kControlKey}) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0);
  }
}

}  // namespace
