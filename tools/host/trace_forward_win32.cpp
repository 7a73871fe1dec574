#include <windows.h>

#include "tools/host/console_text.h"
#include "tools/host/trace_forward.h"

namespace qvhost {
namespace {

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

bool TraceForward::Open(const UserTrace& user, bool toStandardError, std::string* problem) {
  toStandardError_ = toStandardError;
  // "debug" is the debugger on Windows, as the driver has it.
  toDebugger_ = lstrcmpiA(user.target.c_str(), "debug") == 0;
  if (user.target.empty() || toDebugger_) return true;
  path_ = user.target;
  maxBytes_ = user.maxBytes;
  return Reopen(problem);
}

bool TraceForward::Reopen(std::string* problem) {
  if (file_ != -1) CloseHandle(AsHandle(file_));
  HANDLE h = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  file_ = -1;
  if (h == INVALID_HANDLE_VALUE) {
    *problem = "system error " + std::to_string(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *problem = "it is not a regular file (a folder, link or device)";
    return false;
  }
  file_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void TraceForward::Rotate() {
  CloseHandle(AsHandle(file_));
  file_ = -1;
  MoveFileExA(path_.c_str(), (path_ + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  std::string ignored;
  Reopen(&ignored);
}

void TraceForward::Write(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (toStandardError_) WriteText(Stream::Err, line);
    if (toDebugger_) OutputDebugStringA(line.c_str());
    if (file_ == -1) continue;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(AsHandle(file_), &size) && static_cast<uint64_t>(size.QuadPart) + line.size() > maxBytes_) {
      Rotate();
      if (file_ == -1) continue;
    }
    DWORD written = 0;
    WriteFile(AsHandle(file_), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}

TraceForward::~TraceForward() {
  if (file_ != -1) CloseHandle(AsHandle(file_));
}

}  // namespace qvhost
