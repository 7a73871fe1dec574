// Tags as a person types them, made into the tags the driver parses: lower-
// case area letters taken as upper case, and ranges (D100..D131, D100:32,
// M0..M30 in tens) expanded to one tag per value.
#pragma once

#include <string>
#include <vector>

namespace qvhost {

// `registersPerValue` is 2 when each value takes two D registers (32-bit
// types): a range then steps by two and a count counts values. False with
// a message naming the range when it cannot be one area's addresses.
bool ExpandTag(const std::string& typed, int registersPerValue, std::vector<std::string>* tags,
               std::string* error);

}  // namespace qvhost
