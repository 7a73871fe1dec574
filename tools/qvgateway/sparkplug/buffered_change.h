// One tag's change as the store-and-forward file keeps it: the tag by
// name (a restart with another file may renumber the tags), its quality
// and value. The record's time is the buffer's own. Pure.
#pragma once

#include <string>

#include "tools/qvgateway/tags/tag_state.h"

namespace qvgateway {

std::string EncodeChange(const std::string& tag, const TagReading& reading);
// False when `bytes` is no change this encoder made (another version).
bool DecodeChange(const std::string& bytes, std::string* tag, TagReading* reading);

}  // namespace qvgateway
