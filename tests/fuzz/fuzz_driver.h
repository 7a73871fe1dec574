// What every fuzz target shares: one driver object on an in-memory line, and
// a check that stops the run loudly when a property fails.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include "driver/cquorvalendpro.h"
#include "tests/support/fake_line.h"

#include "tests/fuzz/fuzz_check.h"

namespace qvfuzz {

struct FuzzDriver {
  qvtest::FakeLine line;
  quorvalend::CQuorvalendPro* object = quorvalend::CQuorvalendPro::Create();
  IDeviceDriver* driver() { return object->DeviceDriver(); }
  IDeviceIo* io() { return object->DeviceIo(); }
  ~FuzzDriver() { object->Release(); }
};

}  // namespace qvfuzz
