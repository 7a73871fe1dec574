// A payload decoded by protobuf-c, freed with it when it goes out of scope.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "sparkplug_b.pb-c.h"

namespace qvgateway {

struct UnpackedPayloadFree {
  void operator()(Qvsparkplug__Payload* payload) const { qvsparkplug__payload__free_unpacked(payload, nullptr); }
};
using UnpackedPayload = std::unique_ptr<Qvsparkplug__Payload, UnpackedPayloadFree>;

// Null when the bytes are not a payload.
inline UnpackedPayload UnpackPayload(const std::string& bytes) {
  return UnpackedPayload(
      qvsparkplug__payload__unpack(nullptr, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data())));
}

}  // namespace qvgateway
