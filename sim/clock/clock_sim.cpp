// Clock controller simulator: in-process COM server whose behaviour the shared state drives.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <unknwn.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "clock_sim_state.h"

namespace {

constexpr const wchar_t* kProgId = L"ICCProxy.IccProxyClockManipulations.1";
constexpr const wchar_t* kClsidText = L"{F08EF7F2-0BB6-4DB8-8CAA-A0CDDB3EDBB7}";
constexpr const wchar_t* kClassName = L"Vexaclkd clock controller simulator";

// {F08EF7F2-0BB6-4DB8-8CAA-A0CDDB3EDBB7}
const CLSID kClsid = {0xF08EF7F2, 0x0BB6, 0x4DB8, {0x8C, 0xAA, 0xA0, 0xCD, 0xDB, 0x3E, 0xDB, 0xB7}};
// {71DDF0D4-8AA9-4F69-80D3-031879DA4D2C}
const IID kIidClockControl = {0x71DDF0D4, 0x8AA9, 0x4F69, {0x80, 0xD3, 0x03, 0x18, 0x79, 0xDA, 0x4D, 0x2C}};

// Error code a call reports when the caller handed a null out pointer.
constexpr DWORD kErrorBadPointer = ERROR_INVALID_PARAMETER;
constexpr size_t kControllerInfoBytes = 8;
constexpr size_t kDescriptorBytes = 20;
constexpr size_t kDescriptorKindOffset = 8;

struct ClockSettings {
  uint32_t words[4];  // word 0 = frequency in Hz
};
static_assert(sizeof(ClockSettings) == 16, "settings record is 16 bytes on the wire");

struct ClockObject;

// The operation table in slot order; all methods are __stdcall with `this` first.
struct ClockVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(ClockObject* self, REFIID riid, void** ppv);
  ULONG(STDMETHODCALLTYPE* AddRef)(ClockObject* self);
  ULONG(STDMETHODCALLTYPE* Release)(ClockObject* self);
  HRESULT(STDMETHODCALLTYPE* Unused3)(ClockObject* self);
  HRESULT(STDMETHODCALLTYPE* Unused4)(ClockObject* self);
  HRESULT(STDMETHODCALLTYPE* Unused5)(ClockObject* self);
  HRESULT(STDMETHODCALLTYPE* Unused6)(ClockObject* self);
  HRESULT(STDMETHODCALLTYPE* GetClockCount)(ClockObject* self, BYTE* info, BYTE* count, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* GetClockMask)(ClockObject* self, DWORD zero, DWORD* mask, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* GetClockDescriptor)(ClockObject* self, BYTE index, BYTE* descriptor, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* GetClockSettings)(ClockObject* self, BYTE index, ClockSettings* settings, DWORD* error);
  HRESULT(STDMETHODCALLTYPE* SetClockSettings)(ClockObject* self, BYTE index, ClockSettings settings, DWORD* error);
};

struct ClockObject {
  const ClockVtbl* vtbl;
  volatile LONG refs;
  clocksim::State* state;
};

struct FactoryVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* self, REFIID riid, void** ppv);
  ULONG(STDMETHODCALLTYPE* AddRef)(void* self);
  ULONG(STDMETHODCALLTYPE* Release)(void* self);
  HRESULT(STDMETHODCALLTYPE* CreateInstance)(void* self, IUnknown* outer, REFIID riid, void** ppv);
  HRESULT(STDMETHODCALLTYPE* LockServer)(void* self, BOOL lock);
};

struct FactoryObject {
  const FactoryVtbl* vtbl;
};

HMODULE g_module = nullptr;
clocksim::State* g_state = nullptr;  // mapped once per load of this DLL
volatile LONG g_liveObjects = 0;     // instances handed out and not yet released
volatile LONG g_serverLocks = 0;     // LockServer(TRUE) minus LockServer(FALSE)

clocksim::State* SharedState() {
  if (!g_state) g_state = clocksim::Open();
  return g_state;
}

int64_t PerformanceCounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

void RecordCall(clocksim::State* state, uint32_t op, uint32_t index, uint32_t arg,
                const uint32_t* settings, uint32_t error) {
  clocksim::Call call = {};
  call.op = op;
  call.index = index;
  call.arg = arg;
  if (settings) memcpy(call.settings, settings, sizeof(call.settings));
  call.error = error;
  call.qpc = PerformanceCounterNow();
  clocksim::Record(state, call);
}

// The error code the device gives for this slot: the injected fault, or success.
DWORD DeviceError(const clocksim::State* state, uint32_t op, uint32_t index = clocksim::kAnyIndex) {
  if (state->failOp != op) return 0;
  const bool anyIndex = state->failIndex == clocksim::kAnyIndex || index == clocksim::kAnyIndex;
  return anyIndex || state->failIndex == index ? state->failCode : 0;
}

