// The MQTT side: one retained topic per read tag, written again when its
// value or quality changes and all of them on every (re)connect; a
// retained "online" with a retained Last Will "offline"; writes on
// .../set carried through the line owner's write queue (the one Modbus
// writes use), each answered on .../set/result only once the controller
// acknowledged it or it failed. It reads the cache and never touches the
// line itself; it reconnects with a back-off and, while the broker is
// gone or stops acknowledging, keeps only each tag's latest state and
// counts what it folded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/line/line_owner.h"
#include "tools/qvgateway/mqtt/mqtt_payload.h"
#include "tools/qvgateway/mqtt/named_tag_publisher.h"
#include "tools/qvgateway/mqtt/tag_topics.h"
#include "tools/qvgateway/line/plan.h"

struct mosquitto;
struct mosquitto_message;

namespace qvgateway {

class MqttAdapter {
 public:
  MqttAdapter(const GatewayConfig& config, const LinePlan& plan, LineOwner& owner);
  ~MqttAdapter();

  // Makes the client and starts connecting (in the background). False
  // with why when the client cannot be made (a TLS file it refuses).
  bool Start(std::string* error);
  // No new write is taken: each one then gets ok:false at once.
  void StopWrites() { stopWrites_ = true; }
  // Answers the writes taken, says "offline", disconnects.
  void Stop();

  uint64_t Folded() const { return folded_; }
  bool Connected() const { return connected_; }
  // Wall time (ms since the epoch) of the last change of Connected(): the
  // connection, the loss, or the start while it was never connected.
  int64_t ConnectionSinceUnixMs() const { return connectionSinceUnixMs_; }

 private:
  struct Tag {
    size_t station = 0;
    Area area = Area::D;
    int index = 0;
    std::string topic;
    TagState published, seen;
    bool everPublished = false, everSeen = false;
    bool owed = false;  // to be published again whatever its state: a (re)connect
  };
  struct Write {
    size_t station = 0;
    Area area = Area::D;
    int index = 0;
    std::string resultTopic;
    SetRequest request;
    int namedTag = -1;  // a named tag's write, checked: its registers or bit
    TagWrite tagWrite;
  };

  static void OnConnect(struct mosquitto*, void* self, int rc);
  static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message);
  static void OnPublished(struct mosquitto*, void* self, int mid);
  static void OnLibraryLog(struct mosquitto*, void* self, int level, const char* text);
  void Connected(int rc);
  void Message(const std::string& topic, const std::string& payload, bool retained);
  // A write on a named tag's set topic: checked, then queued; why not, if not.
  std::string TakeTagWrite(int tag, const std::string& payload, bool retained, Write* write);
  LineResult ExecuteTagWrite(const Write& write);
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  bool Room() const { return unacknowledged_ < maxUnacknowledged_; }
  void RunNetwork();
  std::string WhyNotReached(int rc);
  void RunScan();
  void PublishStations();
  void SayHolding(bool holding);
  void RunWrites();
  void Execute(const Write& write);
  // One log line per write that reached the line owner, once it finished.
  void LogWrite(const Write& write, const std::string& idJson, const LineResult& result) const;
  void SayOffline();
  TagState Look(const Tag& tag, int64_t steadyNow, int64_t unixNow) const;

  const GatewayConfig& config_;
  const MqttConfig& mqtt_;
  const LinePlan& plan_;
  LineOwner& owner_;
  struct mosquitto* client_ = nullptr;
  std::vector<Tag> tags_;
  std::vector<std::string> stationTopics_, stationPublished_;  // <prefix>/<station>/status
  std::string statusTopic_;
  bool registerTopics_ = true;  // <prefix>/<station>/<register>; with named tags only when asked
  NamedTagPublisher named_;

  std::atomic<bool> stopping_{false}, stopWrites_{false}, connected_{false}, republish_{false};
  std::atomic<uint64_t> folded_{0};
  std::atomic<int64_t> connectionSinceUnixMs_{0};
  // Messages handed to the library and not yet acknowledged (QoS 1, 2) or
  // written (QoS 0): the library keeps each one until then, so past this
  // bound the tags wait here, one latest state each, instead.
  std::atomic<int> unacknowledged_{0};
  int maxUnacknowledged_ = 0;
  bool holding_ = false;          // the scan thread's: said once per backlog
  std::mutex libraryErrorMutex_;  // the library's last error, for the log
  std::string libraryError_;
  std::mutex mutex_;  // the writes waiting, and the threads' sleep
  std::condition_variable wake_;
  std::deque<Write> writes_;
  std::thread network_, scan_, writer_;
};

}  // namespace qvgateway
