#include "tests/bench/gateway_http_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "tests/bench/gateway_processes.h"

namespace gwbench {

int HttpGet(int port, const std::string& path, std::string* body) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[16384];
      ssize_t n;
      pollfd ready{fd, POLLIN, 0};
      while (poll(&ready, 1, 10000) > 0 && (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        answer.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  const size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return 0;
  *body = answer.substr(end + 4);
  return atoi(answer.c_str() + 9);
}

int HttpPort(const std::string& log) {
  const std::string mark = "HTTP on 127.0.0.1:";
  const size_t at = log.find(mark);
  return at == std::string::npos ? 0 : atoi(log.c_str() + at + mark.size());
}

std::string ScrapeBench(const std::string& bin, const std::string& work, int scrapes, int* failures) {
  // 100 registers: 25 on each of four stations, polled every 500 ms.
  std::string toml = "[line]\nport = \"" + work + "/line\"\nbaud = 57600\ntimeout_ms = 1000\nreply_wait = \"early\"\n"
                     "[modbus]\nlisten = \"127.0.0.1:0\"\n[http]\nlisten = \"127.0.0.1:0\"\n";
  for (int station = 1; station <= 4; ++station) {
    toml += "[[station]]\nnumber = " + std::to_string(station) + "\npoll_ms = 500\nread = [\"D100..D124\"]\n";
  }
  Rig rig(bin, work, 57600, toml, {1, 2, 3, 4});
  const int port = HttpPort(rig.Log());
  std::string body;
  if (port == 0 || HttpGet(port, "/metrics", &body) != 200) {
    fprintf(stderr, "no /metrics: %s\n", rig.Log().c_str());
    ++*failures;
    return "\"scrape\": null";
  }
  usleep(1000000);  // every block polled at least once
  std::vector<double> ms;
  for (int i = 0; i < scrapes; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int status = HttpGet(port, "/metrics", &body);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (status != 200 && (*failures)++ < 5) fprintf(stderr, "scrape %d: status %d\n", i, status);
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2], p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  const long lines = std::count(body.begin(), body.end(), '\n');
  printf("\n/metrics with 100 tags over 4 stations (polled every 500 ms): %d scrapes, %zu bytes, %ld lines\n"
         "  median %.3f ms, p99 %.3f ms\n",
         scrapes, body.size(), lines, median, p99);
  return "\"scrape\": {\"tags\": 100, \"scrapes\": " + std::to_string(scrapes) + ", \"bytes\": " +
         std::to_string(body.size()) + ", \"median_ms\": " + std::to_string(median) + ", \"p99_ms\": " +
         std::to_string(p99) + "}";
}

}  // namespace gwbench
