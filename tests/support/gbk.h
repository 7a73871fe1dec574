// GBK text to UTF-8 through the platform's own converter, so the driver's
// bytes are checked against the Chinese text, never against a copy of
// themselves.
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace qvtest {

inline std::string GbkToUtf8(const char* gbk) {
  if (gbk == nullptr) return "<null>";
#if defined(_WIN32)
  const int wideLength = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk, -1, nullptr, 0);
  if (wideLength <= 0) return "<invalid GBK>";
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk, -1, &wide[0], wideLength);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(static_cast<size_t>(length) - 1);
  return out;
#else
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no GBK converter>";
  std::string in(gbk);
  std::string out(in.size() * 4 + 4, '\0');
  char* inPtr = &in[0];
  size_t inLeft = in.size();
  char* outPtr = &out[0];
  size_t outLeft = out.size();
  const size_t converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1)) return "<invalid GBK>";
  out.resize(out.size() - outLeft);
  return out;
#endif
}

}  // namespace qvtest
