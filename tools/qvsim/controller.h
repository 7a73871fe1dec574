// The simulated controller: register memory and the answer to one request.
#pragma once

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/qvsim/faults.h"

namespace qvsim {

constexpr int kDRegisters = 8200;  // D0..D8199
constexpr int kMGroups = 816;      // M0..M8150 in tens

struct Answer {
  // Pieces written in turn with a pause between; empty for no reply.
  std::vector<std::string> pieces;
  std::string summary;  // one line for --trace
};

// The stations on one line: each is a controller of its own, with its own
// memory, as on a multi-drop line.
class Controller {
 public:
  explicit Controller(const std::set<int>& stations);

  // Answers one complete request frame (ENQ .. CR) as a controller would,
  // then applies `fault` to the reply (the timing and line faults leave it
  // to the caller).
  Answer Handle(const std::string& frame, const FaultSpec& fault);

  // A preset goes to every station's memory.
  void Preset(char area, int address, int value);
  // D registers first..last count up by one at every read of them, each
  // station's on its own, as a controller's counters do.
  void Count(int first, int last) { counting_.push_back({first, last}); }
  // From now on the counting registers count up only at Tick(), every
  // station's at once, as counters driven by a clock rather than by reads.
  void CountOnTicks() { countOnReads_ = false; }
  void Tick();
  bool Serves(int station) const { return memory_.count(station) != 0; }

 private:
  struct Memory {
    uint16_t d[kDRegisters] = {};
    uint8_t m[kMGroups] = {};
  };
  std::string Good(int station, const std::string& data) const;
  std::string Status(int station, char status) const;

  std::map<int, Memory> memory_;
  std::vector<std::pair<int, int>> counting_;
  bool countOnReads_ = true;
};

// "D100..D339" or "D100": the D registers --counting names. False with why.
bool ParseCounting(const std::string& text, int* first, int* last, std::string* problem);

// The station a request frame is for, or -1.
int StationOf(const std::string& frame);

// Two uppercase hexadecimal digits and the XOR check, as on the line.
std::string HexByte(uint8_t value);
uint8_t XorCheck(const std::string& bytes);

}  // namespace qvsim
