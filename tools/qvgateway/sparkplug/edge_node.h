// The edge node's rules, apart from any connection or clock: the message
// sequence (0 on NBIRTH, one more on each later message, wrapping after
// 255), the birth/death sequence that ties an NBIRTH to the NDEATH left as
// the connection's Will, and when a station, as a device, is born or dies.
// The adapter's one scan thread owns it, so it holds no lock.
#pragma once

#include <stdint.h>

#include <string>

#include "tools/qvgateway/line/station_health.h"

namespace qvgateway {

// Topics of one edge node: spBv1.0/<group>/<type>/<node>[/<device>].
struct SparkplugTopics {
  std::string group, node;
  std::string Node(const char* type) const { return "spBv1.0/" + group + "/" + type + "/" + node; }
  std::string Device(const char* type, const std::string& device) const { return Node(type) + "/" + device; }
};

class EdgeNode {
 public:
  // `bdSeq`: the first connection's (kept from the last run, or 0).
  explicit EdgeNode(int64_t bdSeq) : bdSeq_(bdSeq % 256) {}

  // The NBIRTH's and the Will's: it is set before each connect and only
  // steps once a connection that was born has ended, so that the NDEATH a
  // host receives always names the NBIRTH it ends.
  int64_t BdSeq() const { return bdSeq_; }
  // What the next run starts from once this connection is born.
  int64_t NextBdSeq() const { return (bdSeq_ + 1) % 256; }
  bool Born() const { return born_; }

  // NBIRTH: the sequence starts again at 0.
  int Birth() {
    born_ = true;
    seq_ = 0;
    return 0;
  }
  // Any later message of the node: DBIRTH, DDATA, DDEATH, NDATA.
  int Next() {
    seq_ = (seq_ + 1) % 256;
    return seq_;
  }
  // The connection ended (or the node said NDEATH itself).
  void Died() {
    if (born_) bdSeq_ = NextBdSeq();
    born_ = false;
  }

 private:
  int64_t bdSeq_ = 0;
  int seq_ = 0;
  bool born_ = false;
};

// A station is a live device while the port is open, it is not demoted,
// and each of its tags was read at least once (a birth carries values, not
// "never read").
inline bool DeviceAlive(bool lineUp, const StationHealth& health, bool everyTagRead) {
  return lineUp && !health.demoted && everyTagRead;
}

enum class DeviceStep { None, Birth, Death };

// What a device owes the host, given whether it was announced and whether
// it is alive now.
inline DeviceStep NextDeviceStep(bool announced, bool alive) {
  return alive == announced ? DeviceStep::None : alive ? DeviceStep::Birth : DeviceStep::Death;
}

}  // namespace qvgateway
