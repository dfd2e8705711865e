// Activity log: the plain-text record "Satae.dat" beside the executable, reset at every process start.
#pragma once

// Fixes the log path from the executable's location and deletes the previous
// log. When the path does not fit its buffer, logging is off for the run.
void ResetLog();

// Appends text verbatim (never as a format), with line feeds stored as CR LF.
// A log that cannot be opened drops the text silently.
void AppendLog(const char* text);

// Where the log is, or "" when logging is off.
const char* LogPath();
