// Self-test of the clock controller simulator: fault injection, instance lifetime, call ring, registration.
#include <windows.h>
#include <objbase.h>
#include <unknwn.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clock_sim_state.h"

constexpr const char* kProgId = "ICCProxy.IccProxyClockManipulations.1";
const IID kIidClockControl = {0x71DDF0D4, 0x8AA9, 0x4F69, {0x80, 0xD3, 0x03, 0x18, 0x79, 0xDA, 0x4D, 0x2C}};

struct ClockSettings {
  uint32_t words[4];
};

// The controller interface as a caller declares it (C++ virtual methods), so
// these tests also check the simulator's slot order and by-value record.
// Kept out of the anonymous namespace: with internal linkage and no override
// in sight, GCC takes every call of its pure methods as unreachable.
class IClockControl : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE Unused3() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unused4() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unused5() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unused6() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClockCount(BYTE* info, BYTE* count, DWORD* error) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClockMask(DWORD zero, DWORD* mask, DWORD* error) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClockDescriptor(BYTE index, BYTE* descriptor, DWORD* error) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClockSettings(BYTE index, ClockSettings* settings, DWORD* error) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClockSettings(BYTE index, ClockSettings settings, DWORD* error) = 0;
};

namespace {

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* PlainEntryFn)();

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool ProgIdClsid(CLSID* clsid) {
  wchar_t wide[64];
  MultiByteToWideChar(CP_ACP, 0, kProgId, -1, wide, 64);
  return SUCCEEDED(CLSIDFromProgID(wide, clsid));
}

std::wstring ReadClassValue(const CLSID& clsid, const wchar_t* subkey, const wchar_t* name) {
  wchar_t clsidText[64];
  StringFromGUID2(clsid, clsidText, 64);
  std::wstring path = std::wstring(L"Software\\Classes\\CLSID\\") + clsidText + L"\\" + subkey;
  wchar_t value[MAX_PATH] = {};
  DWORD bytes = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
    return L"";
  return value;
}

// The DLL beside this program, registered for the suite (as it was found
// afterwards), a fresh state for every test.
class ClockSimTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CLSID ignored;
    wasRegistered_ = ProgIdClsid(&ignored);
    module_ = LoadLibraryExA("clocksim.dll", nullptr,
                             LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module_) return;
    registerServer_ = Entry<PlainEntryFn>(module_, "DllRegisterServer");
    unregisterServer_ = Entry<PlainEntryFn>(module_, "DllUnregisterServer");
    canUnloadNow_ = Entry<PlainEntryFn>(module_, "DllCanUnloadNow");
    getClassObject_ = Entry<GetClassObjectFn>(module_, "DllGetClassObject");
    if (registerServer_ && SUCCEEDED(registerServer_()) && ProgIdClsid(&clsid_) && getClassObject_)
      getClassObject_(clsid_, IID_IClassFactory, reinterpret_cast<void**>(&factory_));
  }

  static void TearDownTestSuite() {
    if (factory_) factory_->Release();
    factory_ = nullptr;
    if (registerServer_) {
      if (wasRegistered_) {
        registerServer_();
      } else {
        unregisterServer_();
      }
    }
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
    CoUninitialize();
  }

  void SetUp() override {
    ASSERT_NE(module_, nullptr) << "clocksim.dll beside the test program";
    ASSERT_NE(factory_, nullptr) << "class factory through the registered ProgID";
    state_ = clocksim::Open();
    ASSERT_NE(state_, nullptr);
    clocksim::Reset(state_);
  }

  IClockControl* Create(HRESULT* result) {
    IClockControl* clock = nullptr;
    *result = factory_->CreateInstance(nullptr, kIidClockControl, reinterpret_cast<void**>(&clock));
    return clock;
  }

  const clocksim::Call* LastCall() const {
    return clocksim::CallAt(state_, static_cast<uint32_t>(state_->callCount));
  }

  static HMODULE module_;
  static PlainEntryFn registerServer_;
  static PlainEntryFn unregisterServer_;
  static PlainEntryFn canUnloadNow_;
  static GetClassObjectFn getClassObject_;
  static IClassFactory* factory_;
  static CLSID clsid_;
  static bool wasRegistered_;
  clocksim::State* state_ = nullptr;
};

HMODULE ClockSimTest::module_ = nullptr;
PlainEntryFn ClockSimTest::registerServer_ = nullptr;
PlainEntryFn ClockSimTest::unregisterServer_ = nullptr;
PlainEntryFn ClockSimTest::canUnloadNow_ = nullptr;
GetClassObjectFn ClockSimTest::getClassObject_ = nullptr;
IClassFactory* ClockSimTest::factory_ = nullptr;
CLSID ClockSimTest::clsid_ = {};
bool ClockSimTest::wasRegistered_ = false;

