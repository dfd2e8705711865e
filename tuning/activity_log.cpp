// Activity log: one open, write and close per text, so the file can be read at any time between texts.
#include "tuning/activity_log.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace {

const char kLogFileName[] = "\\Satae.dat";
char LogFilePath[MAX_PATH] = "";  // empty: logging is off

}  // namespace

void ResetLog() {
  LogFilePath[0] = '\0';
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;  // failed or truncated: no log rather than a wrong one
  if (!PathRemoveFileSpecA(path)) return;
  if (strlen(path) + strlen(kLogFileName) >= MAX_PATH) return;
  strcat(path, kLogFileName);
  strcpy(LogFilePath, path);
  DeleteFileA(LogFilePath);
}

void AppendLog(const char* text) {
  if (LogFilePath[0] == '\0' || text == nullptr) return;
  FILE* file = fopen(LogFilePath, "a+t");
  if (file == nullptr) return;
  fputs(text, file);
  fclose(file);
}

const char* LogPath() { return LogFilePath; }
