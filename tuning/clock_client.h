// Clock controller client: reads and applies the CPU clock frequency through the controller's COM interface.
#pragma once

enum ClockMode {
  ClockRead = 0,   // read the adjustable clock's frequency into the caller's value
  ClockApply = 1,  // send the caller's value to the adjustable clock
};

// One complete exchange with the clock controller; nothing is kept between
// calls. frequency is in MHz. ClockRead changes it only on success;
// ClockApply never changes it. True on success.
bool AccessCpuClock(double& frequency, ClockMode mode);

// True when mhz can be sent to the controller: finite, and its Hz value,
// truncated toward zero, within 1 .. 4,294,967,295.
bool FrequencyFitsClock(double mhz);