// Calls every operation once on clock 1; returns the error code of each, by slot.
void CallEveryOp(IClockControl* clock, const ClockSettings& toSet, DWORD errors[12]) {
  BYTE info[8];
  BYTE count = 0;
  DWORD mask = 0;
  BYTE descriptor[20];
  ClockSettings read = {};
  clock->GetClockCount(info, &count, &errors[clocksim::OpGetClockCount]);
  clock->GetClockMask(0, &mask, &errors[clocksim::OpGetClockMask]);
  clock->GetClockDescriptor(1, descriptor, &errors[clocksim::OpGetClockDescriptor]);
  clock->GetClockSettings(1, &read, &errors[clocksim::OpGetClockSettings]);
  clock->SetClockSettings(1, toSet, &errors[clocksim::OpSetClockSettings]);
}

TEST_F(ClockSimTest, InjectedFaultHitsOnlyItsSlotAndAFailedSetStoresNothing) {
  const uint32_t kOps[] = {clocksim::OpGetClockCount, clocksim::OpGetClockMask, clocksim::OpGetClockDescriptor,
                           clocksim::OpGetClockSettings, clocksim::OpSetClockSettings};
  const ClockSettings kBefore = {{100000000, 0xA1, 0xB2, 0xC3}};
  const ClockSettings kToSet = {{123456789, 0x11, 0x22, 0x33}};
  for (uint32_t failing : kOps) {
    SCOPED_TRACE(failing);
    clocksim::Reset(state_);
    state_->failCode = 0x5A00 + failing;
    state_->failOp = failing;
    HRESULT created = E_FAIL;
    IClockControl* clock = Create(&created);
    ASSERT_NE(clock, nullptr);
    uint32_t mark = static_cast<uint32_t>(state_->callCount);
    DWORD errors[12] = {};
    CallEveryOp(clock, kToSet, errors);
    for (uint32_t op : kOps) {
      EXPECT_EQ(errors[op], op == failing ? 0x5A00 + op : 0u) << "slot " << op;
      const clocksim::Call* call = clocksim::CallAt(state_, mark + op - clocksim::OpGetClockCount + 1);
      ASSERT_NE(call, nullptr);
      EXPECT_EQ(call->op, op);
      EXPECT_EQ(call->error, errors[op]) << "recorded error of slot " << op;
    }
    const ClockSettings& expected = failing == clocksim::OpSetClockSettings ? kBefore : kToSet;
    EXPECT_EQ(memcmp(state_->settings[1], expected.words, sizeof(expected.words)), 0);
    const clocksim::Call* set = clocksim::CallAt(state_, mark + 5);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(memcmp(set->settings, kToSet.words, sizeof(kToSet.words)), 0) << "record of what was passed";
    clock->Release();
  }
}

// A slow device for start-up tests: only the next call of the chosen slot waits.
TEST_F(ClockSimTest, DelayHoldsOnlyTheNextCallOfItsSlot) {
  const uint32_t kOps[] = {clocksim::OpGetClockCount, clocksim::OpGetClockMask, clocksim::OpGetClockDescriptor,
                           clocksim::OpGetClockSettings, clocksim::OpSetClockSettings};
  const DWORD kDelayMs = 300;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (uint32_t delayed : kOps) {
    SCOPED_TRACE(delayed);
    clocksim::Reset(state_);
    state_->delayMs = kDelayMs;
    state_->delayOp = static_cast<LONG>(delayed);
    HRESULT created = E_FAIL;
    IClockControl* clock = Create(&created);
    ASSERT_NE(clock, nullptr);
    const uint32_t mark = static_cast<uint32_t>(state_->callCount);  // the creation
    DWORD errors[12] = {};
    const ClockSettings kToSet = {{100000000, 0xA1, 0xB2, 0xC3}};
    CallEveryOp(clock, kToSet, errors);
    EXPECT_EQ(state_->delayOp, 0) << "used up";
    CallEveryOp(clock, kToSet, errors);
    clock->Release();
    // Each call is recorded when it returns: only the gap before the first
    // call of the delayed slot holds the delay.
    std::vector<uint32_t> slow;
    for (uint32_t seq = mark + 1; seq <= mark + 10; ++seq) {
      const clocksim::Call* before = clocksim::CallAt(state_, seq - 1);
      const clocksim::Call* call = clocksim::CallAt(state_, seq);
      ASSERT_NE(before, nullptr);
      ASSERT_NE(call, nullptr);
      if ((call->qpc - before->qpc) * 1000 >= static_cast<int64_t>(kDelayMs) * frequency.QuadPart) slow.push_back(call->op);
    }
    EXPECT_EQ(slow, std::vector<uint32_t>{delayed});
  }
}

TEST_F(ClockSimTest, CreateResultDecidesWhetherAnInstanceIsHandedOut) {
  struct Case {
    HRESULT createResult;
    bool handsOut;
  };
  const Case kCases[] = {
      {S_OK, true},
      {S_FALSE, true},
      {E_FAIL, false},
      {REGDB_E_CLASSNOTREG, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<unsigned long>(c.createResult));
    clocksim::Reset(state_);
    state_->createResult = c.createResult;
    HRESULT result = S_OK;
    IClockControl* clock = Create(&result);
    EXPECT_EQ(result, c.createResult);
    EXPECT_EQ(clock != nullptr, c.handsOut);
    EXPECT_EQ(state_->liveInstances, c.handsOut ? 1 : 0);
    EXPECT_EQ(state_->instancesCreated, c.handsOut ? 1 : 0);
    EXPECT_EQ(state_->callCount, c.handsOut ? 1 : 0);
    if (!clock) continue;
    EXPECT_EQ(LastCall()->op, clocksim::OpCreate);
    clock->Release();
    EXPECT_EQ(state_->liveInstances, 0);
    ASSERT_NE(LastCall(), nullptr);
    EXPECT_EQ(LastCall()->op, clocksim::OpRelease);
  }
}

