#include "tools/qvgateway/line/plan.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "tools/host/driver_errors.h"
#include "tools/host/tag_ranges.h"
#include "tools/qvgateway/tags/tag_plan.h"

namespace qvgateway {
namespace {

struct Parsed {
  Area area;
  int index;  // D register, or M group
  TagAddress address;
  int line = 0;  // of the range that named it
};

bool ParseText(IDeviceDriver* parser, const std::string& text, int station, Parsed* parsed, std::string* why) {
  parsed->area = text[0] == 'M' ? Area::M : Area::D;
  if (!ParseRegister(parser, parsed->area, 0, station, &parsed->address, why, text)) return false;
  parsed->index = parsed->area == Area::M ? parsed->address.registerAddress / 10 : parsed->address.registerAddress;
  return true;
}

// Each range of a key, expanded to registers; false after refusing.
bool ExpandRanges(const GatewayConfig& config, IDeviceDriver* parser, const StationConfig& station,
                  const std::vector<RangeText>& ranges, const std::string& key, std::vector<Parsed>* registers,
                  std::vector<std::string>* problems) {
  bool ok = true;
  for (const auto& range : ranges) {
    std::vector<std::string> texts;
    std::string why;
    KeyPlace place{station.place.key + "." + key, range.line};
    if (!qvhost::ExpandTag(range.text, 1, &texts, &why)) {
      problems->push_back(Problem(config.file, place, why));
      ok = false;
      continue;
    }
    for (const auto& text : texts) {
      Parsed parsed;
      if (!ParseText(parser, text, station.number, &parsed, &why)) {
        problems->push_back(Problem(config.file, place, why));
        ok = false;
        break;
      }
      parsed.line = range.line;
      registers->push_back(parsed);
    }
  }
  return ok;
}

std::string RegisterText(Area area, int index) {
  return area == Area::D ? "D" + std::to_string(index) : "M" + std::to_string(index * 10);
}

// A register clients may write but not read would be written blind: the
// Modbus side would take the write and then refuse to read it back. Each
// write range with such registers is refused, naming them as runs.
void RefuseWritesNotRead(const GatewayConfig& config, const StationConfig& station, const std::vector<Parsed>& writes,
                         const RegisterSet& readable, std::vector<std::string>* problems) {
  size_t i = 0;
  while (i < writes.size()) {
    const int line = writes[i].line;
    std::string runs;
    int count = 0;
    for (; i < writes.size() && writes[i].line == line; ++i) {
      const Parsed& w = writes[i];
      if (readable.Has(w.area, w.index)) continue;
      size_t last = i;
      while (last + 1 < writes.size() && writes[last + 1].line == line && writes[last + 1].area == w.area &&
             writes[last + 1].index == writes[last].index + 1 && !readable.Has(w.area, writes[last + 1].index)) {
        ++last;
      }
      runs += (runs.empty() ? "" : ", ") + RegisterText(w.area, w.index) +
              (last > i ? ".." + RegisterText(w.area, writes[last].index) : "");
      count += static_cast<int>(last - i) + 1;
      i = last;
    }
    if (count == 0) continue;
    problems->push_back(Problem(config.file, {station.place.key + ".write", line},
                                runs + (count == 1 ? " is" : " are") +
                                    " not in any read range: a value written could not be read back; add " +
                                    (count == 1 ? "it" : "them") + " to read"));
  }
}

}  // namespace

bool ParseRegister(IDeviceDriver* parser, Area area, int index, int station, TagAddress* address, std::string* why,
                   const std::string& typed) {
  const std::string text =
      !typed.empty() ? typed : area == Area::D ? "D" + std::to_string(index) : "M" + std::to_string(index * 10);
  TagDefinition definition{};
  memcpy(definition.addressText, text.c_str(), std::min(text.size(), sizeof definition.addressText - 1));
  definition.dataType = area == Area::M ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
  if (parser->lpVtbl->ParseTag(parser, &definition, address) != QV_PARSE_OK) {
    *why = "'" + text + "': the driver refuses it: " + qvhost::Describe(qvhost::LastDriverError(parser));
    return false;
  }
  address->deviceAddress = static_cast<int16_t>(station);
  return true;
}

const StationPlan* LinePlan::ByUnit(int unit) const {
  for (const auto& s : stations) {
    if (s->config->unit == unit) return s.get();
  }
  return nullptr;
}

bool BuildPlan(const GatewayConfig& config, IDeviceDriver* parser, LinePlan* plan, std::vector<std::string>* problems) {
  const size_t before = problems->size();
  const LineConfig& line = config.line;
  plan->bitsPerByte = BitsPerByte(line.dataBits, line.parity, line.stopBits);
  plan->utilisation = 0;
  for (const auto& station : config.stations) {
    auto sp = std::make_unique<StationPlan>();
    sp->config = &station;
    sp->rules.index = static_cast<int>(plan->stations.size());
    sp->rules.unit = station.unit;
    std::vector<Parsed> reads, writes;
    if (!ExpandRanges(config, parser, station, station.read, "read", &reads, problems) ||
        !ExpandRanges(config, parser, station, station.write, "write", &writes, problems)) {
      continue;
    }
    for (const auto& w : writes) sp->rules.writable.Set(w.area, w.index);
    CheckWritableTags(config, station, sp->rules.writable, problems);
    // Named tags' registers are read in the station's blocks too.
    for (const auto& [area, index] : TagRegisters(config, station.number)) {
      Parsed parsed{area, index, {}};
      std::string why;
      if (ParseRegister(parser, area, index, station.number, &parsed.address, &why)) reads.push_back(parsed);
    }
    for (const auto& r : reads) sp->rules.readable.Set(r.area, r.index);
    RefuseWritesNotRead(config, station, writes, sp->rules.readable, problems);
    // A register named by two ranges is read once.
    RegisterSet taken;
    for (const auto& r : reads) {
      if (taken.Has(r.area, r.index)) continue;
      taken.Set(r.area, r.index);
      qvhost::Tag tag;
      tag.text = RegisterText(r.area, r.index);
      tag.address = r.address;
      sp->tags.push_back(tag);
    }
    sp->driverBlocks = qvhost::GroupTags(parser, sp->tags, false, static_cast<int16_t>(station.number));
    for (size_t b = 0; b < sp->driverBlocks.size(); ++b) {
      const BlockRequest& request = sp->driverBlocks[b]->request;
      PlanBlock block;
      block.area = request.registerTypeIndex == QV_TYPE_INDEX_M ? Area::M : Area::D;
      const int scale = block.area == Area::M ? 10 : 1;
      block.first = request.startAddress / scale;
      block.last = request.endAddress / scale;
      block.wireMs = WireMs(ReadTransactionBytes(block.area, block.last - block.first + 1), plan->bitsPerByte, line.baud);
      for (const qvhost::Tag* tag : sp->driverBlocks[b]->tags) {
        const int index = tag->address.registerAddress / scale;
        (block.area == Area::D ? sp->dBlock : sp->mBlock)[index] = static_cast<int>(b);
      }
      sp->pollWireMs += block.wireMs;
      sp->blocks.push_back(block);
    }
    if (station.pollMs > 0) plan->utilisation += sp->pollWireMs / station.pollMs;
    plan->stations.push_back(std::move(sp));
  }
  if (problems->size() == before && plan->utilisation > 1.0) {
    char why[200];
    snprintf(why, sizeof why,
             "the poll plan needs %.0f%% of the line at %d baud (more than 100%%): poll less often (poll_ms), "
             "read fewer registers, or raise the baud",
             plan->utilisation * 100, line.baud);
    problems->push_back(Problem(config.file, line.baudPlace, why));
  }
  return problems->size() == before;
}

std::string DescribePlan(const GatewayConfig& config, const LinePlan& plan) {
  std::string out;
  char text[256];
  snprintf(text, sizeof text, "line %s, %d baud, %d bits per character", config.line.port.c_str(),
           config.line.baud, plan.bitsPerByte);
  out += text;
  if (config.line.rs485 != "off") {
    snprintf(text, sizeof text, ", RS-485 %s (RTS %d us before and %d us after sending)", config.line.rs485.c_str(),
             config.line.rs485DelayBeforeUs, config.line.rs485DelayAfterUs);
    out += text;
  }
  out += "\n";
  for (const auto& s : plan.stations) {
    const StationConfig& c = *s->config;
    snprintf(text, sizeof text, "station %d (unit %d): %zu %s, %.1f ms of wire time per poll, ", c.number, c.unit,
             s->blocks.size(), s->blocks.size() == 1 ? "block" : "blocks", s->pollWireMs);
    out += text;
    if (c.pollMs > 0) {
      snprintf(text, sizeof text, "polled every %d ms: %.1f%% of the line\n", c.pollMs, 100 * s->pollWireMs / c.pollMs);
    } else if (config.mqtt.enabled) {
      snprintf(text, sizeof text, "read only when a client asks: its MQTT topics will not update\n");
    } else {
      snprintf(text, sizeof text, "read only when a client asks\n");
    }
    out += text;
    for (const auto& b : s->blocks) {
      const char area = b.area == Area::D ? 'D' : 'M';
      const int scale = b.area == Area::D ? 1 : 10;
      const int count = b.last - b.first + 1;
      const char* unit = b.area == Area::D ? (count == 1 ? "register " : "registers")
                                           : (count == 1 ? "group    " : "groups   ");
      snprintf(text, sizeof text, "  %c%d..%c%d  %2d %s  %6.1f ms\n", area, b.first * scale, area, b.last * scale,
               count, unit, b.wireMs);
      out += text;
    }
  }
  snprintf(text, sizeof text, "line utilisation by the cyclic polls: %.1f%%\n", plan.utilisation * 100);
  out += text;
  return out;
}

}  // namespace qvgateway
