// Which registry view the service reads its policy key from: the 64-bit one, where the policy engine writes, also when the service is a 32-bit process on 64-bit Windows.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "service/service_settings.h"
#include "tuning/activity_log.h"

namespace {

const char kPolicyKey[] = "SOFTWARE\\Policies\\Vexaclkd";
const char kValue[] = "MaxFrequencyKHz";

void WriteIn(REGSAM view, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

DWORD ReadIn(REGSAM view) {
  HKEY key = nullptr;
  DWORD value = 0;
  DWORD size = sizeof value;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | view, &key), ERROR_SUCCESS);
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
  printf("process: %s; policy key in the 64-bit view: %lu, in the 32-bit view: %lu (%s)\n",
         RunsUnderWow64() ? "32-bit on 64-bit Windows" : (sizeof(void*) == 8 ? "64-bit" : "32-bit on 32-bit Windows"),
         static_cast<unsigned long>(in64), static_cast<unsigned long>(in32),
         in64 == in32 ? "one key" : "two keys: redirected");

  const ServiceSettings settings = ReadServiceSettings();
  EXPECT_EQ(settings.limits.maxKHz, in64);

  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_WOW64_64KEY, 0);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_WOW64_32KEY, 0);
}

}  // namespace
