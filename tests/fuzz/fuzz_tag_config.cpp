// The gateway's configuration file with [[tag]] tables, as any text: it is
// read or refused, never a crash. A file taken gives tags that keep every
// promise the rest of the gateway relies on: a valid name, registers
// inside the area, a usable scale, limits in order, a station named in the
// file; and every write the tag's own limits allow is turned into
// registers or refused with why.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools/qvgateway/config/config.h"
#include "tools/qvgateway/tags/tag_value.h"

#include "tests/fuzz/fuzz_check.h"

namespace {

using namespace qvgateway;

// The loader reads a file: one scratch file for the whole run, removed at exit.
std::string& ScratchPath() {
  static std::string path;
  return path;
}

void RemoveScratch() { unlink(ScratchPath().c_str()); }

void CheckTag(const GatewayConfig& config, const TagConfig& tag) {
  std::string why;
  FUZZ_CHECK(CheckTagName(tag.name, &why));
  FUZZ_CHECK(tag.index >= 0 && tag.index + tag.Registers() <= (tag.area == Area::D ? kDRegisters : kMGroups));
  FUZZ_CHECK((tag.type == TagType::Bool) == (tag.bit >= 0));
  FUZZ_CHECK(tag.area == Area::D || tag.type == TagType::Bool);
  FUZZ_CHECK(std::isfinite(tag.scale) && tag.scale != 0 && std::isfinite(tag.offset));
  FUZZ_CHECK(tag.deadband >= 0 && tag.pollMs >= 0);
  FUZZ_CHECK(!(tag.hasMin && tag.hasMax) || tag.min <= tag.max);
  bool known = false;
  for (const auto& s : config.stations) known = known || s.number == tag.station;
  FUZZ_CHECK(known);
  if (tag.type == TagType::Bool) return;
  for (double value : {tag.min, tag.max, tag.offset, tag.offset + tag.scale}) {
    std::vector<uint16_t> words;
    why.clear();
    const bool taken = ToRegisters(tag, value, &words, &why);
    FUZZ_CHECK(taken ? words.size() == static_cast<size_t>(tag.Registers()) : !why.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ScratchPath().empty()) {
    // In TMPDIR (run_fuzz.sh gives one in the build folder): a crash ends
    // the run before atexit, and leaves the file where the next run clears it.
    const char* tmp = getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/fuzz_tag_config.XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) abort();
    close(fd);
    ScratchPath() = path;
    atexit(RemoveScratch);
  }
  FILE* file = fopen(ScratchPath().c_str(), "wb");
  if (file == nullptr) abort();
  fwrite(data, 1, size, file);
  fclose(file);
  GatewayConfig config;
  std::vector<std::string> problems;
  if (LoadConfig(ScratchPath(), &config, &problems)) {
    FUZZ_CHECK(problems.empty());
    for (const TagConfig& tag : config.tags) CheckTag(config, tag);
  } else {
    FUZZ_CHECK(!problems.empty());
  }
  return 0;
}
