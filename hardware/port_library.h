// Port and memory access library: the board's I/O ports and physical memory, reached through Kpx.dll.
#pragma once

#include <windows.h>

#include <type_traits>

typedef DWORD(WINAPI* HxInpFn)(DWORD port);
typedef void(WINAPI* HxOutpFn)(DWORD port, DWORD value);
typedef ULONGLONG(WINAPI* MapMemExFn)(DWORD physicalAddress, DWORD zero, DWORD length);
typedef void(WINAPI* UnMapMemExFn)(ULONGLONG mapping);
typedef DWORD(WINAPI* SearchBdrFn)();

// The library's entry points are __stdcall: the callee pops its arguments. A
// mismatch shows only in the 32-bit build, and only at run time, as a corrupt
// stack; x86-64 has one convention, so there these always hold.
static_assert(std::is_same<HxInpFn, DWORD(__stdcall*)(DWORD)>::value, "hx_inp is __stdcall");
static_assert(std::is_same<HxOutpFn, void(__stdcall*)(DWORD, DWORD)>::value, "hx_outp is __stdcall");
static_assert(std::is_same<MapMemExFn, ULONGLONG(__stdcall*)(DWORD, DWORD, DWORD)>::value, "MapMemEx is __stdcall");
static_assert(std::is_same<UnMapMemExFn, void(__stdcall*)(ULONGLONG)>::value, "UnMapMemEx is __stdcall");
static_assert(std::is_same<SearchBdrFn, DWORD(__stdcall*)()>::value, "SearchBDR is __stdcall");

// The library's entry points while it is bound; null otherwise.
extern HxInpFn hx_inp;
extern HxOutpFn hx_outp;
extern MapMemExFn MapMemEx;
extern UnMapMemExFn UnMapMemEx;
extern SearchBdrFn SearchBDR;

// Loads Kpx.dll from the executable's folder or the system folder only, never
// from the working directory or PATH. Null on failure.
HMODULE LoadPortLibrary();

// Looks up all five entry points in module. True when the port entry points
// (hx_inp, hx_outp) were both found; the memory ones may stay null.
bool BindPortLibrary(HMODULE module);

// Forgets the entry points and releases module.
void ReleasePortLibrary(HMODULE module);
