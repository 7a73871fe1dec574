#include "tools/qvgateway/http/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>

namespace qvgateway {
namespace {

// A page left half-read by a client that went away is not kept longer.
constexpr unsigned kIdleSeconds = 30;
constexpr unsigned kMaxConnections = 32;

MHD_Result Handle(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* uploadSize, void** state) {
  // The first call only announces the request: a body (none is wanted)
  // is then read and dropped before the answer.
  if (*state == nullptr) {
    *state = self;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  const HttpReply reply = static_cast<const HttpServer*>(self)->Answer(method, url);
  MHD_Response* response =
      MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (reply.status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

HttpReply HttpServer::Answer(const std::string& method, const std::string& url) const {
  HttpReply reply;
  if (method != "GET" && method != "HEAD") {
    reply.status = MHD_HTTP_METHOD_NOT_ALLOWED;
    reply.body = "read-only: GET or HEAD\n";
    return reply;
  }
  const auto route = routes_.find(url.substr(0, url.find('?')));
  if (route == routes_.end()) {
    reply.status = MHD_HTTP_NOT_FOUND;
    reply.body = "not found: " + url + "\n";
    return reply;
  }
  reply = route->second();
  // libmicrohttpd leaves a HEAD answer's body out itself.
  return reply;
}

bool HttpServer::Start(std::string* error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(config_.port));
  if (inet_pton(AF_INET, config_.host.c_str(), &address.sin_addr) != 1) {
    *error = "http.listen: '" + config_.host + "' is not an IPv4 address";
    return false;
  }
  daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, 0, nullptr, nullptr,
                             &Handle, this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT,
                             kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "http.listen: cannot listen on " + config_.host + ":" + std::to_string(config_.port) +
             " (in use, or not this machine's address)";
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : config_.port;
  return true;
}

void HttpServer::Stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace qvgateway
