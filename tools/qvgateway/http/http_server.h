// The HTTP side's listener (libmicrohttpd, which keeps time_t off its
// interface): GET and HEAD on a fixed set of paths, each answered by a
// function the gateway registers before Start. It only reads what the
// line owner and the adapters keep; nothing here reaches the line.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "tools/qvgateway/config/config.h"

struct MHD_Daemon;

namespace qvgateway {

struct HttpReply {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

class HttpServer {
 public:
  using Route = std::function<HttpReply()>;

  explicit HttpServer(const HttpConfig& config) : config_(config) {}
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before Start: `path` ("/metrics") answered by `route`.
  void Add(const std::string& path, Route route) { routes_[path] = std::move(route); }
  // Binds and serves on its own threads. False with why.
  bool Start(std::string* error);
  int Port() const { return port_; }
  void Stop();

  // What a request for `method` and `path` gets (the path's query cut off).
  HttpReply Answer(const std::string& method, const std::string& path) const;

 private:
  const HttpConfig& config_;
  std::map<std::string, Route> routes_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
};

}  // namespace qvgateway