TEST_F(ClockSimTest, InstanceLivesUntilItsLastReference) {
  HRESULT result = E_FAIL;
  IClockControl* clock = Create(&result);
  ASSERT_NE(clock, nullptr);
  IUnknown* other = nullptr;
  ASSERT_EQ(clock->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&other)), S_OK);
  void* none = clock;
  EXPECT_EQ(clock->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  clock->Release();
  EXPECT_EQ(state_->liveInstances, 1);
  EXPECT_EQ(LastCall()->op, clocksim::OpCreate);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);

  other->Release();
  EXPECT_EQ(state_->liveInstances, 0);
  EXPECT_EQ(state_->instancesCreated, 1);
  EXPECT_EQ(LastCall()->op, clocksim::OpRelease);
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(ClockSimTest, RingForgetsCallsOnceOverwritten) {
  const uint32_t total = clocksim::kMaxCalls + 2;
  clocksim::Call call = {};
  for (uint32_t i = 1; i <= total; ++i) {
    call.arg = i;
    clocksim::Record(state_, call);
  }
  EXPECT_EQ(clocksim::CallAt(state_, 0), nullptr);
  EXPECT_EQ(clocksim::CallAt(state_, 1), nullptr);
  EXPECT_EQ(clocksim::CallAt(state_, 2), nullptr);
  EXPECT_EQ(clocksim::CallAt(state_, total + 1), nullptr);
  const uint32_t kHeld[] = {3, clocksim::kMaxCalls, total};
  for (uint32_t seq : kHeld) {
    const clocksim::Call* held = clocksim::CallAt(state_, seq);
    ASSERT_NE(held, nullptr) << seq;
    EXPECT_EQ(held->seq, seq);
    EXPECT_EQ(held->arg, seq);
  }
}

constexpr uint32_t kRecordThreads = 4;
constexpr uint32_t kRecordsPerThread = 2000;

struct RecorderArgs {
  clocksim::State* state;
  uint32_t thread;
};

DWORD WINAPI RecordMany(void* param) {
  const RecorderArgs* args = static_cast<const RecorderArgs*>(param);
  clocksim::Call call = {};
  for (uint32_t i = 0; i < kRecordsPerThread; ++i) {
    call.index = args->thread;
    call.arg = i;
    clocksim::Record(args->state, call);
  }
  return 0;
}

TEST_F(ClockSimTest, ConcurrentRecordsGetDistinctSequenceNumbers) {
  RecorderArgs args[kRecordThreads];
  HANDLE threads[kRecordThreads];
  for (uint32_t t = 0; t < kRecordThreads; ++t) {
    args[t] = {state_, t};
    threads[t] = CreateThread(nullptr, 0, RecordMany, &args[t], 0, nullptr);
    ASSERT_NE(threads[t], nullptr);
  }
  WaitForMultipleObjects(kRecordThreads, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);

  const uint32_t total = kRecordThreads * kRecordsPerThread;
  ASSERT_EQ(static_cast<uint32_t>(state_->callCount), total);
  std::set<uint32_t> seen;
  for (uint32_t seq = 1; seq <= total; ++seq) {
    const clocksim::Call* call = clocksim::CallAt(state_, seq);
    ASSERT_NE(call, nullptr) << seq;
    seen.insert(call->index * kRecordsPerThread + call->arg);
  }
  EXPECT_EQ(seen.size(), total) << "every record kept, none written twice";
}

TEST_F(ClockSimTest, RegistrationPointsAtThisDllAndUnregisterRemovesIt) {
  wchar_t modulePath[MAX_PATH];
  GetModuleFileNameW(module_, modulePath, MAX_PATH);
  EXPECT_EQ(ReadClassValue(clsid_, L"InprocServer32", nullptr), modulePath);
  EXPECT_EQ(ReadClassValue(clsid_, L"InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(ReadClassValue(clsid_, L"ProgID", nullptr), L"ICCProxy.IccProxyClockManipulations.1");

  ASSERT_EQ(unregisterServer_(), S_OK);
  CLSID found;
  EXPECT_FALSE(ProgIdClsid(&found));
  EXPECT_EQ(ReadClassValue(clsid_, L"InprocServer32", nullptr), L"");
  EXPECT_EQ(unregisterServer_(), S_OK) << "unregistering twice is harmless";

  ASSERT_EQ(registerServer_(), S_OK);
  ASSERT_TRUE(ProgIdClsid(&found));
  EXPECT_TRUE(IsEqualCLSID(found, clsid_));
}

}  // namespace
