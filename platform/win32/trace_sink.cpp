// Trace lines on Windows: whole lines appended with one WriteFile on a
// handle that has only append access; the file is never reached through a
// reparse point (a symbolic link or junction).
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <new>

#include "platform/trace_sink.h"

namespace quorvalend {
namespace {

constexpr size_t kPathCapacity = 512;

size_t ComposeLine(char* line, size_t size, uint64_t fileTime, const char* text, size_t length, const char* end) {
  size_t n = FormatLocalTimestamp(fileTime, line, size);
  if (n + 1 < size) line[n++] = ' ';
  const size_t endLength = strlen(end);
  if (length > size - n - endLength - 1) length = size - n - endLength - 1;
  memcpy(line + n, text, length);
  n += length;
  memcpy(line + n, end, endLength + 1);
  return n + endLength;
}

class DebuggerSink final : public TraceSink {
 public:
  void WriteLine(uint64_t fileTime, const char* text, size_t length) override {
    char line[kTraceSinkTextCapacity + 64];
    ComposeLine(line, sizeof line, fileTime, text, length, "\n");
    OutputDebugStringA(line);
  }
};

HANDLE OpenForAppending(const char* path) {
  // Read access only so that the line lock below can be taken; nothing is
  // ever read, and without write access nothing can be overwritten.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

class FileSink final : public TraceSink {
 public:
  FileSink(const char* path, HANDLE file, uint64_t maxBytes) : file_(file), maxBytes_(maxBytes) {
    snprintf(path_, sizeof path_, "%s", path);
  }
  ~FileSink() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  void WriteLine(uint64_t fileTime, const char* text, size_t length) override {
    char line[kTraceSinkTextCapacity + 64];
    const size_t n = ComposeLine(line, sizeof line, fileTime, text, length, "\r\n");
    FollowRenames();
    if (file_ == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file_, &size) && static_cast<uint64_t>(size.QuadPart) + n > maxBytes_) Rotate();
    if (file_ == INVALID_HANDLE_VALUE) return;
    // An append is one write, but not every system makes appends from two
    // handles atomic (Wine does not): a lock on a byte far past any trace
    // keeps whole lines, across processes too.
    OVERLAPPED lineLock{};
    lineLock.Offset = 0xFFFFFFF0u;
    lineLock.OffsetHigh = 0x7FFFFFFFu;
    const bool locked = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lineLock) != 0;
    DWORD written = 0;
    WriteFile(file_, line, static_cast<DWORD>(n), &written, nullptr);
    if (locked) UnlockFileEx(file_, 0, 1, 0, &lineLock);
  }

 private:
  // Another process may have renamed the file: when the path's size is not
  // our handle's, the path leads to a new file.
  void FollowRenames() {
    WIN32_FILE_ATTRIBUTE_DATA named{};
    LARGE_INTEGER mine{};
    if (file_ != INVALID_HANDLE_VALUE && GetFileAttributesExA(path_, GetFileExInfoStandard, &named) &&
        GetFileSizeEx(file_, &mine) && named.nFileSizeHigh == static_cast<DWORD>(mine.HighPart) &&
        named.nFileSizeLow == mine.LowPart) {
      return;
    }
    Reopen();
  }

  void Rotate() {
    char old[kPathCapacity + 4];
    snprintf(old, sizeof old, "%s.1", path_);
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    MoveFileExA(path_, old, MOVEFILE_REPLACE_EXISTING);
    Reopen();
  }

  void Reopen() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = OpenForAppending(path_);
  }

  char path_[kPathCapacity];
  HANDLE file_;
  uint64_t maxBytes_;
};

}  // namespace

TraceSink* OpenTraceSink(const char* target, uint64_t maxBytes) {
  if (target == nullptr || target[0] == '\0') return nullptr;
  if (lstrcmpiA(target, kTraceToDebugger) == 0) return new (std::nothrow) DebuggerSink;
  if (strlen(target) >= kPathCapacity) return nullptr;
  HANDLE file = OpenForAppending(target);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  TraceSink* sink = new (std::nothrow) FileSink(target, file, maxBytes);
  if (sink == nullptr) CloseHandle(file);
  return sink;
}

size_t FormatLocalTimestamp(uint64_t fileTime, char* buffer, size_t size) {
  FILETIME utc{}, local{};
  utc.dwLowDateTime = static_cast<DWORD>(fileTime);
  utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME parts{};
  FileTimeToSystemTime(&local, &parts);
  ULARGE_INTEGER u{}, l{};
  u.LowPart = utc.dwLowDateTime;
  u.HighPart = utc.dwHighDateTime;
  l.LowPart = local.dwLowDateTime;
  l.HighPart = local.dwHighDateTime;
  const long minutes = static_cast<long>((static_cast<long long>(l.QuadPart) - static_cast<long long>(u.QuadPart)) / 600000000LL);
  const long magnitude = minutes < 0 ? -minutes : minutes;
  const int n = snprintf(buffer, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", parts.wYear, parts.wMonth,
                         parts.wDay, parts.wHour, parts.wMinute, parts.wSecond, parts.wMilliseconds,
                         minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace quorvalend
