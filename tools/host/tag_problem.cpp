#include "tools/host/tag_problem.h"

#include "tools/common/memory_preset.h"

namespace qvhost {
namespace {

constexpr size_t kMostLeadingBlanks = 32;
constexpr size_t kMostDigits = 9;

const char kShape[] = "a tag is D0..D8199 or M0..M8150 (in tens), e.g. D100 or M10";

}  // namespace

std::string TagProblem(const std::string& text, bool write) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return "the tag is empty: " + std::string(kShape);
  if (start > kMostLeadingBlanks) return "more than 32 blanks before the address";
  const size_t end = text.find_last_not_of(' ') + 1;
  const std::string tag = text.substr(start, end - start);
  const char area = tag[0];
  const std::string digits = tag.substr(1);
  const bool allDigits = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  if (area == 'd' || area == 'm') {
    const std::string meant = std::string(1, static_cast<char>(area - 'a' + 'A')) + digits;
    return "area letters are upper case: " + meant + ", not " + tag;
  }
  if (area != 'D' && area != 'M') return "unknown area '" + std::string(1, area) + "': " + kShape;
  if (digits.empty()) return "the address is missing after " + std::string(1, area) + ": " + kShape;
  if (!allDigits) {
    return "only decimal digits may follow the area letter (no sign, blank, point or hex): " + std::string(kShape);
  }
  if (digits.size() > kMostDigits) return "at most nine digits after the area letter";
  const long address = std::stol(digits);
  if (area == 'D' && address > qvtools::kHighestD) return "D registers go up to D8199";
  if (area == 'M' && address > qvtools::kHighestM) return "M groups go up to M8150";
  if (area == 'M' && address % 10 != 0) {
    const long group = address / 10 * 10;
    const std::string m = "M" + std::to_string(group), bits = m + "..M" + std::to_string(group + 7);
    // A bit is never written alone: the group is one byte on the wire.
    if (write) {
      return "M addresses go in tens: one bit cannot be written alone; writing " + m + " writes all eight bits " +
             bits + " at once (read " + m + " with --type bits, then write the whole group)";
    }
    return "M addresses go in tens: " + m + " is the group holding bits " + bits + "; read " + m;
  }
  return kShape;
}

}  // namespace qvhost
