// Host records as raw bytes at the documented offsets, and calls into the
// driver's tables by slot number, so tests see the driver exactly as a host
// built separately does and never through the driver's own declarations.
// Two layouts: the host's ILP32 one (Windows, i386, armhf) and this
// project's LP64 one (amd64, arm64), where pointers take 8 bytes and the
// fields after them move.
#pragma once

#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace qvtest {

template <size_t Size>
struct HostRecord {
  alignas(8) uint8_t bytes[Size];

  // Records start filled with a pattern, so untouched fields can be seen.
  explicit HostRecord(uint8_t fill = 0xA5) { memset(bytes, fill, Size); }
  void* data() { return bytes; }

  void Put8(size_t offset, uint8_t v) { bytes[offset] = v; }
  void Put16(size_t offset, int32_t v) { uint16_t x = static_cast<uint16_t>(v); memcpy(bytes + offset, &x, 2); }
  void Put32(size_t offset, int64_t v) { uint32_t x = static_cast<uint32_t>(v); memcpy(bytes + offset, &x, 4); }
  void PutPtr(size_t offset, const void* p) { memcpy(bytes + offset, &p, sizeof p); }
  void PutText(size_t offset, const char* text, size_t field) {
    memset(bytes + offset, 0, field);
    memcpy(bytes + offset, text, strnlen(text, field - 1));
  }
  int16_t Get16(size_t offset) const { int16_t x; memcpy(&x, bytes + offset, 2); return x; }
  uint16_t GetU16(size_t offset) const { uint16_t x; memcpy(&x, bytes + offset, 2); return x; }
  int32_t Get32(size_t offset) const { int32_t x; memcpy(&x, bytes + offset, 4); return x; }
  uint32_t GetU32(size_t offset) const { uint32_t x; memcpy(&x, bytes + offset, 4); return x; }
  uint64_t Get64(size_t offset) const { uint64_t x; memcpy(&x, bytes + offset, 8); return x; }
  const void* GetPtr(size_t offset) const { const void* p; memcpy(&p, bytes + offset, sizeof p); return p; }
};

constexpr bool kLp64 = sizeof(void*) == 8;
constexpr size_t kPointer = sizeof(void*);

// Record sizes as the host allocates them (host fields included).
using TagDefinitionRec = HostRecord<164>;
using TagAddressRec = HostRecord<kLp64 ? 72 : 60>;
using BlockRequestRec = HostRecord<kLp64 ? 104 : 64>;
using BlockItemRec = HostRecord<28>;
using PortSettingsRec = HostRecord<48>;
using ListNodeRec = HostRecord<3 * kPointer>;

namespace tag_definition {
constexpr size_t kAddressText = 32, kDataType = 160;
}
namespace tag_address {
constexpr size_t kDevice = 38;
constexpr size_t kRow = kLp64 ? 48 : 44, kTypeIndex = kLp64 ? 56 : 48, kDataType = kLp64 ? 58 : 50,
                 kRegister = kLp64 ? 64 : 56, kDataType2 = kLp64 ? 66 : 58;
}
namespace block {
constexpr size_t kDevice = 2;
constexpr size_t kName = kLp64 ? 16 : 12, kTypeIndex = kLp64 ? 24 : 16, kDataType = kLp64 ? 26 : 18,
                 kStart = kLp64 ? 32 : 24, kEnd = kLp64 ? 36 : 28, kOperation = kLp64 ? 40 : 32,
                 kHead = kLp64 ? 56 : 40, kTail = kLp64 ? 64 : 44, kCount = kLp64 ? 72 : 48;
}
namespace list_node {
constexpr size_t kNext = 0, kPrev = kPointer, kData = 2 * kPointer;
}
namespace item {
constexpr size_t kRegister = 2, kHostField = 4, kValue = 8, kQuality = 16, kTimestamp = 20;
}
namespace port_settings {
constexpr size_t kName = 4, kBaud = 36, kDataBits = 40, kStopBits = 42, kParity = 44, kTimeout = 46;
}

