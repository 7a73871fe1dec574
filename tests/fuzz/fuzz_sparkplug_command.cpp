// What anyone who may publish on the broker could send the edge node: the
// first byte chooses a command (NCMD, DCMD) or the primary host's STATE,
// the rest is the payload. Whatever it is, it is decoded or refused with a
// reason; nothing larger or deeper than the bounds is ever decoded.
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/sparkplug/sparkplug_command.h"

#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qvgateway;
  if (size < 1) return 0;
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string why;
  if (data[0] & 1) {
    bool online = false;
    const bool ok = ParseHostState(payload, &online, &why);
    FUZZ_CHECK(ok == why.empty());
    FUZZ_CHECK(!ok || payload.size() <= kMaxStateBytes);
  } else {
    std::vector<CommandMetric> metrics;
    const bool ok = DecodeCommand(payload, &metrics, &why);
    FUZZ_CHECK(ok == why.empty());
    FUZZ_CHECK(!ok || payload.size() <= kMaxCommandBytes);
    // Each metric takes at least its field's key and length on the wire.
    FUZZ_CHECK(metrics.size() <= payload.size() / 2);
    for (const CommandMetric& m : metrics) FUZZ_CHECK(m.kind != CommandMetric::Kind::Number || !m.text.empty());
  }
  return 0;
}
