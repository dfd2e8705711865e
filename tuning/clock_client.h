// Clock controller client: reads and applies the CPU clock frequency through the controller's COM interface.
#pragma once

#include <cfloat>

// Frequencies are rounded to IEEE double precision at every operation (SSE2),
// never carried in the x87 unit's 80-bit registers: there, 100.0 + 0.1 would
// go out as 100,099,999 Hz instead of 100,100,000.
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must be IEEE double precision (-msse2 -mfpmath=sse)");
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "the 32-bit build must do its floating-point arithmetic in SSE2 (-msse2 -mfpmath=sse)"
#endif

enum ClockMode {
  ClockRead = 0,   // read the adjustable clock's frequency into the caller's value
  ClockApply = 1,  // send the caller's value to the adjustable clock
  // As ClockApply, and fails when the controller reports an error for the
  // new settings: for callers that must know the clock took the value.
  ClockApplyChecked = 2,
};

// One complete exchange with the clock controller; nothing is kept between
// calls. frequency is in MHz. ClockRead changes it only on success; the
// apply modes never change it. True on success.
bool AccessCpuClock(double& frequency, ClockMode mode);

// True when mhz can be sent to the controller: finite, and its Hz value,
// truncated toward zero, within 1 .. 4,294,967,295.
bool FrequencyFitsClock(double mhz);
