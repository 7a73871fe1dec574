// CheckDeviceAddress over any text.
#include <string.h>

#include <string>

#include "tests/fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::FuzzDriver fuzz;
  const std::string text(reinterpret_cast<const char*>(data), size);  // terminated, may hold zeros
  int32_t station = -12345;
  fuzz.object->lastError = QV_NO_ERROR;
  const int32_t result = fuzz.driver()->lpVtbl->CheckDeviceAddress(fuzz.driver(), text.c_str(), &station);
  if (result == QV_OK) {
    FUZZ_CHECK((station >= 0 && station <= 31) || station == 255);
    FUZZ_CHECK(fuzz.object->lastError == QV_NO_ERROR);
  } else {
    FUZZ_CHECK(result == QV_FAILED);
    FUZZ_CHECK(station == -12345);
    FUZZ_CHECK(fuzz.object->lastError == QV_ERR_DEVICE_ADDRESS);
  }
  return 0;
}
