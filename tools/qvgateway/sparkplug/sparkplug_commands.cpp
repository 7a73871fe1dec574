// What a host sends the edge node: NCMD (Rebirth), DCMD (writes) and the
// primary host's STATE. A write is checked whole against its tag before
// anything reaches the line, carried through the line owner's write queue
// one at a time in arrival order, and logged with how it ended; its new
// value is published from the cache like any change, so a write the
// controller refused leaves the tag's data as the controller holds it.
#include "tools/qvgateway/mqtt/bounded_json.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/write_log.h"
#include "tools/qvgateway/sparkplug/sparkplug_adapter.h"
#include "tools/qvgateway/sparkplug/sparkplug_command.h"
#include "tools/qvgateway/tags/tag_value.h"

namespace qvgateway {
namespace {

constexpr uint64_t kRebirthAlias = 1;

}  // namespace

void SparkplugAdapter::Message(const std::string& topic, const std::string& payload) {
  const std::string deviceCommands = topics_.Node("DCMD") + "/";
  if (!sp_.primaryHostId.empty() && topic == "spBv1.0/STATE/" + sp_.primaryHostId) {
    HostState(payload);
  } else if (topic == topics_.Node("NCMD")) {
    NodeCommand(payload);
  } else if (topic.compare(0, deviceCommands.size(), deviceCommands) == 0) {
    DeviceCommand(topic.substr(deviceCommands.size()), payload);
  }
}

void SparkplugAdapter::HostState(const std::string& payload) {
  bool online = false;
  std::string why;
  if (!ParseHostState(payload, &online, &why)) {
    LogEvent(Severity::Warning, "Sparkplug: primary host " + sp_.primaryHostId + "'s STATE ignored: " + why);
    return;
  }
  if (online != hostOnline_.exchange(online)) {
    LogEvent(online ? Severity::Notice : Severity::Warning,
             "Sparkplug primary host " + sp_.primaryHostId + (online ? " is online" : " is offline"));
  }
  wake_.notify_all();
}

void SparkplugAdapter::NodeCommand(const std::string& payload) {
  std::vector<CommandMetric> metrics;
  std::string why;
  if (!DecodeCommand(payload, &metrics, &why)) {
    LogEvent(Severity::Warning, "Sparkplug NCMD ignored: " + why);
    return;
  }
  for (const CommandMetric& c : metrics) {
    const bool rebirth = (c.hasName && c.name == "Node Control/Rebirth") || (!c.hasName && c.hasAlias && c.alias == kRebirthAlias);
    if (rebirth && c.kind == CommandMetric::Kind::Boolean && c.flag) {
      rebirth_ = true;
      wake_.notify_all();
    } else {
      LogEvent(Severity::Warning, "Sparkplug NCMD for " + (c.hasName ? "'" + Quoted(c.name) + "'" : "alias " + std::to_string(c.alias)) +
                                      " ignored: the node takes only Node Control/Rebirth = true");
    }
  }
}

// A DCMD's metrics are written in the order sent, or none of them: one
// that is refused (an unknown tag, a value out of range, a full queue)
// refuses the whole command before the line sees any of it, so that a
// setpoint refused never leaves the command that went with it written.
void SparkplugAdapter::DeviceCommand(const std::string& deviceName, const std::string& payload) {
  const Device* device = nullptr;
  for (const Device& d : devices_) {
    if (d.name == deviceName) device = &d;
  }
  const std::string source = "sparkplug DCMD " + Quoted(deviceName);
  std::vector<CommandMetric> metrics;
  std::string why;
  if (device == nullptr) {
    LogEvent(Severity::Warning, "write from " + source + ": refused before the line: no device '" +
                                    Quoted(deviceName) + "' on this edge node (a station's name)");
    return;
  }
  const int station = plan_.stations[device->station]->config->number;
  if (!DecodeCommand(payload, &metrics, &why)) {
    LogEvent(Severity::Warning, "write from " + source + ": refused before the line: " + why);
    return;
  }
  std::vector<Write> writes;
  std::vector<std::string> reasons;  // one per metric: empty when it could be written
  std::vector<std::string> names;    // as the log names it
  for (const CommandMetric& c : metrics) {
    const Metric* metric = nullptr;
    for (size_t m : device->metrics) {
      if ((c.hasAlias && metrics_[m].alias == c.alias) || (!c.hasAlias && c.hasName && metrics_[m].tag->name == c.name)) {
        metric = &metrics_[m];
      }
    }
    Write write;
    write.source = source;
    write.tagWrite.text = c.kind == CommandMetric::Kind::None ? "(no value)" : c.text;
    const TagConfig* tag = metric == nullptr ? nullptr : metric->tag;
    why.clear();
    if (tag == nullptr) {
      why = "no tag " + (c.hasName ? Quoted(c.name) : "alias " + std::to_string(c.alias)) + " on device " +
            Quoted(deviceName);
    } else if (!tag->writable) {
      why = "'" + tag->name + "' is not writable (the file does not say writable = true)";
    } else if (tag->type == TagType::Bool) {
      if (c.kind == CommandMetric::Kind::Boolean) {
        write.tagWrite.flag = c.flag;
      } else if (c.kind == CommandMetric::Kind::Number && (c.number == 0 || c.number == 1)) {
        write.tagWrite.flag = c.number == 1;
      } else {
        why = "a bool tag takes a Boolean, 1 or 0";
      }
    } else if (c.kind != CommandMetric::Kind::Number) {
      why = "the value is not a number";
    } else {
      ToRegisters(*tag, c.number, &write.tagWrite.words, &why);
    }
    if (tag != nullptr) write.metric = static_cast<size_t>(metric - metrics_.data());
    writes.push_back(write);
    reasons.push_back(why);
    names.push_back(tag != nullptr ? tag->name : c.hasName ? Quoted(c.name) : "alias " + std::to_string(c.alias));
  }
  size_t refused = 0;
  for (const std::string& reason : reasons) refused += reason.empty() ? 0 : 1;
  std::string all;  // why the whole command is refused, when no one metric is
  if (refused == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopWrites_) {
      all = "the gateway is stopping";
    } else if (writes_.size() + writes.size() > static_cast<size_t>(config_.line.queueSize)) {
      all = "the gateway's Sparkplug write queue has no room for " + std::to_string(writes.size()) +
            (writes.size() == 1 ? " write" : " writes");
    } else {
      writes_.insert(writes_.end(), writes.begin(), writes.end());
    }
  }
  if (refused > 0 || !all.empty()) {
    for (size_t i = 0; i < writes.size(); ++i) {
      const std::string reason = !all.empty()          ? all
                                 : !reasons[i].empty() ? reasons[i]
                                                       : "another metric of this command was refused: a DCMD is "
                                                         "written whole or not at all";
      LogEvent(Severity::Warning, TagWriteLine(source, station, names[i], writes[i].tagWrite.text,
                                               "refused before the line: " + reason));
    }
  }
  wake_.notify_all();
}

void SparkplugAdapter::RunWrites() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (writes_.empty()) {
      if (stopping_) break;
      wake_.wait(lock);
      continue;
    }
    const Write write = writes_.front();
    writes_.pop_front();
    lock.unlock();
    const Metric& metric = metrics_[write.metric];
    const StationPlan& station = *plan_.stations[devices_[metric.device].station];
    const LineResult result = WriteTag(owner_, station.rules, *metric.tag, write.tagWrite);
    LogEvent(result.ok() ? Severity::Notice : Severity::Warning,
             TagWriteLine(write.source, station.config->number, metric.tag->name, write.tagWrite.text,
                          WriteResult(result)));
    // The new value goes out from the cache at once, not at the next scan.
    wake_.notify_all();
    lock.lock();
  }
}

}  // namespace qvgateway