inline TagDefinitionRec MakeTagDefinition(const char* text, int16_t dataType) {
  TagDefinitionRec def;
  def.PutText(tag_definition::kAddressText, text, 128);
  def.Put16(tag_definition::kDataType, dataType);
  return def;
}

// Port settings for an 8N1 line, as the host's port dialog fills them.
inline PortSettingsRec MakePortSettings(const char* port, int baud, int timeoutMs) {
  PortSettingsRec s(0);
  s.PutText(port_settings::kName, port, 32);
  s.Put32(port_settings::kBaud, baud);
  s.Put8(port_settings::kDataBits, 8);
  s.Put16(port_settings::kStopBits, 1);
  s.Put8(port_settings::kParity, 0);
  s.Put16(port_settings::kTimeout, timeoutMs);
  return s;
}

// A block with its items on a doubly linked list, laid out as the host does.
struct HostBlock {
  BlockRequestRec request;
  std::vector<BlockItemRec> items;
  std::vector<ListNodeRec> nodes;
  char name[16] = "Block1";

  HostBlock(int station, int typeIndex, int dataType, int start, int end, int operation,
            std::initializer_list<int> itemAddresses)
      : request(0) {
    request.Put16(block::kDevice, station);
    request.PutPtr(block::kName, name);
    request.Put16(block::kTypeIndex, typeIndex);
    request.Put16(block::kDataType, dataType);
    request.Put32(block::kStart, start);
    request.Put32(block::kEnd, end);
    request.Put16(block::kOperation, operation);
    for (int address : itemAddresses) {
      items.emplace_back(0xEE);
      items.back().Put16(item::kRegister, address);
    }
    Link();
  }
  HostBlock(const HostBlock&) = delete;

  // (Re)builds the list after items were added or changed.
  void Link() {
    nodes.assign(items.size(), ListNodeRec(0));
    for (size_t i = 0; i < items.size(); ++i) {
      nodes[i].PutPtr(list_node::kNext, i + 1 < items.size() ? nodes[i + 1].data() : nullptr);
      nodes[i].PutPtr(list_node::kPrev, i > 0 ? nodes[i - 1].data() : nullptr);
      nodes[i].PutPtr(list_node::kData, items[i].data());
    }
    request.PutPtr(block::kHead, nodes.empty() ? nullptr : nodes[0].data());
    request.PutPtr(block::kTail, nodes.empty() ? nullptr : nodes.back().data());
    request.Put32(block::kCount, static_cast<int32_t>(items.size()));
  }
  void SetName(const char* text) {
    strncpy(name, text, sizeof name - 1);
  }
  int32_t Start() const { return request.Get32(block::kStart); }
  int32_t End() const { return request.Get32(block::kEnd); }
};

// A readable test name from a case's index and text.
inline std::string CaseName(size_t index, const std::string& text) {
  std::string name = std::to_string(index) + "_";
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += plain ? c : '_';
  }
  return name.substr(0, 40);
}

#if defined(_WIN32)
#define QVTEST_STDCALL __stdcall
#elif defined(__i386__)
#define QVTEST_STDCALL __attribute__((stdcall))
#else
#define QVTEST_STDCALL
#endif

// Calls slot `slot` of the table behind interface pointer `itf`.
template <typename Result, typename... Args>
Result CallSlot(void* itf, int slot, Args... args) {
  using Fn = Result(QVTEST_STDCALL*)(void*, Args...);
  void** table = *static_cast<void***>(itf);
  return reinterpret_cast<Fn>(table[slot])(itf, args...);
}

// The slots of the two host tables.
namespace slot {
constexpr int kQueryInterface = 0, kAddRef = 1, kRelease = 2;
constexpr int kGetRegisterTable = 3, kTestDevice = 4, kParseTag = 5, kReserved6 = 6, kOpenPort = 7,
              kClosePort = 8, kReserved9 = 9, kCanJoinBlock = 10, kProbeBlock = 11,
              kCheckDeviceAddress = 12, kGetErrorText = 13;
constexpr int kExecuteBlock = 3, kSetPortHandle = 4, kReserved5 = 5, kGetPortHandle = 6;
}  // namespace slot

}  // namespace qvtest
