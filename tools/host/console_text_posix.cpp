#include <errno.h>
#include <iconv.h>
#include <string.h>
#include <unistd.h>

#include "tools/host/driver_errors.h"
#include "tools/host/console_text.h"

namespace qvhost {

bool WriteText(Stream stream, const std::string& utf8) {
  FILE* file = stream == Stream::Out ? stdout : stderr;
  errno = 0;
  const bool written = fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size();
  return fflush(file) == 0 && written;
}

std::string LastWriteError() { return errno != 0 ? strerror(errno) : "unknown error"; }

bool IsTerminal(Stream stream) { return isatty(stream == Stream::Out ? 1 : 2) != 0; }

std::string GbkToUtf8(const char* gbk) {
  if (gbk == nullptr) return "";
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string in(gbk), out(in.size() * 4 + 4, '\0');
  char* inPtr = &in[0];
  char* outPtr = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return gbk;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace qvhost
