#include "tests/bench/line_bench.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/cquorvalendpro.h"
#include "tests/bench/counting_platform.h"
#include "tools/host/host_blocks.h"
#include "tools/host/sim_launcher.h"

namespace qvbench {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kWarmUp = 3;

struct Shape {
  const char* name;
  std::vector<std::string> tags;
  bool write;
};

std::vector<std::string> DTags(int first, int count) {
  std::vector<std::string> tags;
  for (int i = 0; i < count; ++i) tags.push_back("D" + std::to_string(first + i));
  return tags;
}

const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> shapes = {
      {"D x1", DTags(100, 1), false},
      {"D x8", DTags(100, 8), false},
      {"D x32", DTags(0, 32), false},
      {"M x4", {"M0010", "M0020", "M0030", "M0040"}, false},
      {"D write", {"D100"}, true},
  };
  return shapes;
}

// A driver object on a line that qvsim serves, stopped with it.
// With `device` given, the simulator already serves its far end (under
// Wine a script starts it on a mapped COM port); else it is started here.
class BenchLine {
 public:
  BenchLine(int baud, std::string device) : object_(quorvalend::CQuorvalendPro::Create()) {
    std::string error;
    const std::vector<std::string> args = {"--baud", std::to_string(baud), "--bits-per-byte",
                                           std::to_string(kBitsPerByte), "--turnaround",
                                           std::to_string(kTurnaroundMs)};
    if (object_ == nullptr || (device.empty() && !qvhost::StartSimulator(args, &device, &error))) {
      fprintf(stderr, "qvbench: %s\n", error.c_str());
      return;
    }
    PortSettings settings{};
    snprintf(settings.portName, sizeof settings.portName, "%s", device.c_str());
    settings.baudRate = baud;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.replyTimeout = 1000;
    open_ = Driver()->lpVtbl->OpenPort(Driver(), 0, &settings) == 1;
    if (!open_) fprintf(stderr, "qvbench: cannot open %s\n", device.c_str());
  }
  ~BenchLine() {
    if (object_ != nullptr) {
      Driver()->lpVtbl->ClosePort(Driver());
      object_->Release();
    }
    qvhost::StopSimulator();
  }
  BenchLine(const BenchLine&) = delete;
  BenchLine& operator=(const BenchLine&) = delete;

  bool Open() const { return open_; }
  IDeviceDriver* Driver() const { return object_->DeviceDriver(); }
  IDeviceIo* Io() const { return object_->DeviceIo(); }

 private:
  quorvalend::CQuorvalendPro* object_;
  bool open_ = false;
};

// Tags parsed and grouped as a data server does it.
std::vector<std::unique_ptr<qvhost::Block>> Group(IDeviceDriver* driver, std::vector<qvhost::Tag>& tags,
                                                  const std::vector<std::string>& texts, bool write) {
  tags.clear();
  tags.reserve(texts.size());
  for (const std::string& text : texts) {
    qvhost::Tag tag;
    tag.text = text;
    tag.write = write;
    tag.writeValue = 0x1234;
    TagDefinition definition{};
    snprintf(definition.addressText, sizeof definition.addressText, "%s", text.c_str());
    definition.dataType = text[0] == 'M' ? QV_DATA_TYPE_BYTE : QV_DATA_TYPE_WORD;
    if (driver->lpVtbl->ParseTag(driver, &definition, &tag.address) != QV_PARSE_OK) {
      fprintf(stderr, "qvbench: %s does not parse\n", text.c_str());
      return {};
    }
    tag.address.deviceAddress = 1;  // the station, which the host fills in
    tags.push_back(tag);
  }
  return qvhost::GroupTags(driver, tags, write, 1);
}

// Request and reply bytes of one block: a read request is 15 bytes, a
// write 17 ("M") or 19 ("D"); a reply is 7 bytes around its data.
int WireBytes(const BlockRequest& block) {
  const bool d = block.registerTypeIndex == 0;
  if (block.operation == QV_OPERATION_WRITE) return (d ? 19 : 17) + 7;
  const int32_t span = block.endAddress - block.startAddress;
  const int32_t dataChars = d ? 4 * (span + 1) : 2 * (span / 10 + 1);
  return 15 + 7 + dataChars;
}

