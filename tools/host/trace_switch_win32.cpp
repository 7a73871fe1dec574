// The driver on Windows reads its settings from the registry, and its
// debug trace goes to the debugger, not to a console. So for the moment
// the driver objects are made, the user's Trace value names a file of this
// run's; the value is put back at once, and the run copies the file's new
// lines to standard error after each transaction.
#include <windows.h>

#include <vector>

#include "tools/host/console_text.h"
#include "tools/host/trace_switch.h"

namespace qvpoll {
namespace {

constexpr char kKey[] = "SOFTWARE\\Quorvalend";
constexpr char kValue[] = "Trace";

}  // namespace

bool TraceSwitch::Begin(std::string* error) {
  char folder[MAX_PATH] = {}, path[MAX_PATH] = {};
  if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "qvt", 0, path) == 0) {
    *error = "--trace: cannot make a file for the trace in the temporary folder (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  file_ = path;
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY,
                      nullptr, &key, &disposition) != ERROR_SUCCESS) {
    DeleteFileA(file_.c_str());
    *error = "--trace: cannot set HKEY_CURRENT_USER\\SOFTWARE\\Quorvalend Trace for this run";
    return false;
  }
  madeKey_ = disposition == REG_CREATED_NEW_KEY;
  DWORD type = 0, size = 0;
  hadValue_ = RegQueryValueExA(key, kValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  if (hadValue_) {
    std::vector<char> data(size + 1);
    RegQueryValueExA(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    valueType_ = type;
    value_.assign(data.data(), size);
  }
  RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(file_.c_str()),
                 static_cast<DWORD>(file_.size() + 1));
  RegCloseKey(key);
  on_ = true;
  restored_ = false;
  return true;
}

void TraceSwitch::ObjectsMade() {
  if (restored_) return;
  restored_ = true;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return;
  if (hadValue_) {
    RegSetValueExA(key, kValue, 0, valueType_, reinterpret_cast<const BYTE*>(value_.data()),
                   static_cast<DWORD>(value_.size()));
  } else {
    RegDeleteValueA(key, kValue);
  }
  RegCloseKey(key);
  if (madeKey_) RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
}

void TraceSwitch::Relay() {
  if (!on_) return;
  HANDLE h = CreateFileA(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(copied_);
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  std::string text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  CloseHandle(h);
  // Whole lines only; the rest comes with the next call.
  const size_t end = text.rfind('\n');
  if (end == std::string::npos) return;
  copied_ += end + 1;
  WriteText(Stream::Err, text.substr(0, end + 1));
}

TraceSwitch::~TraceSwitch() {
  ObjectsMade();
  if (!on_) return;
  Relay();
  DeleteFileA(file_.c_str());
}

}  // namespace qvpoll
