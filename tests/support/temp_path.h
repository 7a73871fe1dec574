// A file name in the temporary folder that no other test program running
// at the same time uses: several suites (and checkouts) share the folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qvtest {

inline std::string UniqueTempPath(const std::string& stem) {
  static int serial = 0;
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  return ::testing::TempDir() + stem + std::to_string(pid) + "-" + std::to_string(++serial);
}

}  // namespace qvtest
