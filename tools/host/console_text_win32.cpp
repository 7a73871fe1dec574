#include <windows.h>

#include <errno.h>
#include <string.h>

#include "tools/host/driver_errors.h"
#include "tools/host/console_text.h"

namespace qvhost {
namespace {

constexpr UINT kGbk = 936;

std::wstring Wide(UINT codePage, const char* text) {
  const int length = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (length <= 0) return L"";
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text, -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

}  // namespace

bool WriteText(Stream stream, const std::string& utf8) {
  FILE* file = stream == Stream::Out ? stdout : stderr;
  HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    fflush(file);
    const std::wstring wide = Wide(CP_UTF8, utf8.c_str());
    DWORD written = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
  }
  SetLastError(0);
  const bool written = fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size();
  return fflush(file) == 0 && written;
}

std::string LastWriteError() {
  const DWORD error = GetLastError();
  if (error != 0) return "system error " + std::to_string(error);
  return errno != 0 ? strerror(errno) : "unknown error";
}

bool IsTerminal(Stream stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

std::string GbkToUtf8(const char* gbk) {
  if (gbk == nullptr) return "";
  const std::wstring wide = Wide(kGbk, gbk);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return gbk;
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(static_cast<size_t>(length - 1));
  return out;
}

}  // namespace qvhost
