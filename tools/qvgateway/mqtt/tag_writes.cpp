// Writes on a named tag's set topic: refused before the line when the tag
// is not writable or the value is not one it can hold, else queued like
// any write and carried through the line owner's write queue.
#include "tools/qvgateway/mqtt/mqtt_adapter.h"

namespace qvgateway {

std::string MqttAdapter::TakeTagWrite(int tag, const std::string& payload, bool retained, Write* write) {
  const TagConfig& config = config_.tags[static_cast<size_t>(tag)];
  write->namedTag = tag;
  write->station = named_.StationOf(static_cast<size_t>(tag));
  std::string why;
  // The id is echoed even when the rest is refused.
  const bool parsed = ParseTagSetPayload(config, payload, &write->tagWrite, &why);
  if (retained) return "a retained write is never carried out: publish it without retain";
  if (!config.writable) return "'" + config.name + "' is not writable (the file does not say writable = true)";
  if (!parsed) return why;
  if (stopWrites_) return "the gateway is stopping";
  std::lock_guard<std::mutex> lock(mutex_);
  if (writes_.size() >= static_cast<size_t>(config_.line.queueSize)) return "the gateway's MQTT write queue is full";
  writes_.push_back(*write);
  return "";
}

LineResult MqttAdapter::ExecuteTagWrite(const Write& write) {
  return WriteTag(owner_, plan_.stations[write.station]->rules, config_.tags[static_cast<size_t>(write.namedTag)],
                  write.tagWrite);
}

LineResult WriteTag(LineOwner& owner, const StationRules& rules, const TagConfig& tag, const TagWrite& write) {
  if (tag.type != TagType::Bool) return owner.WriteRegisters(rules, tag.index, write.words, nullptr);
  if (tag.area == Area::M) return owner.WriteCoils(rules, tag.index * 10 + tag.bit, {write.flag}, nullptr);
  return owner.WriteRegisterBit(rules, tag.index, tag.bit, write.flag, nullptr);
}

}  // namespace qvgateway
