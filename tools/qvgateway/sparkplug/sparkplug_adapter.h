// The Sparkplug B side: the line as one edge node, each station with named
// tags as a device. NBIRTH and the DBIRTHs on every connect, NDEATH as
// the connection's Will (and said on a clean stop), DDATA by alias when a
// tag moves past its deadband, DDEATH when a station is demoted or the
// port is lost. NCMD asks for births again; DCMD writes a writable tag
// through the line owner's write queue, and the new value goes out only
// once the controller acknowledged it (from the cache, as any change).
// Births and data go out with QoS 1, so that the broker acknowledges each
// one: while the broker is away, the primary host is offline or the
// broker stops acknowledging, every change goes to the store-and-forward
// file instead (with buffer_dir), and is replayed, flagged historical, in
// order after the births, before live data resumes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/line/plan.h"
#include "tools/qvgateway/mqtt/tag_topics.h"
#include "tools/qvgateway/sparkplug/change_buffer.h"
#include "tools/qvgateway/sparkplug/edge_node.h"
#include "tools/qvgateway/sparkplug/flight_book.h"
#include "tools/qvgateway/sparkplug/sparkplug_payload.h"

struct mosquitto;
struct mosquitto_message;

namespace qvgateway {

// What /metrics and the status page show of the edge node.
struct SparkplugLook {
  bool connected = false;
  bool born = false;        // NBIRTH said on this connection
  bool hostOnline = false;  // the primary host's STATE (true without one)
  int64_t bdSeq = 0;
  uint64_t folded = 0;      // changes never published (no buffer_dir)
  uint64_t buffered = 0;    // changes written to the buffer since the start
  uint64_t replayed = 0;    // of them, replayed
  uint64_t dropped = 0;     // dropped for the buffer's bound
  uint64_t depth = 0;       // records in the buffer now
  uint64_t bytes = 0;
  int64_t oldestUnixMs = -1;
};

class SparkplugAdapter {
 public:
  SparkplugAdapter(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner);
  ~SparkplugAdapter();

  // Opens the buffer, makes the client and starts connecting (in the
  // background). False with why.
  bool Start(std::string* error);
  void StopWrites() { stopWrites_ = true; }
  // Answers the writes taken, says NDEATH, keeps what was not
  // acknowledged in the buffer, disconnects.
  void Stop();
  SparkplugLook Look() const;

 private:
  struct Metric {
    const TagConfig* tag = nullptr;
    size_t device = 0;
    uint64_t alias = 0;
    TagReading published;  // also what went to the buffer
    bool everPublished = false;
  };
  struct Device {
    size_t station = 0;  // in the plan
    std::string name;
    std::vector<size_t> metrics;
    bool announced = false;  // DBIRTH said, no DDEATH since
  };
  struct Write {
    size_t metric = 0;
    TagWrite tagWrite;
    std::string source;
  };

  // The connection (sparkplug_adapter.cpp).
  static void OnConnect(struct mosquitto*, void* self, int rc);
  static void OnDisconnect(struct mosquitto*, void* self, int rc);
  static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message);
  static void OnPublished(struct mosquitto*, void* self, int mid);
  bool MakeClient(std::string* error);
  void RunNetwork();
  // -1 when the library refused it (no connection).
  int Publish(const std::string& topic, const std::string& payload, int qos);

  // The scan thread: births, data, deaths, buffer, replay (sparkplug_scan.cpp).
  void RunScan();
  void Scan();
  void Births(int64_t unixNow);
  void DeviceBirth(Device& device, int64_t steadyNow, int64_t unixNow);
  void DeviceDeath(Device& device, int64_t unixNow);
  void Record(size_t metric, const TagReading& reading);
  void Replay();
  void Acknowledged();
  void ConnectionEnded();
  void SayDeath();
  void NodeData(int64_t steadyNow, int64_t unixNow, bool all, std::vector<MetricOut>* metrics);
  bool Room() const { return flights_.Room(); }
  bool Live() const;

  // Commands and writes (sparkplug_commands.cpp).
  void Message(const std::string& topic, const std::string& payload);
  void NodeCommand(const std::string& payload);
  void DeviceCommand(const std::string& device, const std::string& payload);
  void HostState(const std::string& payload);
  void RunWrites();

  const GatewayConfig& config_;
  const SparkplugConfig& sp_;
  const LinePlan& plan_;
  LineOwner& owner_;
  SparkplugTopics topics_;
  std::vector<Metric> metrics_;
  std::vector<Device> devices_;
  std::map<std::string, size_t> metricByName_;

  std::mutex clientMutex_;  // client_ made and destroyed by the network thread
  struct mosquitto* client_ = nullptr;
  std::mutex nodeMutex_;  // bdSeq: read for each Will, stepped by the scan thread
  EdgeNode node_;
  std::unique_ptr<ChangeBuffer> buffer_;  // the scan thread's
  std::string counterPath_;

  std::atomic<bool> stopping_{false}, stopWrites_{false}, connected_{false}, hostOnline_{false};
  std::atomic<bool> rebirth_{false}, leave_{false};
  std::atomic<bool> networkStop_{false};  // set once the scan thread said its last
  std::atomic<int> connection_{0};  // counts connections, so the scan thread sees each one end
  int seenConnection_ = 0;
  FlightBook flights_;                     // the scan thread's
  std::mutex ackMutex_;
  std::vector<int> acks_;                  // mids acknowledged, for the scan thread
  bool portOpen_ = false;
  double utilisation_ = -1, busyMs_ = 0;
  int64_t utilisationAt_ = 0;
  bool dropSaid_ = false, writeFailSaid_ = false;
  bool leaving_ = false;    // NDEATH said for an offline primary host; the connection goes
  bool replaying_ = false;  // historical data went out: the file is removed once empty

  mutable std::mutex lookMutex_;
  SparkplugLook look_;

  std::mutex mutex_;  // the writes waiting, and the threads' sleep
  std::condition_variable wake_;
  std::deque<Write> writes_;
  std::thread network_, scan_, writer_;
};

}  // namespace qvgateway
