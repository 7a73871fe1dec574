#include "tools/qvsim/controller.h"

#include <stdlib.h>

#include <algorithm>

namespace qvsim {
namespace {

constexpr char kEnq = 0x05, kAck = 0x06, kNak = 0x15, kCr = 0x0D;

bool HexValue(const std::string& text, size_t at, size_t digits, int* value) {
  if (at + digits > text.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + digits; ++i) {
    const char c = text[i];
    int n;
    if (c >= '0' && c <= '9') {
      n = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      n = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * 16 + n;
  }
  *value = v;
  return true;
}

bool DecimalValue(const std::string& text, size_t at, size_t digits, int* value) {
  int v = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

}  // namespace

Controller::Controller(const std::set<int>& stations) {
  for (int station : stations) memory_[station];
}

bool ParseCounting(const std::string& text, int* first, int* last, std::string* problem) {
  const size_t dots = text.find("..");
  const std::string from = text.substr(0, dots), to = dots == std::string::npos ? from : text.substr(dots + 2);
  auto number = [](const std::string& tag, int* value) {
    if (tag.size() < 2 || tag.size() > 5 || tag[0] != 'D' || tag.find_first_not_of("0123456789", 1) != std::string::npos) {
      return false;
    }
    *value = atoi(tag.c_str() + 1);
    return *value < kDRegisters;
  };
  if (!number(from, first) || !number(to, last)) {
    *problem = "'" + text + "' is not D registers: D100, or D100..D339 (up to D" + std::to_string(kDRegisters - 1) + ")";
    return false;
  }
  if (*last < *first) {
    *problem = "'" + text + "' ends before it starts";
    return false;
  }
  return true;
}

void Controller::Tick() {
  for (auto& station : memory_) {
    for (const auto& range : counting_) {
      for (int r = range.first; r <= range.second; ++r) ++station.second.d[r];
    }
  }
}

void Controller::Preset(char area, int address, int value) {
  for (auto& station : memory_) {
    if (area == 'D') {
      station.second.d[address] = static_cast<uint16_t>(value);
    } else {
      station.second.m[address / 10] = static_cast<uint8_t>(value);
    }
  }
}

int StationOf(const std::string& frame) {
  int station = -1;
  return frame.size() >= 3 && frame[0] == kEnq && HexValue(frame, 1, 2, &station) ? station : -1;
}

std::string HexByte(uint8_t value) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string{digits[value >> 4], digits[value & 15]};
}

uint8_t XorCheck(const std::string& bytes) {
  uint8_t check = 0;
  for (char c : bytes) check ^= static_cast<uint8_t>(c);
  return check;
}

std::string Controller::Good(int station, const std::string& data) const {
  std::string reply = std::string(1, kAck) + HexByte(static_cast<uint8_t>(station)) + "0" + data;
  return reply + HexByte(XorCheck(reply)) + kCr;
}

std::string Controller::Status(int station, char status) const {
  std::string reply = std::string(1, kAck) + HexByte(static_cast<uint8_t>(station)) + status;
  return reply + HexByte(XorCheck(reply)) + kCr;
}

Answer Controller::Handle(const std::string& frame, const FaultSpec& fault) {
  Answer answer;
  int station = -1;
  const size_t body = frame.size() >= 3 ? frame.size() - 3 : 0;
  if (frame.size() < 15 || frame[0] != kEnq || !HexValue(frame, 1, 2, &station)) {
    answer.summary = "malformed request, ignored";
    return answer;
  }
  if (!Serves(station)) {
    answer.summary = "station " + std::to_string(station) + " not served, no reply";
    return answer;
  }
  int check = -1;
  if (!HexValue(frame, body, 2, &check) || check != XorCheck(frame.substr(0, body))) {
    answer.summary = "block check wrong: NAK";
    answer.pieces.push_back(std::string(1, kNak) + HexByte(static_cast<uint8_t>(station)) + kCr);
    return answer;
  }

  Memory& memory = memory_[station];
  // A controller that refuses a request (NAK, status 2) takes nothing.
  const bool refused = fault.kind == Fault::Nak || fault.kind == Fault::Status2;
  uint16_t* d = memory.d;
  uint8_t* m = memory.m;
  const char command = frame[4], area = frame[5];
  int address = 0, count = 0;
  const bool fields = DecimalValue(frame, 6, 4, &address) && HexValue(frame, 10, 2, &count);
  std::string reply;
  if (!fields || (command != 'R' && command != 'W') || (area != 'D' && area != 'M')) {
    answer.summary = "unknown request: status 2";
    reply = Status(station, '2');
  } else if (command == 'R' && area == 'D') {
    // The count is in bytes: two per register.
    const int registers = (count + 1) / 2;
    if (address + registers > kDRegisters || registers == 0) {
      answer.summary = "read D" + std::to_string(address) + " out of range: status 2";
      reply = Status(station, '2');
    } else {
      for (const auto& range : counting_) {
        if (!countOnReads_) break;
        for (int r = std::max(address, range.first); r <= range.second && r < address + registers; ++r) ++d[r];
      }
      std::string data;
      for (int i = 0; i < registers; ++i) {
        data += HexByte(static_cast<uint8_t>(d[address + i] >> 8)) + HexByte(static_cast<uint8_t>(d[address + i]));
      }
      answer.summary = "read D" + std::to_string(address) + " x" + std::to_string(registers);
      reply = Good(station, data);
    }
  } else if (command == 'R') {
    const int group = address / 10;
    if (address % 10 != 0 || group + count > kMGroups || count == 0) {
      answer.summary = "read M" + std::to_string(address) + " out of range: status 2";
      reply = Status(station, '2');
    } else {
      std::string data;
      for (int i = 0; i < count; ++i) data += HexByte(m[group + i]);
      answer.summary = "read M" + std::to_string(address) + " x" + std::to_string(count) + " groups";
      reply = Good(station, data);
    }
  } else if (area == 'D') {
    int value = 0;
    if (frame.size() != 19 || count != 2 || address >= kDRegisters || !HexValue(frame, 12, 4, &value)) {
      answer.summary = "bad D write: status 2";
      reply = Status(station, '2');
    } else {
      if (!refused) d[address] = static_cast<uint16_t>(value);
      answer.summary = "write D" + std::to_string(address) + " = " + std::to_string(value);
      reply = Good(station, "");
    }
  } else {
    int value = 0;
    if (frame.size() != 17 || count != 1 || address % 10 != 0 || address / 10 >= kMGroups ||
        !HexValue(frame, 12, 2, &value)) {
      answer.summary = "bad M write: status 2";
      reply = Status(station, '2');
    } else {
      if (!refused) m[address / 10] = static_cast<uint8_t>(value);
      answer.summary = "write M" + std::to_string(address) + " = " + std::to_string(value);
      reply = Good(station, "");
    }
  }

  if (fault.kind != Fault::None) answer.summary += " [fault " + FaultText(fault) + "]";
  switch (fault.kind) {
    case Fault::None:
    case Fault::Late:
      answer.pieces.push_back(reply);
      break;
    case Fault::Silent:
    case Fault::Drop:
      break;
    case Fault::Trailing:
      answer.pieces.push_back(reply + "\n");
      break;
    case Fault::Nak:
      answer.pieces.push_back(std::string(1, kNak) + HexByte(static_cast<uint8_t>(station)) + kCr);
      break;
    case Fault::Status2:
      answer.pieces.push_back(Status(station, '2'));
      break;
    case Fault::Split: {
      const size_t third = reply.size() / 3;
      answer.pieces = {reply.substr(0, third), reply.substr(third, third), reply.substr(2 * third)};
      break;
    }
    case Fault::Garbage:
      answer.pieces.push_back("\x7F#garbage*" + reply);
      break;
    case Fault::Short:
      // Half the data, then CR: positions the host needs are missing.
      answer.pieces.push_back(reply.substr(0, 4 + (reply.size() - 7) / 2) + kCr);
      break;
    case Fault::Long:
      answer.pieces.push_back(reply.substr(0, reply.size() - 1) + std::string(300, 'Z') + kCr);
      break;
    case Fault::NonHex: {
      std::string bad = reply;
      if (bad.size() > 7) bad[4] = 'G';
      answer.pieces.push_back(bad);
      break;
    }
  }
  return answer;
}

}  // namespace qvsim
