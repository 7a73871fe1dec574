#include "tools/qvgateway/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/qvgateway/modbus/modbus_dispatch.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/write_log.h"

namespace qvgateway {
namespace {

constexpr int kMbapBytes = 7;
constexpr int kLongestPdu = 253;
constexpr int kByteTimeoutMs = 500;  // between the bytes of one frame
constexpr int kStopCheckMs = 100;

// Reads exactly `size` bytes, each part within kByteTimeoutMs; false if the
// client closed or stalled mid-frame.
bool ReadExactly(int fd, uint8_t* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kByteTimeoutMs) <= 0) return false;
    const ssize_t n = recv(fd, buffer + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The client closed its end (or reset it) while its request waits.
bool Gone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

class ClientService : public RegisterService {
 public:
  ClientService(LineOwner& owner, const LinePlan& plan, int fd, const std::string& peer)
      : owner_(owner), plan_(plan), peer_(peer), gone_([fd] { return Gone(fd); }) {}
  uint8_t Read(const StationRules& s, Area area, int first, int count, uint16_t* values) override {
    return ToModbusException(owner_.Read(s, area, first, count, values, gone_));
  }
  uint8_t WriteRegisters(const StationRules& s, int first, const std::vector<uint16_t>& values) override {
    const LineResult result = owner_.WriteRegisters(s, first, values, gone_);
    LogEvent(RegisterWriteLine(Source(s), Number(s), first, values, WriteResult(result)));
    return ToModbusException(result);
  }
  uint8_t WriteCoils(const StationRules& s, int first, const std::vector<bool>& bits) override {
    const LineResult result = owner_.WriteCoils(s, first, bits, gone_);
    LogEvent(CoilWriteLine(Source(s), Number(s), first, bits, WriteResult(result)));
    return ToModbusException(result);
  }
  void Status(const StationRules& s, uint16_t registers[kStatusRegisterCount]) override {
    owner_.Status(s, registers);
  }

 private:
  std::string Source(const StationRules& s) const { return "modbus " + peer_ + " unit " + std::to_string(s.unit); }
  int Number(const StationRules& s) const { return plan_.stations[static_cast<size_t>(s.index)]->config->number; }

  LineOwner& owner_;
  const LinePlan& plan_;
  std::string peer_;
  std::function<bool()> gone_;
};

}  // namespace

ModbusServer::~ModbusServer() {
  Shutdown();
  if (listener_ != nullptr) modbus_free(static_cast<modbus_t*>(listener_));
}

bool ModbusServer::Listen(std::string* error) {
  modbus_t* ctx = modbus_new_tcp(config_.modbus.host.c_str(), config_.modbus.port);
  if (ctx == nullptr) {
    *error = std::string("cannot make the Modbus listener: ") + modbus_strerror(errno);
    return false;
  }
  listener_ = ctx;
  listenFd_ = modbus_tcp_listen(ctx, 16);
  if (listenFd_ < 0) {
    *error = "cannot listen on " + config_.modbus.host + ":" + std::to_string(config_.modbus.port) + ": " +
             modbus_strerror(errno);
    return false;
  }
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &size);
  port_ = ntohs(bound.sin_port);
  return true;
}

void ModbusServer::Run(const std::atomic<bool>& stop) {
  while (!stop && !stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, kStopCheckMs) > 0 && (p.revents & POLLIN)) Accept();
    Reap();
    refusals_.Tick(SteadyMs());
  }
}

void ModbusServer::Accept() {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  if (fd < 0) return;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  const std::string name = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
  if (!Allowed(config_.modbus.allow, ntohl(peer.sin_addr.s_addr))) {
    refusals_.Refused(address, "client " + name + " refused: not in modbus.allow", SteadyMs());
    metrics_.refused.Add();
    close(fd);
    return;
  }
  std::lock_guard<std::mutex> lock(clientsMutex_);
  size_t active = 0;
  for (auto& c : clients_) active += c->done ? 0 : 1;
  if (active >= static_cast<size_t>(config_.modbus.maxClients)) {
    refusals_.Refused(
        address, "client " + name + " refused: already " + std::to_string(active) + " clients (modbus.max_clients)",
        SteadyMs());
    metrics_.refused.Add();
    close(fd);
    return;
  }
  auto client = std::make_unique<Client>();
  client->fd = fd;
  client->peer = name;
  Client* raw = client.get();
  ++metrics_.clients;
  clients_.push_back(std::move(client));
  raw->thread = std::thread([this, raw] { Serve(raw); });
}

void ModbusServer::Serve(Client* client) {
  const int fd = client->fd;
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", 502);
  modbus_set_socket(ctx, fd);
  ClientService service(owner_, plan_, fd, client->peer);
  const UnitDirectory units = [this](int unit) -> const StationRules* {
    const StationPlan* s = plan_.ByUnit(unit);
    return s == nullptr ? nullptr : &s->rules;
  };
  int idleMs = 0;
  while (!stopping_) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, kStopCheckMs);
    if (ready == 0) {
      idleMs += kStopCheckMs;
      if (idleMs >= 1000 * config_.modbus.idleTimeoutS) break;
      continue;
    }
    idleMs = 0;
    uint8_t adu[kMbapBytes + kLongestPdu];
    if (ready < 0 || !ReadExactly(fd, adu, kMbapBytes)) break;
    const int protocol = adu[2] << 8 | adu[3], length = adu[4] << 8 | adu[5];
    // A frame this server cannot delimit is not answered: the client is
    // closed, so that nothing after it is read out of step.
    if (protocol != 0 || length < 2 || length > kLongestPdu + 1) break;
    if (!ReadExactly(fd, adu + kMbapBytes, static_cast<size_t>(length - 1))) break;
    const std::vector<uint8_t> reply = Dispatch(adu[6], adu + kMbapBytes, static_cast<size_t>(length - 1), units, service);
    metrics_.Request(adu[kMbapBytes], reply);
    if (reply.empty()) break;
    if (reply.size() == 2 && (reply[0] & 0x80)) {
      // libmodbus's own reply path would sleep on an invalid request; this
      // one answers at once.
      if (modbus_reply_exception(ctx, adu, reply[1]) < 0) break;
      continue;
    }
    uint8_t answer[kMbapBytes + kLongestPdu];
    const size_t size = reply.size();
    answer[0] = adu[0];
    answer[1] = adu[1];
    answer[2] = answer[3] = 0;
    answer[4] = static_cast<uint8_t>((size + 1) >> 8);
    answer[5] = static_cast<uint8_t>(size + 1);
    answer[6] = adu[6];
    std::copy(reply.begin(), reply.end(), answer + kMbapBytes);
    if (!SendAll(fd, answer, kMbapBytes + size)) break;
  }
  modbus_free(ctx);
  close(fd);
  --metrics_.clients;
  client->done = true;
}

void ModbusServer::Reap() {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void ModbusServer::Shutdown() {
  stopping_ = true;
  refusals_.Flush();
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
  std::list<std::unique_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    clients.swap(clients_);
  }
  for (auto& c : clients) c->thread.join();
}

}  // namespace qvgateway
