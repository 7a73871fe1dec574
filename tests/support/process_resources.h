// What a process holds of the system's: resident memory and open handles
// (descriptors on Linux), for checks that a long run does not grow.
#pragma once

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

inline ProcessResources CurrentResources() {
  ProcessResources r;
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    r.residentKb = static_cast<long>(memory.WorkingSetSize / 1024);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) r.handles = static_cast<long>(handles);
#else
  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) == 2) r.residentKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    fclose(f);
  }
  if (DIR* dir = opendir("/proc/self/fd")) {
    long entries = 0;
    while (readdir(dir) != nullptr) ++entries;
    closedir(dir);
    r.handles = entries - 3;  // ".", ".." and the listing's own descriptor
  }
#endif
  return r;
}

}  // namespace qvtest
