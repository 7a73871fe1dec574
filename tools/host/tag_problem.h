// What is wrong with a tag the driver refused, in the user's terms.
#pragma once

#include <string>

namespace qvhost {

// For a tag text (as typed, blanks kept) that ParseTag refused: the rule it
// breaks and, where there is one, the tag the user probably meant;
// `write` when a value was to be written to it.
std::string TagProblem(const std::string& text, bool write = false);

}  // namespace qvhost
