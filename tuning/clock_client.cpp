// Clock controller client: finds the controller's clock of kind 1 and reads or sets its frequency.
#include "tuning/clock_client.h"

#include <windows.h>
#include <objbase.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace {

const wchar_t kClockProgId[] = L"ICCProxy.IccProxyClockManipulations.1";

// {71DDF0D4-8AA9-4F69-80D3-031879DA4D2C}
const IID kClockInterfaceId = {0x71DDF0D4, 0x8AA9, 0x4F69, {0x80, 0xD3, 0x03, 0x18, 0x79, 0xDA, 0x4D, 0x2C}};

const DWORD kClockContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;  // 0x15
const BYTE kAdjustableClockKind = 1;
const size_t kDescriptorKindOffset = 8;
const unsigned kMaskBits = 32;
const double kHzPerMHz = 1000000.0;

struct ClockSettings {
  uint32_t hz;
  uint32_t opaque[3];  // returned to the controller exactly as read
};
static_assert(sizeof(ClockSettings) == 16, "the controller's settings record is 16 bytes");
static_assert(offsetof(ClockSettings, hz) == 0 && offsetof(ClockSettings, opaque) == 4,
              "Hz in the first word, then the three words returned as read");

struct ClockController;

// The controller's operation table, slot by slot.
struct ClockControllerTable {
  void* queryInterface;
  void* addRef;
  ULONG(STDMETHODCALLTYPE* release)(ClockController* self);
  void* unused[4];  // slots 3..6
  HRESULT(STDMETHODCALLTYPE* getClockCount)(ClockController* self, BYTE* info, BYTE* count, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* getClockMask)(ClockController* self, DWORD zero, DWORD* mask, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* getClockDescriptor)(ClockController* self, BYTE index, BYTE* descriptor, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* getClockSettings)(ClockController* self, BYTE index, ClockSettings* settings, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* setClockSettings)(ClockController* self, BYTE index, ClockSettings settings, DWORD* error);
};

struct ClockController {
  const ClockControllerTable* table;
};

// Slot numbers, and the __stdcall convention of every operation (this first,
// callee pops), pinned so that the 32-bit build cannot drift from the table.
static_assert(offsetof(ClockControllerTable, release) == 2 * sizeof(void*), "release is slot 2");
static_assert(offsetof(ClockControllerTable, getClockCount) == 7 * sizeof(void*), "GetClockCount is slot 7");
static_assert(offsetof(ClockControllerTable, getClockMask) == 8 * sizeof(void*), "GetClockMask is slot 8");
static_assert(offsetof(ClockControllerTable, getClockDescriptor) == 9 * sizeof(void*), "GetClockDescriptor is slot 9");
static_assert(offsetof(ClockControllerTable, getClockSettings) == 10 * sizeof(void*), "GetClockSettings is slot 10");
static_assert(offsetof(ClockControllerTable, setClockSettings) == 11 * sizeof(void*), "SetClockSettings is slot 11");
static_assert(std::is_same<decltype(ClockControllerTable::release), ULONG(__stdcall*)(ClockController*)>::value,
              "slot 2 is __stdcall");
static_assert(std::is_same<decltype(ClockControllerTable::getClockCount),
                           HRESULT(__stdcall*)(ClockController*, BYTE*, BYTE*, DWORD*)>::value,
              "slot 7 is __stdcall");
static_assert(std::is_same<decltype(ClockControllerTable::getClockMask),
                           HRESULT(__stdcall*)(ClockController*, DWORD, DWORD*, DWORD*)>::value,
              "slot 8 is __stdcall");
static_assert(std::is_same<decltype(ClockControllerTable::getClockDescriptor),
                           HRESULT(__stdcall*)(ClockController*, BYTE, BYTE*, DWORD*)>::value,
              "slot 9 is __stdcall");
static_assert(std::is_same<decltype(ClockControllerTable::getClockSettings),
                           HRESULT(__stdcall*)(ClockController*, BYTE, ClockSettings*, DWORD*)>::value,
              "slot 10 is __stdcall");
static_assert(std::is_same<decltype(ClockControllerTable::setClockSettings),
                           HRESULT(__stdcall*)(ClockController*, BYTE, ClockSettings, DWORD*)>::value,
              "slot 11 is __stdcall, the record passed by value");

// Lowest index whose mask bit is set and whose descriptor names an adjustable
// clock. Indices from 32 on have no mask bit and are never examined.
bool ChooseAdjustableClock(ClockController* controller, BYTE& chosen) {
  BYTE info[8] = {};
  BYTE count = 0;
  DWORD error = 1;
  controller->table->getClockCount(controller, info, &count, &error);
  if (error != 0) return false;

  DWORD mask = 0;
  error = 1;
  controller->table->getClockMask(controller, 0, &mask, &error);
  if (error != 0) return false;

  for (unsigned index = 0; index < count && index < kMaskBits; ++index) {
    if ((mask & (1u << index)) == 0) continue;
    BYTE descriptor[20] = {};
    error = 1;
    controller->table->getClockDescriptor(controller, static_cast<BYTE>(index), descriptor, &error);
    if (error == 0 && descriptor[kDescriptorKindOffset] == kAdjustableClockKind) {
      chosen = static_cast<BYTE>(index);
      return true;
    }
  }
  return false;
}

bool ExchangeWithClock(ClockController* controller, double& frequency, ClockMode mode) {
  BYTE index = 0;
  if (!ChooseAdjustableClock(controller, index)) return false;

  ClockSettings settings = {};
  DWORD error = 1;
  controller->table->getClockSettings(controller, index, &settings, &error);
  if (error != 0) return false;

  if (mode == ClockRead) {
    frequency = static_cast<double>(settings.hz) / kHzPerMHz;
    return true;
  }
  // Truncated, not rounded: 100.19999999999999 MHz goes out as 100,199,999 Hz.
  settings.hz = static_cast<uint32_t>(static_cast<int64_t>(frequency * kHzPerMHz));
  error = 0;
  controller->table->setClockSettings(controller, index, settings, &error);
  // A plain apply leaves the controller's verdict on the new settings to it.
  return mode == ClockApply || error == 0;
}

}  // namespace

bool FrequencyFitsClock(double mhz) {
  if (!std::isfinite(mhz)) return false;
  const double hz = std::trunc(mhz * kHzPerMHz);
  return hz >= 1.0 && hz <= 4294967295.0;
}

bool AccessCpuClock(double& frequency, ClockMode mode) {
  if (mode != ClockRead && !FrequencyFitsClock(frequency)) return false;

  CLSID classId;
  if (FAILED(CLSIDFromProgID(kClockProgId, &classId))) return false;

  CoInitialize(nullptr);
  ClockController* controller = nullptr;
  bool done = false;
  const HRESULT created = CoCreateInstance(classId, nullptr, kClockContext, kClockInterfaceId,
                                           reinterpret_cast<void**>(&controller));
  if (created == S_OK && controller != nullptr) {
    done = ExchangeWithClock(controller, frequency, mode);
  }
  if (controller != nullptr) controller->table->release(controller);
  CoUninitialize();
  return done;
}
