// The simulated controller: register memory and the answer to one request.
#pragma once

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

namespace qvsim {

constexpr int kDRegisters = 8200;  // D0..D8199
constexpr int kMGroups = 816;      // M0..M8150 in tens

enum class Fault { None, Silent, Nak, Status2, Split, Garbage, Short, Long, NonHex };
const char* FaultName(Fault fault);
bool ParseFault(const std::string& text, Fault* fault);
std::string FaultHelp();   // one line per fault: its name and what it does
std::string FaultNames();  // "none, silent, ..."
constexpr Fault kAllFaults[] = {Fault::Silent, Fault::Nak,  Fault::Status2, Fault::Split,
                                Fault::Garbage, Fault::Short, Fault::Long,  Fault::NonHex};

struct Answer {
  // Pieces written in turn with a pause between; empty for no reply.
  std::vector<std::string> pieces;
  std::string summary;  // one line for --trace
};

class Controller {
 public:
  explicit Controller(std::set<int> stations) : stations_(std::move(stations)) {}

  // Answers one complete request frame (ENQ .. CR) as a controller would,
  // then applies `fault` to the reply.
  Answer Handle(const std::string& frame, Fault fault);

  uint16_t& D(int address) { return d_[address]; }
  uint8_t& MGroup(int group) { return m_[group]; }
  bool Serves(int station) const { return stations_.count(station) != 0; }

 private:
  std::string Good(int station, const std::string& data) const;
  std::string Status(int station, char status) const;

  std::set<int> stations_;
  uint16_t d_[kDRegisters] = {};
  uint8_t m_[kMGroups] = {};
};

// Two uppercase hexadecimal digits and the XOR check, as on the line.
std::string HexByte(uint8_t value);
uint8_t XorCheck(const std::string& bytes);

}  // namespace qvsim
