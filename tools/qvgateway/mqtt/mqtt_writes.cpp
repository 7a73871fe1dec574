// The MQTT side's writes: a request on <prefix>/<station>/<tag>/set is
// checked whole before anything reaches the line, carried through the
// line owner's write queue (the one Modbus writes use) one at a time in
// arrival order, and answered on .../set/result once the controller
// acknowledged it or it failed, with the one reason that holds.
#include "tools/qvgateway/mqtt/mqtt_adapter.h"
#include "tools/qvgateway/mqtt/mqtt_write_result.h"
#include "tools/qvgateway/service/gateway_log.h"
#include "tools/qvgateway/service/write_log.h"

namespace qvgateway {

void MqttAdapter::Message(const std::string& topic, const std::string& payload, bool retained) {
  const std::string resultTopic = topic + "/result";
  const int named = TagOfSetTopic(config_.tags, mqtt_.prefix, topic);
  if (named >= 0 || !registerTopics_) {
    Write write;
    write.resultTopic = resultTopic;
    const std::string why = named >= 0 ? TakeTagWrite(named, payload, retained, &write) : "no such tag";
    if (!why.empty()) Publish(resultTopic, ResultPayload(write.tagWrite.idJson, false, -1, why), false);
    wake_.notify_all();
    return;
  }
  // <prefix>/<station>/<tag>/set, as subscribed.
  const size_t start = mqtt_.prefix.size() + 1;
  const size_t slash = topic.find('/', start);
  const size_t end = topic.size() - 4;  // "/set"
  const std::string station = slash == std::string::npos ? "" : topic.substr(start, slash - start);
  const std::string name = slash == std::string::npos || end <= slash ? "" : topic.substr(slash + 1, end - slash - 1);
  Write write;
  write.resultTopic = resultTopic;
  std::string why;
  const StationPlan* sp = nullptr;
  for (size_t s = 0; s < plan_.stations.size(); ++s) {
    if (std::to_string(plan_.stations[s]->config->number) == station) {
      sp = plan_.stations[s].get();
      write.station = s;
    }
  }
  // The id is echoed even when the rest is refused.
  ParseSetPayload(payload, Area::D, &write.request, &why);
  why.clear();
  if (retained) {
    why = "a retained write is never carried out: publish it without retain";
  } else if (sp == nullptr) {
    why = "no station " + Quoted(station) + " on this gateway";
  } else if (!ParseTagName(name, &write.area, &write.index)) {
    why = "'" + Quoted(name) + "' is not a register (D100, or M10 for the group M10..M17)";
  } else if (!sp->rules.writable.Has(write.area, write.index)) {
    why = "not writable";
  } else if (!ParseSetPayload(payload, write.area, &write.request, &why)) {
  } else if (stopWrites_) {
    why = "the gateway is stopping";
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_.size() >= static_cast<size_t>(config_.line.queueSize)) {
      why = "the gateway's MQTT write queue is full";
    } else {
      writes_.push_back(write);
    }
  }
  if (!why.empty()) {
    Publish(resultTopic, ResultPayload(write.request.idJson, false, -1, why), false);
  } else {
    wake_.notify_all();
  }
}

void MqttAdapter::RunWrites() {
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
    Execute(write);
    lock.lock();
  }
}

void MqttAdapter::LogWrite(const Write& write, const std::string& idJson, const LineResult& result) const {
  const std::string source =
      "mqtt " + write.resultTopic.substr(0, write.resultTopic.size() - std::string("/result").size()) + " id " + idJson;
  const int number = plan_.stations[write.station]->config->number;
  if (write.namedTag >= 0) {
    const TagConfig& tag = config_.tags[static_cast<size_t>(write.namedTag)];
    LogEvent(TagWriteLine(source, number, tag.name, write.tagWrite.text, WriteResult(result)));
  } else if (write.area == Area::D) {
    LogEvent(RegisterWriteLine(source, number, write.index, {static_cast<uint16_t>(write.request.value)},
                               WriteResult(result)));
  } else {
    std::vector<bool> bits;
    for (int b = 0; b < 8; ++b) bits.push_back((write.request.value >> b & 1) != 0);
    LogEvent(CoilWriteLine(source, number, write.index * 10, bits, WriteResult(result)));
  }
}

void MqttAdapter::Execute(const Write& write) {
  const StationRules& rules = plan_.stations[write.station]->rules;
  LineResult result;
  if (write.namedTag >= 0) {
    result = ExecuteTagWrite(write);
  } else if (write.area == Area::D) {
    result = owner_.WriteRegisters(rules, write.index, {static_cast<uint16_t>(write.request.value)}, nullptr);
  } else {
    // The whole group M10..M17, bit 0 = M10: the byte as written.
    std::vector<bool> bits;
    for (int b = 0; b < 8; ++b) bits.push_back((write.request.value >> b & 1) != 0);
    result = owner_.WriteCoils(rules, write.index * 10, bits, nullptr);
  }
  const std::string& idJson = write.namedTag >= 0 ? write.tagWrite.idJson : write.request.idJson;
  LogWrite(write, idJson, result);
  const std::string payload = WriteResultPayload(idJson, result);
  if (connected_) {
    Publish(write.resultTopic, payload, false);
  } else {
    LogEvent(Severity::Warning,
             "MQTT: the result of a write on " + write.resultTopic + " is lost, the broker is gone: " + payload);
  }
  // The tag's new value goes out at once, not at the next scan.
  wake_.notify_all();
}

}  // namespace qvgateway