// The wire time, the controller's turnaround, and for a write the 1 ms
// pause the driver takes before it by contract.
double IdealMs(const BlockRequest& block, int baud) {
  const double pause = block.operation == QV_OPERATION_WRITE ? kWritePauseMs : 0;
  return 1000.0 * WireBytes(block) * kBitsPerByte / baud + kTurnaroundMs + pause;
}

double TimedExecute(IDeviceIo* io, BlockRequest* block, bool* ok) {
  const auto start = SteadyClock::now();
  *ok = io->lpVtbl->ExecuteBlock(io, block) == 1;
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

}  // namespace

bool RunLineBench(int baud, int transactions, const std::string& wait, const std::string& device,
                  Results* results) {
  BenchPlatform platform(wait);
  BenchLine line(baud, device);
  if (!line.Open()) return false;
  for (const Shape& shape : Shapes()) {
    std::vector<qvhost::Tag> tags;
    auto blocks = Group(line.Driver(), tags, shape.tags, shape.write);
    if (blocks.size() != 1) {
      fprintf(stderr, "qvbench: %s grouped into %zu blocks\n", shape.name, blocks.size());
      return false;
    }
    LineRow row;
    row.baud = baud;
    row.wait = wait;
    row.shape = shape.name;
    row.idealMs = IdealMs(blocks[0]->request, baud);
    // A few first transactions are not counted: the simulator may still be
    // starting, and the emulator still translating code.
    for (int i = 0; i < kWarmUp; ++i) {
      bool ok = false;
      TimedExecute(line.Io(), &blocks[0]->request, &ok);
    }
    std::vector<double> times;
    platform.port.looks = 0;
    const double cpuBefore = ThreadCpuMicroseconds();
    for (int i = 0; i < transactions; ++i) {
      bool ok = false;
      const double ms = TimedExecute(line.Io(), &blocks[0]->request, &ok);
      if (ok) {
        times.push_back(ms);
      } else {
        ++row.failures;
      }
    }
    row.cpuUsPerTransaction = (ThreadCpuMicroseconds() - cpuBefore) / transactions;
    row.looksPerTransaction = static_cast<double>(platform.port.looks) / transactions;
    row.transactions = transactions;
    row.p95Ms = Percentile(times, 0.95);
    row.medianMs = Percentile(times, 0.5);
    results->line.push_back(row);
  }
  return true;
}

bool RunScanBench(int maxBlocks, const std::string& device, Results* results) {
  constexpr int kTags = 1000, kBaud = 57600;
  std::mt19937 random(8199);
  std::set<int> addresses;
  while (static_cast<int>(addresses.size()) < kTags) addresses.insert(static_cast<int>(random() % 8200));
  std::vector<std::string> texts;
  for (int a : addresses) texts.push_back("D" + std::to_string(a));
  std::shuffle(texts.begin(), texts.end(), random);  // the host's order, not ours

  // The fewest blocks, found without the driver: from the lowest address
  // left, one block takes everything within 32 registers.
  int minimum = 0;
  for (auto it = addresses.begin(); it != addresses.end(); ++minimum) {
    const int start = *it;
    while (it != addresses.end() && *it < start + 32) ++it;
  }

  BenchLine line(kBaud, device);
  if (!line.Open()) return false;
  std::vector<qvhost::Tag> tags;
  auto blocks = Group(line.Driver(), tags, texts, false);
  ScanResult& scan = results->scan;
  scan.tags = kTags;
  scan.blocks = static_cast<int>(blocks.size());
  scan.minimumBlocks = minimum;
  const auto start = SteadyClock::now();
  for (auto& block : blocks) {
    if (scan.executed == maxBlocks) break;
    bool ok = false;
    TimedExecute(line.Io(), &block->request, &ok);
    scan.failures += ok ? 0 : 1;
    scan.idealMs += IdealMs(block->request, kBaud);
    ++scan.executed;
  }
  scan.measuredMs = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
  return true;
}

}  // namespace qvbench
