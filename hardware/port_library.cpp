// Port and memory access library: loading Kpx.dll and binding its entry points from one table of names.
#include "hardware/port_library.h"

HxInpFn hx_inp = nullptr;
HxOutpFn hx_outp = nullptr;
MapMemExFn MapMemEx = nullptr;
UnMapMemExFn UnMapMemEx = nullptr;
SearchBdrFn SearchBDR = nullptr;

namespace {

const char kPortLibraryName[] = "Kpx.dll";

struct EntryPoint {
  const char* name;
  FARPROC* slot;
};

// In the order they are looked up.
const EntryPoint kEntryPoints[] = {
    {"hx_inp", reinterpret_cast<FARPROC*>(&hx_inp)},
    {"hx_outp", reinterpret_cast<FARPROC*>(&hx_outp)},
    {"MapMemEx", reinterpret_cast<FARPROC*>(&MapMemEx)},
    {"UnMapMemEx", reinterpret_cast<FARPROC*>(&UnMapMemEx)},
    {"SearchBDR", reinterpret_cast<FARPROC*>(&SearchBDR)},
};

void ForgetEntryPoints() {
  for (const EntryPoint& entry : kEntryPoints) *entry.slot = nullptr;
}

}  // namespace

HMODULE LoadPortLibrary() {
  return LoadLibraryExA(kPortLibraryName, nullptr,
                        LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool BindPortLibrary(HMODULE module) {
  for (const EntryPoint& entry : kEntryPoints) *entry.slot = GetProcAddress(module, entry.name);
  return hx_inp != nullptr && hx_outp != nullptr;
}

void ReleasePortLibrary(HMODULE module) {
  ForgetEntryPoints();
  if (module != nullptr) FreeLibrary(module);
}