// A slow device: the next call of the chosen slot waits first, and only that one.
void DelayIfAsked(clocksim::State* state, uint32_t op) {
  const LONG slot = static_cast<LONG>(op);
  if (state->delayOp == slot && InterlockedCompareExchange(&state->delayOp, 0, slot) == slot) Sleep(state->delayMs);
}

// Device results travel in the error code; the HRESULT only says the call got there.
HRESULT Finish(DWORD* error, DWORD code) {
  if (!error) return E_POINTER;
  *error = code;
  return S_OK;
}

// --- clock controller instance ---------------------------------------------

HRESULT STDMETHODCALLTYPE ClockQueryInterface(ClockObject* self, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidClockControl)) {
    InterlockedIncrement(&self->refs);
    *ppv = self;
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClockAddRef(ClockObject* self) {
  return static_cast<ULONG>(InterlockedIncrement(&self->refs));
}

ULONG STDMETHODCALLTYPE ClockRelease(ClockObject* self) {
  LONG refs = InterlockedDecrement(&self->refs);
  if (refs != 0) return static_cast<ULONG>(refs);
  clocksim::State* state = self->state;
  InterlockedDecrement(&state->liveInstances);
  RecordCall(state, clocksim::OpRelease, 0, 0, nullptr, 0);
  HeapFree(GetProcessHeap(), 0, self);
  InterlockedDecrement(&g_liveObjects);
  return 0;
}

HRESULT STDMETHODCALLTYPE ClockUnused(ClockObject*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE GetClockCount(ClockObject* self, BYTE* info, BYTE* count, DWORD* error) {
  clocksim::State* state = self->state;
  DelayIfAsked(state, clocksim::OpGetClockCount);
  DWORD code = DeviceError(state, clocksim::OpGetClockCount);
  if (code == 0 && (!info || !count)) code = kErrorBadPointer;
  if (code == 0) {
    static const BYTE kControllerInfo[kControllerInfoBytes] = {'V', 'X', 'C', 'L', 'K', 'S', 'I', 'M'};
    memcpy(info, kControllerInfo, kControllerInfoBytes);
    *count = static_cast<BYTE>(state->clockCount);
  }
  RecordCall(state, clocksim::OpGetClockCount, 0, 0, nullptr, code);
  return Finish(error, code);
}

HRESULT STDMETHODCALLTYPE GetClockMask(ClockObject* self, DWORD zero, DWORD* mask, DWORD* error) {
  clocksim::State* state = self->state;
  DelayIfAsked(state, clocksim::OpGetClockMask);
  DWORD code = DeviceError(state, clocksim::OpGetClockMask);
  if (code == 0 && !mask) code = kErrorBadPointer;
  if (code == 0) *mask = state->mask;
  RecordCall(state, clocksim::OpGetClockMask, 0, zero, nullptr, code);
  return Finish(error, code);
}

// Every 8-bit index is within the table (kMaxClocks is 256), so no index fails.
HRESULT STDMETHODCALLTYPE GetClockDescriptor(ClockObject* self, BYTE index, BYTE* descriptor, DWORD* error) {
  clocksim::State* state = self->state;
  DelayIfAsked(state, clocksim::OpGetClockDescriptor);
  DWORD code = DeviceError(state, clocksim::OpGetClockDescriptor, index);
  if (code == 0 && !descriptor) code = kErrorBadPointer;
  if (code == 0) {
    memset(descriptor, 0, kDescriptorBytes);
    descriptor[0] = index;
    descriptor[kDescriptorKindOffset] = state->kind[index];
  }
  RecordCall(state, clocksim::OpGetClockDescriptor, index, 0, nullptr, code);
  return Finish(error, code);
}

HRESULT STDMETHODCALLTYPE GetClockSettings(ClockObject* self, BYTE index, ClockSettings* settings, DWORD* error) {
  clocksim::State* state = self->state;
  DelayIfAsked(state, clocksim::OpGetClockSettings);
  DWORD code = DeviceError(state, clocksim::OpGetClockSettings, index);
  if (code == 0 && !settings) code = kErrorBadPointer;
  if (code == 0) memcpy(settings->words, state->settings[index], sizeof(settings->words));
  RecordCall(state, clocksim::OpGetClockSettings, index, 0, nullptr, code);
  return Finish(error, code);
}

HRESULT STDMETHODCALLTYPE SetClockSettings(ClockObject* self, BYTE index, ClockSettings settings, DWORD* error) {
  clocksim::State* state = self->state;
  DelayIfAsked(state, clocksim::OpSetClockSettings);
  DWORD code = DeviceError(state, clocksim::OpSetClockSettings, index);
  if (code == 0) memcpy(state->settings[index], settings.words, sizeof(settings.words));
  RecordCall(state, clocksim::OpSetClockSettings, index, 0, settings.words, code);
  return Finish(error, code);
}

const ClockVtbl kClockVtbl = {
    ClockQueryInterface, ClockAddRef, ClockRelease,
    ClockUnused, ClockUnused, ClockUnused, ClockUnused,
    GetClockCount, GetClockMask, GetClockDescriptor, GetClockSettings, SetClockSettings,
};

ClockObject* NewClockObject(clocksim::State* state) {
  void* memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ClockObject));
  if (!memory) return nullptr;
  ClockObject* object = static_cast<ClockObject*>(memory);
  object->vtbl = &kClockVtbl;
  object->refs = 1;
  object->state = state;
  InterlockedIncrement(&g_liveObjects);
  InterlockedIncrement(&state->liveInstances);
  InterlockedIncrement(&state->instancesCreated);
  RecordCall(state, clocksim::OpCreate, 0, 0, nullptr, 0);
  return object;
}

