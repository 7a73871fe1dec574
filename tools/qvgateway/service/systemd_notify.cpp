#include "tools/qvgateway/service/systemd_notify.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace qvgateway {

bool NotifySystemd(const std::string& state) {
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') return false;
  const size_t length = strlen(name);
  sockaddr_un address{};
  if ((name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, name, length);
  // An abstract name starts with a zero byte instead of the '@' and is not
  // terminated: its length is the address's.
  if (name[0] == '@') address.sun_path[0] = '\0';
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent =
      sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
  close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

std::string ReadyMessage(const std::string& status) { return "READY=1\nSTATUS=" + status; }

std::string ReloadingMessage(uint64_t monotonicUsec) {
  return "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonicUsec) + "\nSTATUS=reloading the file";
}

std::string StoppingMessage() { return "STOPPING=1\nSTATUS=stopping: the transaction on the line finishes"; }

uint64_t MonotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace qvgateway
