// What a process holds of the system's: resident memory and open handles
// (descriptors on Linux), for checks that a long run does not grow.
#pragma once

#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace qvtest {

struct ProcessResources {
  long residentKb = -1;
  long handles = -1;
};

// Open handles (descriptors on Linux); -1 where they cannot be counted.
inline long OpenHandles() {
#if defined(_WIN32)
  DWORD counted = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &counted) && counted > 0) return static_cast<long>(counted);
  // Some systems do not count (Wine answers 0): probe every handle value.
  long handles = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++handles;
  }
  return handles;
#else
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long entries = 0;
  while (readdir(dir) != nullptr) ++entries;
  closedir(dir);
  return entries - 3;  // ".", ".." and the listing's own descriptor
#endif
}

inline ProcessResources CurrentResources() {
  ProcessResources r;
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    r.residentKb = static_cast<long>(memory.WorkingSetSize / 1024);
  }
#else
  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) == 2) r.residentKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    fclose(f);
  }
#endif
  r.handles = OpenHandles();
  return r;
}

}  // namespace qvtest