// --- class factory (one static object; its lifetime is the DLL's) -----------

HRESULT STDMETHODCALLTYPE FactoryQueryInterface(void* self, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = self;
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FactoryAddRef(void*) { return 2; }
ULONG STDMETHODCALLTYPE FactoryRelease(void*) { return 1; }

bool IsClockInterface(REFIID riid) {
  return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidClockControl);
}

// A failing createResult hands out nothing; a success code (S_FALSE included)
// hands out an instance and is still returned, so the caller must release it.
HRESULT STDMETHODCALLTYPE FactoryCreateInstance(void*, IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!IsClockInterface(riid)) return E_NOINTERFACE;
  clocksim::State* state = SharedState();
  if (!state) return E_UNEXPECTED;
  HRESULT result = state->createResult;
  if (FAILED(result)) return result;
  ClockObject* object = NewClockObject(state);
  if (!object) return E_OUTOFMEMORY;
  *ppv = object;
  return result;
}

HRESULT STDMETHODCALLTYPE FactoryLockServer(void*, BOOL lock) {
  if (lock) {
    InterlockedIncrement(&g_serverLocks);
  } else {
    InterlockedDecrement(&g_serverLocks);
  }
  return S_OK;
}

const FactoryVtbl kFactoryVtbl = {
    FactoryQueryInterface, FactoryAddRef, FactoryRelease, FactoryCreateInstance, FactoryLockServer,
};
FactoryObject g_factory = {&kFactoryVtbl};

// --- registration ------------------------------------------------------------

bool SetKeyValue(const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return false;
  DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
  status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool DeleteKeyTree(const wchar_t* subkey) {
  LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return false;
  status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey);  // RegDeleteTree keeps the key itself
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// Key paths under HKLM.
struct KeyPaths {
  std::wstring progId;
  std::wstring progIdClsid;
  std::wstring classKey;
  std::wstring inproc;
  std::wstring classProgId;
};

KeyPaths MakeKeyPaths() {
  KeyPaths paths;
  paths.progId = std::wstring(L"Software\\Classes\\") + kProgId;
  paths.progIdClsid = paths.progId + L"\\CLSID";
  paths.classKey = std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText;
  paths.inproc = paths.classKey + L"\\InprocServer32";
  paths.classProgId = paths.classKey + L"\\ProgID";
  return paths;
}

bool RegisterServer() {
  wchar_t modulePath[MAX_PATH];
  DWORD length = GetModuleFileNameW(g_module, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  KeyPaths paths = MakeKeyPaths();
  return SetKeyValue(paths.progId.c_str(), nullptr, kClassName) &&
         SetKeyValue(paths.progIdClsid.c_str(), nullptr, kClsidText) &&
         SetKeyValue(paths.classKey.c_str(), nullptr, kClassName) &&
         SetKeyValue(paths.inproc.c_str(), nullptr, modulePath) &&
         SetKeyValue(paths.inproc.c_str(), L"ThreadingModel", L"Both") &&
         SetKeyValue(paths.classProgId.c_str(), nullptr, kProgId);
}

bool UnregisterServer() {
  KeyPaths paths = MakeKeyPaths();
  bool progIdGone = DeleteKeyTree(paths.progId.c_str());
  bool classGone = DeleteKeyTree(paths.classKey.c_str());
  return progIdGone && classGone;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_state) {
    // Unloaded by FreeLibrary: drop our view; a later load maps the state again.
    UnmapViewOfFile(g_state);
    g_state = nullptr;
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  // COM unloads the server at every last CoUninitialize, and the service
  // uninitialises after every call. Each load of this statically linked DLL
  // takes a thread-local storage index that is never given back, so after
  // about a thousand loads the process would run out of them: stay loaded.
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCSTR>(&DllGetClassObject), &pinned);
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return FactoryQueryInterface(&g_factory, riid, ppv);
}

STDAPI DllCanUnloadNow() {
  return (g_liveObjects == 0 && g_serverLocks == 0) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  if (RegisterServer()) return S_OK;
  UnregisterServer();
  return SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  return UnregisterServer() ? S_OK : SELFREG_E_CLASS;
}

}  // extern "C"
