// A controller memory preset as typed: D100=1234, M10=0x3C. qvsim applies
// them; qvpoll checks the ones it passes on before it starts a simulator.
#pragma once

#include <stdint.h>

#include <string>

namespace qvtools {

constexpr int kHighestD = 8199;  // D0..D8199
constexpr int kHighestM = 8150;  // M0..M8150, one group per ten addresses

struct MemoryPreset {
  char area = 0;     // 'D' or 'M'
  int address = 0;   // D: the register; M: the group's first address (a multiple of ten)
  uint32_t value = 0;
};

// False with the reason in `problem`.
bool ParsePreset(const std::string& text, MemoryPreset* preset, std::string* problem);

}  // namespace qvtools
