#include "tools/qvgateway/tags/tag_plan.h"

#include <stdio.h>

#include <map>
#include <set>

namespace qvgateway {

std::vector<std::pair<Area, int>> TagRegisters(const GatewayConfig& config, int number) {
  std::vector<std::pair<Area, int>> registers;
  for (const TagConfig& tag : config.tags) {
    if (tag.station != number) continue;
    for (int r = 0; r < tag.Registers(); ++r) registers.emplace_back(tag.area, tag.index + r);
  }
  return registers;
}

void CheckWritableTags(const GatewayConfig& config, const StationConfig& station, const RegisterSet& writable,
                       std::vector<std::string>* problems) {
  for (const TagConfig& tag : config.tags) {
    if (tag.station != station.number || !tag.writable) continue;
    for (int r = 0; r < tag.Registers(); ++r) {
      if (writable.Has(tag.area, tag.index + r)) continue;
      const std::string name = tag.area == Area::D ? "D" + std::to_string(tag.index + r)
                                                   : "M" + std::to_string(tag.index * 10);
      problems->push_back(Problem(config.file, {tag.key + ".writable", tag.writableLine},
                                  "'" + tag.name + "' needs " + name + ", which is not in station " +
                                      std::to_string(station.number) +
                                      "'s write ranges: add it to the station's \"write\", or drop writable"));
      break;
    }
  }
}

std::string DescribeScanClasses(const GatewayConfig& config, const LinePlan& plan) {
  if (config.tags.empty()) return "";
  std::string out = "scan classes (a station's blocks are all read at its fastest class):\n";
  char text[256];
  for (const auto& s : plan.stations) {
    const StationConfig& c = *s->config;
    struct Class {
      int tags = 0;
      std::set<int> blocks;
    };
    std::map<int, Class> classes;  // by period
    for (const TagConfig& tag : config.tags) {
      if (tag.station != c.number) continue;
      Class& k = classes[tag.pollMs];
      ++k.tags;
      for (int r = 0; r < tag.Registers(); ++r) {
        const int block = s->BlockOf(tag.area, tag.index + r);
        if (block >= 0) k.blocks.insert(block);
      }
    }
    for (const auto& [period, k] : classes) {
      double wireMs = 0;
      for (int b : k.blocks) wireMs += s->blocks[static_cast<size_t>(b)].wireMs;
      const char* tags = k.tags == 1 ? "tag" : "tags";
      const char* blocks = k.blocks.size() == 1 ? "block" : "blocks";
      if (period > 0) {
        snprintf(text, sizeof text, "  station %d, every %d ms: %d %s in %zu %s, %.1f%% of the line", c.number,
                 period, k.tags, tags, k.blocks.size(), blocks, 100 * wireMs / period);
        out += text;
        if (c.pollMs > 0 && c.pollMs < period) {
          snprintf(text, sizeof text, " (read every %d ms with the station's fastest class)", c.pollMs);
          out += text;
        }
        snprintf(text, sizeof text, "\n");
      } else {
        snprintf(text, sizeof text, "  station %d, read only when a client asks: %d %s in %zu %s\n", c.number, k.tags,
                 tags, k.blocks.size(), blocks);
      }
      out += text;
    }
  }
  return out;
}

}  // namespace qvgateway
