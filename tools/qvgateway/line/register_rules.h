// What a Modbus client may reach on one station: the registers it may
// read and those it may write, D by number and M by group (M10 is group
// 1). Pure data, so that the request dispatch can be fuzzed without a
// driver.
#pragma once

#include <stdint.h>

#include <vector>

namespace qvgateway {

enum class Area { D, M };

constexpr int kDRegisters = 8200;
constexpr int kMGroups = 816;  // M0..M8150 in tens
constexpr int kStatusRegisterFirst = 9000;
constexpr int kStatusRegisterCount = 16;

struct RegisterSet {
  std::vector<bool> d = std::vector<bool>(kDRegisters);
  std::vector<bool> m = std::vector<bool>(kMGroups);
  bool Has(Area area, int index) const { return area == Area::D ? d[index] : m[index]; }
  void Set(Area area, int index) { (area == Area::D ? d : m)[index] = true; }
  // `visit(area, index)` for each member, D registers first, in order.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (Area area : {Area::D, Area::M}) {
      const int count = area == Area::D ? kDRegisters : kMGroups;
      for (int i = 0; i < count; ++i) {
        if (Has(area, i)) visit(area, i);
      }
    }
  }
};

struct StationRules {
  int index = 0;  // the station's place in the plan
  int unit = 0;
  RegisterSet readable, writable;
};

}  // namespace qvgateway
